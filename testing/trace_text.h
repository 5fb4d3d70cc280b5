#ifndef ZENTRIK_TESTING_TRACE_TEXT_H_
#define ZENTRIK_TESTING_TRACE_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace zentrik {
namespace testing {

// `bytes` of text shaped like trace-viewer JSON events (names, timestamps,
// durations and arguments varying as in a real trace), the same for the same
// seed. Header-only, so the benchmarks can use it too.
inline std::string TraceLikeText(size_t bytes, uint32_t seed = 1) {
  static constexpr const char* kNames[] = {"qxInvokeKernel", "MemcpyH2D",     "MemcpyD2H",
                                           "Memset",         "matmul_fusion", "conv2d::Conv2D",
                                           "train_step",     "Wait Notifier"};
  std::mt19937 random(seed);
  std::string text;
  text.reserve(bytes + 256);
  text += "{\"traceEvents\":[";
  uint64_t timestamp = 1000000;
  while (text.size() < bytes) {
    timestamp += random() % 5000;
    text += "{\"pid\":" + std::to_string(501 + random() % 3) +
            ",\"tid\":" + std::to_string(random() % 16) + ",\"name\":\"" + kNames[random() % 8] +
            "\",\"ph\":\"X\",\"ts\":" + std::to_string(timestamp) +
            ",\"dur\":" + std::to_string(random() % 100000) + ",\"args\":{\"correlation_id\":\"" +
            std::to_string(random()) + "\"}},";
  }
  text.resize(bytes);
  return text;
}

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_TRACE_TEXT_H_
