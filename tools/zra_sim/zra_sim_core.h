// The simulator core's forwarding targets: zra_sim_<name> for every library
// function, with the library function's signature. Only the shims use it.
#ifndef ZENTRIK_TOOLS_ZRA_SIM_ZRA_SIM_CORE_H_
#define ZENTRIK_TOOLS_ZRA_SIM_ZRA_SIM_CORE_H_

#include "trace/core/internal/zra/dravik_api.h"

#define ZRA_SIM_EXPORT __attribute__((visibility("default")))
#define ZRA_SIM_DECLARE_CORE(name, ret, params) ZRA_SIM_EXPORT ret zra_sim_##name params;
extern "C" {
DRAVIK_FOR_EACH_FUNCTION(ZRA_SIM_DECLARE_CORE)
}

#endif  // ZENTRIK_TOOLS_ZRA_SIM_ZRA_SIM_CORE_H_
