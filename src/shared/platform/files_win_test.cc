// The Windows data-file reads, run under wine by make test-wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "shared/platform/files.h"
#include "shared/platform/win_internal.h"

namespace korv {
namespace {

// A read past the system's cache that comes back short is no end of the
// file: the file ends where its size says.
TEST(FilesWinTest, ShortUncachedReadsAreNoEnd) {
  const char* temp = std::getenv("TEMP");
  const std::string path =
      std::string(temp != nullptr ? temp : ".") + "\\N0000007.KVL";
  const std::string content(100000, 'A');
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), out),
            content.size());
  ASSERT_EQ(std::fclose(out), 0);

  for (unsigned long ask : {0ul, 4096ul}) {
    SCOPED_TRACE(ask);
    TEST_LimitUncachedReads(ask);
    int fd = -1;
    ASSERT_EQ(OpenRawFileForReading(path, &fd), 0);
    int64_t size = 0;
    EXPECT_EQ(RawFileSize(fd, &size), 0);
    EXPECT_EQ(size, 100000);
    static char block[32768];
    std::string read;
    for (;;) {
      size_t got = 0;
      ASSERT_EQ(ReadRawBlock(fd, block, sizeof block, &got), 0);
      read.append(block, got);
      if (got < sizeof block) break;
    }
    EXPECT_EQ(read.size(), content.size());
    EXPECT_TRUE(read == content) << "the bytes read differ";
    // Reading goes on where it is told, behind a stretch passed over.
    ASSERT_EQ(SeekRawFile(fd, 98304), 0);
    size_t got = 0;
    ASSERT_EQ(ReadRawBlock(fd, block, sizeof block, &got), 0);
    EXPECT_EQ(got, 100000u - 98304u);
    EXPECT_EQ(CloseRawFile(fd), 0);
  }
  TEST_LimitUncachedReads(0);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace korv
