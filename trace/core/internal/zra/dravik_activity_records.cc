#include "trace/core/internal/zra/dravik_activity_records.h"

#include <cstring>

#include "trace/core/internal/zra/dravik_api.h"
#include "trace/core/utils/utf8_utils.h"

namespace zentrik {
namespace trace {
namespace {

uint64_t U64(const uint8_t* record, size_t offset) {
  uint64_t value;
  std::memcpy(&value, record + offset, sizeof(value));
  return value;
}
uint32_t U32(const uint8_t* record, size_t offset) {
  uint32_t value;
  std::memcpy(&value, record + offset, sizeof(value));
  return value;
}
// A 64-bit word of which the low half is kept.
uint32_t Low32(const uint8_t* record, size_t offset) {
  return static_cast<uint32_t>(U64(record, offset));
}

// Start, end, received, queued and submitted: five consecutive words.
void ReadFiveTimes(const uint8_t* record, size_t offset, DravikTracerEvent* event) {
  event->start_time_ns = U64(record, offset);
  event->end_time_ns = U64(record, offset + 8);
  event->received_time_ns = U64(record, offset + 16);
  event->queued_time_ns = U64(record, offset + 24);
  event->submitted_time_ns = U64(record, offset + 32);
}

std::unique_ptr<DravikTracerEvent> Kernel(const uint8_t* r) {
  auto event = NewDravikTracerEvent(kKernel, kActivity);
  event->correlation_id = Low32(r, DRAVIK_KERNEL_OFFSET_CORRELATION_ID);
  ReadFiveTimes(r, DRAVIK_KERNEL_OFFSET_START, event.get());
  event->device_id = Low32(r, DRAVIK_KERNEL_OFFSET_DEVICE_ID);
  const char* name;
  std::memcpy(&name, r + DRAVIK_KERNEL_OFFSET_NAME, sizeof(name));
  event->name = name != nullptr ? name : "ZRA_kernel";
  // The library's bytes become plane names, which must be well-formed UTF-8.
  SanitizeUtf8(&event->name);
  event->queue_id = Low32(r, DRAVIK_KERNEL_OFFSET_QUEUE_ID);
  event->kernel.kernel_type = U64(r, DRAVIK_KERNEL_OFFSET_KERNEL_TYPE);
  event->kernel.dimx = U32(r, DRAVIK_KERNEL_OFFSET_GRID_X);
  event->kernel.dimy = U32(r, DRAVIK_KERNEL_OFFSET_GRID_Y);
  event->kernel.dimz = U32(r, DRAVIK_KERNEL_OFFSET_GRID_Z);
  event->aux_id = Low32(r, DRAVIK_KERNEL_OFFSET_AUX_ID);
  return event;
}

std::unique_ptr<DravikTracerEvent> Memcpy(const uint8_t* r) {
  auto event = NewDravikTracerEvent(kMemcpy, kActivity);
  event->memcpy.is_async = U32(r, DRAVIK_MEMCPY_OFFSET_IS_ASYNC) != 0;
  event->correlation_id = Low32(r, DRAVIK_MEMCPY_OFFSET_CORRELATION_ID);
  event->memcpy.bytes = U64(r, DRAVIK_MEMCPY_OFFSET_BYTES);
  event->memcpy.copy_kind = U32(r, DRAVIK_MEMCPY_OFFSET_COPY_KIND);
  ReadFiveTimes(r, DRAVIK_MEMCPY_OFFSET_START, event.get());
  event->device_id = Low32(r, DRAVIK_MEMCPY_OFFSET_DEVICE_ID);
  event->queue_id = Low32(r, DRAVIK_MEMCPY_OFFSET_QUEUE_ID);
  event->aux_id = Low32(r, DRAVIK_MEMCPY_OFFSET_AUX_ID);
  return event;
}

std::unique_ptr<DravikTracerEvent> Memset(const uint8_t* r) {
  auto event = NewDravikTracerEvent(kMemset, kActivity);
  event->memset.is_async = U32(r, DRAVIK_MEMSET_OFFSET_IS_ASYNC) != 0;
  event->correlation_id = Low32(r, DRAVIK_MEMSET_OFFSET_CORRELATION_ID);
  event->memset.bytes = U64(r, DRAVIK_MEMSET_OFFSET_BYTES);
  ReadFiveTimes(r, DRAVIK_MEMSET_OFFSET_START, event.get());
  event->device_id = Low32(r, DRAVIK_MEMSET_OFFSET_DEVICE_ID);
  event->queue_id = Low32(r, DRAVIK_MEMSET_OFFSET_QUEUE_ID);
  event->memset.memset_value = U64(r, DRAVIK_MEMSET_OFFSET_VALUE);
  event->aux_id = Low32(r, DRAVIK_MEMSET_OFFSET_AUX_ID);
  return event;
}

std::unique_ptr<DravikTracerEvent> MemcpyPeer(const uint8_t* r) {
  auto event = NewDravikTracerEvent(kMemcpyPeer, kActivity);
  event->correlation_id = Low32(r, DRAVIK_PTOP_OFFSET_CORRELATION_ID);
  event->memcpy_peer.bytes = U64(r, DRAVIK_PTOP_OFFSET_BYTES);
  ReadFiveTimes(r, DRAVIK_PTOP_OFFSET_START, event.get());
  event->device_id = Low32(r, DRAVIK_PTOP_OFFSET_DEVICE_ID);
  event->memcpy_peer.src_device = U64(r, DRAVIK_PTOP_OFFSET_SRC_DEVICE);
  event->memcpy_peer.dst_device = U64(r, DRAVIK_PTOP_OFFSET_DST_DEVICE);
  event->queue_id = Low32(r, DRAVIK_PTOP_OFFSET_QUEUE_ID);
  event->aux_id = Low32(r, DRAVIK_PTOP_OFFSET_AUX_ID);
  return event;
}

std::unique_ptr<DravikTracerEvent> Overhead(const uint8_t* r) {
  const uint64_t start = U64(r, DRAVIK_OVERHEAD_OFFSET_START);
  const uint64_t end = U64(r, DRAVIK_OVERHEAD_OFFSET_END);
  if (start == 0 || end == 0) return nullptr;
  auto event = NewDravikTracerEvent(kOverhead, kActivity);
  event->overhead.overhead_kind = U32(r, DRAVIK_OVERHEAD_OFFSET_OVERHEAD_KIND);
  event->start_time_ns = start;
  event->end_time_ns = end;
  event->overhead.object_kind = U32(r, DRAVIK_OVERHEAD_OFFSET_OBJECT_KIND);
  for (int i = 0; i < 3; ++i) {
    event->overhead.object_id[i] = U64(r, DRAVIK_OVERHEAD_OFFSET_OBJECT_ID + 8 * i);
  }
  if (event->overhead.object_kind == DRAVIK_OBJECT_KIND_THREAD) {
    event->thread_id = U32(r, DRAVIK_OVERHEAD_OFFSET_THREAD_ID);
  }
  event->device_id = 0;
  return event;
}

std::unique_ptr<DravikTracerEvent> Notifier(const uint8_t* r) {
  auto event = NewDravikTracerEvent(kNotifier, kActivity);
  event->notifier.notifier_kind = U32(r, DRAVIK_NOTIFIER_OFFSET_NOTIFIER_KIND);
  event->correlation_id = Low32(r, DRAVIK_NOTIFIER_OFFSET_CORRELATION_ID);
  event->start_time_ns = U64(r, DRAVIK_NOTIFIER_OFFSET_START);
  event->end_time_ns = U64(r, DRAVIK_NOTIFIER_OFFSET_END);
  event->received_time_ns = U64(r, DRAVIK_NOTIFIER_OFFSET_RECEIVED);
  event->device_id = Low32(r, DRAVIK_NOTIFIER_OFFSET_DEVICE_ID);
  event->queue_id = Low32(r, DRAVIK_NOTIFIER_OFFSET_QUEUE_ID);
  event->notifier.notifier_id = U64(r, DRAVIK_NOTIFIER_OFFSET_NOTIFIER_ID);
  event->aux_id = Low32(r, DRAVIK_NOTIFIER_OFFSET_AUX_ID);
  return event;
}

std::unique_ptr<DravikTracerEvent> AtomicOperation(const uint8_t* r) {
  auto event = NewDravikTracerEvent(kAtomicOperation, kActivity);
  event->atomic.atomic_request_type = U32(r, DRAVIK_ATOMIC_OFFSET_REQUEST_TYPE);
  // The operation means something for requests and compares only.
  if (event->atomic.atomic_request_type <= DRAVIK_ATOMIC_COMPARE) {
    event->atomic.atomic_operation = U32(r, DRAVIK_ATOMIC_OFFSET_OPERATION);
  }
  event->correlation_id = Low32(r, DRAVIK_ATOMIC_OFFSET_CORRELATION_ID);
  event->start_time_ns = U64(r, DRAVIK_ATOMIC_OFFSET_START);
  event->end_time_ns = U64(r, DRAVIK_ATOMIC_OFFSET_END);
  event->received_time_ns = U64(r, DRAVIK_ATOMIC_OFFSET_RECEIVED);
  event->device_id = Low32(r, DRAVIK_ATOMIC_OFFSET_DEVICE_ID);
  event->queue_id = Low32(r, DRAVIK_ATOMIC_OFFSET_QUEUE_ID);
  event->atomic.atomic_value = U64(r, DRAVIK_ATOMIC_OFFSET_VALUE);
  event->aux_id = Low32(r, DRAVIK_ATOMIC_OFFSET_AUX_ID);
  return event;
}

}  // namespace

size_t ActivityRecordSize(uint32_t kind) {
  switch (kind) {
    case DRAVIK_ACTIVITY_TYPE_KERNEL: return sizeof(dravikActivityKernel);
    case DRAVIK_ACTIVITY_TYPE_MEMCPY: return sizeof(dravikActivityMemcpy);
    case DRAVIK_ACTIVITY_TYPE_MEMSET: return sizeof(dravikActivityMemset);
    case DRAVIK_ACTIVITY_TYPE_MEMCPY_PTOP: return sizeof(dravikActivityMemcpyPtoP);
    case DRAVIK_ACTIVITY_TYPE_OVERHEAD: return sizeof(dravikActivityOverhead);
    case DRAVIK_ACTIVITY_TYPE_NOTIFIER: return sizeof(dravikActivityNotifier);
    case DRAVIK_ACTIVITY_TYPE_ATOMIC_OPERATION: return sizeof(dravikActivityAtomic);
    default: return sizeof(uint32_t);
  }
}

std::unique_ptr<DravikTracerEvent> ParseActivityRecord(const uint8_t* record) {
  switch (U32(record, DRAVIK_ACTIVITY_OFFSET_KIND)) {
    case DRAVIK_ACTIVITY_TYPE_KERNEL: return Kernel(record);
    case DRAVIK_ACTIVITY_TYPE_MEMCPY: return Memcpy(record);
    case DRAVIK_ACTIVITY_TYPE_MEMSET: return Memset(record);
    case DRAVIK_ACTIVITY_TYPE_MEMCPY_PTOP: return MemcpyPeer(record);
    case DRAVIK_ACTIVITY_TYPE_OVERHEAD: return Overhead(record);
    case DRAVIK_ACTIVITY_TYPE_NOTIFIER: return Notifier(record);
    case DRAVIK_ACTIVITY_TYPE_ATOMIC_OPERATION: return AtomicOperation(record);
    default: return nullptr;
  }
}

}  // namespace trace
}  // namespace zentrik
