#include "trace/core/lib/profiler_factory.h"

#include <utility>

#include "common/platform/logging.h"

namespace zentrik {
namespace trace {
namespace {

// std::mutex has a constexpr constructor: no initialiser runs for it.
std::mutex profiler_factory_mutex;

// The single registration point of the built-in profilers, in session order.
std::vector<ProfilerFactory> BuiltinFactories() {
  std::vector<ProfilerFactory> factories;
  for (ProfilerFactory factory : {&CreateHostTracer, &CreateDeviceTracer}) {
    if (factory != nullptr) factories.push_back(factory);
  }
  return factories;
}

}  // namespace

std::mutex& ProfilerFactoryMutex() { return profiler_factory_mutex; }

std::vector<ProfilerFactory>& GetProfilerFactories() {
  static auto* factories = new std::vector<ProfilerFactory>(BuiltinFactories());
  return *factories;
}

void RegisterProfilerFactory(ProfilerFactory factory) {
  if (factory == nullptr) {
    LOG(WARNING) << "Ignoring a null profiler factory.";
    return;
  }
  std::lock_guard<std::mutex> lock(profiler_factory_mutex);
  GetProfilerFactories().push_back(factory);
}

void CreateProfilers(const ProfileOptions& options,
                     std::vector<std::unique_ptr<ProfilerInterface>>* result) {
  std::vector<ProfilerFactory> factories;
  {
    std::lock_guard<std::mutex> lock(profiler_factory_mutex);
    factories = GetProfilerFactories();
  }
  // Called without the lock: a factory's code may fork(), whose handlers take
  // the lock, or take locks of its own that fork handlers hold.
  for (ProfilerFactory factory : factories) {
    std::unique_ptr<ProfilerInterface> profiler = factory(options);
    if (profiler != nullptr) result->push_back(std::move(profiler));
  }
}

}  // namespace trace
}  // namespace zentrik
