#include "writer/fill_loop.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "shared/run/run_state.h"
#include "shared/run/run_test_fixture.h"
#include "testing/test_process.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kPlenty = INT64_C(1) << 50;
// A disk near its end, where the writer asks before every block.
constexpr int64_t kNearTheEnd = INT64_C(8) << 20;

// ---- A simulated disk for the space test ----
// Its free space is the capacity minus what the data folder holds; it can
// also lose all its room after a number of questions (another program
// taking the space), and plant a key press at a given question.
std::string g_disk_folder;
int64_t g_capacity = kPlenty;
int g_questions = 0;
int g_drop_after = -1;      // questions answered before the room is gone
int g_key_at = -1;          // question at which a key is pressed
std::string* g_keys = nullptr;
int64_t g_protocol_free = kPlenty;

int64_t BytesInFolder(const std::string& folder) {
  int64_t total = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

int64_t SimulatedDataFree(int /*fd*/) {
  ++g_questions;
  if (g_key_at > 0 && g_questions == g_key_at && g_keys != nullptr) {
    *g_keys = " ";
  }
  if (g_drop_after >= 0 && g_questions > g_drop_after) return 0;
  return g_capacity - BytesInFolder(g_disk_folder);
}

int64_t SimulatedProtocolFree() { return g_protocol_free; }

class FillLoopTest : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    fs::current_path(dir_);
    g_disk_folder = dir_ + "/daten";
    g_capacity = kPlenty;
    g_questions = 0;
    g_drop_after = -1;
    g_key_at = -1;
    g_keys = &keys_;
    g_protocol_free = kPlenty;
  }

  void TearDown() override {
    TEST_SetFreeSpace(nullptr, nullptr, true);
    g_keys = nullptr;
    RunTest::TearDown();
  }

  // Sets the settings of a run into the folder "daten" without protocol.
  void Configure(int64_t size, uint8_t byte, int32_t beginn, int32_t anzahl) {
    g_run.groesse = size;
    g_run.zeichen = byte;
    g_run.random_fill = false;
    g_run.beginn = beginn;
    g_run.anzahl = anzahl;
    g_run.last_index = beginn + anzahl - 1;
    g_run.verzeichnis = "daten\\";
    g_run.protocol_active = false;
    g_run.candidate_count = kPlenty;
  }

  std::string DataFile(const std::string& name) {
    return dir_ + "/daten/" + name;
  }

  int64_t SizeOf(const std::string& name) {
    std::error_code ec;
    auto size = fs::file_size(DataFile(name), ec);
    return ec ? -1 : static_cast<int64_t>(size);
  }

  // Returns the data files left in the folder with their sizes.
  std::vector<std::pair<std::string, int64_t>> FilesLeft() {
    std::vector<std::pair<std::string, int64_t>> files;
    for (const std::string& name : ListFolder(dir_ + "/daten")) {
      files.emplace_back(name, SizeOf(name));
    }
    return files;
  }

  // Returns the indices of the "ok" lines on the console.
  std::vector<std::string> RecordedFiles() {
    std::vector<std::string> names;
    for (const std::string& line : Lines(out_)) {
      if (line.find(".KVL ok") != std::string::npos) {
        names.push_back(line.substr(0, 12));
      }
    }
    return names;
  }
};

TEST_F(FillLoopTest, EveryFileGetsItsSizeInBlocks) {
  struct Case {
    int64_t size;
    int32_t count;
  };
  for (Case c : {Case{40000, 2}, Case{65536, 2}, Case{100, 3}, Case{1, 1},
                 Case{32769, 1}}) {
    SCOPED_TRACE(c.size);
    ResetRunState();
    RemoveTree(dir_ + "/daten");
    out_.clear();
    Configure(c.size, 'A', 0, c.count);
    EXPECT_EQ(FillLoop(), 0);
    ASSERT_EQ(FilesLeft().size(), static_cast<size_t>(c.count));
    for (int32_t i = 0; i < c.count; ++i) {
      std::string data;
      ASSERT_TRUE(ReadWholeFile(DataFile("N000000" + std::to_string(i) +
                                         ".KVL"),
                                &data));
      EXPECT_EQ(data, std::string(static_cast<size_t>(c.size), 'A'));
    }
    EXPECT_EQ(g_run.progress_bytes, c.size * c.count);
    EXPECT_EQ(g_run.finished_files, c.count);
    EXPECT_EQ(g_run.current_index, c.count);
    EXPECT_EQ(g_run.data_file_size, c.size);
  }
}

TEST_F(FillLoopTest, ConsoleShowsAnEmptyLineAndAnOkLinePerFile) {
  Configure(40000, ' ', 3, 2);
  g_run.verzeichnis.clear();
  EXPECT_EQ(FillLoop(), 0);
  EXPECT_EQ(out_,
            "\nN0000003.KVL ok   Dauer:00:00:00,00\n"
            "\nN0000004.KVL ok   Dauer:00:00:00,00\n");
  EXPECT_EQ(fs::file_size(dir_ + "/N0000003.KVL"), 40000u);
  EXPECT_TRUE(g_run.at_line_start);
}

TEST_F(FillLoopTest, FolderIsCreatedWithAllItsLevels) {
  Configure(10, 'x', 0, 1);
  g_run.verzeichnis = "a\\b\\";
  EXPECT_EQ(FillLoop(), 0);
  EXPECT_EQ(fs::file_size(dir_ + "/a/b/N0000000.KVL"), 10u);
  EXPECT_NE(out_.find("Verzeichnis: a\\ angelegt\n"), std::string::npos);
  EXPECT_NE(out_.find("Verzeichnis: a\\b\\ angelegt\n"), std::string::npos);
}

TEST_F(FillLoopTest, ExistingFileIsOverwrittenFromTheStart) {
  fs::create_directory(dir_ + "/daten");
  ASSERT_TRUE(WriteWholeFile(DataFile("N0000000.KVL"),
                             std::string(100000, 'Z')));
  Configure(100, 'A', 0, 1);
  EXPECT_EQ(FillLoop(), 0);
  std::string data;
  ASSERT_TRUE(ReadWholeFile(DataFile("N0000000.KVL"), &data));
  EXPECT_EQ(data, std::string(100, 'A'));
}

TEST_F(FillLoopTest, IndicesAtTheEdgesOfTheRange) {
  struct Case {
    int32_t beginn;
    int32_t anzahl;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {9999999, 1, {"N9999999.KVL"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.beginn);
    ResetRunState();
    RemoveTree(dir_ + "/daten");
    Configure(7, 'q', c.beginn, c.anzahl);
    // The protocol bookkeeping runs too (no file is open for it here).
    g_run.protocol_active = true;
    g_run.protokoll = 200;
    EXPECT_EQ(FillLoop(), 0);
    EXPECT_EQ(ListFolder(dir_ + "/daten"), c.names);
    EXPECT_EQ(g_run.finished_files, c.anzahl);
    EXPECT_EQ(g_run.protocol_file_number, c.anzahl);
  }
}

// ---- Stops on a simulated disk ----

struct StopCase {
  const char* what;
  int64_t size;
  int64_t capacity;
  int drop_after;
  int key_at;
  bool same_drive;
  int64_t protocol_free;
  int64_t reserve;
  std::vector<int64_t> sizes_left;   // sizes of N0, N1, ... afterwards
  std::vector<std::string> recorded;
  int32_t finished;
  int status = 0;  // what FillLoop returns
};

TEST_F(FillLoopTest, StopsWhereTheSpaceOrAKeyEndsTheRun) {
  const std::vector<StopCase> cases = {
      // A whole block always stays free: the capacities hold one more.
      {"room runs short in the middle of a file", 100000, 150000 + 32768, -1,
       -1,
       true, 0, 0, {100000, 32768}, {"N0000000.KVL"}, 1},
      {"room runs short right after the last block of a file", 65536,
       2 * 65536 + 32768 + 100, -1, -1, true, 0, 0, {65536, 65536},
       {"N0000000.KVL", "N0000001.KVL"}, 2},
      {"room gone before the only block of a file", 1000, kPlenty, 4, -1,
       true, 0, 0, {1000, 1000, 0}, {"N0000000.KVL", "N0000001.KVL"}, 2},
      {"room gone before the last block of a file", 40000, kNearTheEnd, 4,
       -1, true, 0, 0, {40000, 32768}, {"N0000000.KVL"}, 1},
      // Far from the end an answer vouches for a MiB: room another program
      // takes is seen at the next question, after the file's last block.
      {"room gone far from the end", 100000, kPlenty, 2, -1, true, 0, 0,
       {100000, 0}, {"N0000000.KVL"}, 1},
      {"the reserve stays free on a shared drive", 32768,
       5 * 32768 + 51200 + 100, -1, -1, true, 0, 51200,
       {32768, 32768, 32768, 32768},
       {"N0000000.KVL", "N0000001.KVL", "N0000002.KVL", "N0000003.KVL"}, 4},
      {"the reserve is not taken from another data drive", 32768,
       3 * 32768 + 10, -1, -1, false, kPlenty, 51200, {32768, 32768},
       {"N0000000.KVL", "N0000001.KVL"}, 2},
      {"the protocol drive falls below the reserve", 32768, kPlenty, -1, -1,
       false, 51199, 51200, {0}, {}, 0},
      {"a free space that cannot be read is an error, not a full disk", 32768,
       -1, -1, -1, true, 0, 0, {0}, {}, 0, EIO},
      {"a key in the middle of a file", 100000, kNearTheEnd, -1, 8, true, 0,
       0, {100000, 65536}, {"N0000000.KVL"}, 2},
      {"a key while the last block of a file is written", 1000, kPlenty, -1,
       3, true, 0, 0, {1000, 1000}, {"N0000000.KVL", "N0000001.KVL"}, 3},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.what);
    ResetRunState();
    RemoveTree(dir_ + "/daten");
    out_.clear();
    keys_.clear();
    g_questions = 0;
    g_capacity = c.capacity;
    g_drop_after = c.drop_after;
    g_key_at = c.key_at;
    g_protocol_free = c.protocol_free;
    TEST_SetFreeSpace(SimulatedDataFree, SimulatedProtocolFree, c.same_drive);
    Configure(c.size, 'A', 0, 10);
    g_run.protocol_reserve = c.reserve;

    EXPECT_EQ(FillLoop(), c.status);

    std::vector<int64_t> sizes;
    for (const auto& [name, size] : FilesLeft()) sizes.push_back(size);
    EXPECT_EQ(sizes, c.sizes_left);
    EXPECT_EQ(RecordedFiles(), c.recorded);
    EXPECT_EQ(g_run.finished_files, c.finished);
    EXPECT_EQ(g_run.current_index, 11) << "no further file may follow";
    EXPECT_EQ(out_.find("E/A-Fehler") != std::string::npos, c.status != 0);
  }
}

TEST(SpaceTest, RoomForBlockDecides) {
  struct Case {
    int64_t length, free_data, free_protocol;
    bool same;
    int64_t reserve;
    bool room;
  };
  const std::vector<Case> cases = {
      // A whole block always stays free behind the one written.
      {32768, 65536, 0, true, 0, true},
      {32768, 65535, 0, true, 0, false},
      {32768, 32768, 0, true, 0, false},
      {100, 32868, 0, true, 0, true},
      {100, 32867, 0, false, 0, false},
      {32768, 65536 + 51200, 0, true, 51200, true},
      {32768, 65536 + 51199, kPlenty, true, 51200, false},
      {32768, 65536, 51200, false, 51200, true},
      {32768, 65536, 51199, false, 51200, false},
      {32768, 65535, kPlenty, false, 0, false},
      {100, -1, kPlenty, true, 0, false},
      {100, -1, kPlenty, false, 0, false},
      {100, kPlenty, -1, false, 51200, false},  // an unknown protocol drive
      {100, kPlenty, -1, true, 0, true},        // is not asked on one drive,
      {100, kPlenty, -1, false, 0, true},       // nor without a reserve
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " " << c.free_data << " "
                                    << c.free_protocol << " " << c.same);
    EXPECT_EQ(RoomForBlock(c.length, c.free_data, c.free_protocol, c.same,
                           c.reserve),
              c.room);
  }
}

// ---- Random fill ----

TEST(RandomFillTest, GeneratorGivesTheKnownSequence) {
  const uint64_t state[4] = {1, 2, 3, 4};
  TEST_SetRandomState(state);
  const std::vector<uint64_t> expected = {
      5, 211106232532999, 211106635186183, UINT64_C(9223759065350669058),
      UINT64_C(9250833439874351877), UINT64_C(13862484359527728515)};
  for (uint64_t value : expected) EXPECT_EQ(TEST_NextRandom(), value);
  // Seeding goes through splitmix64.
  SeedRandomFill(0);
  EXPECT_EQ(TEST_NextRandom(), UINT64_C(0xdaac60e1ed6a4f9b));
  EXPECT_EQ(TEST_NextRandom(), UINT64_C(0x3156a1da0dc08435));
}

TEST(RandomFillTest, ShortTailsAreFilledLikeTheStartOfALongerRun) {
  // The same seed gives the same stream, whatever length is asked for; a
  // short tail is cut from it and nothing is written past the length.
  std::array<uint8_t, 200> whole{};
  SeedRandomFill(99);
  FillRandomBytes(whole.data(), whole.size());
  for (size_t length : {1u, 7u, 8u, 12u, 63u, 64u, 65u, 199u}) {
    SCOPED_TRACE(length);
    std::array<uint8_t, 201> part{};
    SeedRandomFill(99);
    FillRandomBytes(part.data(), length);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + length,
                           whole.begin()));
    for (size_t i = length; i < part.size(); ++i) ASSERT_EQ(part[i], 0);
  }
  // The first eight bytes come from the first lane, whose state is the
  // first four splitmix64 words of the seed.
  SeedRandomFill(0);
  std::array<uint8_t, 8> start{};
  FillRandomBytes(start.data(), start.size());
  uint64_t first = 0;
  std::memcpy(&first, start.data(), 8);
  EXPECT_EQ(first, UINT64_C(0xdaac60e1ed6a4f9b));
}

TEST(RandomFillTest, EveryVectorWidthGivesTheSameStream) {
  std::vector<uint8_t> wide(3 * 32768 + 13);
  std::vector<uint8_t> narrow(wide.size());
  SeedRandomFill(2021);
  FillRandomBytes(wide.data(), 32768);
  FillRandomBytes(wide.data() + 32768, wide.size() - 32768);
  TEST_ForceNarrowRandom(true);
  SeedRandomFill(2021);
  FillRandomBytes(narrow.data(), 32768);
  FillRandomBytes(narrow.data() + 32768, narrow.size() - 32768);
  TEST_ForceNarrowRandom(false);
  EXPECT_EQ(wide, narrow);
}

TEST_F(FillLoopTest, RandomFillGivesEveryBlockFreshBytes) {
  Configure(kFillBlockSize * 32 + 100, 'Z', 0, 1);
  g_run.zeichen = 42;
  g_run.random_fill = true;
  SeedRandomFill(12345);
  EXPECT_EQ(FillLoop(), 0);
  std::string data;
  ASSERT_TRUE(ReadWholeFile(DataFile("N0000000.KVL"), &data));
  ASSERT_EQ(data.size(), static_cast<size_t>(kFillBlockSize * 32 + 100));
  std::array<int64_t, 256> counts{};
  for (char c : data) ++counts[static_cast<uint8_t>(c)];
  // About 4100 of each byte value are expected; the bounds are wide
  // enough never to fail for a working generator.
  for (int v = 0; v < 256; ++v) {
    SCOPED_TRACE(v);
    EXPECT_GT(counts[v], 3000);
    EXPECT_LT(counts[v], 5200);
  }
  const size_t block = static_cast<size_t>(kFillBlockSize);
  EXPECT_NE(data.compare(0, block, data, block, block), 0);
  EXPECT_NE(data.compare(0, 100, data, 32 * block, 100), 0);
}

// ---- A write that fails on a real full file system ----

// A write that fails ends the run after its file. A full disk (the space
// test told there is room, as if another program had taken the space after
// it asked) is the normal end of a fill: no error, and the file keeps only
// its whole blocks. Any other failure (here a file size limit) is reported
// and becomes the run's status.
TEST_F(FillLoopTest, FailedWriteEndsTheRunAndOnlyAFullDiskIsNoError) {
  std::string why;
  if (!MountScratch("klein", 256 * 1024, &why)) GTEST_SKIP() << why;
  TEST_SetFreeSpace([](int) { return kPlenty; }, nullptr, true);
  fs::current_path(dir_ + "/klein");
  struct Case {
    const char* what;
    rlim_t size_limit;
    int status;
    const char* line;
    size_t recorded;  // files before the one cut short
  };
  const Case cases[] = {
      {"the disk is full", RLIM_INFINITY, 0, nullptr, 2},
      {"a file size limit", 50000, EFBIG,
       "\nE/A-Fehler 27 (File too large): N0000000.KVL\n", 0},
  };
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetRunState();
    out_.clear();
    for (const std::string& name : ListFolder(".")) fs::remove(name);
    struct rlimit limit = old_limit;
    limit.rlim_cur = c.size_limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    Configure(100 * 1024, 'A', 0, 10);
    g_run.verzeichnis.clear();
    const int status = FillLoop();
    setrlimit(RLIMIT_FSIZE, &old_limit);
    EXPECT_EQ(status, c.status);
    if (c.line != nullptr) {
      EXPECT_NE(out_.find(c.line), std::string::npos) << out_;
    } else {
      EXPECT_EQ(out_.find("E/A-Fehler"), std::string::npos) << out_;
    }
    EXPECT_EQ(RecordedFiles().size(), c.recorded);
    EXPECT_EQ(g_run.finished_files, static_cast<int32_t>(c.recorded));
    const std::string name = "/klein/N000000" + std::to_string(c.recorded);
    std::error_code ec;
    const uintmax_t cut = fs::file_size(dir_ + name + ".KVL", ec);
    EXPECT_LT(cut, 100u * 1024);
    if (c.status == 0) {
      EXPECT_EQ(cut % kFillBlockSize, 0u) << "whole blocks only";
    }
    EXPECT_EQ(ListFolder(".").size(), c.recorded + 1) << "no further file";
  }
  signal(SIGXFSZ, SIG_DFL);
  fs::current_path(dir_);
}

}  // namespace
}  // namespace korv
