#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_WRAPPER_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_WRAPPER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "trace/core/internal/zra/dravik_api.h"

namespace zentrik {
namespace trace {

// The one door to the device maker's profiling, driver and device-management
// libraries. This base class is the null object, used when a library or a
// required function is missing: every operation succeeds without effect and
// InitFailed is true. Forwarded calls are as thread-safe as the libraries.
class DravikInterface {
 public:
  virtual ~DravikInterface() = default;

  virtual void Init() {}
  virtual int32_t Finalize() { return 0; }
  // Nanoseconds of the device-API clock.
  virtual uint64_t GetTimestamp() { return 0; }
  virtual int32_t QueueSync(uint64_t /*queue*/) { return 0; }
  virtual int32_t CtxGetDevice(uint32_t* /*device*/) { return 0; }
  virtual int32_t GetCtxConfigParam(uint64_t /*ctx*/, uint32_t /*param*/, uint64_t* /*value*/) {
    return 0;
  }
  virtual int32_t CtxGetCurrent(uint64_t* /*ctx*/) { return 0; }
  virtual int32_t DevInit(uint32_t /*flags*/) { return 0; }
  virtual int32_t DevGetCoreCount(morvelCoreCountInfo* /*info*/, uint32_t /*device*/) { return 0; }
  // Texts come back as strings; a null text of the library is empty.
  virtual std::string DevGetCardNameStringByDevId(uint32_t /*device*/) { return std::string(); }
  virtual int32_t DevGetFrequencyInfo(morvelFrequencyInfo* /*info*/, uint32_t /*device*/) {
    return 0;
  }
  virtual std::string DevGetErrorString(int32_t /*result*/) { return "MORVEL_SUCCESS"; }
  virtual int32_t DevGetDDRInfo(morvelDDRInfo* /*info*/, uint32_t /*device*/) { return 0; }
  virtual int32_t GetDeviceType(uint32_t /*device*/, uint32_t* /*type*/) { return 0; }
  virtual int32_t GetDeviceChipId(uint32_t /*device*/, uint64_t* /*chip_id*/) { return 0; }
  virtual int32_t PmuGetCounterSupported(uint64_t /*chip_id*/, uint64_t* /*ids*/,
                                         uint64_t* /*count*/) {
    return 0;
  }
  virtual int32_t PmuGetCounterName(uint64_t /*id*/, const char** /*name*/) { return 0; }
  virtual int32_t PmuSetFlushMode(uint32_t /*mode*/) { return 0; }
  virtual int32_t PmuEnableCounter(uint32_t /*device*/, uint64_t /*id*/, bool /*enable*/) {
    return 0;
  }
  virtual int32_t PmuFlushData(uint32_t /*device*/) { return 0; }
  virtual int32_t PmuGetCounterValue(uint32_t /*device*/, uint64_t /*id*/, uint64_t* /*value*/) {
    return 0;
  }
  virtual int32_t ActivityEnable(uint32_t /*kind*/) { return 0; }
  virtual int32_t ActivityDisable(uint32_t /*kind*/) { return 0; }
  virtual int32_t ActivityRegisterCallbacks(dravik_BufferRequestFunc /*request*/,
                                            dravik_BufferCompleteFunc /*complete*/) {
    return 0;
  }
  virtual int32_t ActivityGetNextRecord(uint8_t* /*buffer*/, size_t /*valid_size*/,
                                        uint8_t** /*record*/) {
    return 0;
  }
  // Only the first call decides (see the wrapper); call from the start path.
  virtual int32_t ActivityEnableLatencyTimestamps(int32_t /*enable*/) { return 0; }
  virtual int32_t Subscribe(dravik_SubscriberHandle* /*subscriber*/,
                            dravik_CallbackFunc /*callback*/, void* /*userdata*/) {
    return 0;
  }
  virtual int32_t Unsubscribe(dravik_SubscriberHandle /*subscriber*/) { return 0; }
  virtual int32_t EnableCallback(uint32_t /*enable*/, dravik_SubscriberHandle /*subscriber*/,
                                 uint32_t /*domain*/, uint32_t /*cbid*/) {
    return 0;
  }
  virtual int32_t EnableDomain(uint32_t /*enable*/, dravik_SubscriberHandle /*subscriber*/,
                               uint32_t /*domain*/) {
    return 0;
  }
  virtual int32_t EnableAllDomains(uint32_t /*enable*/, dravik_SubscriberHandle /*subscriber*/) {
    return 0;
  }
  virtual int32_t GetCallbackState(uint32_t* /*enable*/, dravik_SubscriberHandle /*subscriber*/,
                                   uint32_t /*domain*/, uint32_t /*cbid*/) {
    return 0;
  }
  // Deliberately not overridden by the wrapper: leaves `text` unset.
  virtual int32_t GetResultString(int32_t /*result*/, const char** /*text*/) { return 0; }
  virtual bool IsLoaded() { return false; }
  virtual bool InitFailed() { return true; }
};

// The process-wide table of the libraries' functions, each looked up once by
// name. Built once, never freed.
struct DravikFunctionTable {
  void* dravik_handle = nullptr;
#define ZENTRIK_DRAVIK_TABLE_ENTRY(name, ret, params) name##_fn name = nullptr;
  DRAVIK_FOR_EACH_FUNCTION(ZENTRIK_DRAVIK_TABLE_ENTRY)
#undef ZENTRIK_DRAVIK_TABLE_ENTRY
  // Set when the table is built; cleared by the first latency-timestamp call.
  bool latency_version_unchecked = true;
};

// Forwards every operation (but GetResultString) to the looked-up functions.
class DravikWrapper : public DravikInterface {
 public:
  explicit DravikWrapper(DravikFunctionTable* table) : table_(table) {}

  // Sets DRAVIK_PMU_ENABLE_HIDDEN_COUNTER, initialises the profiling and the
  // device-management library; InitFailed reports whether either failed.
  void Init() override;
  int32_t Finalize() override;
  uint64_t GetTimestamp() override { return table_->dravikGetTimestamp(); }
  int32_t QueueSync(uint64_t queue) override { return table_->qxQueueSync(queue); }
  int32_t CtxGetDevice(uint32_t* device) override { return table_->qxCtxGetDevice(device); }
  int32_t GetCtxConfigParam(uint64_t ctx, uint32_t param, uint64_t* value) override {
    return table_->qxGetCtxConfigParam_pt(ctx, param, value);
  }
  int32_t CtxGetCurrent(uint64_t* ctx) override { return table_->qxCtxGetCurrent(ctx); }
  int32_t DevInit(uint32_t flags) override { return table_->morvelInit(flags); }
  // -1 when the library lacks the (optional) function.
  int32_t DevGetCoreCount(morvelCoreCountInfo* info, uint32_t device) override;
  std::string DevGetCardNameStringByDevId(uint32_t device) override;
  int32_t DevGetFrequencyInfo(morvelFrequencyInfo* info, uint32_t device) override {
    return table_->morvelGetFrequencyInfo(info, device);
  }
  std::string DevGetErrorString(int32_t result) override;
  int32_t DevGetDDRInfo(morvelDDRInfo* info, uint32_t device) override {
    return table_->morvelGetDDRInfo(info, device);
  }
  int32_t GetDeviceType(uint32_t device, uint32_t* type) override {
    return table_->dravikGetDeviceType(device, type);
  }
  int32_t GetDeviceChipId(uint32_t device, uint64_t* chip_id) override {
    return table_->dravikGetDeviceChipId(device, chip_id);
  }
  int32_t PmuGetCounterSupported(uint64_t chip_id, uint64_t* ids, uint64_t* count) override {
    return table_->dravikPmuGetCounterSupported(chip_id, ids, count);
  }
  int32_t PmuGetCounterName(uint64_t id, const char** name) override {
    return table_->dravikPmuGetCounterName(id, name);
  }
  int32_t PmuSetFlushMode(uint32_t mode) override { return table_->dravikPmuSetFlushMode(mode); }
  int32_t PmuEnableCounter(uint32_t device, uint64_t id, bool enable) override {
    return table_->dravikPmuEnableCounter(device, id, enable);
  }
  int32_t PmuFlushData(uint32_t device) override { return table_->dravikPmuFlushData(device); }
  int32_t PmuGetCounterValue(uint32_t device, uint64_t id, uint64_t* value) override {
    return table_->dravikPmuGetCounterValue(device, id, value);
  }
  int32_t ActivityEnable(uint32_t kind) override { return table_->dravikActivityEnable(kind); }
  // 0 when the library lacks the (optional) function: withdrawing the buffer
  // callbacks ends the recording anyway.
  int32_t ActivityDisable(uint32_t kind) override;
  int32_t ActivityRegisterCallbacks(dravik_BufferRequestFunc request,
                                    dravik_BufferCompleteFunc complete) override {
    return table_->dravikActivityRegisterCallbacks(request, complete);
  }
  int32_t ActivityGetNextRecord(uint8_t* buffer, size_t valid_size, uint8_t** record) override {
    return table_->dravikActivityGetNextRecord(buffer, valid_size, record);
  }
  // The first call asks the library's version: on 3.0.0 nothing is switched;
  // otherwise the function is looked up (-1 when absent) and called.
  int32_t ActivityEnableLatencyTimestamps(int32_t enable) override;
  int32_t Subscribe(dravik_SubscriberHandle* subscriber, dravik_CallbackFunc callback,
                    void* userdata) override {
    return table_->dravikSubscribe(subscriber, callback, userdata);
  }
  int32_t Unsubscribe(dravik_SubscriberHandle subscriber) override {
    return table_->dravikUnsubscribe(subscriber);
  }
  int32_t EnableCallback(uint32_t enable, dravik_SubscriberHandle subscriber, uint32_t domain,
                         uint32_t cbid) override {
    return table_->dravikEnableCallback(enable, subscriber, domain, cbid);
  }
  int32_t EnableDomain(uint32_t enable, dravik_SubscriberHandle subscriber,
                       uint32_t domain) override {
    return table_->dravikEnableDomain(enable, subscriber, domain);
  }
  int32_t EnableAllDomains(uint32_t enable, dravik_SubscriberHandle subscriber) override {
    return table_->dravikEnableAllDomains(enable, subscriber);
  }
  int32_t GetCallbackState(uint32_t* enable, dravik_SubscriberHandle subscriber, uint32_t domain,
                           uint32_t cbid) override {
    return table_->dravikGetCallbackState(enable, subscriber, domain, cbid);
  }
  bool IsLoaded() override { return true; }
  bool InitFailed() override { return init_failed_; }

 private:
  bool init_failed_ = true;
  DravikFunctionTable* table_;  // Process-wide; not owned.
};

// A wrapper (initialised) when all three libraries and every required
// function are found, else a new null object. Run once, by GetDravikInterface.
DravikInterface* CreateDravikInterface();

// The process-wide interface, created on first use (thread-safe), never freed.
DravikInterface* GetDravikInterface();

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_WRAPPER_H_
