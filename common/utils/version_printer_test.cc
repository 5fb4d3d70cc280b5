#include "common/utils/version_printer.h"

#include <gtest/gtest.h>

#include <regex>

#include "testing/child_process.h"

namespace zentrik {
namespace {

TEST(VersionPrinterTest, LoadingTheLibraryLogsTheBannerOnlyWhenInfoIsOn) {
  const std::regex banner(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}: INFO:  )"
                          R"(common/utils/version_printer:\d+\] Zentrik Version: 0\.20\.0\n)");
  const std::optional<std::string> levels[] = {"0", std::nullopt};
  for (const auto& level : levels) {
    const auto result = testing::RunChild({LOAD_LIBRARY_PROBE, ZENTRIK_SHARED_LIBRARY},
                                          {{"ZENTRIK_CPP_MIN_LOG_LEVEL", level}, {"TZ", "UTC"}});
    ASSERT_EQ(result.exit_code, 0) << result.out;
    EXPECT_TRUE(level == "0" ? std::regex_match(result.err, banner) : result.err.empty())
        << level.value_or("unset") << ": " << result.err;
  }
}

}  // namespace
}  // namespace zentrik
