#include "trace/core/lib/profiler_factory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "testing/stderr_capture.h"
#include "trace/core/protobuf/profiler_options.pb.h"

namespace zentrik {
namespace trace {

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A profiler that only remembers which factory made it.
struct TaggedProfiler : ProfilerInterface {
  explicit TaggedProfiler(int tag) : tag(tag) {}
  Status Start(uint64_t) override { return Status(); }
  Status Stop() override { return Status(); }
  Status CollectData(XSpace*) override { return Status(); }
  const int tag;
};

// The registry is process-wide: each test's factories answer only to options
// carrying that test's version, so they never add profilers elsewhere, and the
// built-in tracers decline them (both levels 0).
template <int kTag, uint32_t kVersion>
std::unique_ptr<ProfilerInterface> TaggedFactory(const ProfileOptions& options) {
  if (options.version() != kVersion) return nullptr;
  return std::make_unique<TaggedProfiler>(kTag);
}

ProfileOptions OptionsWithVersion(uint32_t version) {
  ProfileOptions options;
  options.set_version(version);
  return options;
}

std::vector<int> Tags(const std::vector<std::unique_ptr<ProfilerInterface>>& profilers) {
  std::vector<int> tags;
  for (const auto& profiler : profilers) {
    tags.push_back(static_cast<const TaggedProfiler&>(*profiler).tag);
  }
  return tags;
}

TEST(ProfilerFactoryTest, AppendsInRegistrationOrderAfterTheBuiltinTracers) {
  {
    std::vector<ProfilerFactory> builtin;
    for (ProfilerFactory f : {&CreateHostTracer, &CreateDeviceTracer}) {
      if (f != nullptr) builtin.push_back(f);
    }
    std::lock_guard<std::mutex> lock(ProfilerFactoryMutex());
    const std::vector<ProfilerFactory>& factories = GetProfilerFactories();
    ASSERT_GE(factories.size(), builtin.size());
    EXPECT_EQ(std::vector<ProfilerFactory>(factories.begin(), factories.begin() + builtin.size()),
              builtin);
  }
  constexpr uint32_t kVersion = 101;
  std::vector<std::unique_ptr<ProfilerInterface>> profilers;
  profilers.push_back(std::make_unique<TaggedProfiler>(0));
  RegisterProfilerFactory(&TaggedFactory<1, kVersion>);
  RegisterProfilerFactory(&TaggedFactory<2, kVersion + 1>);  // Declines these options.
  RegisterProfilerFactory(&TaggedFactory<3, kVersion>);
  RegisterProfilerFactory(&TaggedFactory<1, kVersion>);  // Duplicates are called again.
  ::zentrik::testing::StderrCapture capture;
  RegisterProfilerFactory(nullptr);
  EXPECT_THAT(capture.Stop(), HasSubstr("Ignoring a null profiler factory."));
  CreateProfilers(OptionsWithVersion(kVersion), &profilers);
  EXPECT_THAT(Tags(profilers), ElementsAre(0, 1, 3, 1));
}

TEST(ProfilerFactoryTest, RegistrationAndCreationMayRunConcurrently) {
  constexpr uint32_t kVersion = 103;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) RegisterProfilerFactory(&TaggedFactory<7, kVersion>);
    });
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        std::vector<std::unique_ptr<ProfilerInterface>> profilers;
        CreateProfilers(OptionsWithVersion(kVersion), &profilers);
        EXPECT_LE(profilers.size(), 200u);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::unique_ptr<ProfilerInterface>> profilers;
  CreateProfilers(OptionsWithVersion(kVersion), &profilers);
  EXPECT_EQ(profilers.size(), 200u);
}

}  // namespace
}  // namespace trace
}  // namespace zentrik
