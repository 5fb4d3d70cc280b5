#ifndef ZENTRIK_TESTING_PMU_FIXTURES_H_
#define ZENTRIK_TESTING_PMU_FIXTURES_H_

#include <string>

#include "trace/core/protobuf/pmu.pb.h"

namespace zentrik {
namespace testing {

// A PmuData whose sixteen counters all hold the no-value marker (all ones).
trace::PmuData AllUnknownPmuData();

// The 177 wire bytes of AllUnknownPmuData() in the form ToHex gives.
std::string AllUnknownPmuDataHex();

}  // namespace testing
}  // namespace zentrik

#endif  // ZENTRIK_TESTING_PMU_FIXTURES_H_
