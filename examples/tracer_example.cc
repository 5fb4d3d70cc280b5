// Profiles a few worker threads and writes the profile for TensorBoard.
//
//   tracer_example <logdir>
//
// Then: tensorboard --logdir <logdir>, and open the Profile tab.
#include <zentrik/trace/trace_me.h>
#include <zentrik/trace/tracer.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
namespace trace = zentrik::trace;

namespace {

constexpr int kWorkers = 4;
constexpr int kStepsPerWorker = 5;

// Keeps the compiler from dropping the work.
volatile double work_sink = 0;

// Stands for real work.
void Compute(int iterations) {
  double sum = 0;
  for (int i = 1; i <= iterations; ++i) sum += std::sqrt(static_cast<double>(i));
  work_sink = sum;
}

// What the workers' buffers hold together.
std::atomic<size_t> heap_in_use{0};

// Records an allocation (or deallocation) of `buffer` with what the allocator
// holds afterwards.
void MarkMemory(bool allocation, const std::vector<double>& buffer) {
  const size_t bytes = buffer.size() * sizeof(double);
  const size_t in_use = allocation ? heap_in_use += bytes : heap_in_use -= bytes;
  const char* what = allocation ? "MemoryAllocation" : "MemoryDeallocation";
  trace::TraceMe memory([&] {
    return trace::TraceMeEncode(
        what, {{"allocator_name", "host_heap"},
               {"bytes_allocated", std::to_string(in_use)},
               {"allocation_bytes", std::to_string(bytes)},
               {"addr", std::to_string(reinterpret_cast<uintptr_t>(buffer.data()))}});
  });
}

void RunWorker(int worker) {
  for (int step = 0; step < kStepsPerWorker; ++step) {
    // One training step. "_r" marks it as the root of a step: everything
    // below it belongs to the step, which the analysis names after this
    // event and its group ("train_step 7"). The lambda runs only while
    // recording.
    trace::TraceMe step_event([&] {
      return trace::TraceMeEncode(
          "train_step",
          {{"step_num", std::to_string(step)}, {"worker", std::to_string(worker)}, {"_r", "1"}});
    });
    {
      // A region that names the device work launched inside it. Events named
      // "name:Type" are framework ops: the op tables rank them by type.
      trace::ScopedAnnotation annotation("model/forward");
      {
        trace::TraceMe matmul("dense1:MatMul", trace::kInfo);
        Compute(150000);
      }
      trace::TraceMe relu("relu1:Relu", trace::kInfo);
      Compute(50000);
    }
    {
      // Both at once: a host event and an annotation of one name.
      trace::AnnotatedTraceMe backward("dense1_grad:MatMulGrad");
      // An allocator's activity, for the memory profile.
      std::vector<double> gradients(1 << 16);
      MarkMemory(true, gradients);
      Compute(400000);
      MarkMemory(false, gradients);
    }
    trace::TraceMe::RecordInstantTrace("step_done");
  }
}

std::set<fs::path> RunDirectories(const fs::path& profile_dir) {
  std::set<fs::path> runs;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(profile_dir, error)) {
    if (entry.is_directory()) runs.insert(entry.path());
  }
  return runs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <logdir>\n", argv[0]);
    return 2;
  }
  const std::string logdir = argv[1];

  trace::TracerOptions options;
  options.host_tracer_level = trace::kInfo;  // TraceMe levels 1 and 2.
  options.device_tracer_level = 0;           // 1 on a machine with ZRA devices.
  std::unique_ptr<trace::TracerInterface> tracer(trace::CreateTracer(options, logdir));
  if (tracer == nullptr || !tracer->Start()) {
    std::fprintf(stderr, "could not start the tracer\n");
    return 1;
  }

  std::vector<std::thread> workers;
  for (int worker = 0; worker < kWorkers; ++worker) workers.emplace_back(RunWorker, worker);
  for (std::thread& thread : workers) thread.join();

  // Each Stop writes a new run directory; find it by comparing before and after.
  const fs::path profile_dir = fs::path(logdir) / "plugins" / "profile";
  const std::set<fs::path> before = RunDirectories(profile_dir);
  if (!tracer->Stop(nullptr)) {
    std::fprintf(stderr, "could not write the profile into %s\n", logdir.c_str());
    return 1;
  }
  for (const fs::path& run : RunDirectories(profile_dir)) {
    if (before.count(run) != 0) continue;
    std::printf("run directory: %s\n", run.c_str());
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(run)) {
      files.push_back(entry.path().filename());
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) std::printf("  %s\n", file.c_str());
  }
  return 0;
}
