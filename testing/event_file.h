#ifndef ZENTRIK_TESTING_EVENT_FILE_H_
#define ZENTRIK_TESTING_EVENT_FILE_H_

// Reading back a TensorBoard event file as its reader does. Uses nothing of
// the library (its checksum is recomputed bit by bit here), so tests that link
// only libzentrik.so can use it too.

#include <string>
#include <vector>

namespace zentrik {
namespace testing {

// Splits `bytes` into the data of its records, checking every length and both
// checksums of each record. False, with `*error` saying where, when anything
// does not match or the bytes end inside a record.
bool ReadEventRecords(const std::string& bytes, std::vector<std::string>* records,
                      std::string* error);

// The names in `dir` that begin with "events.out.tfevents.", sorted.
std::vector<std::string> ListEventFiles(const std::string& dir);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_EVENT_FILE_H_
