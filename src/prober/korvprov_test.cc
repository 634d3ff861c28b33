// End to end: korvprov on counterfeit cards (FUSE image, loop device,
// ext4), on a sound one, and on file systems where it cannot look (as
// root); its command line everywhere.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "shared/platform/test_process.h"

namespace korv {
namespace {

constexpr long long kMiB = 1 << 20;
constexpr int kFakeCardStatus = 65;
constexpr int kNoQuickCheckStatus = 69;

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

TEST_F(KorvprovTest, ASoundCardPasses) {
  std::string why;
  if (!MakeFakeCard(root_, 96 * kMiB, 96 * kMiB, &card_, &why)) {
    GTEST_SKIP() << why;
  }
  ProcessResult r = Run({card_.mount_path});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Datentraeger " + card_.device +
                          ": angekuendigt 96,000 M, kein Fehler von Sektor "),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Kein Hinweis auf fehlenden Speicher gefunden.\n"),
            std::string::npos);
  EXPECT_EQ(r.output.find("ACHTUNG"), std::string::npos) << r.output;
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

}  // namespace
}  // namespace korv
