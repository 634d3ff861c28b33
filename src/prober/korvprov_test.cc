// End to end: korvprov on counterfeit cards (FUSE image, loop device,
// ext4), on a sound one, and on file systems where it cannot look (as
// root); its command line everywhere.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

constexpr long long kMiB = 1 << 20;
constexpr int kFakeCardStatus = 65;
constexpr int kNoQuickCheckStatus = 69;
constexpr int kFolderBusyExitStatus = 75;

class KorvprovTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    home_ = root_ + "/home";
    ASSERT_EQ(MakeFolder(home_), 0);
  }
  void TearDown() override {
    RemoveFakeCard(&card_);
    for (const std::string& m : mounts_) Unmount(m);
    RemoveTree(root_);
  }

  ProcessResult Run(const std::vector<std::string>& args) {
    ProcessOptions options;
    options.cwd = root_;
    options.env.push_back({"HOME", home_});
    options.timeout_ms = 120000;
    return RunProgram(BuiltProgram("korvprov"), args, options);
  }

  // The number in the output after text, -1 when text is not there.
  static long long NumberAfter(const std::string& output,
                               const std::string& text) {
    const size_t at = output.find(text);
    if (at == std::string::npos) return -1;
    return std::atoll(output.c_str() + at + text.size());
  }

  std::string root_;
  std::string home_;
  FakeCard card_;
  std::vector<std::string> mounts_;
};

TEST_F(KorvprovTest, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* shown;
  };
  const Case cases[] = {
      {{"?"}, 0, "Aufruf: Korvprov [verzeichnis] [protokoll]\n"},
      {{"", "10000"}, 64, "Aufruf: Korvprov [verzeichnis] [protokoll]\n"},
      {{std::string(300, 'x')}, 64, "Aufruf: Korvprov"},
      {{"fehlt"}, 2, "E/A-Fehler 2 ("},
      {{"--foo"}, 64, "Aufruf: Korvprov"},
      {{"--zurueck=x"}, 64, "Korvprov --zurueck=datei geraet\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0].substr(0, 10));
    ProcessResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find("Korvprov   KORVAMEL   V 2.88"), std::string::npos);
    EXPECT_NE(r.output.find(c.shown), std::string::npos) << r.output;
  }
}

// 96 MiB announced, 72 MiB real, the excess overwriting the 24 MiB before
// the real end: found to the block, in a small part of the card, and the
// probe file is gone with its room.
TEST_F(KorvprovTest, FindsTheRealEndOfAFakeCard) {
  std::string why;
  if (!MakeFakeCard(root_, 96 * kMiB, 72 * kMiB, &card_, &why)) {
    GTEST_SKIP() << why;
  }
  const int64_t free_before = FreeBytesOfPath(card_.mount_path);
  ProcessResult r = Run({card_.mount_path, "5"});
  EXPECT_EQ(r.status, kFakeCardStatus) << r.output;
  // "echter Speicher endet bei Sektor <n>" or, where the file system's own
  // records keep the probe from the blocks just past the end, "... endet
  // zwischen Sektor <a> (<size>) und Sektor <b>".
  const std::string end = "Datentraeger " + card_.device +
                          ": angekuendigt 96,000 M, echter Speicher endet ";
  long long low = NumberAfter(r.output, end + "bei Sektor ");
  long long high = low;
  if (low < 0) {
    low = NumberAfter(r.output, end + "zwischen Sektor ");
    high = NumberAfter(r.output, ") und Sektor ");
  }
  ASSERT_GT(low, 0) << r.output;
  EXPECT_LE(low * 512, 72 * kMiB) << r.output;
  EXPECT_GE(high * 512, 72 * kMiB) << r.output;
  EXPECT_LE(high * 512 - low * 512, kMiB) << r.output;
  EXPECT_NE(r.output.find("!!! ACHTUNG FEHLER !!!  Die Karte hat weniger "
                          "Speicher, als sie angibt\n"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("auf ihren Anfang"), std::string::npos);
  // "Geschrieben: 12,345 M": at most half the card.
  const long long written_mib = NumberAfter(r.output, "Geschrieben: ");
  ASSERT_GE(written_mib, 0) << r.output;
  EXPECT_LE(written_mib, 48) << r.output;
  EXPECT_NE(r.output.find(" M in "), std::string::npos) << r.output;
  EXPECT_EQ(ListFolder(card_.mount_path),
            std::vector<std::string>({"lost+found"}));
  EXPECT_GE(FreeBytesOfPath(card_.mount_path), free_before - kMiB);
  // The protocol holds the result.
  std::string protocol;
  for (const std::string& n : ListFolder(home_ + "/korvamel")) {
    if (n.rfind("korvprov_", 0) == 0) {
      ReadWholeFile(home_ + "/korvamel/" + n, &protocol);
    }
  }
  EXPECT_NE(protocol.find("echter Speicher endet"), std::string::npos)
      << protocol;
  EXPECT_NE(protocol.find(std::to_string(low)), std::string::npos) << protocol;
  for (const std::string& line : SplitLines(protocol)) {
    EXPECT_LE(line.size(), 68u) << line;
  }
}

// In a folder the check cannot see writes that land on the file system's
// own records: a sound card gets no all-clear there, but the advice to
// check the device.
TEST_F(KorvprovTest, AFolderGivesNoAllClear) {
  std::string why;
  if (!MakeFakeCard(root_, 96 * kMiB, 96 * kMiB, &card_, &why)) {
    GTEST_SKIP() << why;
  }
  ProcessResult r = Run({card_.mount_path});
  EXPECT_EQ(r.status, kNoQuickCheckStatus) << r.output;
  EXPECT_NE(r.output.find("Datentraeger " + card_.device +
                          ": angekuendigt 96,000 M, kein Fehler von Sektor "),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("ausgehaengt pruefen: korvprov " + card_.device),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("Kein Hinweis"), std::string::npos) << r.output;
  EXPECT_EQ(ListFolder(card_.mount_path),
            std::vector<std::string>({"lost+found"}));
}

// The excess of a 96 MiB card with 64 MiB lands on its very start, where
// ext4 keeps its own records: the probe says so and how far it can tell.
TEST_F(KorvprovTest, AFakeCardThatOverwritesItsStartIsNamed) {
  std::string why;
  if (!MakeFakeCard(root_, 96 * kMiB, 64 * kMiB, &card_, &why, 0)) {
    GTEST_SKIP() << why;
  }
  ProcessResult r = Run({card_.mount_path});
  EXPECT_EQ(r.status, kFakeCardStatus) << r.output;
  EXPECT_NE(r.output.find(": angekuendigt 96,000 M, echter Speicher endet "
                          "zwischen Sektor 131072 (64,000 M) und Sektor "),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("!!! Was ueber ihr Ende geht, schreibt die Karte "
                          "auf ihren Anfang: das Dateisystem darauf ist "
                          "beschaedigt, neu formatieren\n"),
            std::string::npos)
      << r.output;
}

// Where the file system cannot reserve room without writing it (ext2) or
// cannot tell where a file lies (tmpfs), one line says so and names the
// full check.
TEST_F(KorvprovTest, FileSystemsWithoutAMapAdviseTheFullCheck) {
  if (!IsRoot()) GTEST_SKIP() << "needs root for tmpfs and loop mounts";
  struct Case {
    const char* kind;
    const char* reason;
  };
  const Case cases[] = {
      {"tmpfs", "das Dateisystem sagt nicht, wo eine Datei liegt"},
      {"ext2", "das Dateisystem belegt keinen Platz, ohne ihn zu schreiben"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const std::string folder = root_ + "/" + c.kind;
    ASSERT_EQ(MakeFolder(folder), 0);
    std::string why;
    if (std::string(c.kind) == "tmpfs") {
      ASSERT_TRUE(MountTmpfs(folder, 32 * kMiB, &why)) << why;
    } else {
      const std::string image = root_ + "/ext2.img";
      ProcessResult m = RunProgram(
          "/bin/sh",
          {"-c", "truncate -s 32M " + image + " && mkfs.ext2 -q -F " + image +
                     " && mount -o loop " + image + " " + folder},
          ProcessOptions());
      if (m.status != 0) GTEST_SKIP() << "no ext2 loop mount: " << m.output;
    }
    mounts_.push_back(folder);
    ProcessResult r = Run({folder});
    EXPECT_EQ(r.status, kNoQuickCheckStatus) << r.output;
    EXPECT_NE(r.output.find(
                  "\nSchnellpruefung nicht moeglich (" + std::string(c.reason) +
                  ") - ganz pruefen: korvfyll 1M PRUEF 0 10000000 "
                  "N " +
                  folder + ", dann korvlas 0 10000000 N " + folder + "\n"),
              std::string::npos)
        << r.output;
    EXPECT_TRUE(ListFolder(folder).size() <= 1u);  // lost+found at most
  }
}

// The real end a result names: [low, high] in bytes, (-1, -1) when none.
std::pair<long long, long long> EndOf(const std::string& output) {
  long long low = -1, high = -1;
  size_t at = output.find("echter Speicher endet bei Sektor ");
  if (at != std::string::npos) {
    low = high = std::atoll(output.c_str() + at + 33) * 512;
  }
  at = output.find("echter Speicher endet zwischen Sektor ");
  if (at != std::string::npos) {
    low = std::atoll(output.c_str() + at + 38) * 512;
    const size_t and_at = output.find(") und Sektor ", at);
    if (and_at != std::string::npos) {
      high = std::atoll(output.c_str() + and_at + 13) * 512;
    }
  }
  return {low, high};
}

// The whole device of cards without a file system, filled with data first:
// the verdict, the real end within 1 MiB, a cache that hides nothing, and
// every byte of the card as it was.
TEST_F(KorvprovTest, TheWholeDeviceOfEveryCard) {
  struct Case {
    const char* name;
    long long announced, real, alias_to, cache, eio_from;
    int status;
    const char* shown;
  };
  const long long kGiB = 1024 * kMiB;
  const Case cases[] = {
      {"96/72 onto 30 MiB", 96 * kMiB, 72 * kMiB, 30 * kMiB, 0, -1,
       kFakeCardStatus, "Zwischenspeicher: hoechstens 1,000 M\n"},
      {"96/72 onto the start", 96 * kMiB, 72 * kMiB, 0, 0, -1, kFakeCardStatus,
       "!!! ACHTUNG FEHLER !!!"},
      {"4 GiB/1 GiB onto the start", 4 * kGiB, kGiB, 0, 0, -1, kFakeCardStatus,
       "endet bei Sektor 2097152 (1,000 G)"},
      {"1 GiB/600 MiB, 64 MiB cache", kGiB, 600 * kMiB, 30 * kMiB, 64 * kMiB,
       -1, kFakeCardStatus, "Zwischenspeicher: mehr als 16,000 M, hoechstens "},
      // Writing past 256 MiB of cache would take more than a quarter of
      // this card: no all-clear.
      {"1 GiB/600 MiB, 256 MiB cache", kGiB, 600 * kMiB, 30 * kMiB, 256 * kMiB,
       -1, kNoQuickCheckStatus, "koennte fehlenden Speicher verbergen"},
      {"96/72 answering EIO past 72 MiB", 96 * kMiB, 96 * kMiB, 0, 0, 72 * kMiB,
       kFakeCardStatus, ", Fehler ab Sektor 147456\n"},
      {"a sound card", 1200 * kMiB, 1200 * kMiB, 0, 0, -1, 0,
       "Kein Hinweis auf fehlenden Speicher gefunden.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCardOptions options;
    options.alias_to = c.alias_to;
    options.cache = c.cache;
    options.eio_from = c.eio_from;
    options.fill = true;
    options.format = false;
    std::string why;
    if (!MakeFakeCardWith(root_, c.announced, c.real, options, &card_, &why)) {
      GTEST_SKIP() << why;
    }
    // A card that fails past its end cannot be read whole.
    const std::string before = FakeCardChecksum(card_);
    ASSERT_EQ(before.empty(), c.eio_from >= 0);
    ProcessResult r = Run({card_.device});
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.shown), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("), wieder gelesen und gleich\n"),
              std::string::npos)
        << r.output;
    if (c.status == kFakeCardStatus) {
      const long long end = c.eio_from >= 0 ? c.eio_from : c.real;
      const auto [low, high] = EndOf(r.output);
      EXPECT_LE(low, end) << r.output;
      EXPECT_GE(high, end) << r.output;
      EXPECT_LE(high - low, kMiB) << r.output;
    }
    // At most a quarter of the card is written.
    const long long written_mib = NumberAfter(r.output, "Geschrieben: ");
    EXPECT_GE(written_mib, 0) << r.output;
    EXPECT_LE(written_mib * kMiB, c.announced / 4) << r.output;
    EXPECT_EQ(FakeCardChecksum(card_), before);
    EXPECT_TRUE(ListFolder(home_ + "/korvamel").empty());
    RemoveFakeCard(&card_);
  }
}

// A mounted card is refused before a byte is written; a run killed
// midway leaves its backup, the next run refuses the card and names the
// command that gives the card its data back.
TEST_F(KorvprovTest, NothingIsLostOnTheDevice) {
  FakeCardOptions options;
  options.alias_to = 30 * kMiB;
  options.fill = true;
  options.delay_ms = 20;
  std::string why;
  if (!MakeFakeCardWith(root_, 96 * kMiB, 72 * kMiB, options, &card_, &why)) {
    GTEST_SKIP() << why;
  }
  const long long written = DeviceWriteSectors(card_.device);
  ProcessResult r = Run({card_.device});
  EXPECT_EQ(r.status, kFolderBusyExitStatus) << r.output;
  EXPECT_NE(r.output.find(
                "Datentraeger " + card_.device +
                " ist in Benutzung (eingehaengt: " + card_.mount_path + ")"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(DeviceWriteSectors(card_.device), written);

  ASSERT_TRUE(
      RunProgram("/bin/umount", {card_.mount_path}, ProcessOptions()).status ==
      0);
  const std::string before = FakeCardChecksum(card_);
  ProcessOptions killed;
  killed.env.push_back({"HOME", home_});
  // SIGKILL in the middle of the writes, each of which takes 20 ms.
  killed.key_after = "Sicherung: ";
  killed.key_delay_ms = 600;
  killed.signal = SIGKILL;
  r = RunProgram(BuiltProgram("korvprov"), {card_.device}, killed);
  ASSERT_EQ(r.status, 128 + SIGKILL) << r.output;
  EXPECT_NE(FakeCardChecksum(card_), before);
  const std::vector<std::string> kept = ListFolder(home_ + "/korvamel");
  ASSERT_EQ(kept.size(), 1u);
  const std::string backup = home_ + "/korvamel/" + kept[0];

  r = Run({card_.device});
  EXPECT_EQ(r.status, kFolderBusyExitStatus) << r.output;
  EXPECT_NE(r.output.find("erst: korvprov --zurueck=" + backup + " " +
                          card_.device + "\n"),
            std::string::npos)
      << r.output;
  r = Run({"--zurueck=" + backup, card_.device});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("), wieder gelesen und gleich\n"), std::string::npos)
      << r.output;
  EXPECT_EQ(FakeCardChecksum(card_), before);
  EXPECT_TRUE(ListFolder(home_ + "/korvamel").empty());
}

// Two cards in one command: each one's lines behind its device, a table
// row each, and the worse status.
TEST_F(KorvprovTest, SeveralCardsSideBySide) {
  FakeCard second;
  FakeCardOptions options;
  options.format = false;
  std::string why;
  if (!MakeFakeCardWith(root_, 96 * kMiB, 72 * kMiB, options, &card_, &why)) {
    GTEST_SKIP() << why;
  }
  const std::string other = root_ + "/zwei";
  ASSERT_EQ(MakeFolder(other), 0);
  ASSERT_TRUE(
      MakeFakeCardWith(other, 96 * kMiB, 96 * kMiB, options, &second, &why))
      << why;
  ProcessResult r = Run({card_.device, second.device});
  const std::string second_device = second.device;
  RemoveFakeCard(&second);
  EXPECT_EQ(r.status, kFakeCardStatus) << r.output;
  EXPECT_NE(r.output.find(card_.device + ": Datentraeger " + card_.device +
                          ": angekuendigt 96,000 M, echter Speicher endet bei "
                          "Sektor 147456 (72,000 M)\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find(second_device + ": Datentraeger " + second_device +
                          ": angekuendigt 96,000 M, kein Fehler"),
            std::string::npos)
      << r.output;
  const size_t table = r.output.find("\nGeraet ");
  ASSERT_NE(table, std::string::npos) << r.output;
  EXPECT_NE(r.output.find(card_.device, table), std::string::npos);
  EXPECT_NE(r.output.find("72,000 M", table), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("FALSCH", table), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(second_device, table), std::string::npos);
}

// In a folder the check runs only where its probes reach the card: not on
// ext4 with data=journal (uncached writes stay in the computer), not beside
// files a moved write could damage; a cache in the card hides nothing.
TEST_F(KorvprovTest, AFolderOnlyWhereTheCheckIsSound) {
  struct Case {
    const char* name;
    const char* mount_options;
    bool files;
    long long cache;
  };
  const Case cases[] = {
      {"data=journal", "data=journal", false, 0},
      {"files on the card", "", true, 0},
      {"a 16 MiB cache", "", false, 16 * kMiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCardOptions options;
    options.cache = c.cache;
    std::string why;
    if (!MakeFakeCardWith(root_, 96 * kMiB, 72 * kMiB, options, &card_, &why)) {
      GTEST_SKIP() << why;
    }
    if (*c.mount_options != '\0') {
      ASSERT_EQ(
          RunProgram("/bin/sh",
                     {"-c", "umount " + card_.mount_path +
                                " && tune2fs -O has_journal " + card_.device +
                                " >/dev/null && mount -o " + c.mount_options +
                                " " + card_.device + " " + card_.mount_path},
                     ProcessOptions())
              .status,
          0);
    }
    if (c.files) {
      ASSERT_TRUE(WriteWholeFile(card_.mount_path + "/foto.jpg",
                                 std::string(300000, 'x')));
    }
    ProcessResult r = Run({card_.mount_path});
    EXPECT_NE(r.status, 0) << r.output;
    if (c.cache == 0) {
      EXPECT_EQ(r.status, kNoQuickCheckStatus) << r.output;
      EXPECT_NE(r.output.find("Schnellpruefung im Verzeichnis nicht moeglich"),
                std::string::npos)
          << r.output;
      EXPECT_EQ(r.output.find("Geschrieben"), std::string::npos) << r.output;
    } else {
      EXPECT_EQ(r.status, kFakeCardStatus) << r.output;
      EXPECT_NE(r.output.find("Dateien auf der Karte koennen beschaedigt"),
                std::string::npos)
          << r.output;
    }
    RemoveFakeCard(&card_);
  }
}

// --anpassen after a fake verdict: nothing without a J; with one, a table
// that the system's own tool reads as one FAT32 partition from 1 MiB to
// the real end.
TEST_F(KorvprovTest, AFakeCardGetsAPartitionUpToItsRealEnd) {
  FakeCardOptions options;
  options.alias_to = 30 * kMiB;
  options.fill = true;
  options.format = false;
  std::string why;
  if (!MakeFakeCardWith(root_, 96 * kMiB, 72 * kMiB, options, &card_, &why)) {
    GTEST_SKIP() << why;
  }
  ProcessOptions answer;
  answer.env.push_back({"HOME", home_});
  answer.input = ProcessOptions::kText;
  const std::string before = FakeCardChecksum(card_);
  answer.stdin_text = "N";
  ProcessResult r = RunProgram(BuiltProgram("korvprov"),
                               {"--anpassen", card_.device}, answer);
  EXPECT_EQ(r.status, kFakeCardStatus) << r.output;
  EXPECT_NE(r.output.find("Schreiben (J/N)? \nNichts angepasst.\n"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(FakeCardChecksum(card_), before);

  answer.stdin_text = "J";
  r = RunProgram(BuiltProgram("korvprov"), {"--anpassen", card_.device},
                 answer);
  EXPECT_EQ(r.status, kFakeCardStatus) << r.output;
  EXPECT_NE(r.output.find("Partitionstabelle geschrieben: " + card_.device +
                          "p1 von Sektor 2048 bis Sektor 147456 (71,000 M)\n"
                          "Karte einmal abziehen und wieder einstecken, "
                          "dann:\nJetzt formatieren: mkfs.vfat -F 32 " +
                          card_.device + "p1\n"),
            std::string::npos)
      << r.output;
  ProcessResult table = RunProgram(
      "/bin/sh", {"-c", "sfdisk --dump " + card_.fuse_folder + "/card.img"},
      ProcessOptions());
  if (table.status != 0) GTEST_SKIP() << "no sfdisk: " << table.output;
  EXPECT_NE(table.output.find("card.img1 : start=        2048, size=      "
                              "145408, type=c\n"),
            std::string::npos)
      << table.output;
}

}  // namespace
}  // namespace korv
