#include "common/utils/file_name.h"

namespace zentrik {
namespace trace {

std::string SafeFileNamePart(std::string_view name) {
  if (name == "." || name == "..") return std::string(name.size(), '_');
  std::string safe(name);
  for (char& c : safe) {
    if (c == '/' || c == '\0') c = '_';
  }
  return safe;
}

}  // namespace trace
}  // namespace zentrik
