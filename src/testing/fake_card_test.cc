// The counterfeit card of the end-to-end tests on its own, as its loop
// device shows it: the aliasing, the write cache, the fill, the slowness
// and the failing region (as root, with FUSE).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "testing/test_process.h"

namespace korv {
namespace {

constexpr long long kMiB = 1 << 20;
constexpr long long kBlock = 4096;

// Bytes that tell one letter's blocks from another's and from the fill,
// and a sector out of place within a block from one in place.
std::string Pattern(char letter, long long bytes) {
  std::string data(static_cast<size_t>(bytes), '\0');
  for (long long i = 0; i < bytes; ++i) {
    data[static_cast<size_t>(i)] = static_cast<char>(letter ^ (i % 251));
  }
  return data;
}

long long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class FakeCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    ASSERT_EQ(posix_memalign(&buffer_, kBlock, kMiB), 0);
  }
  void TearDown() override {
    RemoveFakeCard(&card_);
    RemoveTree(root_);
    free(buffer_);
  }

  // Writes data at offset of the card's loop device past its page cache,
  // then flushes with sync; returns 0 or the errno of the failure.
  int Write(long long offset, const std::string& data, bool sync = false) {
    const int fd = open(card_.device.c_str(), O_RDWR | O_DIRECT);
    if (fd < 0) return errno;
    int error = 0;
    for (size_t done = 0; done < data.size() && error == 0;) {
      const size_t n = std::min<size_t>(kMiB, data.size() - done);
      memcpy(buffer_, data.data() + done, n);
      if (pwrite(fd, buffer_, n, offset + static_cast<long long>(done)) !=
          static_cast<ssize_t>(n)) {
        error = errno;
      }
      done += n;
    }
    if (error == 0 && sync && fsync(fd) != 0) error = errno;
    close(fd);
    return error;
  }

  // Reads bytes (at most 1 MiB) at offset past the page cache; empty on
  // failure.
  std::string Read(long long offset, long long bytes) {
    const int fd = open(card_.device.c_str(), O_RDONLY | O_DIRECT);
    if (fd < 0) return std::string();
    const ssize_t n = pread(fd, buffer_, static_cast<size_t>(bytes), offset);
    close(fd);
    if (n != bytes) return std::string();
    return std::string(static_cast<const char*>(buffer_),
                       static_cast<size_t>(bytes));
  }

  std::string root_;
  FakeCard card_;
  void* buffer_ = nullptr;
};

// 96 MiB announced, 72 MiB real and 16 MiB of cache: 90 MiB and 66 MiB
// share their memory, but the cache keeps what is written to either apart
// until newer writes push it out, the least recently written first, and
// the last one pushed out wins.
TEST_F(FakeCardTest, ItsCacheHoldsWritesBackUntilNewerOnesPushThemOut) {
  FakeCardOptions options;
  options.cache = 16 * kMiB;
  options.fill = true;
  options.format = false;
  std::string why;
  if (!MakeFakeCardWith(root_, 96 * kMiB, 72 * kMiB, options, &card_, &why)) {
    GTEST_SKIP() << why;
  }
  const std::string first = FakeCardChecksum(card_);
  ASSERT_EQ(first.size(), 16u);
  EXPECT_EQ(FakeCardChecksum(card_), first);
  const std::string filled = Read(66 * kMiB, kBlock);
  ASSERT_EQ(filled.size(), static_cast<size_t>(kBlock));
  EXPECT_NE(filled, std::string(kBlock, '\0'));
  EXPECT_EQ(Read(90 * kMiB, kBlock), filled);
  const long long sectors = DeviceWriteSectors(card_.device);
  ASSERT_GE(sectors, 0);

  enum Op { kWrite, kWriteAndSync, kRead };
  struct Step {
    const char* what;
    Op op;
    long long offset;
    long long bytes;
    char content;  // 'F': the fill read above, else Pattern(content)
  };
  const Step steps[] = {
      {"A is cached", kWriteAndSync, 90 * kMiB, kBlock, 'A'},
      {"A reads back", kRead, 90 * kMiB, kBlock, 'A'},
      {"A's memory, despite the flush", kRead, 66 * kMiB, kBlock, 'F'},
      {"B is cached", kWrite, 66 * kMiB, kBlock, 'B'},
      {"A beside B", kRead, 90 * kMiB, kBlock, 'A'},
      {"B beside A", kRead, 66 * kMiB, kBlock, 'B'},
      {"A rewritten, now newer than B", kWrite, 90 * kMiB, kBlock, 'D'},
      {"B, then D, pushed out", kWrite, 0, 32 * kMiB, 'C'},
      {"D kept", kRead, 90 * kMiB, kBlock, 'D'},
      {"B lost", kRead, 66 * kMiB, kBlock, 'D'},
      {"C pushed out", kRead, 0, kBlock, 'C'},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    const std::string data =
        s.content == 'F' ? filled : Pattern(s.content, s.bytes);
    if (s.op == kRead) {
      EXPECT_TRUE(Read(s.offset, s.bytes) == data);
    } else {
      ASSERT_EQ(Write(s.offset, data, s.op == kWriteAndSync), 0);
    }
  }
  EXPECT_EQ(DeviceWriteSectors(card_.device) - sectors,
            (3 * kBlock + 32 * kMiB) / 512);
  const std::string last = FakeCardChecksum(card_);
  EXPECT_EQ(last.size(), 16u);
  EXPECT_NE(last, first);
}

// A block written at probe shows at mirror, where the card stores it, or
// fails at once, as does the checksum of a card that refuses to be read
// whole; the slow card takes its time for the write.
TEST_F(FakeCardTest, ItsOptionsShowOnTheLoopDevice) {
  struct Case {
    const char* what;
    long long announced;
    long long real;
    FakeCardOptions options;
    long long probe;
    long long mirror;  // -1: the write fails with EIO
    int min_write_ms;
  };
  const Case cases[] = {
      {"4 GiB announced, 1 GiB filled",
       4096 * kMiB,
       1024 * kMiB,
       {.fill = true, .format = false},
       4096 * kMiB - kBlock,
       1024 * kMiB - kBlock,
       0},
      {"slow",
       96 * kMiB,
       72 * kMiB,
       {.delay_ms = 300, .format = false},
       80 * kMiB,
       56 * kMiB,
       300},
      {"failing from 80 MiB, before its cache",
       96 * kMiB,
       72 * kMiB,
       {.eio_from = 80 * kMiB, .cache = kMiB, .format = false},
       80 * kMiB,
       -1,
       0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = root_ + "/" + std::to_string(++n);
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    std::string why;
    if (!MakeFakeCardWith(root, c.announced, c.real, c.options, &card_, &why)) {
      GTEST_SKIP() << why;
    }
    EXPECT_TRUE(card_.mount_path.empty());
    if (c.mirror >= 0) {
      const std::string before = Read(c.probe, kBlock);
      ASSERT_EQ(before.size(), static_cast<size_t>(kBlock));
      EXPECT_TRUE(Read(c.mirror, kBlock) == before);
      EXPECT_EQ(before == std::string(kBlock, '\0'), !c.options.fill);
    }
    EXPECT_EQ(FakeCardChecksum(card_).empty(), c.mirror < 0);
    const std::string data = Pattern('P', kBlock);
    const long long start = NowMs();
    EXPECT_EQ(Write(c.probe, data), c.mirror >= 0 ? 0 : EIO);
    EXPECT_GE(NowMs() - start, c.min_write_ms);
    if (c.mirror >= 0) {
      EXPECT_TRUE(Read(c.mirror, kBlock) == data);
    }
    RemoveFakeCard(&card_);
    card_ = FakeCard();
  }
}

}  // namespace
}  // namespace korv
