#include <gtest/gtest.h>

#include "testing/child_process.h"

int main(int argc, char** argv) {
  int exit_code = 0;
  if (zentrik::testing::MaybeRunScenario(&exit_code)) return exit_code;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
