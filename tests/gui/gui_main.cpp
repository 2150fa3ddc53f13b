#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>

// Read by ThreadSanitizer at start (tsan builds only); TSAN_OPTIONS from the environment add to it.
extern "C" const char* __tsan_default_options() { return "suppressions=" TSAN_SUPPRESSIONS; }

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  // Listing the tests (ctest's discovery at build time) needs no display.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
