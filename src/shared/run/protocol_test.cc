#include "shared/run/protocol.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "shared/run/run_test_fixture.h"
#include "shared/run/work_folder.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

class ProtocolTest : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    ClearHomeEnv();
    home_ = dir_ + "/home";
    fs::create_directory(home_);
    SetEnv("HOME", home_.c_str());
    HomeFolderLookup("korvamel");
  }

  // Does what a main program does before its first file.
  void StartProtocol(int32_t beginn, int32_t anzahl) {
    g_run.beginn = beginn;
    g_run.anzahl = anzahl;
    g_run.last_index = beginn + anzahl - 1;
    ASSERT_TRUE(ProtocolPrecheck());
    MakeProtocolFileName("korvfyll");
    CreateProtocolFile();
    std::string start_text;
    StopwatchStart(1, &start_text);
    ProtocolWriteLine(start_text);
    StopwatchStart(3);
    StopwatchStart(4);
    ProtocolWriteLine("");
    g_run.protocol_file_number = 0;
    g_run.run_total = anzahl;
    g_run.group_start_index = beginn - 1;
  }

  // One data file handled from start to end at the clock's time.
  void FinishFile(int32_t index) {
    g_run.current_index = index;
    StopwatchStart(2);
    FileCompletionStep();
  }

  std::string ProtocolPath() const { return HomePath() + ProtocolFileName(); }

  std::vector<std::string> ProtocolLines() {
    std::string text;
    EXPECT_TRUE(ReadWholeFile(ProtocolPath(), &text));
    return Lines(text);
  }

  // The protocol lines of the finished files ("Next: ..."), by index.
  std::vector<std::string> FileLines() {
    std::vector<std::string> lines;
    for (const std::string& line : ProtocolLines()) {
      if (line.rfind("Next: ", 0) == 0) lines.push_back(line);
    }
    return lines;
  }

  static int32_t IndexOfLine(const std::string& line) {
    size_t n = line.find("   N");
    return std::stoi(line.substr(n + 4, 7));
  }

  std::string home_;
};

TEST_F(ProtocolTest, PrecheckAlwaysAllowsAProtocol) {
  g_run.protocol_reserve = 5;
  EXPECT_TRUE(ProtocolPrecheck());
  EXPECT_EQ(g_run.protocol_reserve, 51200);
  EXPECT_EQ(g_run.protocol_minimum, 20480);
}

TEST_F(ProtocolTest, StepSetup) {
  struct Case {
    int32_t anzahl;
    int64_t candidates;
    int32_t protokoll;
    int64_t want_planned, want_step;
  } cases[] = {
      {1000, 1000000, 200, 1000, 6},
      {150, 1000000, 200, 150, 1},
      {200, 1000000, 200, 200, 1},
      {201, 1000000, 200, 201, 2},
      {1000, 500, 200, 500, 3},
      {10000000, 10000000, 200, 10000000, 50001},
      {10, 0, 200, 0, 1},
      {1000, 1000, 1, 1000, 1001},
  };
  for (const Case& c : cases) {
    g_run.anzahl = c.anzahl;
    g_run.candidate_count = c.candidates;
    g_run.protokoll = c.protokoll;
    ProtocolStepSetup();
    EXPECT_EQ(g_run.planned_count, c.want_planned) << c.anzahl;
    EXPECT_EQ(g_run.protocol_step, c.want_step) << c.anzahl;
  }
}

TEST_F(ProtocolTest, FileNameFromTheClock) {
  EXPECT_EQ(ProtocolFileName(), "korvkorv");
  SetTestNow(2021, 1, 13, 9, 30, 15, 67);
  MakeProtocolFileName("korvfyll");
  EXPECT_EQ(ProtocolFileName(), "korvfyll_d20210113_t093015.txt");
  SetTestNow(2024, 12, 31, 23, 59, 59, 99);
  MakeProtocolFileName("korvlas");
  EXPECT_EQ(ProtocolFileName(), "korvlas_d20241231_t235959.txt");
}

TEST_F(ProtocolTest, ThousandFilesWithTwoHundredLines) {
  StartProtocol(1, 1000);
  g_run.candidate_count = 1000000;
  g_run.protokoll = 200;
  ProtocolStepSetup();
  ASSERT_EQ(g_run.protocol_step, 6);
  for (int32_t i = 1; i <= 1000; ++i) FinishFile(i);
  CloseProtocolFile();

  std::set<int32_t> want;
  for (int32_t n = 1; n <= 1000; ++n) {
    if (n <= 10 || n >= 990 || n % 6 == 0) want.insert(n);
  }
  std::set<int32_t> got;
  for (const std::string& line : FileLines()) {
    int32_t index = IndexOfLine(line);
    got.insert(index);
    // Between the sampled lines the group suffix names the distance.
    int32_t want_gap = index == 12                                    ? 2
                       : index > 12 && index <= 990 && index % 6 == 0 ? 6
                                                                      : 0;
    if (want_gap > 0) {
      EXPECT_NE(line.find("   Dauer:00:00:00,00 Gruppe (" +
                          std::to_string(want_gap) + ")"),
                std::string::npos)
          << line;
    } else {
      EXPECT_EQ(line.find("Gruppe"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(g_run.finished_files, 1000);
  EXPECT_EQ(g_run.protocol_file_number, 1000);
  EXPECT_EQ(g_run.group_start_index, 1000);
  std::vector<std::string> console = Lines(out_);
  ASSERT_EQ(console.size(), 1000u);
  EXPECT_EQ(console[0], "N0000001.KVL ok   Dauer:00:00:00,00");
  EXPECT_EQ(console[999], "N0001000.KVL ok   Dauer:00:00:00,00");
}

TEST_F(ProtocolTest, LineLayoutWithDurations) {
  SetTestNow(2021, 1, 13, 9, 30, 15, 0);
  StartProtocol(1, 10);  // the group starts before index 1
  g_run.protocol_step = 1;
  g_run.current_index = 3;
  StopwatchStart(2);
  SetTestNow(2021, 1, 13, 9, 30, 38, 45);
  FileCompletionStep();
  EXPECT_EQ(out_, "N0000003.KVL ok   Dauer:00:00:23,45\n");
  CloseProtocolFile();
  std::vector<std::string> lines = ProtocolLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Start:13.01.2021 09:30:15,00");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2],
            "Next: 13.01.2021 09:30:38,45   Dauer:00:00:23,45   N0000003.KVL ok"
            "   Dauer:00:00:23,45 Gruppe (3)");
}

TEST_F(ProtocolTest, GroupSuffixOnlyAfterAGap) {
  StartProtocol(0, 10);
  g_run.protocol_step = 1;
  for (int32_t index : {0, 1, 2, 5, 6, 9}) FinishFile(index);
  CloseProtocolFile();
  std::vector<std::string> lines = FileLines();
  ASSERT_EQ(lines.size(), 6u);
  const char* want_suffix[] = {"", "", "", " Gruppe (3)", "", " Gruppe (3)"};
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::string ending = line.substr(line.find(".KVL ok") + 7);
    if (*want_suffix[i] == '\0') {
      EXPECT_EQ(ending, "") << line;
    } else {
      EXPECT_EQ(ending, std::string("   Dauer:00:00:00,00") + want_suffix[i])
          << line;
    }
  }
}

TEST_F(ProtocolTest, BigDataFilesAnnounceTheProtocolLine) {
  struct Case {
    int64_t size;
    bool announced;
  } cases[] = {{52428800, true}, {52428799, false}, {0, false}};
  for (const Case& c : cases) {
    TEST_ResetProtocol();
    StartProtocol(0, 3);
    g_run.data_file_size = c.size;
    out_.clear();
    FinishFile(0);
    std::vector<std::string> lines = Lines(out_);
    if (c.announced) {
      EXPECT_EQ(lines,
                (std::vector<std::string>{"N0000000.KVL ok   Dauer:00:00:00,00",
                                          "Schreibe Protokoll"}));
    } else {
      EXPECT_EQ(lines.size(), 1u) << c.size;
    }
  }
}

TEST_F(ProtocolTest, WrittenOutAtTheFirstFileAfterAMinute) {
  SetTestNow(2021, 1, 13, 9, 30, 0, 0);
  StartProtocol(0, 100);
  g_run.protocol_step = 1;
  std::string on_disk = "x";

  SetTestNow(2021, 1, 13, 9, 30, 59, 0);
  FinishFile(0);
  ASSERT_TRUE(ReadWholeFile(ProtocolPath(), &on_disk));
  EXPECT_EQ(on_disk, "") << "within the first minute everything is buffered";

  SetTestNow(2021, 1, 13, 9, 31, 0, 1);
  FinishFile(1);
  ASSERT_TRUE(ReadWholeFile(ProtocolPath(), &on_disk));
  std::vector<std::string> lines = Lines(on_disk);
  ASSERT_EQ(lines.size(), 3u) << "start text, empty line, file 0";
  EXPECT_NE(lines[2].find("N0000000.KVL"), std::string::npos);

  // Stopwatch 3 restarted with the write-out: no second one a second later.
  SetTestNow(2021, 1, 13, 9, 31, 1, 0);
  FinishFile(2);
  ASSERT_TRUE(ReadWholeFile(ProtocolPath(), &on_disk));
  EXPECT_EQ(Lines(on_disk).size(), 3u);

  CloseProtocolFile();
  EXPECT_EQ(FileLines().size(), 3u);
}

TEST_F(ProtocolTest, WithoutProtocolOnlyTheConsoleLine) {
  g_run.protocol_active = false;
  g_run.group_start_index = -1;
  g_run.progress_column = 41;
  FinishFile(7);
  EXPECT_EQ(g_run.progress_column, 0);
  EXPECT_EQ(out_, "N0000007.KVL ok   Dauer:00:00:00,00\n");
  EXPECT_EQ(g_run.protocol_file_number, 0);
  EXPECT_EQ(g_run.finished_files, 1);
  EXPECT_EQ(ProtocolFileName(), "korvkorv");
}

TEST_F(ProtocolTest, ProgressMarksBreakBeforeColumn76) {
  for (int mib = 1; mib <= 20; ++mib) {
    g_run.progress_bytes += 1048576;
    ProgressDisplay();
    ProgressDisplay();  // nothing new: no second mark
  }
  std::string line1;
  for (int mib = 1; mib <= 17; ++mib) line1 += std::to_string(mib) + "M, ";
  EXPECT_EQ(line1.size(), 76u);
  EXPECT_EQ(out_, line1 + "\n18M, 19M, 20M, ");
  EXPECT_EQ(g_run.progress_column, 15);
  EXPECT_FALSE(g_run.at_line_start);
}

TEST_F(ProtocolTest, ProgressMarkShowsOnlyTheLatestWholeMib) {
  g_run.at_line_start = true;
  g_run.progress_bytes = 1048575;
  ProgressDisplay();
  EXPECT_EQ(out_, "");
  EXPECT_TRUE(g_run.at_line_start);
  g_run.progress_bytes = 5 * 1048576 + 17;
  ProgressDisplay();
  EXPECT_EQ(out_, "5M, ");
  EXPECT_EQ(g_run.shown_mib, 5);
}

TEST_F(ProtocolTest, ProgressFoldsAfter1024Mib) {
  g_run.progress_bytes = 1024LL * 1048576;
  ProgressDisplay();
  EXPECT_EQ(g_run.folded_gib, 0) << "1024 itself does not fold";
  g_run.progress_bytes += 1048576;
  ProgressDisplay();
  EXPECT_EQ(g_run.folded_gib, 1);
  EXPECT_EQ(g_run.shown_mib, 1);
  EXPECT_EQ(g_run.progress_bytes, 1048576);
  g_run.progress_bytes += 1048576;
  ProgressDisplay();
  EXPECT_EQ(out_, "1024M, 1025M, 1026M, ");
}

TEST_F(ProtocolTest, ProgressAfterManyGib) {
  // 9 GiB folded already, column near its end: a five-digit mark wraps.
  g_run.folded_gib = 9;
  g_run.shown_mib = 800;
  g_run.progress_bytes = 801LL * 1048576;
  g_run.progress_column = 72;
  ProgressDisplay();
  EXPECT_EQ(out_, "\n10017M, ");
  EXPECT_EQ(g_run.progress_column, 8);
}

class SummaryTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    MakeProtocolFileName("korvlas");
  }

  void WriteProtocol(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    ASSERT_TRUE(WriteWholeFile(ProtocolPath(), text));
  }

  std::vector<std::string> Expected(const std::vector<std::string>& body) {
    std::vector<std::string> want = {"", "Zusammenfassung:", ""};
    want.insert(want.end(), body.begin(), body.end());
    want.push_back("");
    want.push_back("Diese Liste steht auch unter:");
    want.push_back(ProtocolPath());
    return want;
  }

  static std::vector<std::string> Numbered(int n) {
    std::vector<std::string> lines;
    for (int i = 1; i <= n; ++i) lines.push_back("Zeile " + std::to_string(i));
    return lines;
  }
};

TEST_F(SummaryTest, ShowsEveryLineWithoutPausing) {
  std::vector<std::string> lines = Numbered(60);
  WriteProtocol(lines);
  keys_ = "ab";
  SummaryDisplay();
  EXPECT_EQ(Lines(out_), Expected(lines));
  EXPECT_EQ(keys_, "ab") << "no key read without pausing";
}

TEST_F(SummaryTest, PagesEvery25LinesWithPausing) {
  std::vector<std::string> lines = Numbered(60);
  WriteProtocol(lines);
  g_run.pausing = true;
  keys_ = "abc";
  SummaryDisplay();
  std::vector<std::string> body = lines;
  body.insert(body.begin() + 49, "Weiter mit Taste >");
  body.insert(body.begin() + 24, "Weiter mit Taste >");
  EXPECT_EQ(Lines(out_), Expected(body));
  EXPECT_EQ(keys_, "c") << "one key per page";
}

TEST_F(SummaryTest, PausingAtEndOfInputDoesNotHang) {
  WriteProtocol(Numbered(30));
  g_run.pausing = true;
  keys_.clear();
  SummaryDisplay();
  EXPECT_EQ(Lines(out_).size(), 3u + 30u + 1u + 3u);
}

TEST_F(SummaryTest, LongLinesWrapWithout69thCharacter) {
  std::string long_line;
  for (int i = 0; i < 80; ++i) long_line += static_cast<char>('A' + i % 26);
  std::string exactly68(68, 'x');
  std::string exactly69 = exactly68 + "y";
  WriteProtocol({long_line, exactly68, exactly69});
  SummaryDisplay();
  const std::string blanks(31, ' ');
  EXPECT_EQ(Lines(out_),
            Expected({long_line.substr(0, 68), blanks + long_line.substr(69),
                      exactly68, exactly68, blanks}));
}

TEST_F(SummaryTest, WrappedLinesCanPassOverAPage) {
  // Two console lines per protocol line: the count runs 1, 3, ... 25 (a
  // page), 27, ... 49, 51, so the page at 50 is passed over.
  std::vector<std::string> lines(30, std::string(70, 'w'));
  WriteProtocol(lines);
  g_run.pausing = true;
  keys_ = "abc";
  SummaryDisplay();
  EXPECT_EQ(keys_, "bc");
}

TEST_F(SummaryTest, EmptyOrMissingProtocol) {
  WriteProtocol({});
  SummaryDisplay();
  EXPECT_EQ(Lines(out_), Expected({""}));
  out_.clear();
  fs::remove(ProtocolPath());
  SummaryDisplay();
  EXPECT_EQ(out_, "");
}

TEST_F(ProtocolTest, SameFileSystemWithoutTmpfs) {
  g_run.verzeichnis = dir_ + "/data\\";
  EXPECT_TRUE(DataOnProtocolDrive());
  EXPECT_GT(FreeBytesDataDrive(), 0);
  EXPECT_GT(FreeBytesProtocolDrive(), 0);
}

TEST_F(ProtocolTest, FreeSpaceEstimate) {
  g_run.verzeichnis = dir_ + "\\";
  g_run.groesse = 1000;
  FreeSpaceEstimate();
  int64_t free_bytes = FreeBytesDataDrive();
  // The free space may move between the two questions on a shared disk.
  EXPECT_NEAR(static_cast<double>(g_run.candidate_count),
              static_cast<double>(free_bytes / 1000), 1e6);
  g_run.groesse = 0;
  FreeSpaceEstimate();
  EXPECT_EQ(g_run.candidate_count, 0);
}

TEST_F(ProtocolTest, UnusableHomeEndsTheRunWhenTheProtocolIsCreated) {
  // No candidate works: a file named korvamel blocks the current folder.
  fs::current_path(dir_);
  ClearHomeEnv();
  WriteWholeFile(dir_ + "/korvamel", "in the way");
  HomeFolderLookup("korvamel");
  ASSERT_EQ(HomeStatus(), -1);
  ASSERT_TRUE(ProtocolPrecheck());
  EXPECT_EQ(FreeBytesProtocolDrive(), -1);
  EXPECT_TRUE(DataOnProtocolDrive()) << "no protocol drive to keep room on";
  // Not dropped without a word: the file's creation names the reason.
  ProtocolSpaceCheck();
  EXPECT_TRUE(g_run.protocol_active);
  MakeProtocolFileName("korvfyll");
  EXPECT_EXIT(CreateProtocolFile(), ::testing::ExitedWithCode(ENOTDIR),
              "E/A-Fehler 20 \\(Not a directory\\): korvamel/korvfyll_d");
}

TEST_F(ProtocolTest, CreateFailureEndsTheProgram) {
  fs::remove_all(home_ + "/korvamel");
  MakeProtocolFileName("korvfyll");
  EXPECT_EXIT(CreateProtocolFile(), ::testing::ExitedWithCode(2), "");
}

class TwoFileSystemsTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    std::string why;
    if (!MountScratch("usb", kUsbSize, &why)) {
      GTEST_SKIP() << "no second file system: " << why;
    }
    usb_ = dir_ + "/usb";
  }
  static constexpr long long kUsbSize = 4 * 1048576;
  std::string usb_;
};

TEST_F(TwoFileSystemsTest, DataFolderOnAnotherMount) {
  g_run.verzeichnis = usb_ + "/a/b\\";  // not there yet: its parent counts
  EXPECT_FALSE(DataOnProtocolDrive());
  EXPECT_EQ(FreeBytesDataDrive(), kUsbSize);
  g_run.groesse = 1048576;
  FreeSpaceEstimate();
  EXPECT_EQ(g_run.candidate_count, 4);

  FolderCreation(g_run.verzeichnis, "");
  EXPECT_FALSE(DataOnProtocolDrive());
  ASSERT_TRUE(
      WriteWholeFile(usb_ + "/a/b/N0000000.KVL", std::string(1048576, 'x')));
  EXPECT_EQ(FreeBytesDataDrive(), kUsbSize - 1048576);
  EXPECT_GT(FreeBytesProtocolDrive(), 0);
  EXPECT_NE(FreeBytesProtocolDrive(), FreeBytesDataDrive());
}

TEST_F(TwoFileSystemsTest, CurrentFolderAsDataFolder) {
  fs::current_path(usb_);
  g_run.verzeichnis.clear();
  EXPECT_FALSE(DataOnProtocolDrive());
  EXPECT_EQ(FreeBytesDataDrive(), kUsbSize);
  g_run.verzeichnis = dir_ + "\\";
  EXPECT_TRUE(DataOnProtocolDrive()) << "a new folder text is looked up anew";
}

TEST_F(TwoFileSystemsTest, ProtocolSwitchedOffWhenItsDriveRunsShort) {
  // The home on the small file system, the data elsewhere.
  SetEnv("HOME", usb_.c_str());
  HomeFolderLookup("korvamel");
  ASSERT_EQ(HomePath(), usb_ + "/korvamel/");
  g_run.verzeichnis = dir_ + "\\";
  EXPECT_FALSE(DataOnProtocolDrive());
  EXPECT_EQ(FreeBytesProtocolDrive(), kUsbSize);

  StartProtocol(0, 100);
  g_run.protocol_step = 1;
  FinishFile(0);
  EXPECT_TRUE(g_run.protocol_active);

  // Fill the drive to below the protocol minimum.
  int64_t free_bytes = FreeBytesProtocolDrive();
  ASSERT_TRUE(
      WriteWholeFile(usb_ + "/filler", std::string(free_bytes - 8192, 'f')));
  ASSERT_LT(FreeBytesProtocolDrive(), 20480);
  FinishFile(1);
  EXPECT_FALSE(g_run.protocol_active);
  EXPECT_EQ(g_run.finished_files, 2);

  // Closed at once: what was written so far is on the disk.
  std::vector<std::string> lines = FileLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("N0000000.KVL ok"), std::string::npos);
  ProtocolWriteLine("nach dem Ende");
  FinishFile(2);
  EXPECT_EQ(FileLines().size(), 1u);
  EXPECT_EQ(Lines(out_).size(), 3u) << "one console line per file, no more";
}

}  // namespace
}  // namespace korv
