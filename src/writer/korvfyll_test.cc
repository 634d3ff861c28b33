// End to end: the built korvfyll in real temp folders, with HOME set to a
// temp home.
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "testing/test_process.h"
#include "writer/command_line.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

constexpr char kTitleLines[] =
    "Korvfyll   KORVAMEL   V 2.88 (32bit) 13.01.2021\n"
    "\n"
    "Fuellt und loescht Dateien und Festplatten etc...\n";

std::string Name(int index) {
  std::string digits = std::to_string(index);
  return "N" + std::string(7 - digits.size(), '0') + digits + ".KVL";
}

std::string Usage() {
  std::string out;
  TEST_CaptureOutput(&out);
  ShowWriterUsage();
  TEST_CaptureOutput(nullptr);
  return out;
}

// Returns the names of the files with an "ok" line, in order.
std::vector<std::string> OkFiles(const std::string& output) {
  std::vector<std::string> names;
  for (const std::string& line : SplitLines(NormalizeTranscript(output))) {
    if (line.size() > 15 && line.compare(12, 6, " ok   ") == 0) {
      names.push_back(line.substr(0, 12));
    }
  }
  return names;
}

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

class KorvfyllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    home_ = root_ + "/home";
    work_ = root_ + "/work";
    ASSERT_EQ(MakeFolder(home_), 0);
    ASSERT_EQ(MakeFolder(work_), 0);
  }

  void TearDown() override {
    for (const std::string& mount : mounts_) Unmount(mount);
    RemoveTree(root_);
  }

  ProcessResult Run(const std::vector<std::string>& args,
                    ProcessOptions options = ProcessOptions()) {
    if (options.cwd.empty()) options.cwd = work_;
    options.env.push_back({"HOME", home_});
    return RunProgram(BuiltProgram("korvfyll"), args, options);
  }

  // Mounts a tmpfs of size bytes at root_/name; false (why set) if not.
  bool Mount(const std::string& name, long long size, std::string* why) {
    const std::string path = root_ + "/" + name;
    if (MakeFolder(path) != 0) {
      *why = "cannot create " + path;
      return false;
    }
    if (!MountTmpfs(path, size, why)) return false;
    mounts_.push_back(path);
    return true;
  }

  // Returns the protocol files in the protocol folder of home.
  std::vector<std::string> ProtocolFiles(const std::string& home) {
    return ListFolder(home + "/korvamel");
  }

  // Reads the one protocol file of a run into lines.
  std::vector<std::string> ProtocolLines(const std::string& home) {
    const std::vector<std::string> files = ProtocolFiles(home);
    EXPECT_EQ(files.size(), 1u);
    if (files.size() != 1) return {};
    std::string text;
    EXPECT_TRUE(ReadWholeFile(home + "/korvamel/" + files[0], &text));
    return SplitLines(NormalizeTranscript(text));
  }

  std::string root_;
  std::string home_;
  std::string work_;
  std::vector<std::string> mounts_;
};

TEST_F(KorvfyllTest, TranscriptOfTwoSmallFiles) {
  ProcessResult r = Run({"50000", "LEER", "3", "2"});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> expected = {
      "Korvfyll   KORVAMEL   V 2.88 (32bit) 13.01.2021",
      "",
      "Fuellt und loescht Dateien und Festplatten etc...",
      "",
      "GROESSE     = 50000 (48,828 K)",
      "ZEICHEN     = LEER",
      "BEGINN      = 00000003 -> DATEI-VON=N0000003.KVL",
      "ANZAHL      = 00000002 -> DATEI-BIS=N0000004.KVL",
      "LOESCHEN    = N",
      "",
      "Beende mit Tastendruck...",
      "",
      "N0000003.KVL ok   Dauer:<d>",
      "",
      "N0000004.KVL ok   Dauer:<d>",
      "Korvfyll ist beendet.   Dauer:<d>",
  };
  EXPECT_EQ(SplitLines(NormalizeTranscript(r.output)), expected);
  EXPECT_EQ(ListFolder(work_),
            (std::vector<std::string>{"N0000003.KVL", "N0000004.KVL"}));
  for (const char* name : {"N0000003.KVL", "N0000004.KVL"}) {
    std::string data;
    ASSERT_TRUE(ReadWholeFile(work_ + "/" + name, &data));
    EXPECT_EQ(data, std::string(50000, ' '));
  }
  // Three or more arguments without a protocol size: no protocol file.
  EXPECT_TRUE(ProtocolFiles(home_).empty());
}

TEST_F(KorvfyllTest, UsageAndExitStatuses) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const std::vector<Case> cases = {
      {{"?"}, 0},
      {{"/?", "A", "3", "10"}, 0},
      {{"/H"}, 64},
      {{"0.5"}, 64},
      {{"1M", "A", "abc"}, 64},
      {{"1M", "A", "9999999", "2"}, 64},
      {{"1M", "A", "-3", "10"}, 64},
      {{"1M", "A", "3", "10", "N", ".", "10000"}, 64},
  };
  const std::string expected = std::string(kTitleLines) + Usage();
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& a : c.args) label += "[" + a + "]";
    SCOPED_TRACE(label);
    ProcessResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output, expected);
  }
  // Nothing was written: no data file, no protocol file.
  EXPECT_TRUE(ListFolder(work_).empty());
  EXPECT_TRUE(ProtocolFiles(home_).empty());
}

TEST_F(KorvfyllTest, FolderRangeRandomFillAndDeletionOfAll) {
  // Data files of the folder outside the range go too with deletion mode
  // "A"; a user's files that merely look alike stay, whatever the mode.
  ASSERT_EQ(MakeFolder(work_ + "/daten"), 0);
  ASSERT_TRUE(WriteWholeFile(work_ + "/daten/N0000099.KVL", "x"));
  const std::vector<std::string> users = {
      "Notizen.KVL", "NOTES.KVL", "N.KVL", "N1.KVL", "N00000001.KVL",
      "N0000005-backup.KVL", "Nabc.KVL"};
  for (const std::string& name : users) {
    ASSERT_TRUE(WriteWholeFile(work_ + "/daten/" + name, "mine"));
  }
  ProcessResult r = Run({"40000", "RND", "5", "2", "alle", "daten"});
  EXPECT_EQ(r.status, 0);
  const std::string out = NormalizeTranscript(r.output);
  EXPECT_NE(out.find("GROESSE     = 40000 (39,062 K)\n"
                     "ZEICHEN     = RANDOM -> daher langsamer!\n"
                     "BEGINN      = 00000005 -> DATEI-VON=N0000005.KVL\n"
                     "ANZAHL      = 00000002 -> DATEI-BIS=N0000006.KVL\n"
                     "LOESCHEN    = A\n"
                     "VERZEICHNIS = daten\\\n"
                     "\n"
                     "Beende mit Tastendruck...\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(OkFiles(r.output),
            (std::vector<std::string>{"N0000005.KVL", "N0000006.KVL"}));
  EXPECT_NE(out.find("\nWeiter mit beliebiger Taste, zum Loeschen der "
                     "Dateien >\n"),
            std::string::npos);
  for (const char* name : {"N0000005.KVL", "N0000006.KVL", "N0000099.KVL"}) {
    EXPECT_NE(out.find(std::string("\n") + name + " geloescht\n"),
              std::string::npos)
        << name;
  }
  for (const std::string& name : users) {
    EXPECT_NE(out.find("\n" + name + " uebersprungen\n"), std::string::npos)
        << name;
  }
  std::vector<std::string> left = users;
  std::sort(left.begin(), left.end());
  EXPECT_EQ(ListFolder(work_ + "/daten"), left);
  EXPECT_EQ(out.find("Verzeichnis: daten\\ geloescht"), std::string::npos);
}

TEST_F(KorvfyllTest, PlantedLinkIsNotFollowed) {
  const std::string secret = root_ + "/geheim.txt";
  ASSERT_TRUE(WriteWholeFile(secret, "bleibt so\n"));
  ASSERT_EQ(MakeFolder(work_ + "/daten"), 0);
  fs::create_symlink(secret, work_ + "/daten/N0000000.KVL");
  ProcessResult r = Run({"100", "A", "0", "3", "J", "daten", "5"});
  EXPECT_EQ(r.status, ELOOP);
  EXPECT_NE(r.output.find("E/A-Fehler 40 "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("daten/N0000000.KVL"), std::string::npos);
  std::string data;
  ASSERT_TRUE(ReadWholeFile(secret, &data));
  EXPECT_EQ(data, "bleibt so\n");
  EXPECT_TRUE(fs::is_symlink(work_ + "/daten/N0000000.KVL"));
  // The run ended at once: no further file, no deletion, no summary.
  EXPECT_FALSE(fs::exists(work_ + "/daten/N0000001.KVL"));
  EXPECT_EQ(r.output.find("Zusammenfassung:"), std::string::npos);
  EXPECT_EQ(r.output.find("Korvfyll ist beendet."), std::string::npos);
}

// The disk-full runs: the data folder on a small tmpfs, the home on the
// test's own file system or on the same tmpfs.
TEST_F(KorvfyllTest, FullDiskStopsOneBlockBeforeTheEnd) {
  constexpr int64_t kBlock = 32768;
  constexpr int64_t kReserve = 51200;
  constexpr int64_t kFileSize = 102400;
  for (bool home_on_card : {false, true}) {
    SCOPED_TRACE(home_on_card ? "home on the same file system"
                              : "home on another file system");
    const std::string card = home_on_card ? "karte2" : "karte1";
    std::string why;
    if (!Mount(card, 2 * 1024 * 1024, &why)) GTEST_SKIP() << why;
    const std::string card_path = root_ + "/" + card;
    std::string home = home_;
    if (home_on_card) {
      home = card_path + "/home";
      ASSERT_EQ(MakeFolder(home), 0);
    }
    ProcessOptions options;
    options.env.push_back({"HOME", home});
    ProcessResult r = RunProgram(
        BuiltProgram("korvfyll"),
        {"100K", "A", "0", "1000", "N", card_path + "/daten", "5"}, options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("E/A-Fehler"), std::string::npos);

    const std::vector<std::string> files = ListFolder(card_path + "/daten");
    ASSERT_GE(files.size(), 2u);
    // Every file but the last is complete and recorded; the last one was
    // cut short by the space test and is not recorded.
    std::vector<std::string> complete(files.begin(), files.end() - 1);
    for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(files[i], Name(i));
    for (const std::string& name : complete) {
      EXPECT_EQ(FileSize(card_path + "/daten/" + name), kFileSize) << name;
    }
    const int64_t last = FileSize(card_path + "/daten/" + files.back());
    EXPECT_GE(last, 0);
    EXPECT_LT(last, kFileSize);
    EXPECT_EQ(last % kBlock, 0) << "only whole blocks were written";
    EXPECT_EQ(OkFiles(r.output), complete);

    const int64_t free_after = FreeBytesOfPath(card_path);
    // A whole block stays free behind the last one written, never two.
    if (home_on_card) {
      EXPECT_LT(free_after, 2 * kBlock + kReserve);
      // Room stayed for the protocol (which took at most a page since).
      EXPECT_GE(free_after + 4096, kBlock + kReserve);
      EXPECT_EQ(ProtocolFiles(home).size(), 1u);
    } else {
      EXPECT_LT(free_after, 2 * kBlock);
      EXPECT_GE(free_after, kBlock) << "the disk is never written full";
    }
    const std::vector<std::string> protocol = ProtocolLines(home);
    ASSERT_FALSE(protocol.empty());
    EXPECT_EQ(protocol.back(),
              "Durchschnittlich: <s> sek pro 100,000 K Datei (" +
                  std::to_string(complete.size()) + ")");
  }
}

// A key stops the run after the current block, and a stopped run never
// deletes. The key waits before the program starts, so the run stops at
// the same place every time: after the first block. On a terminal it is
// seen without Enter only in the key mode, and the terminal gets its mode
// back at the end.
TEST_F(KorvfyllTest, KeyStopsTheRun) {
  struct Case {
    ProcessOptions::Input input;
    std::string size;
    std::string size_text;
    int64_t first_file;  // size of N0000000.KVL afterwards
    std::vector<std::string> ok;
    int finished;
  };
  const Case cases[] = {
      // The key waits before the first block: the file stops after it.
      {ProcessOptions::kText, "100K", "100,000 K", 32768, {}, 1},
      // A one-block file is complete when the key is seen: it counts, and
      // the key adds one.
      {ProcessOptions::kText, "100", "100", 100, {"N0000000.KVL"}, 2},
      {ProcessOptions::kPty, "1M", "1,000 M", 32768, {}, 1},
  };
  for (const Case& c : cases) {
    const bool terminal = c.input == ProcessOptions::kPty;
    SCOPED_TRACE((terminal ? "terminal, " : "pipe, ") + c.size);
    RemoveTree(home_ + "/korvamel");
    RemoveTree(work_ + "/daten");
    ProcessOptions options;
    options.input = c.input;
    if (terminal) {
      options.key_first = true;
      options.key = " ";  // no Enter
    } else {
      options.stdin_text = "x\n";
    }
    ProcessResult r = Run({c.size, "A", "0", "20", "J", "daten", "5"}, options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.output;
    if (terminal) {
      EXPECT_NE(r.lflag_before & ICANON, 0u);
      EXPECT_EQ(r.lflag_after, r.lflag_before) << "terminal mode restored";
    }
    EXPECT_EQ(OkFiles(r.output), c.ok);
    EXPECT_EQ(ListFolder(work_ + "/daten"),
              std::vector<std::string>{"N0000000.KVL"});
    EXPECT_EQ(FileSize(work_ + "/daten/N0000000.KVL"), c.first_file);
    const std::string out = NormalizeTranscript(r.output);
    EXPECT_EQ(out.find("Weiter mit beliebiger Taste"), std::string::npos);
    EXPECT_EQ(out.find("geloescht"), std::string::npos);
    const std::vector<std::string> protocol = ProtocolLines(home_);
    ASSERT_FALSE(protocol.empty());
    EXPECT_EQ(protocol.back(), "Durchschnittlich: <s> sek pro " +
                                   c.size_text + " Datei (" +
                                   std::to_string(c.finished) + ")");
    EXPECT_NE(out.find("Zusammenfassung:"), std::string::npos);
    const std::vector<std::string> lines = SplitLines(out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Korvfyll ist beendet.   Dauer:<d>");
  }
}

TEST_F(KorvfyllTest, ProtocolOfAThousandFiles) {
  ProcessResult r = Run({"1", "A", "0", "1000", "J", "daten", "200"});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);

  // Step (1000 + 200) div 200 = 6: numbers 1 to 10, the multiples of 6,
  // and the last eleven; the group suffix gives the distance to the
  // previous line when it is two or more.
  std::vector<std::string> expected = {"Start:<Zeit>", ""};
  int previous = -1;
  for (int number = 1; number <= 1000; ++number) {
    if (number > 10 && 1000 - number > 10 && number % 6 != 0) continue;
    const int index = number - 1;
    std::string line = "Next: <Zeit>   Dauer:<d>   " + Name(index) + " ok";
    if (previous >= 0 && index - previous >= 2) {
      line += "   Dauer:<d> Gruppe (" + std::to_string(index - previous) + ")";
    }
    expected.push_back(line);
    previous = index;
  }
  ASSERT_EQ(expected.size(), 2u + 184u);
  expected.push_back("");
  expected.push_back("Stop: <Zeit>   Dauer:<d>   Gesamtzeit");
  expected.push_back("");
  expected.push_back("Durchschnittlich: <s> sek pro 1 Datei (1000)");
  EXPECT_EQ(ProtocolLines(home_), expected);

  const std::string out = NormalizeTranscript(r.output);
  EXPECT_EQ(OkFiles(r.output).size(), 1000u);
  // Pausing is on; standard input is at its end, so every wait ends at once.
  EXPECT_NE(out.find("\nWeiter mit beliebiger Taste, zum Loeschen der "
                     "Dateien >\n"),
            std::string::npos);
  EXPECT_NE(out.find("\nWeiter mit Taste >\n"), std::string::npos);
  size_t deleted = 0;
  for (const std::string& line : SplitLines(out)) {
    if (line.size() == 22 && line.compare(12, 10, " geloescht") == 0) {
      ++deleted;
    }
  }
  EXPECT_EQ(deleted, 1000u);
  EXPECT_FALSE(fs::exists(work_ + "/daten"));
  const std::vector<std::string> files = ProtocolFiles(home_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].size() == 30 &&
              FitsShape(files[0], 0, "korvfyll_d99999999_t999999.txt"))
      << files[0];
  EXPECT_NE(out.find("\nZusammenfassung:\n\nStart:<Zeit>\n"),
            std::string::npos);
  EXPECT_NE(out.find("\nDiese Liste steht auch unter:\n" + home_ +
                     "/korvamel/" + files[0] + "\nKorvfyll ist beendet.   "
                     "Dauer:<d>\n"),
            std::string::npos);
}

}  // namespace
}  // namespace korv
