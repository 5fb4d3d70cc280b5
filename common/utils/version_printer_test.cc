#include "common/utils/version_printer.h"

#include <gtest/gtest.h>

#include <regex>

#include "testing/child_process.h"

namespace zentrik {
namespace {

using ::zentrik::testing::RunChild;

TEST(VersionPrinterTest, LoadingTheLibraryLogsTheBannerOnlyWhenInfoIsOn) {
  const struct {
    std::optional<std::string> min_level;
    bool shown;
  } cases[] = {{"0", true}, {std::nullopt, false}, {"1", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.min_level.value_or("unset"));
    const auto result = RunChild({LOAD_LIBRARY_PROBE, ZENTRIK_SHARED_LIBRARY},
                                 {{"ZENTRIK_CPP_MIN_LOG_LEVEL", c.min_level}, {"TZ", "UTC"}});
    ASSERT_EQ(result.exit_code, 0) << result.out;
    if (!c.shown) {
      EXPECT_EQ(result.err, "");
      continue;
    }
    EXPECT_TRUE(std::regex_match(
        result.err,
        std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}: INFO:  )"
                   R"(common/utils/version_printer:\d+\] Zentrik Version: 0\.20\.0\n)")))
        << result.err;
  }
}

}  // namespace
}  // namespace zentrik
