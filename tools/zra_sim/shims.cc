// One of the three device libraries of a simulator variant: each public name
// forwards to the core, which holds all state. Built once per library and
// variant; ZRA_SIM_NO_REQUIRED and ZRA_SIM_NO_OPTIONAL leave functions out.
#include "tools/zra_sim/zra_sim_core.h"

#define FORWARD(ret, name, params, args) \
  extern "C" ZRA_SIM_EXPORT ret name params { return zra_sim_##name args; }

#if defined(ZRA_SIM_SHIM_VORUND)
FORWARD(int32_t, qxQueueSync, (uint64_t queue), (queue))
FORWARD(int32_t, qxCtxGetDevice, (uint32_t* device), (device))
FORWARD(int32_t, qxGetCtxConfigParam_pt, (uint64_t ctx, uint32_t param, uint64_t* value),
        (ctx, param, value))
FORWARD(int32_t, qxCtxGetCurrent, (uint64_t* ctx), (ctx))
#elif defined(ZRA_SIM_SHIM_MORVEL)
FORWARD(int32_t, morvelInit, (uint32_t flags), (flags))
#if !defined(ZRA_SIM_NO_OPTIONAL)
FORWARD(int32_t, morvelGetCoreCount, (morvelCoreCountInfo* info, uint32_t device),
        (info, device))
#endif
FORWARD(int32_t, morvelGetFrequencyInfo, (morvelFrequencyInfo* info, uint32_t device),
        (info, device))
FORWARD(const char*, morvelGetCardNameStringByDevId, (uint32_t device), (device))
FORWARD(const char*, morvelGetErrorString, (int32_t result), (result))
FORWARD(int32_t, morvelGetDDRInfo, (morvelDDRInfo* info, uint32_t device), (info, device))
#elif defined(ZRA_SIM_SHIM_DRAVIK)
FORWARD(int32_t, dravikGetDeviceType, (uint32_t device, uint32_t* type), (device, type))
FORWARD(int32_t, dravikGetDeviceChipId, (uint32_t device, uint64_t* chip_id), (device, chip_id))
FORWARD(int32_t, dravikGetLibVersion, (int32_t* major, int32_t* minor, int32_t* patch),
        (major, minor, patch))
FORWARD(int32_t, dravikPmuGetCounterSupported, (uint64_t chip_id, uint64_t* ids, uint64_t* count),
        (chip_id, ids, count))
FORWARD(int32_t, dravikPmuGetCounterName, (uint64_t id, const char** name), (id, name))
FORWARD(int32_t, dravikPmuSetFlushMode, (uint32_t mode), (mode))
FORWARD(int32_t, dravikPmuEnableCounter, (uint32_t device, uint64_t id, bool enable),
        (device, id, enable))
FORWARD(int32_t, dravikPmuFlushData, (uint32_t device), (device))
FORWARD(int32_t, dravikPmuGetCounterValue, (uint32_t device, uint64_t id, uint64_t* value),
        (device, id, value))
FORWARD(int32_t, dravikInit, (void), ())
FORWARD(int32_t, dravikGetResultString, (int32_t result, const char** text), (result, text))
FORWARD(int32_t, dravikActivityEnable, (uint32_t kind), (kind))
#if !defined(ZRA_SIM_NO_OPTIONAL)
FORWARD(int32_t, dravikActivityDisable, (uint32_t kind), (kind))
FORWARD(int32_t, dravikActivityEnableLatencyTimestamps, (int32_t enable), (enable))
#endif
FORWARD(int32_t, dravikActivityRegisterCallbacks,
        (dravik_BufferRequestFunc request, dravik_BufferCompleteFunc complete),
        (request, complete))
FORWARD(int32_t, dravikActivityGetNextRecord, (uint8_t* buffer, size_t valid_size,
        uint8_t** record), (buffer, valid_size, record))
#if !defined(ZRA_SIM_NO_REQUIRED)
FORWARD(int32_t, dravikSubscribe, (dravik_SubscriberHandle* subscriber,
        dravik_CallbackFunc callback, void* userdata), (subscriber, callback, userdata))
#endif
FORWARD(int32_t, dravikUnsubscribe, (dravik_SubscriberHandle subscriber), (subscriber))
FORWARD(int32_t, dravikEnableCallback, (uint32_t enable, dravik_SubscriberHandle subscriber,
        uint32_t domain, uint32_t cbid), (enable, subscriber, domain, cbid))
FORWARD(int32_t, dravikEnableDomain, (uint32_t enable, dravik_SubscriberHandle subscriber,
        uint32_t domain), (enable, subscriber, domain))
FORWARD(int32_t, dravikEnableAllDomains, (uint32_t enable, dravik_SubscriberHandle subscriber),
        (enable, subscriber))
FORWARD(int32_t, dravikGetCallbackState, (uint32_t* enable, dravik_SubscriberHandle subscriber,
        uint32_t domain, uint32_t cbid), (enable, subscriber, domain, cbid))
FORWARD(uint64_t, dravikGetTimestamp, (void), ())
#endif
