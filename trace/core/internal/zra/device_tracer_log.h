#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_TRACER_LOG_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_TRACER_LOG_H_

#include "common/platform/logging.h"

// The device tracer is one unit spread over several files (attributes, host
// events, device planes, the tracer); its log lines all name the tracer's file
// so that readers of the log find them under one source.
#define DEVICE_TRACER_LOG(severity)                                                     \
  ZENTRIK_LOG_IF_WITH_FILE(                                                             \
      ::zentrik::trace::internal::LogLevelEnabled(::zentrik::trace::internal::severity), \
      ::zentrik::trace::internal::severity)

#define ZENTRIK_LOG_IF_WITH_FILE(enabled, severity)                                  \
  !(enabled) ? (void)0                                                               \
             : ::zentrik::trace::internal::LogMessageVoidify() &                     \
                   ::zentrik::trace::internal::LogMessage(                           \
                       "trace/core/internal/zra/device_tracer.cc", __LINE__, severity) \
                       .stream()

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DEVICE_TRACER_LOG_H_
