// End to end: the built korvlas (and korvfyll to write data files) in real
// temp folders, with HOME set to a temp home.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

std::string Name(int index) {
  std::string digits = std::to_string(index);
  return "N" + std::string(7 - digits.size(), '0') + digits + ".KVL";
}

class KorvlasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    home_ = root_ + "/home";
    data_ = root_ + "/daten";
    ASSERT_EQ(MakeFolder(home_), 0);
    ASSERT_EQ(MakeFolder(data_), 0);
  }
  void TearDown() override {
    for (const std::string& mount : mounts_) Unmount(mount);
    RemoveTree(root_);
  }

  ProcessResult Run(const std::string& program,
                    const std::vector<std::string>& args,
                    ProcessOptions options = ProcessOptions()) {
    if (options.cwd.empty()) options.cwd = data_;
    options.env.push_back({"HOME", home_});
    return RunProgram(BuiltProgram(program), args, options);
  }

  ProcessResult Korvlas(const std::vector<std::string>& args,
                        ProcessOptions options = ProcessOptions()) {
    return Run("korvlas", args, options);
  }

  void WriteData(int index, const std::string& content) {
    ASSERT_TRUE(WriteWholeFile(data_ + "/" + Name(index), content));
  }

  bool DataExists(int index) {
    std::vector<std::string> names = ListFolder(data_);
    return std::find(names.begin(), names.end(), Name(index)) != names.end();
  }

  // Whether the writer is built yet (an unfinished tree has a stand-in).
  bool WriterBuilt() {
    ProcessResult r = Run("korvfyll", {"?"});
    return r.output.find("Aufruf: Korvfyll") != std::string::npos;
  }

  std::string ProtocolText() {
    std::vector<std::string> names = ListFolder(home_ + "/korvamel");
    for (const std::string& n : names) {
      if (n.rfind("korvlas_d", 0) == 0) {
        std::string text;
        ReadWholeFile(home_ + "/korvamel/" + n, &text);
        return text;
      }
    }
    return std::string();
  }

  std::string root_;
  std::string home_;
  std::string data_;
  std::vector<std::string> mounts_;
};

const char kTitle[] =
    "Korvlas   KORVAMEL   V 2.88 (Linux 64) 13.01.2021\n"
    "\n"
    "Liest und analysiert die Dateien von Korvfyll...\n";

TEST_F(KorvlasTest, HelpEndsWithZeroAndRefusedValuesWith64) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const std::vector<Case> cases = {
      {{"?"}, 0},
      {{"-h"}, 0},
      {{"/?"}, 0},
      {{"abc"}, 64},
      {{"-1"}, 64},
      {{"/H"}, 64},
      {{"5", "0"}, 64},
      {{"9999999", "2"}, 64},
      {{"3", "10", "N", ".", "10000"}, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    ProcessResult r = Korvlas(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.output.rfind(kTitle, 0), 0u) << r.output;
    EXPECT_NE(r.output.find("\nAufruf: Korvlas [beginn] [anzahl] [loeschen] "
                            "[verzeichnis] [protokoll]\n"),
              std::string::npos);
    EXPECT_EQ(r.output.find("BEGINN"), std::string::npos);
  }
}

TEST_F(KorvlasTest, TranscriptOfReadingAndDeletingTenFilesOfBlanks) {
  if (WriterBuilt()) {
    ProcessResult w = Run("korvfyll", {"50000", "LEER", "3", "10"});
    ASSERT_EQ(w.status, 0) << w.output;
    for (int i = 3; i <= 12; ++i) ASSERT_TRUE(DataExists(i)) << w.output;
  } else {
    for (int i = 3; i <= 12; ++i) WriteData(i, std::string(50000, ' '));
  }
  ProcessResult r = Korvlas({"3", "10", "J"});
  ASSERT_EQ(r.status, 0) << r.output;
  std::string expected = std::string(kTitle) +
                         "\n"
                         "BEGINN      = 00000003 -> DATEI-VON=N0000003.KVL\n"
                         "ANZAHL      = 00000010 -> DATEI-BIS=N0000012.KVL\n"
                         "LOESCHEN    = J\n"
                         "\n"
                         "Beende mit Tastendruck...\n";
  for (int i = 3; i <= 12; ++i) {
    expected += "\nZeichen: 50000xLEER \nAnzahl:  50000 - Verschiedene: 1  - " +
                Name(i) + " ok   Dauer:<d>\n";
  }
  expected += "\nWeiter mit beliebiger Taste, zum Loeschen der Dateien >\n";
  std::string out = NormalizeTranscript(r.output);
  ASSERT_EQ(out.substr(0, expected.size()), expected) << out;

  // The deletion lines come in the folder's order, which is the file
  // system's; then the closing line.
  std::vector<std::string> rest = SplitLines(out.substr(expected.size()));
  ASSERT_EQ(rest.size(), 12u) << out;
  std::vector<std::string> deleted(rest.begin(), rest.begin() + 10);
  std::sort(deleted.begin(), deleted.end());
  for (int i = 3; i <= 12; ++i) {
    EXPECT_EQ(deleted[static_cast<size_t>(i - 3)], Name(i) + " geloescht");
  }
  EXPECT_EQ(rest[10], "");
  EXPECT_EQ(rest[11], "Korvlas ist beendet.   Dauer:<d>");
  EXPECT_TRUE(ListFolder(data_).empty());
}

TEST_F(KorvlasTest, IndexOrderGapsRangeAndTheProtocolGroups) {
  for (int i : {7, 3, 5, 2, 13}) WriteData(i, std::string(100, 'a'));
  // Pausing is on (fifth argument) and standard input is at its end: the
  // summary must not wait.
  ProcessOptions options;
  options.input = ProcessOptions::kText;
  ProcessResult r = Korvlas({"3", "10", "N", ".", "5"}, options);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.output;
  std::string out = NormalizeTranscript(r.output);
  size_t p3 = out.find("N0000003.KVL ok");
  size_t p5 = out.find("N0000005.KVL ok");
  size_t p7 = out.find("N0000007.KVL ok");
  ASSERT_NE(p3, std::string::npos) << out;
  ASSERT_NE(p5, std::string::npos);
  ASSERT_NE(p7, std::string::npos);
  EXPECT_LT(p3, p5);
  EXPECT_LT(p5, p7);
  EXPECT_EQ(out.find("N0000002.KVL ok"), std::string::npos);
  EXPECT_EQ(out.find("N0000013.KVL ok"), std::string::npos);
  EXPECT_NE(out.find("\nZusammenfassung:\n"), std::string::npos);
  EXPECT_NE(out.find("Diese Liste steht auch unter:"), std::string::npos);

  std::vector<std::string> lines = SplitLines(NormalizeTranscript(ProtocolText()));
  ASSERT_EQ(lines.size(), 9u) << ProtocolText();
  EXPECT_EQ(lines[0], "Start:<Zeit>");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Next: <Zeit>   Dauer:<d>   N0000003.KVL ok");
  EXPECT_EQ(
      lines[3],
      "Next: <Zeit>   Dauer:<d>   N0000005.KVL ok   Dauer:<d> Gruppe (2)");
  EXPECT_EQ(
      lines[4],
      "Next: <Zeit>   Dauer:<d>   N0000007.KVL ok   Dauer:<d> Gruppe (2)");
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(lines[6], "Stop: <Zeit>   Dauer:<d>   Gesamtzeit");
  EXPECT_EQ(lines[7], "");
  // The average: seconds with two decimals and a decimal point.
  EXPECT_EQ(lines[8], "Durchschnittlich: <s> sek pro 100 Datei (3)");
  for (int i : {2, 3, 5, 7, 13}) EXPECT_TRUE(DataExists(i)) << i;
}

TEST_F(KorvlasTest, WrongFileIsReportedAndEndsWithDataErrorStatus) {
  WriteData(3, std::string(100, 'A') + "B");
  WriteData(4, std::string(10, 'A'));
  struct Case {
    std::vector<std::string> args;
    ProcessOptions::Input input;
  };
  // Without pausing, and with pausing while standard input is at its end.
  const Case cases[] = {
      {{"3", "2", "N"}, ProcessOptions::kDevNull},
      {{"3", "2", "N", ".", "5"}, ProcessOptions::kText},
  };
  for (const Case& c : cases) {
    ProcessOptions options;
    options.input = c.input;
    ProcessResult r = Korvlas(c.args, options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 65) << r.output;
    std::string out = NormalizeTranscript(r.output);
    EXPECT_NE(out.find("\nZeichen: 100x#65 1x#66 \n"
                       "Anzahl:  101 - Verschiedene: 2  - \n"
                       "!!! ACHTUNG FEHLER !!!  falsche Zeichen in Datei "
                       "N0000003.KVL   >\n"
                       "N0000003.KVL ok   Dauer:<d>\n"),
              std::string::npos)
        << out;
    // The run goes on with the next file and ends normally.
    EXPECT_NE(out.find("Anzahl:  10 - Verschiedene: 1  - N0000004.KVL ok"),
              std::string::npos);
    EXPECT_NE(out.find("Korvlas ist beendet."), std::string::npos);
  }
}

// korvlas checks the disk, not memory: a byte changed on the disk behind
// the file system's back (in the image under its loop device) is seen,
// although the file's pages are still cached from writing it.
TEST_F(KorvlasTest, ReadsTheDiskNotTheCache) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to mount an ext4 image";
  const std::string image = root_ + "/ext4.img";
  const std::string disk = root_ + "/disk";
  ASSERT_EQ(MakeFolder(disk), 0);
  ProcessOptions sh;
  sh.timeout_ms = 60000;
  ProcessResult made = RunProgram(
      "/bin/sh",
      {"-c", "truncate -s 16M " + image + " && mkfs.ext4 -q -O ^has_journal " +
                 image + " && mount -o loop " + image + " " + disk},
      sh);
  if (made.status != 0) GTEST_SKIP() << "no ext4 loop mount: " << made.output;
  mounts_.push_back(disk);
  // The writer ends with the file system flushed: the file is on the disk
  // and its pages stay cached.
  ProcessResult w = Run("korvfyll", {"1M", "A", "0", "1", "N", disk});
  ASSERT_EQ(w.status, 0) << w.output;
  ASSERT_EQ(Korvlas({"0", "1", "N", disk}).status, 0);

  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(image, &bytes));
  const size_t at = bytes.find(std::string(4096, 'A'));
  ASSERT_NE(at, std::string::npos) << "the file's blocks in the image";
  {
    std::fstream disk_image(image,
                            std::ios::in | std::ios::out | std::ios::binary);
    disk_image.seekp(static_cast<std::streamoff>(at + 2048));
    disk_image.put('B');
    ASSERT_TRUE(disk_image.flush());
  }

  ProcessResult r = Korvlas({"0", "1", "N", disk});
  EXPECT_EQ(r.status, 65) << r.output;
  EXPECT_NE(r.output.find("1048575x#65 1x#66"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("falsche Zeichen in Datei N0000000.KVL"),
            std::string::npos);
}

TEST_F(KorvlasTest, RandomFilesPassOnlyWithAllValuesAndOtherLengths) {
  std::mt19937 gen(5);
  std::string all_values(200000, '\0');
  for (char& c : all_values) c = static_cast<char>(gen());
  WriteData(0, all_values);
  WriteData(1, "");
  WriteData(2, std::string(32768, '\0'));
  WriteData(3, std::string(32769, '\xff'));
  ProcessResult r = Korvlas({"0", "4"});
  EXPECT_EQ(r.status, 0) << r.output;
  std::string out = NormalizeTranscript(r.output);
  EXPECT_NE(out.find("Anzahl:  200000 - Verschiedene: 256  - N0000000.KVL ok"),
            std::string::npos);
  EXPECT_NE(out.find("\nZeichen: \nAnzahl:  0 - Verschiedene: 0  - "
                     "N0000001.KVL ok"),
            std::string::npos);
  EXPECT_NE(out.find("\nZeichen: 32768xHEX \nAnzahl:  32768 - "),
            std::string::npos);
  EXPECT_NE(out.find("\nZeichen: 32769x#255 \nAnzahl:  32769 - "),
            std::string::npos);

  std::string few_values(200000, '\0');
  for (char& c : few_values) c = static_cast<char>(gen() % 200);
  WriteData(4, few_values);
  r = Korvlas({"4", "1"});
  EXPECT_EQ(r.status, 65) << r.output;
  EXPECT_NE(r.output.find("Verschiedene: 200  - \n!!! ACHTUNG FEHLER !!!"),
            std::string::npos);
}

TEST_F(KorvlasTest, EntriesThatAreNoRegularFilesAreReportedNotRead) {
  ASSERT_EQ(MakeFolder(data_ + "/" + Name(3)), 0);
  ProcessResult made =
      RunProgram("/usr/bin/mkfifo", {data_ + "/" + Name(4)}, ProcessOptions());
  ASSERT_EQ(made.status, 0) << made.output;
  WriteData(9, std::string(50, 'A') + "B");  // would be wrong if followed
  ProcessResult linked = RunProgram(
      "/bin/ln", {"-s", data_ + "/" + Name(9), data_ + "/" + Name(5)},
      ProcessOptions());
  ASSERT_EQ(linked.status, 0) << linked.output;
  WriteData(6, "zzz");
  ProcessOptions options;
  options.timeout_ms = 20000;
  ProcessResult r = Korvlas({"3", "4"}, options);
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.status, 65) << r.output;
  std::string out = NormalizeTranscript(r.output);
  // Never read, never "ok", but named with the reason: the link is not
  // followed to its wrong file.
  for (int index : {3, 4, 5}) {
    EXPECT_EQ(out.find(Name(index) + " ok"), std::string::npos);
    EXPECT_NE(out.find("!!! ACHTUNG FEHLER !!!  Datei " + Name(index) +
                       " nicht lesbar: E/A-Fehler "),
              std::string::npos)
        << out;
  }
  EXPECT_EQ(out.find("falsche Zeichen"), std::string::npos);
  EXPECT_NE(out.find("Anzahl:  3 - Verschiedene: 1  - N0000006.KVL ok"),
            std::string::npos)
      << out;
}

TEST_F(KorvlasTest, DataFolderArgumentIsUsedAndRemovedWhenEmptied) {
  WriteData(3, "x");
  WriteData(4, "y");
  ProcessOptions options;
  options.cwd = root_;
  ProcessResult r = Korvlas({"3", "2", "J", "daten"}, options);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("VERZEICHNIS = daten\\\n"), std::string::npos);
  EXPECT_NE(r.output.find("N0000004.KVL ok"), std::string::npos);
  EXPECT_NE(r.output.find("Verzeichnis: daten\\ geloescht"), std::string::npos)
      << r.output;
  EXPECT_FALSE(FolderExists(data_));
}

class KorvlasKeyTest : public KorvlasTest {
 protected:
  static constexpr int kFiles = 20000;
  // So many that no run ends before the key is seen; on a tmpfs of their
  // own where one can be mounted, so that they cost little.
  void MakeManyFiles() {
    std::string why;
    if (MountTmpfs(data_, 64 << 20, &why)) mounts_.push_back(data_);
    for (int i = 0; i < kFiles; ++i) WriteData(i, "k");
  }
  void ExpectStoppedEarly(const ProcessResult& r) {
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.output.substr(0, 2000);
    std::string out = NormalizeTranscript(r.output);
    EXPECT_NE(out.find("N0000000.KVL ok"), std::string::npos);
    EXPECT_EQ(out.find(Name(kFiles - 1) + " ok"), std::string::npos);
    // Stopped by a key, so nothing is deleted.
    EXPECT_EQ(out.find("Weiter mit beliebiger Taste"), std::string::npos);
    EXPECT_NE(out.find("Korvlas ist beendet."), std::string::npos);
    EXPECT_EQ(ListFolder(data_).size(), static_cast<size_t>(kFiles));
  }
};

TEST_F(KorvlasKeyTest, KeyFromATerminalEndsTheLoopAndNothingIsDeleted) {
  MakeManyFiles();
  ProcessOptions options;
  options.input = ProcessOptions::kPty;
  options.key_after = "Beende mit Tastendruck...";
  options.key = "q";
  ProcessResult r = Korvlas({"0", std::to_string(kFiles), "J"}, options);
  ExpectStoppedEarly(r);
  EXPECT_EQ(r.lflag_after, r.lflag_before);
}

TEST_F(KorvlasKeyTest, KeyFromAPipeEndsTheLoopToo) {
  MakeManyFiles();
  ProcessOptions options;
  options.input = ProcessOptions::kOpenPipe;
  options.key_after = "Beende mit Tastendruck...";
  options.key = "\n";
  ProcessResult r = Korvlas({"0", std::to_string(kFiles), "A"}, options);
  ExpectStoppedEarly(r);
}

}  // namespace
}  // namespace korv
