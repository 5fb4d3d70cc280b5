// A small training loop on a ZRA device, profiled with device tracing and
// PMU counters, written for TensorBoard.
//
//   LD_LIBRARY_PATH=<build>/tools/zra_sim/variants/full device_example <logdir>
//
// The device here is the ZRA simulator (tools/zra_sim), a stand-in for the
// device libraries that runs in real time: each kernel and copy takes as long
// as it says. On a machine with ZRA devices the same program would profile
// the real ones; only the zra_sim calls stand for the framework's work.
#include <zentrik/trace/trace_me.h>
#include <zentrik/trace/tracer.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "tools/zra_sim/zra_sim_control.h"

namespace fs = std::filesystem;
namespace trace = zentrik::trace;

namespace {

constexpr int kSteps = 6;
constexpr uint64_t kComputeQueue = 1;
constexpr uint64_t kCopyQueue = 2;

struct Layer {
  const char* op;  // the framework op, "name:Type"
  const char* kernel;
  uint32_t grid;
  uint64_t duration_ns;
};
constexpr Layer kLayers[] = {
    {"conv1:Conv2D", "conv2d_3x3(float*, float*)", 8, 400000},
    {"relu1:Relu", "relu(float*)", 2, 60000},
    {"conv2:Conv2D", "conv2d_3x3(float*, float*)", 8, 500000},
    {"fc:MatMul", "gemm(float*, float*, int)", 4, 250000},
    {"loss:SoftmaxCrossEntropy", "softmax_xent(float*)", 1, 40000},
};

void TrainStep(int step) {
  // The root of one step: TensorBoard's overview page groups by it.
  trace::TraceMe step_event([&] {
    return trace::TraceMeEncode("train_step", {{"step_num", std::to_string(step)}, {"_r", "1"}});
  });
  // Each op is a TraceMe and an annotation of its "name:Type" (AnnotatedTraceMe):
  // the device work it launches then counts as that op in the op tables, the
  // kernel reports and the step overview, and the op's host event gets the
  // PMU counters of its kernels.
  {
    trace::AnnotatedTraceMe input("input:IteratorGetNext");
    zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_HTOD, 8 << 20, kCopyQueue);
  }
  for (const Layer& layer : kLayers) {
    trace::AnnotatedTraceMe op(layer.op);
    zra_sim::LaunchKernel({kComputeQueue, layer.kernel, layer.grid, 1, 1, layer.duration_ns, 1});
  }
  {
    trace::AnnotatedTraceMe update("update:ApplyGradientDescent");
    zra_sim::Memset(1 << 20, 0, kComputeQueue);
    zra_sim::Memcpy(DRAVIK_MEMCPY_KIND_DTOH, 4096, kCopyQueue);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <logdir>\n", argv[0]);
    return 2;
  }
  const std::string logdir = argv[1];
  zra_sim::SetRealTime(true);

  trace::TracerOptions options;
  options.device_tracer_level = 2;  // device activity, API calls and PMU counters
  std::unique_ptr<trace::TracerInterface> tracer(trace::CreateTracer(options, logdir));
  if (tracer == nullptr || !tracer->Start()) {
    std::fprintf(stderr, "could not start the tracer\n");
    return 1;
  }
  for (int step = 0; step < kSteps; ++step) TrainStep(step);

  if (!tracer->Stop(nullptr)) {
    std::fprintf(stderr, "could not write the profile into %s\n", logdir.c_str());
    return 1;
  }
  // Run directories are named after their start time: the greatest is ours.
  fs::path run;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(fs::path(logdir) / "plugins/profile")) {
    if (entry.path().filename() > run.filename()) run = entry.path();
  }
  std::printf("device run directory: %s\n", run.c_str());
  for (const fs::directory_entry& file : fs::directory_iterator(run)) {
    std::printf("  %-32s %8ju bytes\n", file.path().filename().c_str(),
                static_cast<uintmax_t>(file.file_size()));
  }
  return 0;
}
