#ifndef ZENTRIK_DATA_TYPE_H_
#define ZENTRIK_DATA_TYPE_H_

#include "zentrik/export.h"

namespace zentrik {

// Element types of the tensors and buffers the profiler reports.
enum DataType : int {
  INVALID = 0,
  FLOAT = 1,
  DOUBLE = 2,
  INT32 = 3,
  UINT8 = 4,
  INT16 = 5,
  INT8 = 6,
  STRING = 7,
  COMPLEX64 = 8,
  INT64 = 9,
  BOOL = 10,
  QINT8 = 11,
  QUINT8 = 12,
  QINT32 = 13,
  BFLOAT16 = 14,
  QINT16 = 15,
  QUINT16 = 16,
  UINT16 = 17,
  COMPLEX128 = 18,
  HALF = 19,
  RESOURCE = 20,
  VARIANT = 21,
  UINT32 = 22,
  UINT64 = 23,
  INT4 = 24,
  UINT4 = 25,
  TF32 = 26,
  INT31 = 27,
  QINT31 = 28,
  QINT4 = 29,
  COUNT = 30,  // The number of real types; not a type itself.
};

// Returns the lower-case name of `type` ("float", "qint4", ...), a static
// string the caller never frees. COUNT logs a WARNING and reads "invalid".
// Throws std::out_of_range for a value outside 0..30. Thread-safe.
ZENTRIK_EXPORT const char* GetDataTypeStr(DataType type);

}  // namespace zentrik

#endif  // ZENTRIK_DATA_TYPE_H_
