#!/usr/bin/env bash
# Fails when the shared library exports a symbol outside the zentrik namespace
# (what hidden visibility and the version script should keep inside).
set -euo pipefail
lib="$1"
symbols=$(nm -D --defined-only "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' | c++filt)
stray=$(printf '%s\n' "$symbols" | grep -v -E '^(zentrik::|typeinfo for zentrik::|typeinfo name for zentrik::|vtable for zentrik::)' | grep -v '^$' || true)
if [ -n "$stray" ]; then
  echo "symbols that should not leave the library:"
  printf '%s\n' "$stray"
  exit 1
fi
required=(
  'zentrik::GetDataTypeStr'
  'zentrik::trace::TraceMe::Start('
  'zentrik::trace::TraceMe::Stop()'
  'zentrik::trace::TraceMe::Active(int)'
  'zentrik::trace::TraceMe::RecordInstantTrace('
  'zentrik::trace::TraceMeEncode[abi:cxx11](char const*, std::initializer_list<zentrik::trace::TraceMeArg>)'
  'zentrik::trace::TraceMeEncode(std::__cxx11::basic_string<'
  'zentrik::trace::ScopedAnnotation::PushAnnotation('
  'zentrik::trace::ScopedAnnotation::IsEnabled()'
  'zentrik::trace::ScopedAnnotation::~ScopedAnnotation()'
  'zentrik::trace::AnnotatedTraceMe::~AnnotatedTraceMe()'
  'zentrik::trace::CreateTracer('
  'zentrik::trace::ExportToTensorboard('
  'zentrik::trace::ExportEvents('
  'zentrik::graph::CreateGraph()'
)
for symbol in "${required[@]}"; do
  # A here-string, not a pipe: grep -q exits early, and pipefail would then see
  # the writer's SIGPIPE as a failure.
  grep -qF "$symbol" <<< "$symbols" || { echo "not exported: $symbol"; exit 1; }
done
echo "exports ok: $(printf '%s\n' "$symbols" | wc -l) symbols"
