#include "shared/platform/console.h"

#include <gtest/gtest.h>

namespace korv {
namespace {

TEST(ConsoleTest, CaptureKeepsOrder) {
  std::string sink;
  TEST_CaptureOutput(&sink);
  Out("a");
  OutLine("b");
  OutLine();
  TEST_CaptureOutput(nullptr);
  EXPECT_EQ(sink, "ab\n\n");
}

}  // namespace
}  // namespace korv
