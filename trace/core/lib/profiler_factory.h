#ifndef ZENTRIK_TRACE_CORE_LIB_PROFILER_FACTORY_H_
#define ZENTRIK_TRACE_CORE_LIB_PROFILER_FACTORY_H_

#include <memory>
#include <mutex>
#include <vector>

#include "trace/core/lib/profiler_interface.h"

namespace zentrik {
namespace trace {

class ProfileOptions;

// Builds a profiler for the session's options, or returns null when that
// profiler is not wanted or not available.
using ProfilerFactory = std::unique_ptr<ProfilerInterface> (*)(const ProfileOptions& options);

// The built-in factories, defined by their tracers. They are not registered by
// static initialisers of their own: the registry lists them itself, first in
// this order, so a session's host tracer always precedes its device tracer
// whatever order the library's initialisers run in; a tracer must therefore
// not register its own factory again. Weak, so that a build without one of the
// tracers links, and its address is then null.
std::unique_ptr<ProfilerInterface> CreateHostTracer(const ProfileOptions& options)
    __attribute__((weak));
std::unique_ptr<ProfilerInterface> CreateDeviceTracer(const ProfileOptions& options)
    __attribute__((weak));

// Guards the registry vector. Constant-initialised, so usable from any static
// initialiser.
std::mutex& ProfilerFactoryMutex();

// The registry: the built-in factories in the order above, then every factory
// given to RegisterProfilerFactory, in registration order. Created on first use
// and never destroyed. Callers hold ProfilerFactoryMutex().
std::vector<ProfilerFactory>& GetProfilerFactories();

// Appends `factory` under the registry mutex. A factory registered twice is
// called twice; a null factory is ignored with a WARNING. Thread-safe.
void RegisterProfilerFactory(ProfilerFactory factory);

// Calls every factory in registry order with `options` and appends each
// non-null profiler to `result`, which is not cleared first. The factories run
// without the registry mutex; one registered meanwhile is called next time.
void CreateProfilers(const ProfileOptions& options,
                     std::vector<std::unique_ptr<ProfilerInterface>>* result);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_LIB_PROFILER_FACTORY_H_
