#ifndef ZENTRIK_TESTING_EVENT_FILE_H_
#define ZENTRIK_TESTING_EVENT_FILE_H_

// Reading back a TensorBoard event file as its reader does, with a checksum
// of its own.

#include <string>
#include <vector>

namespace zentrik {
namespace testing {

// Splits `bytes` into the data of its records, checking every length and both
// checksums of each record. False, with `*error` saying where, when anything
// does not match or the bytes end inside a record.
bool ReadEventRecords(const std::string& bytes, std::vector<std::string>* records,
                      std::string* error);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_EVENT_FILE_H_
