#include "shared/platform/files.h"

#include <gtest/gtest.h>

#include "shared/platform/test_process.h"

namespace korv {
namespace {

TEST(FilesTest, NearestExistingFolder) {
  std::string dir = MakeTempFolder();
  EXPECT_EQ(NearestExistingFolder(dir + "/a/b/"), dir);
  RemoveTree(dir);
}

}  // namespace
}  // namespace korv
