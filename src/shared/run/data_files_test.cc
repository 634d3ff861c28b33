#include "shared/run/data_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "shared/lists/keyed_list.h"
#include "shared/run/run_test_fixture.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

class DataFilesTest : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    ListClear0();
    data_ = dir_ + "/daten";
    fs::create_directory(data_);
    g_run.verzeichnis = data_ + "\\";
  }
  void TearDown() override {
    ListClear0();
    RunTest::TearDown();
  }

  void SetRange(int32_t beginn, int32_t anzahl) {
    g_run.beginn = beginn;
    g_run.anzahl = anzahl;
    g_run.last_index = beginn + anzahl - 1;
  }

  // Fills the data folder with data files, strays and a folder named like
  // a data file.
  void MakeMixedFolder() {
    for (int i = 3; i <= 12; ++i)
      WriteWholeFile(data_ + "/" + DataFileName(i), "x");
    // Only N + seven digits + .KVL is a data file; every other name is a
    // user's file, whatever it starts with.
    for (const char* name : {"N00000012.KVL", "Nabc.KVL", "n0000004.KVL",
                             "N0000004.kvl", "other.txt", "N.KVL", "N1.KVL",
                             "N0000005-backup.KVL"}) {
      WriteWholeFile(data_ + "/" + name, "user data");
    }
    WriteWholeFile(data_ + "/N9999999.KVL", "far out");
    fs::create_directory(data_ + "/N0000013.KVL");  // named like a data file
  }

  std::string data_;
};

TEST_F(DataFilesTest, NamesAndPaths) {
  struct Case {
    int32_t index;
    std::string verzeichnis, name, path;
  } cases[] = {
      {3, "", "N0000003.KVL", "N0000003.KVL"},
      {0, "daten\\", "N0000000.KVL", "daten/N0000000.KVL"},
      {9999999, "/mnt/usb/a\\", "N9999999.KVL", "/mnt/usb/a/N9999999.KVL"},
      {1234, "a\\b\\", "N0001234.KVL", "a/b/N0001234.KVL"},
  };
  for (const Case& c : cases) {
    g_run.verzeichnis = c.verzeichnis;
    EXPECT_EQ(DataFileName(c.index), c.name);
    EXPECT_EQ(DataFilePath(c.index), c.path);
  }
}

TEST_F(DataFilesTest, CountingScanCountsWhatLiesInRange) {
  MakeMixedFolder();
  struct Case {
    int32_t beginn, anzahl;
    int64_t want;
  } cases[] = {
      {3, 10, 10},  // N0000003 .. N0000012
      {13, 1, 1},   // the folder named like a data file
      {0, 2, 0},    // Nabc and N00000012 are no data files
      {0, 10000000, 12}, {14, 100, 0}, {9999999, 1, 1},
  };
  for (const Case& c : cases) {
    SetRange(c.beginn, c.anzahl);
    g_run.candidate_count = 77;
    CountingScan();
    EXPECT_EQ(g_run.candidate_count, c.want) << c.beginn << " " << c.anzahl;
  }
  EXPECT_EQ(out_, "") << "counting prints nothing";
}

TEST_F(DataFilesTest, CountingScanOfAMissingFolderFindsNothing) {
  g_run.verzeichnis = dir_ + "/gibtsnicht\\";
  SetRange(0, 100);
  g_run.candidate_count = 5;
  CountingScan();
  EXPECT_EQ(g_run.candidate_count, 0);
}

TEST_F(DataFilesTest, CountingScanOfTheCurrentFolder) {
  fs::current_path(data_);
  MakeMixedFolder();
  g_run.verzeichnis.clear();
  SetRange(3, 10);
  CountingScan();
  EXPECT_EQ(g_run.candidate_count, 10);
}

TEST_F(DataFilesTest, ListingScanPutsEveryIndexInRangeIntoList0) {
  MakeMixedFolder();
  SetRange(3, 5);  // 3..7
  g_run.run_total = 5;
  g_run.position = 1;
  DataFolderScan(kScanListing);
  EXPECT_EQ(g_run.position, 6);
  std::set<int32_t> keys;
  int found = 0;
  for (int32_t position = 1; position <= 5; ++position) {
    int32_t key = -1;
    if (ListFindByValue0(position, &key)) {
      ++found;
      keys.insert(key);
    }
  }
  EXPECT_EQ(found, 5);
  EXPECT_EQ(keys, (std::set<int32_t>{3, 4, 5, 6, 7}));
}

TEST_F(DataFilesTest, ListingScanStopsAtTheRunTotal) {
  for (int i = 0; i < 8; ++i) WriteWholeFile(data_ + "/" + DataFileName(i), "");
  SetRange(0, 8);
  struct Case {
    int64_t run_total, want_position;
  } cases[] = {{0, 1}, {3, 4}, {8, 9}, {100, 9}};
  for (const Case& c : cases) {
    ListClear0();
    g_run.run_total = c.run_total;
    g_run.position = 1;
    DataFolderScan(kScanListing);
    EXPECT_EQ(g_run.position, c.want_position) << c.run_total;
    int32_t key;
    EXPECT_EQ(ListFindByValue0(1, &key), c.run_total > 0);
  }
}

TEST_F(DataFilesTest, DeletingScanModes) {
  struct Case {
    char loeschen;
    std::vector<std::string> want_lines;  // in any order
    std::vector<std::string> want_left;
  } cases[] = {
      {'J',
       {"N0000004.KVL geloescht", "N0000005.KVL geloescht",
        "N0000006.KVL Fehler!!!", "N00000012.KVL uebersprungen",
        "N0000012.KVL uebersprungen", "Nabc.KVL uebersprungen",
        "N1.KVL uebersprungen", "N0000005-backup.KVL uebersprungen",
        "N0000011.KVL uebersprungen", "N0000013.KVL uebersprungen"},
       {"N0000006.KVL", "N00000012.KVL", "N0000012.KVL", "Nabc.KVL", "N1.KVL",
        "N0000005-backup.KVL", "other.txt", "N0000011.KVL", "N0000013.KVL"}},
      {'A',
       {"N0000004.KVL geloescht", "N0000005.KVL geloescht",
        "N0000006.KVL Fehler!!!", "N00000012.KVL uebersprungen",
        "N0000012.KVL geloescht", "Nabc.KVL uebersprungen",
        "N1.KVL uebersprungen", "N0000005-backup.KVL uebersprungen",
        "N0000011.KVL uebersprungen", "N0000013.KVL uebersprungen"},
       {"N0000006.KVL", "N00000012.KVL", "Nabc.KVL", "N1.KVL",
        "N0000005-backup.KVL", "other.txt", "N0000011.KVL", "N0000013.KVL"}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.loeschen);
    // A failed deletion is also named with its reason.
    c.want_lines.push_back("E/A-Fehler 21 (Is a directory): " + data_ +
                           "/N0000006.KVL");
    fs::remove_all(data_);
    fs::create_directory(data_);
    for (int i : {4, 5, 12}) WriteWholeFile(data_ + "/" + DataFileName(i), "x");
    for (const char* name : {"N00000012.KVL", "Nabc.KVL", "other.txt",
                             "N1.KVL", "N0000005-backup.KVL"}) {
      WriteWholeFile(data_ + "/" + name, "x");
    }
    fs::create_directory(data_ + "/N0000006.KVL");
    // A link named like a data file goes neither with its target nor
    // alone; nor does a FIFO.
    fs::create_symlink("other.txt", data_ + "/N0000011.KVL");
    ASSERT_EQ(mkfifo((data_ + "/N0000013.KVL").c_str(), 0600), 0);
    out_.clear();
    SetRange(4, 3);
    g_run.loeschen = c.loeschen;
    DataFolderScan(kScanDeleting);
    std::vector<std::string> lines = Lines(out_);
    std::vector<std::string> want_lines = c.want_lines;
    std::vector<std::string> want_left = c.want_left;
    std::sort(lines.begin(), lines.end());
    std::sort(want_lines.begin(), want_lines.end());
    std::sort(want_left.begin(), want_left.end());
    EXPECT_EQ(lines, want_lines);
    EXPECT_EQ(Entries(data_), want_left);
    EXPECT_EQ(DeletionError(), EISDIR) << "the folder that could not go";
  }
}

TEST_F(DataFilesTest, DeletionStepDeletesAndRemovesTheEmptiedFolder) {
  WriteWholeFile(dir_ + "/keep", "");
  for (int i : {3, 4}) WriteWholeFile(data_ + "/" + DataFileName(i), "x");
  SetRange(3, 2);
  g_run.loeschen = 'J';
  DeletionStep();
  std::vector<std::string> lines = Lines(out_);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1],
            "Weiter mit beliebiger Taste, zum Loeschen der Dateien >");
  std::sort(lines.begin() + 2, lines.begin() + 4);
  EXPECT_EQ(lines[2], "N0000003.KVL geloescht");
  EXPECT_EQ(lines[3], "N0000004.KVL geloescht");
  EXPECT_EQ(lines[4], "Verzeichnis: " + data_ + "\\ geloescht");
  EXPECT_FALSE(fs::exists(data_));
  EXPECT_TRUE(fs::exists(dir_ + "/keep")) << "a parent with a file stays";
}

TEST_F(DataFilesTest, DeletionStepKeepsAFolderThatStillHoldsFiles) {
  for (int i : {3, 4}) WriteWholeFile(data_ + "/" + DataFileName(i), "x");
  WriteWholeFile(data_ + "/notes.txt", "x");
  WriteWholeFile(dir_ + "/keep", "");
  SetRange(3, 1);
  g_run.loeschen = 'J';
  DeletionStep();
  EXPECT_EQ(Entries(data_),
            (std::vector<std::string>{"N0000004.KVL", "notes.txt"}));
  EXPECT_EQ(out_.find("Verzeichnis:"), std::string::npos);
}

TEST_F(DataFilesTest, DeletionStepDoesNothingForModeNOrAPendingKey) {
  WriteWholeFile(data_ + "/" + DataFileName(3), "x");
  SetRange(3, 1);
  struct Case {
    char loeschen;
    std::string keys;
  } cases[] = {{'N', ""}, {'J', "x"}, {'A', "q"}};
  for (const Case& c : cases) {
    g_run.loeschen = c.loeschen;
    keys_ = c.keys;
    DeletionStep();
    EXPECT_EQ(out_, "") << c.loeschen;
    EXPECT_EQ(keys_, c.keys) << "the pending key stays unread";
    EXPECT_TRUE(fs::exists(data_ + "/N0000003.KVL"));
  }
}

TEST_F(DataFilesTest, DeletionStepWithPausingAtEndOfInputDoesNotWait) {
  WriteWholeFile(dir_ + "/keep", "");
  WriteWholeFile(data_ + "/" + DataFileName(3), "x");
  SetRange(3, 1);
  g_run.loeschen = 'A';
  g_run.pausing = true;
  keys_.clear();  // standard input at its end
  DeletionStep();
  EXPECT_FALSE(fs::exists(data_));
  EXPECT_EQ(Lines(out_)[2], "N0000003.KVL geloescht");
}

TEST_F(DataFilesTest, DeletionStepInTheCurrentFolderRemovesNoFolder) {
  fs::current_path(data_);
  WriteWholeFile(data_ + "/" + DataFileName(3), "x");
  g_run.verzeichnis.clear();
  SetRange(3, 1);
  g_run.loeschen = 'J';
  DeletionStep();
  EXPECT_EQ(Lines(out_),
            (std::vector<std::string>{
                "", "Weiter mit beliebiger Taste, zum Loeschen der Dateien >",
                "N0000003.KVL geloescht"}));
  EXPECT_TRUE(fs::is_directory(data_));
}

}  // namespace
}  // namespace korv
