#ifndef ZENTRIK_COMMON_UTILS_FILE_NAME_H_
#define ZENTRIK_COMMON_UTILS_FILE_NAME_H_

#include <string>
#include <string_view>

namespace zentrik {
namespace trace {

// `name` made usable as one component of a file name, so that a file named
// after it stays in its directory: every "/" and NUL becomes "_", and a name
// that is "." or ".." becomes "_" or "__". Any other name is returned as it
// is. Pure, thread-safe.
std::string SafeFileNamePart(std::string_view name);

}  // namespace trace
}  // namespace zentrik

#endif  // ZENTRIK_COMMON_UTILS_FILE_NAME_H_
