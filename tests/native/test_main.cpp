// The main of every GoogleTest program, in place of gtest_main: a program that ran
// no test, or skipped every test it ran, fails. Otherwise a test file whose cases
// were all filtered out, skipped or lost would count as a pass in CTest.
#include <cstdio>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  // Listing runs nothing by design.
  if (rc != 0 || GTEST_FLAG_GET(list_tests)) return rc;
  const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
  if (unit.test_to_run_count() == 0) {
    std::fprintf(stderr, "%s: no test ran\n", argv[0]);
    return 1;
  }
  if (unit.skipped_test_count() == unit.test_to_run_count()) {
    std::fprintf(stderr, "%s: all %d tests were skipped\n", argv[0], unit.skipped_test_count());
    return 1;
  }
  return 0;
}
