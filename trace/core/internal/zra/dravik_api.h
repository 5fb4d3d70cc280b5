/* Our own C declarations of the ZRA device libraries as the device tracer uses
 * them: libdravik.so (profiling), libvorund.so (driver) and libmorvel.so
 * (device management). Nothing links against these libraries: the tracer looks
 * every function up by name at run time, so each function comes with a
 * pointer typedef (`<name>_fn`) for the looked-up address. The simulator in
 * tools/zra_sim implements the same declarations.
 *
 * Records that the libraries write and the tracer reads are given as byte
 * offsets, each defined once below and checked against the structures with
 * static assertions. Readers copy fields out by offset (memcpy), never by
 * casting a buffer position to a structure. Plain C, so both C and C++ code
 * can include it. */
#ifndef ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_API_H_
#define ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_API_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define DRAVIK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#include <stdbool.h>
#define DRAVIK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---------------------------------------------------------------------------
 * Result codes. Every function returning int32_t returns 0 on success. */
enum {
  DRAVIK_SUCCESS = 0,
  DRAVIK_ERROR_INVALID_PARAMETER = 1,
  DRAVIK_ERROR_NOT_INITIALIZED = 3,
  DRAVIK_ERROR_INVALID_DEVICE = 4,
  DRAVIK_ERROR_NOT_ENABLED = 5,
  DRAVIK_ERROR_OUT_OF_MEMORY = 6,
  DRAVIK_ERROR_NOT_SUPPORTED = 7,
  /* dravikActivityGetNextRecord: the buffer holds no further record. */
  DRAVIK_ERROR_MAX_LIMIT_REACHED = 9,
  DRAVIK_ERROR_UNKNOWN = 999
};

/* Flush mode of dravikPmuSetFlushMode: counters read back the values captured
 * by the last dravikPmuFlushData instead of live values. */
enum { DRAVIK_PMU_AUTO_FLUSH = 0, DRAVIK_PMU_EXPLICIT_FLUSH = 1 };

/* ---------------------------------------------------------------------------
 * API callbacks. */

/* dravik_CallbackDomain */
enum {
  DRAVIK_CB_DOMAIN_HALVO_API = 0,
  DRAVIK_CB_DOMAIN_TAMSEL_API = 1,
  DRAVIK_CB_DOMAIN_GORVIN_API = 3,
  DRAVIK_CB_DOMAIN_VORUND_API = 6
};

/* callbackSite of the callback data. */
enum { DRAVIK_API_ENTER = 0, DRAVIK_API_EXIT = 1 };

/* Driver (VORUND domain) callback ids of the simulated runtime. The tracer
 * enables a fixed list of ids; these are the ones the simulator reports. */
enum {
  DRAVIK_CBID_VORUND_qxMalloc = 47,
  DRAVIK_CBID_VORUND_qxFree = 48,
  DRAVIK_CBID_VORUND_qxMemcpyHtoD = 49,
  DRAVIK_CBID_VORUND_qxMemcpyDtoH = 50,
  DRAVIK_CBID_VORUND_qxMemcpyDtoD = 51,
  DRAVIK_CBID_VORUND_qxMemcpyHtoDAsync = 52,
  DRAVIK_CBID_VORUND_qxMemcpyDtoHAsync = 53,
  DRAVIK_CBID_VORUND_qxMemcpyDtoDAsync = 54,
  DRAVIK_CBID_VORUND_qxMemset = 65,
  DRAVIK_CBID_VORUND_qxMemsetAsync = 66,
  DRAVIK_CBID_VORUND_qxMemcpyPeer = 70,
  DRAVIK_CBID_VORUND_qxMemcpyPeerAsync = 72,
  DRAVIK_CBID_VORUND_qxNotifierPlace = 75,
  DRAVIK_CBID_VORUND_qxNotifierWait = 76,
  DRAVIK_CBID_VORUND_qxAtomicOperation = 78,
  DRAVIK_CBID_VORUND_qxMemcpyHtoH = 79,
  DRAVIK_CBID_VORUND_qxInvokeKernel = 91
};

/* Opaque subscriber handle. */
typedef struct dravik_Subscriber_st* dravik_SubscriberHandle;

/* Called on the thread that makes the traced call, once with callbackSite
 * DRAVIK_API_ENTER before the call and once with DRAVIK_API_EXIT after it.
 * `cbdata` points at callback data (offsets below). */
typedef void (*dravik_CallbackFunc)(void* userdata, uint32_t domain, uint32_t cbid,
                                    const void* cbdata);

/* Callback data. The tracer reads only the fields with an offset constant. */
typedef struct dravik_CallbackData {
  uint32_t callbackSite;        /* DRAVIK_API_ENTER or DRAVIK_API_EXIT */
  uint32_t reserved0;
  const char* functionName;     /* NUL-terminated; may be a mangled C++ name */
  const void* functionParams;   /* the call's parameter block, may be null */
  const char* symbolName;       /* not read */
  void* context;                /* not read */
  uint64_t correlationId;
  uint64_t* correlationData;    /* not read */
  int32_t* functionReturnValue; /* not read */
} dravik_CallbackData;

enum {
  DRAVIK_CB_DATA_OFFSET_SITE = 0,
  DRAVIK_CB_DATA_OFFSET_FUNCTION_NAME = 8,
  DRAVIK_CB_DATA_OFFSET_FUNCTION_PARAMS = 16,
  DRAVIK_CB_DATA_OFFSET_CORRELATION_ID = 40,
  /* qxInvokeKernel's parameter block: the launch queue (uint64). */
  DRAVIK_INVOKE_KERNEL_PARAMS_OFFSET_QUEUE = 32
};

/* Parameter block of qxInvokeKernel. */
typedef struct qxInvokeKernel_params {
  const void* function;
  uint32_t gridX, gridY, gridZ;
  uint32_t reserved0;
  void** args;
  uint64_t queue;
} qxInvokeKernel_params;

DRAVIK_STATIC_ASSERT(offsetof(dravik_CallbackData, callbackSite) == DRAVIK_CB_DATA_OFFSET_SITE,
                     "callback site offset");
DRAVIK_STATIC_ASSERT(offsetof(dravik_CallbackData, functionName) ==
                         DRAVIK_CB_DATA_OFFSET_FUNCTION_NAME,
                     "function name offset");
DRAVIK_STATIC_ASSERT(offsetof(dravik_CallbackData, functionParams) ==
                         DRAVIK_CB_DATA_OFFSET_FUNCTION_PARAMS,
                     "function params offset");
DRAVIK_STATIC_ASSERT(offsetof(dravik_CallbackData, correlationId) ==
                         DRAVIK_CB_DATA_OFFSET_CORRELATION_ID,
                     "correlation id offset");
DRAVIK_STATIC_ASSERT(offsetof(qxInvokeKernel_params, queue) ==
                         DRAVIK_INVOKE_KERNEL_PARAMS_OFFSET_QUEUE,
                     "kernel launch queue offset");

/* ---------------------------------------------------------------------------
 * Activity records. */

/* dravikActivityType: the kind, a uint32 at offset 0 of every record. */
enum {
  DRAVIK_ACTIVITY_TYPE_KERNEL = 1,
  DRAVIK_ACTIVITY_TYPE_VORUND_API = 3,
  DRAVIK_ACTIVITY_TYPE_HALVO_API = 4,
  DRAVIK_ACTIVITY_TYPE_TAMSEL_API = 5,
  DRAVIK_ACTIVITY_TYPE_GORVIN_API = 6,
  DRAVIK_ACTIVITY_TYPE_OVERHEAD = 7,
  DRAVIK_ACTIVITY_TYPE_MEMCPY = 9,
  DRAVIK_ACTIVITY_TYPE_MEMSET = 10,
  DRAVIK_ACTIVITY_TYPE_MEMCPY_PTOP = 11,
  DRAVIK_ACTIVITY_TYPE_ATOMIC_OPERATION = 14,
  DRAVIK_ACTIVITY_TYPE_NOTIFIER = 15
};

/* Copy kinds of memcpy records. */
enum {
  DRAVIK_MEMCPY_KIND_HTOD = 1,
  DRAVIK_MEMCPY_KIND_DTOH = 2,
  DRAVIK_MEMCPY_KIND_DTOD = 3,
  DRAVIK_MEMCPY_KIND_HTOH = 4,
  DRAVIK_MEMCPY_KIND_PTOP = 5
};
/* Notifier kinds, atomic request types, overhead and object kinds. */
enum { DRAVIK_NOTIFIER_WAIT = 0, DRAVIK_NOTIFIER_PLACE = 1 };
enum { DRAVIK_ATOMIC_REQUEST = 0, DRAVIK_ATOMIC_COMPARE = 1 };
enum { DRAVIK_OVERHEAD_BUFFER_FLUSH = 1, DRAVIK_OVERHEAD_INTERNAL = 2 };
enum { DRAVIK_OBJECT_KIND_PROCESS = 1, DRAVIK_OBJECT_KIND_THREAD = 2 };

/* Fields marked "low 32" are 64-bit words of which readers keep the low half.
 * Every record starts at an 8-byte aligned position of its buffer. */
typedef struct dravikActivityKernel {
  uint32_t kind;
  uint32_t nameBytes;     /* not read: bytes of name storage after the record */
  uint64_t correlationId; /* low 32 */
  uint64_t start, end, received, queued, submitted;
  uint64_t deviceId;      /* low 32 */
  const char* name;       /* NUL-terminated, stored inside the buffer; may be null */
  uint64_t queueId;       /* low 32 */
  uint64_t contextId;     /* not read */
  uint64_t kernelType;
  uint32_t gridX, gridY, gridZ;
  uint32_t reserved1;
  uint64_t auxId;         /* low 32 */
} dravikActivityKernel;

enum {
  DRAVIK_KERNEL_OFFSET_CORRELATION_ID = 8,
  DRAVIK_KERNEL_OFFSET_START = 16,
  DRAVIK_KERNEL_OFFSET_END = 24,
  DRAVIK_KERNEL_OFFSET_RECEIVED = 32,
  DRAVIK_KERNEL_OFFSET_QUEUED = 40,
  DRAVIK_KERNEL_OFFSET_SUBMITTED = 48,
  DRAVIK_KERNEL_OFFSET_DEVICE_ID = 56,
  DRAVIK_KERNEL_OFFSET_NAME = 64,
  DRAVIK_KERNEL_OFFSET_QUEUE_ID = 72,
  DRAVIK_KERNEL_OFFSET_KERNEL_TYPE = 88,
  DRAVIK_KERNEL_OFFSET_GRID_X = 96,
  DRAVIK_KERNEL_OFFSET_GRID_Y = 100,
  DRAVIK_KERNEL_OFFSET_GRID_Z = 104,
  DRAVIK_KERNEL_OFFSET_AUX_ID = 112
};

typedef struct dravikActivityMemcpy {
  uint32_t kind;
  uint32_t isAsync;       /* non-zero: asynchronous */
  uint64_t correlationId; /* low 32 */
  uint64_t bytes;
  uint32_t copyKind;      /* DRAVIK_MEMCPY_KIND_* */
  uint32_t reserved0;
  uint64_t start, end, received, queued, submitted;
  uint64_t deviceId;      /* low 32 */
  uint64_t queueId;       /* low 32 */
  uint64_t contextId;     /* not read */
  uint64_t auxId;         /* low 32 */
} dravikActivityMemcpy;

enum {
  DRAVIK_MEMCPY_OFFSET_IS_ASYNC = 4,
  DRAVIK_MEMCPY_OFFSET_CORRELATION_ID = 8,
  DRAVIK_MEMCPY_OFFSET_BYTES = 16,
  DRAVIK_MEMCPY_OFFSET_COPY_KIND = 24,
  DRAVIK_MEMCPY_OFFSET_START = 32,
  DRAVIK_MEMCPY_OFFSET_END = 40,
  DRAVIK_MEMCPY_OFFSET_RECEIVED = 48,
  DRAVIK_MEMCPY_OFFSET_QUEUED = 56,
  DRAVIK_MEMCPY_OFFSET_SUBMITTED = 64,
  DRAVIK_MEMCPY_OFFSET_DEVICE_ID = 72,
  DRAVIK_MEMCPY_OFFSET_QUEUE_ID = 80,
  DRAVIK_MEMCPY_OFFSET_AUX_ID = 96
};

typedef struct dravikActivityMemset {
  uint32_t kind;
  uint32_t isAsync;
  uint64_t correlationId; /* low 32 */
  uint64_t bytes;
  uint64_t start, end, received, queued, submitted;
  uint64_t deviceId;      /* low 32 */
  uint64_t queueId;       /* low 32 */
  uint64_t contextId;     /* not read */
  uint64_t value;
  uint64_t auxId;         /* low 32 */
} dravikActivityMemset;

enum {
  DRAVIK_MEMSET_OFFSET_IS_ASYNC = 4,
  DRAVIK_MEMSET_OFFSET_CORRELATION_ID = 8,
  DRAVIK_MEMSET_OFFSET_BYTES = 16,
  DRAVIK_MEMSET_OFFSET_START = 24,
  DRAVIK_MEMSET_OFFSET_END = 32,
  DRAVIK_MEMSET_OFFSET_RECEIVED = 40,
  DRAVIK_MEMSET_OFFSET_QUEUED = 48,
  DRAVIK_MEMSET_OFFSET_SUBMITTED = 56,
  DRAVIK_MEMSET_OFFSET_DEVICE_ID = 64,
  DRAVIK_MEMSET_OFFSET_QUEUE_ID = 72,
  DRAVIK_MEMSET_OFFSET_VALUE = 88,
  DRAVIK_MEMSET_OFFSET_AUX_ID = 96
};

typedef struct dravikActivityMemcpyPtoP {
  uint32_t kind;
  uint32_t reserved0;
  uint64_t correlationId; /* low 32 */
  uint64_t bytes;
  uint32_t copyKind;      /* not read */
  uint32_t reserved1;
  uint64_t start, end, received, queued, submitted;
  uint64_t deviceId;      /* low 32 */
  uint64_t srcDeviceId;
  uint64_t dstDeviceId;
  uint64_t queueId;       /* low 32 */
  uint64_t contextId;     /* not read */
  uint64_t auxId;         /* low 32 */
} dravikActivityMemcpyPtoP;

enum {
  DRAVIK_PTOP_OFFSET_CORRELATION_ID = 8,
  DRAVIK_PTOP_OFFSET_BYTES = 16,
  DRAVIK_PTOP_OFFSET_START = 32,
  DRAVIK_PTOP_OFFSET_END = 40,
  DRAVIK_PTOP_OFFSET_RECEIVED = 48,
  DRAVIK_PTOP_OFFSET_QUEUED = 56,
  DRAVIK_PTOP_OFFSET_SUBMITTED = 64,
  DRAVIK_PTOP_OFFSET_DEVICE_ID = 72,
  DRAVIK_PTOP_OFFSET_SRC_DEVICE = 80,
  DRAVIK_PTOP_OFFSET_DST_DEVICE = 88,
  DRAVIK_PTOP_OFFSET_QUEUE_ID = 96,
  DRAVIK_PTOP_OFFSET_AUX_ID = 112
};

/* Overhead interval. The object id is three words; for a thread object
 * (DRAVIK_OBJECT_KIND_THREAD) its first word holds the process id in its low
 * half and the thread id in its high half (offset 36). */
typedef struct dravikActivityOverhead {
  uint32_t kind;
  uint32_t overheadKind;  /* DRAVIK_OVERHEAD_* */
  uint64_t start, end;
  uint32_t objectKind;    /* DRAVIK_OBJECT_KIND_* */
  uint32_t reserved0;
  uint64_t objectId[3];
} dravikActivityOverhead;

enum {
  DRAVIK_OVERHEAD_OFFSET_OVERHEAD_KIND = 4,
  DRAVIK_OVERHEAD_OFFSET_START = 8,
  DRAVIK_OVERHEAD_OFFSET_END = 16,
  DRAVIK_OVERHEAD_OFFSET_OBJECT_KIND = 24,
  DRAVIK_OVERHEAD_OFFSET_OBJECT_ID = 32, /* three uint64 words: 32, 40, 48 */
  DRAVIK_OVERHEAD_OFFSET_THREAD_ID = 36
};

typedef struct dravikActivityNotifier {
  uint32_t kind;
  uint32_t notifierKind;  /* DRAVIK_NOTIFIER_* */
  uint64_t correlationId; /* low 32 */
  uint64_t start, end, received;
  uint64_t deviceId;      /* low 32 */
  uint64_t queueId;       /* low 32 */
  uint64_t notifierId;
  uint64_t auxId;         /* low 32 */
} dravikActivityNotifier;

enum {
  DRAVIK_NOTIFIER_OFFSET_NOTIFIER_KIND = 4,
  DRAVIK_NOTIFIER_OFFSET_CORRELATION_ID = 8,
  DRAVIK_NOTIFIER_OFFSET_START = 16,
  DRAVIK_NOTIFIER_OFFSET_END = 24,
  DRAVIK_NOTIFIER_OFFSET_RECEIVED = 32,
  DRAVIK_NOTIFIER_OFFSET_DEVICE_ID = 40,
  DRAVIK_NOTIFIER_OFFSET_QUEUE_ID = 48,
  DRAVIK_NOTIFIER_OFFSET_NOTIFIER_ID = 56,
  DRAVIK_NOTIFIER_OFFSET_AUX_ID = 64
};

/* Atomic operation. `operation` means something for request types 0 and 1
 * only: ADD 2, SET 3, CLEAR 4 (requests); EQUAL 0, LESS_EQUAL 1, LESS 2
 * (compares). */
typedef struct dravikActivityAtomic {
  uint32_t kind;
  uint32_t requestType;   /* DRAVIK_ATOMIC_* */
  uint32_t operation;
  uint32_t reserved0;
  uint64_t correlationId; /* low 32 */
  uint64_t start, end, received;
  uint64_t address;       /* not read */
  uint64_t deviceId;      /* low 32 */
  uint64_t queueId;       /* low 32 */
  uint64_t value;
  uint64_t auxId;         /* low 32 */
} dravikActivityAtomic;

enum {
  DRAVIK_ATOMIC_OFFSET_REQUEST_TYPE = 4,
  DRAVIK_ATOMIC_OFFSET_OPERATION = 8,
  DRAVIK_ATOMIC_OFFSET_CORRELATION_ID = 16,
  DRAVIK_ATOMIC_OFFSET_START = 24,
  DRAVIK_ATOMIC_OFFSET_END = 32,
  DRAVIK_ATOMIC_OFFSET_RECEIVED = 40,
  DRAVIK_ATOMIC_OFFSET_DEVICE_ID = 56,
  DRAVIK_ATOMIC_OFFSET_QUEUE_ID = 64,
  DRAVIK_ATOMIC_OFFSET_VALUE = 72,
  DRAVIK_ATOMIC_OFFSET_AUX_ID = 80
};

/* API activity records (kinds 3 to 6). The tracer skips them; only their size
 * matters to a walk. */
typedef struct dravikActivityApi {
  uint32_t kind;
  uint32_t cbid;
  uint64_t correlationId;
  uint64_t start, end;
  uint32_t processId, threadId;
} dravikActivityApi;

/* Offset of the kind in every record. */
enum { DRAVIK_ACTIVITY_OFFSET_KIND = 0 };

#define DRAVIK_CHECK_OFFSET(type, field, offset) \
  DRAVIK_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field)
DRAVIK_CHECK_OFFSET(dravikActivityKernel, kind, DRAVIK_ACTIVITY_OFFSET_KIND);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, correlationId, DRAVIK_KERNEL_OFFSET_CORRELATION_ID);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, start, DRAVIK_KERNEL_OFFSET_START);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, end, DRAVIK_KERNEL_OFFSET_END);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, received, DRAVIK_KERNEL_OFFSET_RECEIVED);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, queued, DRAVIK_KERNEL_OFFSET_QUEUED);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, submitted, DRAVIK_KERNEL_OFFSET_SUBMITTED);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, deviceId, DRAVIK_KERNEL_OFFSET_DEVICE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, name, DRAVIK_KERNEL_OFFSET_NAME);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, queueId, DRAVIK_KERNEL_OFFSET_QUEUE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, kernelType, DRAVIK_KERNEL_OFFSET_KERNEL_TYPE);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, gridX, DRAVIK_KERNEL_OFFSET_GRID_X);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, gridY, DRAVIK_KERNEL_OFFSET_GRID_Y);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, gridZ, DRAVIK_KERNEL_OFFSET_GRID_Z);
DRAVIK_CHECK_OFFSET(dravikActivityKernel, auxId, DRAVIK_KERNEL_OFFSET_AUX_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, isAsync, DRAVIK_MEMCPY_OFFSET_IS_ASYNC);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, correlationId, DRAVIK_MEMCPY_OFFSET_CORRELATION_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, bytes, DRAVIK_MEMCPY_OFFSET_BYTES);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, copyKind, DRAVIK_MEMCPY_OFFSET_COPY_KIND);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, start, DRAVIK_MEMCPY_OFFSET_START);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, end, DRAVIK_MEMCPY_OFFSET_END);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, received, DRAVIK_MEMCPY_OFFSET_RECEIVED);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, queued, DRAVIK_MEMCPY_OFFSET_QUEUED);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, submitted, DRAVIK_MEMCPY_OFFSET_SUBMITTED);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, deviceId, DRAVIK_MEMCPY_OFFSET_DEVICE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, queueId, DRAVIK_MEMCPY_OFFSET_QUEUE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpy, auxId, DRAVIK_MEMCPY_OFFSET_AUX_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, isAsync, DRAVIK_MEMSET_OFFSET_IS_ASYNC);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, correlationId, DRAVIK_MEMSET_OFFSET_CORRELATION_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, bytes, DRAVIK_MEMSET_OFFSET_BYTES);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, start, DRAVIK_MEMSET_OFFSET_START);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, end, DRAVIK_MEMSET_OFFSET_END);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, received, DRAVIK_MEMSET_OFFSET_RECEIVED);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, queued, DRAVIK_MEMSET_OFFSET_QUEUED);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, submitted, DRAVIK_MEMSET_OFFSET_SUBMITTED);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, deviceId, DRAVIK_MEMSET_OFFSET_DEVICE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, queueId, DRAVIK_MEMSET_OFFSET_QUEUE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, value, DRAVIK_MEMSET_OFFSET_VALUE);
DRAVIK_CHECK_OFFSET(dravikActivityMemset, auxId, DRAVIK_MEMSET_OFFSET_AUX_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, correlationId, DRAVIK_PTOP_OFFSET_CORRELATION_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, bytes, DRAVIK_PTOP_OFFSET_BYTES);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, start, DRAVIK_PTOP_OFFSET_START);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, end, DRAVIK_PTOP_OFFSET_END);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, received, DRAVIK_PTOP_OFFSET_RECEIVED);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, queued, DRAVIK_PTOP_OFFSET_QUEUED);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, submitted, DRAVIK_PTOP_OFFSET_SUBMITTED);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, deviceId, DRAVIK_PTOP_OFFSET_DEVICE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, srcDeviceId, DRAVIK_PTOP_OFFSET_SRC_DEVICE);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, dstDeviceId, DRAVIK_PTOP_OFFSET_DST_DEVICE);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, queueId, DRAVIK_PTOP_OFFSET_QUEUE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityMemcpyPtoP, auxId, DRAVIK_PTOP_OFFSET_AUX_ID);
DRAVIK_CHECK_OFFSET(dravikActivityOverhead, overheadKind, DRAVIK_OVERHEAD_OFFSET_OVERHEAD_KIND);
DRAVIK_CHECK_OFFSET(dravikActivityOverhead, start, DRAVIK_OVERHEAD_OFFSET_START);
DRAVIK_CHECK_OFFSET(dravikActivityOverhead, end, DRAVIK_OVERHEAD_OFFSET_END);
DRAVIK_CHECK_OFFSET(dravikActivityOverhead, objectKind, DRAVIK_OVERHEAD_OFFSET_OBJECT_KIND);
DRAVIK_CHECK_OFFSET(dravikActivityOverhead, objectId, DRAVIK_OVERHEAD_OFFSET_OBJECT_ID);
DRAVIK_STATIC_ASSERT(DRAVIK_OVERHEAD_OFFSET_THREAD_ID == DRAVIK_OVERHEAD_OFFSET_OBJECT_ID + 4,
                     "thread id is the high half of the first object id word");
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, notifierKind, DRAVIK_NOTIFIER_OFFSET_NOTIFIER_KIND);
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, correlationId, DRAVIK_NOTIFIER_OFFSET_CORRELATION_ID);
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, start, DRAVIK_NOTIFIER_OFFSET_START);
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, end, DRAVIK_NOTIFIER_OFFSET_END);
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, received, DRAVIK_NOTIFIER_OFFSET_RECEIVED);
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, deviceId, DRAVIK_NOTIFIER_OFFSET_DEVICE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, queueId, DRAVIK_NOTIFIER_OFFSET_QUEUE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, notifierId, DRAVIK_NOTIFIER_OFFSET_NOTIFIER_ID);
DRAVIK_CHECK_OFFSET(dravikActivityNotifier, auxId, DRAVIK_NOTIFIER_OFFSET_AUX_ID);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, requestType, DRAVIK_ATOMIC_OFFSET_REQUEST_TYPE);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, operation, DRAVIK_ATOMIC_OFFSET_OPERATION);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, correlationId, DRAVIK_ATOMIC_OFFSET_CORRELATION_ID);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, start, DRAVIK_ATOMIC_OFFSET_START);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, end, DRAVIK_ATOMIC_OFFSET_END);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, received, DRAVIK_ATOMIC_OFFSET_RECEIVED);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, deviceId, DRAVIK_ATOMIC_OFFSET_DEVICE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, queueId, DRAVIK_ATOMIC_OFFSET_QUEUE_ID);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, value, DRAVIK_ATOMIC_OFFSET_VALUE);
DRAVIK_CHECK_OFFSET(dravikActivityAtomic, auxId, DRAVIK_ATOMIC_OFFSET_AUX_ID);

/* Asks the client for an empty buffer: sets *buffer (null: no buffer, the
 * records are dropped) and may set *max_num_records (0: limited by size only).
 * *size is the size the library asks for. Called on a library thread. */
typedef void (*dravik_BufferRequestFunc)(uint8_t** buffer, size_t* size,
                                          size_t* max_num_records);
/* Hands a filled buffer back: `valid_size` bytes hold records. The client
 * owns the buffer again (and frees it). Called on a library thread, possibly
 * several at a time. */
typedef void (*dravik_BufferCompleteFunc)(uint8_t* buffer, size_t size, size_t valid_size);

/* ---------------------------------------------------------------------------
 * Device-management records: the caller sets `version` to
 * MORVEL_RECORD_VERSION before the call. */
enum { MORVEL_RECORD_VERSION = 5 };
enum { MORVEL_SUCCESS = 0, MORVEL_ERROR_INVALID_ARGUMENT = 2, MORVEL_ERROR_NOT_PERMITTED = 4,
       MORVEL_ERROR_UNKNOWN = 999 };

typedef struct morvelCoreCountInfo {
  uint32_t version;
  uint32_t count;
} morvelCoreCountInfo;

typedef struct morvelFrequencyInfo {
  uint32_t version;
  uint32_t frequency;       /* MHz */
  uint32_t minFrequency;    /* not read */
  uint32_t maxFrequency;    /* not read */
} morvelFrequencyInfo;

/* Top bandwidth = integral + fractional read as decimals (see the tracer). */
typedef struct morvelDDRInfo {
  uint32_t version;
  uint32_t ddrType;         /* not read */
  uint32_t bandwidthIntegral;
  uint32_t bandwidthFractional;
  uint64_t capacityBytes;   /* not read */
} morvelDDRInfo;

enum {
  MORVEL_CORE_COUNT_OFFSET_COUNT = 4,
  MORVEL_FREQUENCY_OFFSET_FREQUENCY = 4,
  MORVEL_DDR_OFFSET_BANDWIDTH_INTEGRAL = 8,
  MORVEL_DDR_OFFSET_BANDWIDTH_FRACTIONAL = 12
};
DRAVIK_CHECK_OFFSET(morvelCoreCountInfo, count, MORVEL_CORE_COUNT_OFFSET_COUNT);
DRAVIK_CHECK_OFFSET(morvelFrequencyInfo, frequency, MORVEL_FREQUENCY_OFFSET_FREQUENCY);
DRAVIK_CHECK_OFFSET(morvelDDRInfo, bandwidthIntegral, MORVEL_DDR_OFFSET_BANDWIDTH_INTEGRAL);
DRAVIK_CHECK_OFFSET(morvelDDRInfo, bandwidthFractional, MORVEL_DDR_OFFSET_BANDWIDTH_FRACTIONAL);

/* ---------------------------------------------------------------------------
 * Functions. For each: what the tracer passes and relies on. Each has a
 * pointer typedef <name>_fn for the address found by dlsym. */

/* libvorund.so (driver) --------------------------------------------------- */

/* Waits until every command of `queue` has finished. */
typedef int32_t (*qxQueueSync_fn)(uint64_t queue);
/* Device ordinal of the calling thread's current context. */
typedef int32_t (*qxCtxGetDevice_fn)(uint32_t* device);
/* Configuration parameter `param` of context `ctx`; parameter 1 is the
 * number of clusters the context uses. */
typedef int32_t (*qxGetCtxConfigParam_pt_fn)(uint64_t ctx, uint32_t param, uint64_t* value);
/* Handle of the calling thread's current context. */
typedef int32_t (*qxCtxGetCurrent_fn)(uint64_t* ctx);
enum { QX_CTX_PARAM_CLUSTER_COUNT = 1 };

/* libmorvel.so (device management) ---------------------------------------- */

/* Initialises the library; the tracer passes 0. Non-zero: init failed. */
typedef int32_t (*morvelInit_fn)(uint32_t flags);
/* Fills `info` (version set by the caller) for `device`. Optional function. */
typedef int32_t (*morvelGetCoreCount_fn)(morvelCoreCountInfo* info, uint32_t device);
/* Fills `info` for `device`; fails unless MORVEL_DEBUG_SKIP_FREQUENCY_CHECK
 * is "1" while the call runs. */
typedef int32_t (*morvelGetFrequencyInfo_fn)(morvelFrequencyInfo* info, uint32_t device);
/* Card name of `device`; static text owned by the library, may be null. */
typedef const char* (*morvelGetCardNameStringByDevId_fn)(uint32_t device);
/* Text of a device-management result code; static, may be null. */
typedef const char* (*morvelGetErrorString_fn)(int32_t result);
/* Fills `info` (bandwidth integral and fractional parts) for `device`. */
typedef int32_t (*morvelGetDDRInfo_fn)(morvelDDRInfo* info, uint32_t device);

/* libdravik.so (profiling) ------------------------------------------------ */

/* Device type (model) of `device`. */
typedef int32_t (*dravikGetDeviceType_fn)(uint32_t device, uint32_t* type);
/* Chip id of `device`: the key of the supported-counter query. */
typedef int32_t (*dravikGetDeviceChipId_fn)(uint32_t device, uint64_t* chip_id);
/* Library version as major, minor, patch. */
typedef int32_t (*dravikGetLibVersion_fn)(int32_t* major, int32_t* minor, int32_t* patch);
/* With `ids` null: sets *count to the number of supported counters. With an
 * array: fills up to *count opaque ids (library order) and sets *count to
 * the number written. */
typedef int32_t (*dravikPmuGetCounterSupported_fn)(uint64_t chip_id, uint64_t* ids,
                                                   uint64_t* count);
/* Name of counter `id`; static text owned by the library. */
typedef int32_t (*dravikPmuGetCounterName_fn)(uint64_t id, const char** name);
/* DRAVIK_PMU_AUTO_FLUSH or DRAVIK_PMU_EXPLICIT_FLUSH. */
typedef int32_t (*dravikPmuSetFlushMode_fn)(uint32_t mode);
/* Switches counter `id` of `device` on or off. */
typedef int32_t (*dravikPmuEnableCounter_fn)(uint32_t device, uint64_t id, bool enable);
/* Captures the live counters of `device`; in explicit flush mode reads return
 * the captured values. */
typedef int32_t (*dravikPmuFlushData_fn)(uint32_t device);
/* Value of an enabled counter; an error for a counter never enabled. */
typedef int32_t (*dravikPmuGetCounterValue_fn)(uint32_t device, uint64_t id, uint64_t* value);
/* Initialises the library (reads DRAVIK_PMU_ENABLE_HIDDEN_COUNTER). */
typedef int32_t (*dravikInit_fn)(void);
/* Text of a profiling-library result code; *text may be set to null. */
typedef int32_t (*dravikGetResultString_fn)(int32_t result, const char** text);
/* Starts or stops recording one activity kind. dravikActivityDisable is
 * optional. */
typedef int32_t (*dravikActivityEnable_fn)(uint32_t kind);
typedef int32_t (*dravikActivityDisable_fn)(uint32_t kind);
/* Registers the buffer callbacks (both or neither). Two nulls withdraw them:
 * every partly filled buffer is completed first, and the call returns once
 * no buffer callback runs any more. */
typedef int32_t (*dravikActivityRegisterCallbacks_fn)(dravik_BufferRequestFunc request,
                                                      dravik_BufferCompleteFunc complete);
/* Walks a completed buffer: *record null starts at the first record; returns
 * 0 with *record at the next record, or DRAVIK_ERROR_MAX_LIMIT_REACHED (9)
 * when no record follows. */
typedef int32_t (*dravikActivityGetNextRecord_fn)(uint8_t* buffer, size_t valid_size,
                                                  uint8_t** record);
/* Asks for latency timestamps (received/queued/submitted). Optional. */
typedef int32_t (*dravikActivityEnableLatencyTimestamps_fn)(int32_t enable);
/* Creates a subscriber whose callback receives every enabled API callback
 * with `userdata`. */
typedef int32_t (*dravikSubscribe_fn)(dravik_SubscriberHandle* subscriber,
                                      dravik_CallbackFunc callback, void* userdata);
/* Removes the subscriber; no callback of it runs after this returns. */
typedef int32_t (*dravikUnsubscribe_fn)(dravik_SubscriberHandle subscriber);
/* Switches one callback id of a domain (enable 1 on, 0 off). */
typedef int32_t (*dravikEnableCallback_fn)(uint32_t enable, dravik_SubscriberHandle subscriber,
                                           uint32_t domain, uint32_t cbid);
/* Switches every callback id of a domain. */
typedef int32_t (*dravikEnableDomain_fn)(uint32_t enable, dravik_SubscriberHandle subscriber,
                                         uint32_t domain);
/* Switches every domain. */
typedef int32_t (*dravikEnableAllDomains_fn)(uint32_t enable,
                                             dravik_SubscriberHandle subscriber);
/* Sets *enable to whether the callback id is switched on. */
typedef int32_t (*dravikGetCallbackState_fn)(uint32_t* enable,
                                             dravik_SubscriberHandle subscriber,
                                             uint32_t domain, uint32_t cbid);
/* Nanoseconds of CLOCK_MONOTONIC, the clock of every record and callback. */
typedef uint64_t (*dravikGetTimestamp_fn)(void);

/* Declarations of the same functions, for code that defines them (the
 * simulator) and for type checks of the typedefs above. */
#define DRAVIK_DECLARE(name, ret, params) ret name params;
#define DRAVIK_FOR_EACH_FUNCTION(X)                                                        \
  X(qxQueueSync, int32_t, (uint64_t queue))                                                \
  X(qxCtxGetDevice, int32_t, (uint32_t * device))                                          \
  X(qxGetCtxConfigParam_pt, int32_t, (uint64_t ctx, uint32_t param, uint64_t * value))     \
  X(qxCtxGetCurrent, int32_t, (uint64_t * ctx))                                            \
  X(morvelInit, int32_t, (uint32_t flags))                                                 \
  X(morvelGetCoreCount, int32_t, (morvelCoreCountInfo * info, uint32_t device))            \
  X(morvelGetFrequencyInfo, int32_t, (morvelFrequencyInfo * info, uint32_t device))        \
  X(morvelGetCardNameStringByDevId, const char*, (uint32_t device))                        \
  X(morvelGetErrorString, const char*, (int32_t result))                                   \
  X(morvelGetDDRInfo, int32_t, (morvelDDRInfo * info, uint32_t device))                    \
  X(dravikGetDeviceType, int32_t, (uint32_t device, uint32_t * type))                      \
  X(dravikGetDeviceChipId, int32_t, (uint32_t device, uint64_t * chip_id))                 \
  X(dravikGetLibVersion, int32_t, (int32_t * major, int32_t * minor, int32_t * patch))     \
  X(dravikPmuGetCounterSupported, int32_t, (uint64_t chip_id, uint64_t * ids,              \
                                            uint64_t * count))                             \
  X(dravikPmuGetCounterName, int32_t, (uint64_t id, const char** name))                    \
  X(dravikPmuSetFlushMode, int32_t, (uint32_t mode))                                       \
  X(dravikPmuEnableCounter, int32_t, (uint32_t device, uint64_t id, bool enable))          \
  X(dravikPmuFlushData, int32_t, (uint32_t device))                                        \
  X(dravikPmuGetCounterValue, int32_t, (uint32_t device, uint64_t id, uint64_t * value))   \
  X(dravikInit, int32_t, (void))                                                           \
  X(dravikGetResultString, int32_t, (int32_t result, const char** text))                   \
  X(dravikActivityEnable, int32_t, (uint32_t kind))                                        \
  X(dravikActivityDisable, int32_t, (uint32_t kind))                                       \
  X(dravikActivityRegisterCallbacks, int32_t, (dravik_BufferRequestFunc request,           \
                                               dravik_BufferCompleteFunc complete))        \
  X(dravikActivityGetNextRecord, int32_t, (uint8_t * buffer, size_t valid_size,            \
                                           uint8_t * *record))                             \
  X(dravikActivityEnableLatencyTimestamps, int32_t, (int32_t enable))                      \
  X(dravikSubscribe, int32_t, (dravik_SubscriberHandle * subscriber,                       \
                               dravik_CallbackFunc callback, void* userdata))              \
  X(dravikUnsubscribe, int32_t, (dravik_SubscriberHandle subscriber))                      \
  X(dravikEnableCallback, int32_t, (uint32_t enable, dravik_SubscriberHandle subscriber,   \
                                    uint32_t domain, uint32_t cbid))                       \
  X(dravikEnableDomain, int32_t, (uint32_t enable, dravik_SubscriberHandle subscriber,     \
                                  uint32_t domain))                                        \
  X(dravikEnableAllDomains, int32_t, (uint32_t enable, dravik_SubscriberHandle subscriber)) \
  X(dravikGetCallbackState, int32_t, (uint32_t * enable, dravik_SubscriberHandle subscriber, \
                                      uint32_t domain, uint32_t cbid))                     \
  X(dravikGetTimestamp, uint64_t, (void))

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* ZENTRIK_TRACE_CORE_INTERNAL_ZRA_DRAVIK_API_H_ */
