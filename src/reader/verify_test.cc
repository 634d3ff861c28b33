#include "reader/verify.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "reader/stretch_count.h"
#include "shared/lists/keyed_list.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "testing/test_process.h"

namespace korv {
namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed, int values = 256) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen() % values);
  return bytes;
}

void CountAll(const std::vector<uint8_t>& bytes) {
  CountBlock(bytes.data(), bytes.size());
}

// Runs the character report and returns what it printed.
std::string Report(bool* wrong = nullptr) {
  std::string out;
  TEST_CaptureOutput(&out);
  bool w = CharacterReport();
  TEST_CaptureOutput(nullptr);
  if (wrong != nullptr) *wrong = w;
  return out;
}

class CountingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    ResetVerification();
  }
};

TEST_F(CountingTest, BlocksOfAnyLengthAndAlignmentMatchAPlainCount) {
  const std::vector<uint8_t> bytes = RandomBytes(70000, 7);
  struct Piece {
    size_t offset;
    size_t length;
  };
  // Lengths around the 16-byte steps and the 256-byte stretches, at odd
  // offsets, and whole blocks.
  const std::vector<Piece> pieces = {
      {0, 0},   {1, 1},    {3, 15},   {5, 16},    {7, 17},
      {9, 255}, {11, 256}, {13, 257}, {0, 32768}, {33, 32768}};
  for (const Piece& p : pieces) {
    SCOPED_TRACE(p.length);
    ClearCharacterCounts();
    CountBlock(bytes.data() + p.offset, p.length);
    int64_t expected[256] = {};
    for (size_t i = 0; i < p.length; ++i) ++expected[bytes[p.offset + i]];
    for (int v = 0; v < 256; ++v) {
      ASSERT_EQ(CharacterCount(static_cast<uint8_t>(v)), expected[v]) << v;
    }
    EXPECT_EQ(CharacterTotal(), static_cast<int64_t>(p.length));
  }
}

TEST_F(CountingTest, OneByteBlocksAndMixedBlocksAddUp) {
  std::vector<uint8_t> same(32768, 'A');
  std::vector<uint8_t> almost(32768, 'A');
  almost[32767] = 'B';  // differs only in its very last byte
  std::vector<uint8_t> late(300, 'C');
  late[299] = 'A';  // differs behind the first 256-byte stretch
  CountAll(same);
  CountAll(almost);
  CountAll(late);
  CountAll(same);
  EXPECT_EQ(CharacterCount('A'), 32768 * 3 - 1 + 1);
  EXPECT_EQ(CharacterCount('B'), 1);
  EXPECT_EQ(CharacterCount('C'), 299);
  EXPECT_EQ(CharacterTotal(), 32768 * 3 + 300);
  ClearCharacterCounts();
  EXPECT_EQ(CharacterCount('A'), 0);
  EXPECT_EQ(CharacterTotal(), 0);
}

TEST_F(CountingTest, CountsPassTheThirtyTwoBitRange) {
  // Files are at most 1 GiB when the writer makes them, but the reader
  // takes whatever it finds: the counts must not wrap. Counting 2^35 bytes
  // takes too long here, so the 32-bit sub-counters start just below the
  // top with the bytes since the last fold at the fold limit: the next
  // mixed block must fold them into the 64-bit counts before it counts.
  constexpr uint32_t kNearTop = UINT32_MAX - 100;
  TEST_LoadSubCounts('X', kNearTop, INT64_C(1) << 31);
  std::vector<uint8_t> mixed(kReadBlockSize, 'X');
  for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = 'Y';
  CountAll(mixed);
  const int64_t n = static_cast<int64_t>(kReadBlockSize);
  const int64_t x = 8 * int64_t{kNearTop} + n / 2;
  EXPECT_EQ(CharacterCount('X'), x);
  EXPECT_EQ(CharacterCount('Y'), n / 2);
  EXPECT_EQ(CharacterTotal(), x + n / 2);
  std::string out = Report();
  EXPECT_EQ(out.substr(0, out.find("  - ") + 4),
            "Zeichen: " + std::to_string(x) + "x#88 " + std::to_string(n / 2) +
                "x#89 \nAnzahl:  " + std::to_string(x + n / 2) +
                " - Verschiedene: 2  - ");
}

struct ReportCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::string expected;
  bool wrong;
};

std::vector<uint8_t> Repeated(size_t n, uint8_t v) {
  return std::vector<uint8_t>(n, v);
}

TEST_F(CountingTest, ReportLines) {
  std::vector<uint8_t> a_and_b = Repeated(100, 'A');
  a_and_b.push_back('B');
  std::vector<uint8_t> all_values;
  for (int round = 0; round < 3; ++round) {
    for (int v = 0; v < 256; ++v) all_values.push_back(static_cast<uint8_t>(v));
  }
  const std::vector<ReportCase> cases = {
      {"empty", {}, "Zeichen: \nAnzahl:  0 - Verschiedene: 0  - ", false},
      {"zeros", Repeated(1048576, 0),
       "Zeichen: 1048576xHEX \nAnzahl:  1048576 - Verschiedene: 1  - ", false},
      {"blanks", Repeated(50000, ' '),
       "Zeichen: 50000xLEER \nAnzahl:  50000 - Verschiedene: 1  - ", false},
      {"one A", Repeated(1, 'A'),
       "Zeichen: 1x#65 \nAnzahl:  1 - Verschiedene: 1  - ", false},
      {"100 A and 1 B", a_and_b,
       "Zeichen: 100x#65 1x#66 \nAnzahl:  101 - Verschiedene: 2  - \n"
       "!!! ACHTUNG FEHLER !!!  falsche Zeichen in Datei N0000003.KVL   >\n",
       true},
      {"all 256 values", all_values, "", false},
  };
  for (const ReportCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetVerification();
    g_run.current_index = 3;
    CountAll(c.bytes);
    bool wrong = false;
    std::string out = Report(&wrong);
    if (!c.expected.empty()) {
      EXPECT_EQ(out, c.expected);
    }
    EXPECT_EQ(wrong, c.wrong);
    EXPECT_EQ(WrongFileFound(), c.wrong);
    EXPECT_EQ(LargestTotal(), static_cast<int64_t>(c.bytes.size()));
  }
}

TEST_F(CountingTest, RandomBytesPassOnlyWithAllValues) {
  // 300 random bytes cannot hold all 256 values with this seed; 100000 do.
  const std::vector<uint8_t> short_random = RandomBytes(300, 11);
  const std::vector<uint8_t> long_random = RandomBytes(100000, 11);
  const std::vector<uint8_t> missing_one = RandomBytes(100000, 11, 255);
  bool wrong = false;
  CountAll(short_random);
  Report(&wrong);
  EXPECT_TRUE(wrong);
  ClearCharacterCounts();
  CountAll(long_random);
  std::string out = Report(&wrong);
  EXPECT_FALSE(wrong);
  EXPECT_NE(out.find(" - Verschiedene: 256  - "), std::string::npos);
  ClearCharacterCounts();
  CountAll(missing_one);
  out = Report(&wrong);
  EXPECT_TRUE(wrong);
  EXPECT_NE(out.find(" - Verschiedene: 255  - "), std::string::npos);
}

TEST_F(CountingTest, TwoHundredFiftySixValuesWrapTheCharacterLine) {
  std::vector<uint8_t> bytes;
  for (int v = 0; v < 256; ++v) bytes.push_back(static_cast<uint8_t>(v));
  CountAll(bytes);
  std::string out = Report();
  // Each entry "1x..." counts 7 towards the width of 76. The first line
  // takes ten entries; after a break the first entry is not counted, so
  // the following lines take eleven each and the last one the four left.
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(out.substr(start, end - start));
  }
  lines.push_back(out.substr(start));
  ASSERT_EQ(lines.size(), 25u);  // 24 character lines and the count line
  EXPECT_EQ(lines[0],
            "Zeichen: 1xHEX 1x#1 1x#2 1x#3 1x#4 1x#5 1x#6 1x#7 1x#8 1x#9 ");
  EXPECT_EQ(lines[1],
            "1x#10 1x#11 1x#12 1x#13 1x#14 1x#15 1x#16 1x#17 1x#18 1x#19 "
            "1x#20 ");
  EXPECT_EQ(lines[3],
            "1xLEER 1x#33 1x#34 1x#35 1x#36 1x#37 1x#38 1x#39 1x#40 1x#41 "
            "1x#42 ");
  EXPECT_EQ(lines[23], "1x#252 1x#253 1x#254 1x#255 ");
  EXPECT_EQ(lines[24], "Anzahl:  256 - Verschiedene: 256  - ");
}

TEST_F(CountingTest, WrongFileWaitsForAKeyOnlyWhenPausing) {
  std::vector<uint8_t> bytes = Repeated(10, 'A');
  bytes.push_back('B');
  struct Case {
    bool pausing;
    std::string keys;
    std::string keys_left;
  };
  const Case cases[] = {
      {false, "xy", "xy"},  // not pausing: no key is taken
      {true, "xy", "y"},    // pausing: one key is taken
      {true, "", ""},       // pausing at end of input: no hang
  };
  for (const Case& c : cases) {
    ResetVerification();
    g_run.pausing = c.pausing;
    std::string keys = c.keys;
    TEST_SetKeyInput(&keys);
    CountAll(bytes);
    std::string out = Report();
    TEST_SetKeyInput(nullptr);
    EXPECT_EQ(keys, c.keys_left);
    EXPECT_NE(out.find("!!! ACHTUNG FEHLER !!!"), std::string::npos);
    EXPECT_EQ(out.back(), '\n');
  }
}

// The file step over real files in a temp folder, with list 0 holding the
// order and the protocol off.
class FileStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder();
    ASSERT_FALSE(folder_.empty());
    ResetRunState();
    ResetVerification();
    TEST_ResetProtocol();
    ListClear0();
    g_run.verzeichnis = folder_ + "\\";
    g_run.protokoll = 0;
    g_run.protocol_active = false;
  }
  void TearDown() override {
    TEST_SetKeyInput(nullptr);
    ListClear0();
    RemoveTree(folder_);
  }

  std::string PathOf(const char* name) { return folder_ + "/" + name; }

  // Runs the file loop over indices 3 .. 3 + count - 1 listed in list 0.
  std::string RunSteps(int32_t beginn, int32_t count,
                       const std::vector<int32_t>& listed) {
    g_run.beginn = beginn;
    g_run.anzahl = count;
    g_run.last_index = beginn + count - 1;
    int32_t position = 1;
    for (int32_t index : listed) ListSet0(index, position++);
    ListRenumber0();
    g_run.run_total = static_cast<int64_t>(listed.size());
    g_run.position = 1;
    PrepareFilePath();
    std::string out;
    TEST_CaptureOutput(&out);
    while (g_run.position <= g_run.run_total) FileStep();
    TEST_CaptureOutput(nullptr);
    return out;
  }

  std::string folder_;
};

TEST_F(FileStepTest, BlockCountFollowsTheFileLength) {
  struct Case {
    size_t length;
    int64_t blocks;
  };
  const Case cases[] = {{0, 1}, {1, 1}, {32768, 1}, {32769, 2}, {65536, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    ASSERT_TRUE(
        WriteWholeFile(PathOf("N0000003.KVL"), std::string(c.length, 'q')));
    g_run.progress_bytes = 0;
    g_run.finished_files = 0;
    ListClear0();
    std::string out = RunSteps(3, 1, {3});
    EXPECT_EQ(g_run.progress_bytes, c.blocks * 32768);
    EXPECT_EQ(CharacterTotal(), static_cast<int64_t>(c.length));
    EXPECT_EQ(g_run.finished_files, 1);
    EXPECT_NE(out.find("N0000003.KVL ok   Dauer:"), std::string::npos) << out;
  }
}

TEST_F(FileStepTest, FilesAreReadInIndexOrderAndVanishedOnesReported) {
  for (const char* name : {"N0000007.KVL", "N0000003.KVL", "N0000005.KVL"}) {
    ASSERT_TRUE(WriteWholeFile(PathOf(name), "abc"));
  }
  // Listed in the folder's order 7, 3, 5, plus 4 that is not there.
  std::string out = RunSteps(3, 10, {7, 3, 4, 5});
  size_t p3 = out.find("N0000003.KVL ok");
  size_t p5 = out.find("N0000005.KVL ok");
  size_t p7 = out.find("N0000007.KVL ok");
  ASSERT_NE(p3, std::string::npos);
  ASSERT_NE(p5, std::string::npos);
  ASSERT_NE(p7, std::string::npos);
  EXPECT_LT(p3, p5);
  EXPECT_LT(p5, p7);
  // Found by the scan, gone when read: named, and the run's verdict fails.
  EXPECT_NE(out.find("\n!!! ACHTUNG FEHLER !!!  Datei N0000004.KVL nicht "
                     "lesbar: E/A-Fehler 2 (No such file or directory)   >\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("N0000004.KVL ok"), std::string::npos);
  EXPECT_TRUE(WrongFileFound());
  EXPECT_EQ(g_run.finished_files, 3);
}

TEST_F(FileStepTest, FolderAndFifoNamedLikeDataFilesAreReportedUnread) {
  ASSERT_EQ(MakeFolder(PathOf("N0000003.KVL")), 0);
  ProcessOptions options;
  ProcessResult made =
      RunProgram("/usr/bin/mkfifo", {PathOf("N0000004.KVL")}, options);
  ASSERT_EQ(made.status, 0) << made.output;
  ASSERT_TRUE(WriteWholeFile(PathOf("N0000005.KVL"), "x"));
  std::string out = RunSteps(3, 3, {3, 4, 5});
  EXPECT_NE(out.find("Datei N0000003.KVL nicht lesbar: E/A-Fehler 21 (Is a "
                     "directory)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Datei N0000004.KVL nicht lesbar"), std::string::npos);
  EXPECT_EQ(out.find("N0000003.KVL ok"), std::string::npos);
  EXPECT_EQ(out.find("N0000004.KVL ok"), std::string::npos);
  EXPECT_NE(out.find("N0000005.KVL ok"), std::string::npos);
  EXPECT_EQ(g_run.finished_files, 1);
}

TEST_F(FileStepTest, PendingKeyCutsAFileShortAndEndsTheLoop) {
  ASSERT_TRUE(WriteWholeFile(PathOf("N0000003.KVL"), std::string(70000, 'k')));
  ASSERT_TRUE(WriteWholeFile(PathOf("N0000004.KVL"), "k"));
  std::string keys = " ";
  TEST_SetKeyInput(&keys);
  std::string out = RunSteps(3, 2, {3, 4});
  // One block read, reported, no completion line; counted once.
  EXPECT_EQ(CharacterTotal(), 32768);
  EXPECT_NE(
      out.find("Zeichen: 32768x#107 \nAnzahl:  32768 - Verschiedene: 1  - \n"),
      std::string::npos)
      << out;
  EXPECT_EQ(out.find(" ok   "), std::string::npos);
  EXPECT_EQ(g_run.finished_files, 1);
  EXPECT_EQ(g_run.position, g_run.run_total + 1);
  EXPECT_EQ(keys, " ");  // the key is left for the deletion step to see
}

TEST_F(FileStepTest, PendingKeyAfterALastBlockEndsTheLoopToo) {
  // Files of one block each: the key arrives while the first is read; it
  // is completed, the key adds one more to the count, and the next file is
  // not started.
  for (const char* name : {"N0000003.KVL", "N0000004.KVL", "N0000005.KVL"}) {
    ASSERT_TRUE(WriteWholeFile(PathOf(name), "k"));
  }
  std::string keys = " ";
  TEST_SetKeyInput(&keys);
  std::string out = RunSteps(3, 3, {3, 4, 5});
  EXPECT_NE(out.find("N0000003.KVL ok"), std::string::npos);
  EXPECT_EQ(out.find("N0000004"), std::string::npos);
  EXPECT_EQ(g_run.finished_files, 2);
}

}  // namespace
}  // namespace korv
