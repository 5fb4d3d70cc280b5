#ifndef ZENTRIK_TESTING_CALL_JOURNAL_H_
#define ZENTRIK_TESTING_CALL_JOURNAL_H_

#include <string>
#include <vector>

namespace zentrik {
namespace testing {

// The device simulator's call journal ("name(arg,arg)" entries) as one line
// that a table row can spell out: entries separated by blanks, subscribers
// S1, S2... as S, buffer walks (dravikActivityGetNextRecord) left out, and
// each run of more than eight calls of one function whose arguments differ in
// one numeric place only folded into "name(a,<first>..<last>,c)x<count>+<sum
// of that place>", e.g. "dravikEnableCallback(1,S,6,83..76)x23+1571".
std::string SummarizeJournal(const std::vector<std::string>& entries);

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_CALL_JOURNAL_H_
