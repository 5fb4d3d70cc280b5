#include <map>

#include "common/platform/logging.h"
#include "zentrik/data_type.h"

namespace zentrik {
namespace {

struct DataTypeName {
  DataType type;
  const char* text;
};

constexpr DataTypeName kDataTypeNames[] = {
    {INVALID, "invalid"},   {FLOAT, "float"},       {DOUBLE, "double"},
    {INT32, "int32"},       {UINT8, "uint8"},       {INT16, "int16"},
    {INT8, "int8"},         {STRING, "string"},     {COMPLEX64, "complex64"},
    {INT64, "int64"},       {BOOL, "bool"},         {QINT8, "qint8"},
    {QUINT8, "quint8"},     {QINT32, "qint32"},     {BFLOAT16, "bfloat16"},
    {QINT16, "qint16"},     {QUINT16, "quint16"},   {UINT16, "uint16"},
    {COMPLEX128, "complex128"}, {HALF, "half"},     {RESOURCE, "resource"},
    {VARIANT, "variant"},   {UINT32, "uint32"},     {UINT64, "uint64"},
    {INT4, "int4"},         {UINT4, "uint4"},       {TF32, "tf32"},
    {INT31, "int31"},       {QINT31, "qint31"},     {QINT4, "qint4"},
};
static_assert(sizeof(kDataTypeNames) / sizeof(kDataTypeNames[0]) == COUNT);

const std::map<int, const char*>& DataTypeNames() {
  static const auto* const names = [] {
    auto* map = new std::map<int, const char*>;
    for (const DataTypeName& row : kDataTypeNames) map->emplace(row.type, row.text);
    return map;
  }();
  return *names;
}

}  // namespace

const char* GetDataTypeStr(DataType type) {
  if (type == COUNT) {
    LOG(WARNING) << "DataType::COUNT not a validate data type, treat as DataType::INVALID";
    return DataTypeNames().at(INVALID);
  }
  return DataTypeNames().at(type);  // Throws std::out_of_range outside 0..30.
}

}  // namespace zentrik
