#include "trace/core/internal/zra/dravik_wrapper.h"

#include <cstdlib>
#include <string_view>

#include "common/platform/env.h"
#include "common/platform/logging.h"

namespace zentrik {
namespace trace {
namespace {

// Opens lib<name>.so; logs "Load <name> library from <file>" on success. The
// loader's own warning names a file that cannot be opened.
void* LoadLibraryNamed(const char* name) {
  Env* env = Env::Default();
  const std::string file = env->FormatLibraryFileName(name, "");
  void* handle = nullptr;
  if (!env->LoadLibrary(file.c_str(), &handle).ok()) return nullptr;
  LOG(INFO) << "Load " << name << " library from " << file;
  return handle;
}

// Each library is opened at most once per process and never closed; a failed
// load is not retried.
void* LoadDravikLibrary() {
  static void* const handle = LoadLibraryNamed("dravik");
  return handle;
}
void* LoadVorundLibrary() {
  static void* const handle = LoadLibraryNamed("vorund");
  return handle;
}
void* LoadMorvelLibrary() {
  static void* const handle = LoadLibraryNamed("morvel");
  return handle;
}

// The library that holds a function follows from its name's prefix.
void* LibraryOf(std::string_view function) {
  if (function.substr(0, 2) == "qx") return LoadVorundLibrary();
  if (function.substr(0, 6) == "morvel") return LoadMorvelLibrary();
  return LoadDravikLibrary();
}

// The address of `name`, cast once to its typed pointer; null when the
// library is missing or lacks it (the loader warns about the latter).
template <typename Fn>
Fn LookUp(const char* name) {
  void* handle = LibraryOf(name);
  if (handle == nullptr) return nullptr;
  void* symbol = nullptr;
  if (!Env::Default()->GetSymbol(handle, name, &symbol).ok()) return nullptr;
  return reinterpret_cast<Fn>(symbol);
}

constexpr std::string_view kLatencyFunction = "dravikActivityEnableLatencyTimestamps";

DravikFunctionTable* BuildFunctionTable() {
  auto* table = new DravikFunctionTable();
  table->dravik_handle = LoadDravikLibrary();
#define ZENTRIK_DRAVIK_LOOK_UP(name, ret, params) \
  if (#name != kLatencyFunction) table->name = LookUp<name##_fn>(#name);
  DRAVIK_FOR_EACH_FUNCTION(ZENTRIK_DRAVIK_LOOK_UP)
#undef ZENTRIK_DRAVIK_LOOK_UP
  return table;
}

DravikFunctionTable* GetFunctionTable() {
  static DravikFunctionTable* const table = BuildFunctionTable();
  return table;
}

// Every entry but the three optional functions.
bool HasRequiredFunctions(const DravikFunctionTable& table) {
  if (table.dravik_handle == nullptr) return false;
  bool complete = true;
#define ZENTRIK_DRAVIK_CHECK(name, ret, params)                                      \
  if (#name != kLatencyFunction && #name != std::string_view("morvelGetCoreCount") && \
      #name != std::string_view("dravikActivityDisable") && table.name == nullptr)    \
    complete = false;
  DRAVIK_FOR_EACH_FUNCTION(ZENTRIK_DRAVIK_CHECK)
#undef ZENTRIK_DRAVIK_CHECK
  return complete;
}

}  // namespace

void DravikWrapper::Init() {
  setenv("DRAVIK_PMU_ENABLE_HIDDEN_COUNTER", "true", 1);
  const int32_t dravik_result = table_->dravikInit();
  if (dravik_result != 0) {
    LOG(WARNING) << "Initialize dravik failed.";
    const char* text = nullptr;
    table_->dravikGetResultString(dravik_result, &text);
    // A null text ends the line after its label.
    LOG(WARNING) << "error code is " << dravik_result << ", error msg is " << (text ? text : "");
    init_failed_ = true;
  } else {
    LOG(INFO) << "Initialize dravik successfully.";
    init_failed_ = false;
  }
  const int32_t morvel_result = table_->morvelInit(0);
  if (morvel_result != 0) {
    LOG(WARNING) << "Initialize morvel failed.";
    const char* text = table_->morvelGetErrorString(morvel_result);
    LOG(WARNING) << "error msg is " << (text ? text : "");
    init_failed_ = true;
  } else {
    LOG(INFO) << "Initialize morvel successfully.";
  }
}

int32_t DravikWrapper::Finalize() {
  LOG(WARNING) << "dravikFinalize is not implemented now.";
  return 0;
}

int32_t DravikWrapper::DevGetCoreCount(morvelCoreCountInfo* info, uint32_t device) {
  if (table_->morvelGetCoreCount == nullptr) return -1;
  return table_->morvelGetCoreCount(info, device);
}

std::string DravikWrapper::DevGetCardNameStringByDevId(uint32_t device) {
  const char* name = table_->morvelGetCardNameStringByDevId(device);
  return name ? name : "";
}

std::string DravikWrapper::DevGetErrorString(int32_t result) {
  const char* text = table_->morvelGetErrorString(result);
  return text ? text : "";
}

int32_t DravikWrapper::ActivityDisable(uint32_t kind) {
  if (table_->dravikActivityDisable == nullptr) return 0;
  return table_->dravikActivityDisable(kind);
}

int32_t DravikWrapper::ActivityEnableLatencyTimestamps(int32_t enable) {
  if (table_->dravikActivityEnableLatencyTimestamps != nullptr) {
    return table_->dravikActivityEnableLatencyTimestamps(enable);
  }
  if (!table_->latency_version_unchecked) return 0;
  table_->latency_version_unchecked = false;
  int32_t major = 0, minor = 0, patch = 0;
  const int32_t result = table_->dravikGetLibVersion(&major, &minor, &patch);
  if (result != 0) {
    LOG(ERROR) << "DRAVIK get lib version failed, ret is " << result;
    return result;
  }
  LOG(INFO) << "DRAVIK version is " << major << "." << minor << "." << patch;
  // This version has no latency timestamps to switch.
  if (major == 3 && minor == 0 && patch == 0) return 0;
  table_->dravikActivityEnableLatencyTimestamps =
      LookUp<dravikActivityEnableLatencyTimestamps_fn>(kLatencyFunction.data());
  if (table_->dravikActivityEnableLatencyTimestamps == nullptr) return -1;
  return table_->dravikActivityEnableLatencyTimestamps(enable);
}

DravikInterface* CreateDravikInterface() {
  DravikFunctionTable* table = GetFunctionTable();
  if (!HasRequiredFunctions(*table)) {
    LOG(INFO) << "Load dravik library and symbols failed.";
    return new DravikInterface();
  }
  LOG(INFO) << "Load dravik library and symbols successfully.";
  auto* wrapper = new DravikWrapper(table);
  wrapper->Init();
  return wrapper;
}

DravikInterface* GetDravikInterface() {
  static DravikInterface* const instance = CreateDravikInterface();
  return instance;
}

}  // namespace trace
}  // namespace zentrik
