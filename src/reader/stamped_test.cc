// End to end: korvfyll PRUEF writes stamped files, korvlas checks them
// sector by sector, in real temp folders and on a fake card (as root).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "shared/platform/helpers.h"
#include "testing/test_process.h"

namespace korv {
namespace {

// The reader's exit status when it found wrong data.
constexpr int kWrongDataStatus = 65;

std::string Name(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "N%07d.KVL", index);
  return name;
}

class StampedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    home_ = root_ + "/home";
    ASSERT_EQ(MakeFolder(home_), 0);
    data_ = root_ + "/daten";
  }
  void TearDown() override {
    RemoveFakeCard(&card_);
    RemoveTree(root_);
  }

  ProcessResult Run(const std::string& program,
                    const std::vector<std::string>& args) {
    ProcessOptions options;
    options.cwd = root_;
    options.env.push_back({"HOME", home_});
    options.timeout_ms = 120000;
    return RunProgram(BuiltProgram(program), args, options);
  }

  // Writes stamped files and returns the tag text the writer showed.
  std::string Fill(const std::string& size, int first, int count,
                   const std::string& folder = "daten") {
    ProcessResult w = Run("korvfyll", {size, "PRUEF", std::to_string(first),
                                       std::to_string(count), "N", folder});
    EXPECT_EQ(w.status, 0) << w.output;
    const std::string label = "ZEICHEN     = PRUEF -> Pruefmuster, Kennung ";
    size_t at = w.output.find(label);
    EXPECT_NE(at, std::string::npos) << w.output;
    if (at == std::string::npos) return std::string();
    return w.output.substr(at + label.size(), 30);
  }

  std::string Data(int index) {
    std::string content;
    EXPECT_TRUE(ReadWholeFile(data_ + "/" + Name(index), &content));
    return content;
  }
  void SetData(int index, const std::string& content) {
    ASSERT_TRUE(WriteWholeFile(data_ + "/" + Name(index), content));
  }

  std::string root_;
  std::string home_;
  std::string data_;
  FakeCard card_;
};

TEST_F(StampedTest, GoodStampedFilesOfEveryLengthPass) {
  for (const char* size :
       {"1", "4", "10", "15", "511", "512", "513", "32769", "1M"}) {
    SCOPED_TRACE(size);
    const std::string tag = Fill(size, 0, 2);
    // The writer leaves an empty file behind when the disk had no room for
    // its first block; it passes.
    SetData(2, "");
    ProcessResult r = Run("korvlas", {"0", "3", "J", "daten"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("ACHTUNG"), std::string::npos) << r.output;
    // A file shorter than a stamp's header cannot be told from any other
    // one-byte file; it passes as such.
    if (std::string(size) == "1") continue;
    // Files too short for the whole tag are judged as the start of their
    // stamped sectors.
    const bool too_short =
        std::string(size).back() != 'M' && std::stoi(size) < 16;
    const std::string named = too_short ? "unbekannt (kurze Dateien)" : tag;
    EXPECT_NE(r.output.find("\nPruefmuster, Kennung " + named + ": "),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(" 0 veraltet, 0 leer - erster Fehler: keiner\n"),
              std::string::npos)
        << r.output;
  }
}

TEST_F(StampedTest, DamagedSectorsAreClassedAndTheRunEndsWithWrongData) {
  const std::string tag = Fill("64K", 0, 5);
  std::string d = Data(1);
  d[1000] = static_cast<char>(d[1000] ^ 0x08);  // one bit in sector 1
  SetData(1, d);
  d = Data(2);
  d.replace(4096, 512, std::string(512, '\0'));  // sector 8 zeroed
  SetData(2, d);
  d = Data(3);
  d.replace(8192, 512, d.substr(0, 512));  // sector 0 copied to sector 16
  SetData(3, d);

  ProcessResult r = Run("korvlas", {"0", "5", "N", "daten", "5"});
  EXPECT_EQ(r.status, kWrongDataStatus) << r.output;
  const std::string wrong = "!!! ACHTUNG FEHLER !!!  falsche Zeichen in Datei ";
  const char* lines[] = {
      "N0000001.KVL   >\nSektoren: 127 ok, 1 geaendert, 0 defekt, 0 "
      "verschoben, 0 veraltet, 0 leer - erster Fehler bei Byte 512\n",
      "N0000002.KVL   >\nSektoren: 127 ok, 0 geaendert, 0 defekt, 0 "
      "verschoben, 0 veraltet, 1 leer - erster Fehler bei Byte 4096\n",
      "N0000003.KVL   >\nSektoren: 127 ok, 0 geaendert, 0 defekt, 1 "
      "verschoben, 0 veraltet, 0 leer - erster Fehler bei Byte 8192\n",
  };
  for (const char* line : lines) {
    EXPECT_NE(r.output.find(wrong + line), std::string::npos) << line;
  }
  EXPECT_EQ(r.output.find(wrong + "N0000000.KVL"), std::string::npos);
  EXPECT_EQ(r.output.find(wrong + "N0000004.KVL"), std::string::npos);
  const std::string totals = "Pruefmuster, Kennung " + tag +
                             ": 318,500 K ok - verloren: 512 geaendert, 0 "
                             "defekt, 512 verschoben, 0 veraltet, 512 leer - "
                             "erster Fehler: N0000001.KVL Byte 512\n";
  EXPECT_NE(r.output.find("\n" + totals), std::string::npos) << r.output;
  // The protocol holds the same, in lines the summary shows whole.
  std::vector<std::string> names = ListFolder(home_ + "/korvamel");
  std::string protocol;
  for (const std::string& n : names) {
    if (n.rfind("korvlas_", 0) == 0) {
      ReadWholeFile(home_ + "/korvamel/" + n, &protocol);
    }
  }
  EXPECT_NE(protocol.find("Pruefmuster, Kennung " + tag + ": 318,500 K ok\n"
                          "  - verloren: 512 geaendert, 0 defekt, 512 "
                          "verschoben, 0 veraltet,\n  512 leer - erster "
                          "Fehler: N0000001.KVL Byte 512\n"),
            std::string::npos)
      << protocol;
  for (const std::string& line : SplitLines(protocol)) {
    EXPECT_LE(line.size(), 68u) << line;
  }
}

TEST_F(StampedTest, AnEarlierRunsDataIsStaleAndItsTagShown) {
  const std::string old_tag = Fill("20000", 0, 5);
  std::vector<std::string> old_files;
  for (int i = 0; i < 5; ++i) old_files.push_back(Data(i));
  // The tags of two runs differ in their seconds first.
  RunProgram("/bin/sleep", {"1.1"}, ProcessOptions());
  const std::string new_tag = Fill("20000", 0, 5);
  ASSERT_NE(old_tag, new_tag);
  std::vector<std::string> new_files;
  for (int i = 0; i < 5; ++i) new_files.push_back(Data(i));

  // A card that kept the old data in the first file and in the middle of
  // the range: the run's tag is the newer of the two end files' tags.
  for (int i : {0, 2}) SetData(i, old_files[static_cast<size_t>(i)]);
  ProcessResult r = Run("korvlas", {"0", "5", "N", "daten"});
  EXPECT_EQ(r.status, kWrongDataStatus) << r.output;
  for (int i : {0, 2}) {
    EXPECT_NE(r.output.find(Name(i) +
                            "   >\nSektoren: 0 ok, 0 geaendert, 0 defekt, 0 "
                            "verschoben, 40 veraltet, 0 leer - erster "
                            "Fehler bei Byte 0\n"),
              std::string::npos)
        << i << r.output;
  }
  EXPECT_NE(r.output.find("\nPruefmuster, Kennung " + new_tag + ": "),
            std::string::npos);
  EXPECT_NE(r.output.find(" - erster Fehler: N0000000.KVL Byte 0 - alte "
                          "Daten: Kennung " +
                          old_tag + "\n"),
            std::string::npos)
      << r.output;

  // A later run over the middle of an earlier one's range: the ends name
  // the earlier run, and the data found is newer, not old.
  SetData(0, old_files[0]);
  SetData(4, old_files[4]);
  for (int i = 1; i <= 3; ++i) SetData(i, new_files[static_cast<size_t>(i)]);
  r = Run("korvlas", {"0", "5", "N", "daten"});
  EXPECT_EQ(r.status, kWrongDataStatus) << r.output;
  EXPECT_NE(r.output.find("\nPruefmuster, Kennung " + old_tag + ": "),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find(" - neuere Daten: Kennung " + new_tag + "\n"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("alte Daten"), std::string::npos);

  // A card that ignored every write of the new run: all files read back
  // as the old run wrote them, and the tag shown is the old run's.
  for (int i = 0; i < 5; ++i) SetData(i, old_files[static_cast<size_t>(i)]);
  r = Run("korvlas", {"0", "5", "N", "daten"});
  EXPECT_NE(r.output.find("\nPruefmuster, Kennung " + old_tag + ": "),
            std::string::npos)
      << r.output;
}

// Damage that would hide the stamp from a look at each end file's first
// sector alone: the stamp is still found, and the damage shown.
TEST_F(StampedTest, DamagedStampsAreStillFoundAndShown) {
  struct Case {
    const char* name;
    std::vector<int> damaged;        // the files damaged
    size_t from;                     // the damage: these bytes of each ...
    size_t length;
    bool every_sector;               // ... or this byte of every sector
    std::vector<std::string> range;  // korvlas beginn anzahl
    const char* sectors;             // the line of each damaged file
  };
  const Case cases[] = {
      {"one sector at both ends", {0, 2}, 100, 64, false, {"0", "3"},
       "Sektoren: 127 ok, 0 geaendert, 1 defekt"},
      {"one sector of a single file", {1}, 100, 64, false, {"1", "1"},
       "Sektoren: 127 ok, 0 geaendert, 1 defekt"},
      {"first block of both ends", {0, 2}, 0, 32768, false, {"0", "3"},
       "Sektoren: 64 ok, 0 geaendert, 64 defekt"},
      {"no intact sector anywhere", {0, 1, 2}, 100, 1, true, {"0", "3"},
       "Sektoren: 0 ok, 0 geaendert, 128 defekt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fill("64K", 0, 3);
    for (int index : c.damaged) {
      std::string d = Data(index);
      if (c.every_sector) {
        for (size_t at = c.from; at < d.size(); at += 512) {
          d[at] = static_cast<char>(~d[at]);
        }
      } else {
        for (size_t at = c.from; at < c.from + c.length; ++at) {
          d[at] = static_cast<char>(d[at] * 7 + 1);
        }
      }
      SetData(index, d);
    }
    ProcessResult r = Run("korvlas", {c.range[0], c.range[1], "N", "daten"});
    EXPECT_EQ(r.status, kWrongDataStatus) << r.output;
    for (int index : c.damaged) {
      EXPECT_NE(r.output.find("falsche Zeichen in Datei " + Name(index) +
                              "   >\n" + c.sectors),
                std::string::npos)
          << index << r.output;
    }
  }
}

// A read that fails in the middle of a file (a bad area of a card) costs
// that file its "ok" and the sectors not read, not the run.
TEST_F(StampedTest, ReadErrorLosesTheSectorsNotRead) {
  Fill("128K", 0, 4);
  const std::string fuse = root_ + "/fuse";
  ASSERT_EQ(MakeFolder(fuse), 0);
  std::string why;
  if (!MountFaultFs(data_, fuse, {"--fail-read=" + Name(1) + ":40000"},
                    &why)) {
    GTEST_SKIP() << why;
  }
  ProcessResult r = Run("korvlas", {"0", "4", "N", fuse});
  Unmount(fuse);
  EXPECT_EQ(r.status, kWrongDataStatus) << r.output;
  EXPECT_NE(r.output.find("\n!!! ACHTUNG FEHLER !!!  Datei N0000001.KVL nicht "
                          "lesbar: E/A-Fehler 5 (Input/output error) ab Byte "
                          "32768, 32768 Byte ungelesen   >\nSektoren: 192 ok, "
                          "0 geaendert, 64 defekt, 0 verschoben, 0 veraltet, "
                          "0 leer - erster Fehler bei Byte 32768\n"),
            std::string::npos)
      << r.output;
  for (int i : {0, 2, 3}) {
    EXPECT_NE(r.output.find(Name(i) + " ok"), std::string::npos) << i;
  }
  EXPECT_EQ(r.output.find(Name(1) + " ok"), std::string::npos);
  EXPECT_NE(r.output.find(": 480,000 K ok - verloren: 0 geaendert, 32,000 K "
                          "defekt, 0 verschoben, 0 veraltet, 0 leer - erster "
                          "Fehler: N0000001.KVL Byte 32768\n"),
            std::string::npos)
      << r.output;
}

// Big files are read by every core, each counting and checking shares of a
// file on its own: what they find together must be what one core finds,
// byte for byte and sector for sector, with every sector class and the
// first bad sector in a share after the one that holds a later bad one.
TEST_F(StampedTest, EveryCoreFindsWhatOneCoreFinds) {
  if (UsableProcessors() < 2) GTEST_SKIP() << "one processor: nothing to share";
  // Files of 20 MiB: two batches of shares on two cores (four on one), and
  // a tail read block by block.
  Fill("20M", 0, 3);
  const std::string old_file = Data(1);
  RunProgram("/bin/sleep", {"1.1"}, ProcessOptions());
  Fill("20M", 0, 3);
  constexpr size_t kMiB = 1 << 20;
  std::string d = Data(1);
  // The first bad sector in the first share, later ones in the second
  // share, in the second batch and behind the batches.
  d[900 * 1024 + 7] = static_cast<char>(d[900 * 1024 + 7] ^ 0x10);
  for (size_t at = 2 * kMiB + 5 * 512; at < 2 * kMiB + 5 * 512 + 64; ++at) {
    d[at] = static_cast<char>(d[at] * 7 + 1);  // defekt
  }
  d.replace(2 * kMiB + 100 * 512, 512,
            old_file.substr(2 * kMiB + 100 * 512, 512));  // veraltet
  d.replace(11 * kMiB + 4096, 512, std::string(512, '\0'));  // leer
  d.replace(18 * kMiB + 8192, 512, d.substr(0, 512));         // verschoben
  SetData(1, d);
  // One byte value but for one block, a block with a few others, and a
  // MiB of "AB" whose one byte pair comes too often for a pair counter:
  // the shares' counts of one value, of mostly one value, and of a pattern
  // they must count again.
  std::string constant(20 * kMiB, 'A');
  constant.replace(3 * kMiB, 32768, std::string(32768, 'B'));
  for (size_t at = kMiB; at < kMiB + 32768; at += 1024) constant[at] = 'C';
  for (size_t at = 2 * kMiB + 1; at < 3 * kMiB; at += 2) constant[at] = 'B';
  SetData(2, constant);

  ProcessOptions options;
  options.cwd = root_;
  options.env.push_back({"HOME", home_});
  options.timeout_ms = 120000;
  ProcessResult one = RunProgram(
      "/usr/bin/taskset",
      {"-c", "0", BuiltProgram("korvlas"), "0", "3", "N", "daten"}, options);
  ProcessResult every = Run("korvlas", {"0", "3", "N", "daten"});
  EXPECT_EQ(every.status, kWrongDataStatus) << every.output;
  EXPECT_EQ(NormalizeTranscript(every.output), NormalizeTranscript(one.output));
  EXPECT_NE(every.output.find(Name(1) + "   >\nSektoren: 40955 ok, 1 geaendert, "
                              "1 defekt, 1 verschoben, 1 veraltet, 1 leer - "
                              "erster Fehler bei Byte 921600\n"),
            std::string::npos)
      << every.output;
  EXPECT_NE(every.output.find("Zeichen: 20414432x#65 557056x#66 32x#67 \n"),
            std::string::npos)
      << every.output;
}

// A stamped fill stopped part way (here in N0000003) and started again at
// the file it did not finish takes the tag of the run it continues: the
// reader sees one run. A start behind a file that is not stamped draws a
// new tag.
TEST_F(StampedTest, AContinuedRunKeepsItsTag) {
  const std::string tag = Fill("40000", 0, 3);
  SetData(3, Data(2).substr(0, 32768));  // the file cut short by the stop
  RunProgram("/bin/sleep", {"1.1"}, ProcessOptions());
  ProcessResult w = Run("korvfyll", {"40000", "PRUEF", "3", "3", "N", "daten"});
  EXPECT_EQ(w.status, 0) << w.output;
  EXPECT_NE(w.output.find("Kennung " + tag + " (fortgesetzt)\n"),
            std::string::npos)
      << w.output;
  ProcessResult r = Run("korvlas", {"0", "6", "N", "daten"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("veraltet, "), r.output.rfind("veraltet, "))
      << "only the totals line counts stale sectors: " << r.output;
  EXPECT_NE(r.output.find("Kennung " + tag + ": "), std::string::npos);

  ASSERT_EQ(Run("korvfyll", {"40000", "A", "6", "1", "N", "daten"}).status, 0);
  const std::string fresh = Fill("40000", 7, 1);
  EXPECT_NE(fresh, tag);
  EXPECT_EQ(fresh.find("fortgesetzt"), std::string::npos);
}

// A 64 MiB card with 48 MiB of memory whose last 16 MiB overwrite the
// 16 MiB before them: stamped data read back after a remount shows the
// moved sectors; a constant fill cannot show them.
TEST_F(StampedTest, FakeCardLosesStampedDataAndConstantFillsCannotTell) {
  struct Case {
    const char* fill;
    int status;
  };
  const Case cases[] = {{"PRUEF", kWrongDataStatus}, {"A", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fill);
    std::string why;
    if (!MakeFakeCard(root_, 64 << 20, 48 << 20, &card_, &why)) {
      GTEST_SKIP() << why;
    }
    ProcessResult w = Run("korvfyll", {"1M", c.fill, "0", "1000", "N",
                                       card_.mount_path});
    ASSERT_EQ(w.status, 0) << w.output;
    ASSERT_NE(w.output.find("N0000050.KVL ok"), std::string::npos)
        << w.output;
    ASSERT_TRUE(RemountFakeCard(&card_, &why)) << why;
    ProcessResult r = Run("korvlas", {"0", "1000", "N", card_.mount_path});
    EXPECT_EQ(r.status, c.status) << r.output;
    if (c.status != 0) {
      EXPECT_NE(r.output.find(" verschoben, 0 veraltet, 0 leer - erster "
                              "Fehler bei Byte "),
                std::string::npos)
          << r.output;
      EXPECT_EQ(r.output.find(" 0 verschoben, 0 veraltet, 0 leer - erster "
                              "Fehler: keiner"),
                std::string::npos);
      // Where to cut the card: the sector the real memory ends at, on the
      // card's own device.
      const std::string device = "\nDatentraeger " + card_.device +
                                 ": erster Fehler bei Sektor ";
      const std::string end = ", echter Speicher endet bei Sektor ";
      const size_t at = r.output.find(end, r.output.find(device));
      ASSERT_NE(at, std::string::npos) << r.output;
      const long long real_end = std::stoll(r.output.substr(at + end.size())) * 512;
      EXPECT_LE(std::llabs(real_end - (48LL << 20)), 1LL << 20) << real_end;
    } else {
      EXPECT_EQ(r.output.find("ACHTUNG"), std::string::npos) << r.output;
    }
    RemoveFakeCard(&card_);
    card_ = FakeCard();
  }
}

}  // namespace
}  // namespace korv
