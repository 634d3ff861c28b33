// End to end: every failure korvlas meets has a line that says why and an
// exit status that cannot be taken for success or for another failure; and
// what both programs share about the data folder: its text, the names
// shown from it, one writer at a time. Cases that need root (mounts, FUSE,
// another user) skip with the reason.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

class KorvlasFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    home_ = root_ + "/home";
    data_ = root_ + "/daten";
    ASSERT_EQ(MakeFolder(home_), 0);
    ASSERT_EQ(MakeFolder(data_), 0);
    for (const char* name : {"N0000000.KVL", "N0000001.KVL", "N0000002.KVL"}) {
      ASSERT_TRUE(WriteWholeFile(data_ + "/" + name, "AAAA"));
    }
  }

  void TearDown() override {
    Sh("chattr -i " + home_ + "/korvamel 2>/dev/null");
    for (const std::string& mount : mounts_) Unmount(mount);
    RemoveTree(root_);
  }

  // Runs a bash script in root_ with KL and KF naming the reader and the
  // writer, and HOME set.
  ProcessResult Sh(const std::string& script) {
    ProcessOptions options;
    options.cwd = root_;
    options.env = {{"KL", BuiltProgram("korvlas")},
                   {"KF", BuiltProgram("korvfyll")},
                   {"HOME", home_}};
    options.timeout_ms = 30000;
    return RunProgram("/bin/bash", {"-c", script}, options);
  }

  std::string root_;
  std::string home_;
  std::string data_;
  std::vector<std::string> mounts_;
};

TEST_F(KorvlasFaultsTest, EveryFailureHasItsLineAndStatus) {
  struct Case {
    const char* name;
    std::string prepare;  // bash, in root_; exit 77 skips the case
    std::string run;      // the korvlas command line, in root_
    int status;
    std::string line;     // what the output must say
    bool needs_root;
  };
  const std::vector<Case> cases = {
      {"missing folder", "", "\"$KL\" 0 3 N gibtsnicht", ENOENT,
       "E/A-Fehler 2 (No such file or directory): gibtsnicht/", false},
      {"protocol folder that refuses files",
       "mkdir -p home/korvamel && chattr +i home/korvamel || exit 77",
       "\"$KL\" 0 3 N daten 5", EPERM,
       "E/A-Fehler 1 (Operation not permitted): " + home_ +
           "/korvamel/korvlas_d",
       true},
      {"open fails with an I/O error", "fuse --fail-open=N0000001.KVL",
       "\"$KL\" 0 3 N fuse", 65,
       "!!! ACHTUNG FEHLER !!!  Datei N0000001.KVL nicht lesbar: E/A-Fehler 5 "
       "(Input/output error)",
       true},
      {"read fails with an I/O error", "fuse --fail-read=N0000001.KVL",
       "\"$KL\" 0 3 N fuse", 65,
       "!!! ACHTUNG FEHLER !!!  Datei N0000001.KVL nicht lesbar: E/A-Fehler 5 "
       "(Input/output error) ab Byte 0, 4 Byte ungelesen   >",
       true},
      {"no right to read",
       "chmod 000 daten/N0000001.KVL && chmod 755 . daten && chmod 777 home",
       "setpriv --reuid=65534 --regid=65534 --clear-groups \"$KL\" 0 3 N daten",
       65,
       "!!! ACHTUNG FEHLER !!!  Datei N0000001.KVL nicht lesbar: E/A-Fehler 13 "
       "(Permission denied)",
       true},
      // The failed deletion keeps its line and gets the reason beside it.
      {"deletion on a read-only file system",
       "mkdir ro && mount -t tmpfs tmpfs ro && cp daten/* ro/ && "
       "mount -o remount,ro ro",
       "\"$KL\" 0 3 J ro", EROFS,
       "N0000001.KVL Fehler!!!\n"
       "E/A-Fehler 30 (Read-only file system): ro/N0000001.KVL\n",
       true},
      // A bad folder block part way: no file is read or deleted, and the
      // run does not pass for one without wrong files.
      {"folder that fails while it is searched", "fuse --fail-readdir-after=3",
       "\"$KL\" 0 3 A fuse", EIO, "E/A-Fehler 5 (Input/output error): fuse/\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& mount : mounts_) Unmount(mount);
    mounts_.clear();
    if (c.needs_root && !IsRoot()) {
      std::printf("skipped \"%s\": needs root\n", c.name);
      continue;
    }
    if (c.prepare.rfind("fuse ", 0) == 0) {
      std::string why;
      const std::string fuse = root_ + "/fuse";
      ASSERT_TRUE(MakeFolder(fuse) == 0 || FolderExists(fuse));
      if (!MountFaultFs(data_, fuse, {c.prepare.substr(5)}, &why)) {
        std::printf("skipped \"%s\": %s\n", c.name, why.c_str());
        continue;
      }
      mounts_.push_back(fuse);
    } else if (!c.prepare.empty()) {
      ProcessResult made = Sh(c.prepare);
      if (c.prepare.find("mount") != std::string::npos) {
        mounts_.push_back(root_ + "/ro");
      }
      if (made.status == 77) {
        std::printf("skipped \"%s\": %s\n", c.name, made.output.c_str());
        continue;
      }
      ASSERT_EQ(made.status, 0) << made.output;
    }
    ProcessResult r = Sh(c.run + " </dev/null");
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.line), std::string::npos) << r.output;
    EXPECT_EQ(ListFolder(data_).size(), 3u) << "nothing deleted";
    if (c.status == 65) {
      EXPECT_NE(r.output.find("N0000002.KVL ok"), std::string::npos)
          << "the files after it are read";
      EXPECT_EQ(r.output.find("N0000001.KVL ok"), std::string::npos);
    }
  }
}

// A folder text names the folder its levels lead to, with its separator:
// creation and removal touch that folder and its real parents only, and a
// text with no room for its separator is refused.
TEST_F(KorvlasFaultsTest, FolderTextsNameTheFolderTheyLeadTo) {
  // 252 characters of levels, then "zzz": a folder text of 255.
  std::string deep;
  while (deep.size() < 252) deep += "ab/";
  deep.resize(252);
  if (deep.back() != '/') deep.back() = '/';
  while (deep.size() < 252) deep += "a";
  const std::string long_text = deep + "zzz";
  ASSERT_EQ(long_text.size(), 255u);
  struct Case {
    const char* name;
    std::string setup;  // bash, in root_
    std::string run;    // bash, in root_
    int status;
    std::string check;  // bash condition that must hold afterwards
  };
  const std::vector<Case> cases = {
      {"writer, 255 characters", "mkdir -p " + deep,
       "\"$KF\" 1000 A 0 1 N " + long_text + " 0", 64,
       "[ -z \"$(ls " + deep + ")\" ]"},
      {"reader, 255 characters",
       "mkdir -p " + deep + " && echo -n AAAA > " + long_text + "N0000005.KVL",
       "\"$KL\" 5 1 A " + long_text + " 0", 64,
       "[ -e " + long_text + "N0000005.KVL ]"},
      {"removal", "mkdir -p keep/emptyA",
       "\"$KF\" 1000 A 0 1 J keep/emptyA/../../newd 0", 0,
       "[ -d keep/emptyA ] && [ ! -e newd ]"},
      {"creation", "", "\"$KF\" 1000 A 0 1 N stray/../d2 0", 0,
       "[ ! -e stray ] && [ -f d2/N0000000.KVL ]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult made = Sh(c.setup);
    ASSERT_EQ(made.status, 0) << made.output;
    ProcessResult r = Sh(c.run + " </dev/null");
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_EQ(Sh(c.check).status, 0) << c.check << "\n" << r.output;
    Sh("rm -rf ab keep newd stray d2");
  }
}

// Names from a folder and folder texts reach the terminal with their
// control bytes escaped: a card cannot send sequences to the terminal.
TEST_F(KorvlasFaultsTest, NamesAndFolderTextsReachTheTerminalEscaped) {
  struct Case {
    const char* name;
    std::string run;  // bash, in root_
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"writer's folder",
       "\"$KF\" 1000 A 0 1 J $'neu\\e]0;t\\a' 0",
       {"VERZEICHNIS = neu\\x1b]0;t\\x07\\",
        "Verzeichnis: neu\\x1b]0;t\\x07\\ angelegt",
        "Verzeichnis: neu\\x1b]0;t\\x07\\ geloescht"}},
      {"names on a card",
       "mkdir karte && cd karte && touch $'N\\e[2J.KVL' $'N\\xc2\\x9b1m.KVL' "
       "$'N\\x9b.KVL' $'N\\x7f.KVL' 'N\xc3\x96.KVL' && cd .. && "
       "\"$KL\" 0 1 A karte 0",
       {"N\\x1b[2J.KVL uebersprungen", "N\\xc2\\x9b1m.KVL uebersprungen",
        "N\\x9b.KVL uebersprungen", "N\\x7f.KVL uebersprungen",
        "N\xc3\x96.KVL uebersprungen"}},
      {"error line",
       "\"$KL\" 0 1 N $'fehlt\\e[5m' 0",
       {"E/A-Fehler 2 (No such file or directory): fehlt\\x1b[5m/"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = Sh(c.run + " </dev/null");
    for (const std::string& line : c.lines) {
      EXPECT_NE(r.output.find(line + "\n"), std::string::npos) << line << "\n"
                                                               << r.output;
    }
    for (unsigned char b : r.output) {
      EXPECT_FALSE((b < 0x20 && b != '\n') || b == 0x7f || b == 0x9b)
          << "raw byte " << static_cast<int>(b) << " in\n"
          << r.output;
    }
    Sh("rm -rf karte");
  }
}

// One writer per data folder: a second writer, or a reader, started while
// it runs ends at once with its line and status 75; readers share.
TEST_F(KorvlasFaultsTest, TwoRunsOnOneFolderAreKeptApart) {
  const std::string script = R"(
    busy() { "$@" < /dev/null > busy.txt 2>&1; echo "status $?"
             grep -c "Verzeichnis in Benutzung durch einen anderen Lauf: d/" busy.txt; }
    # Each first run waits at its deletion prompt (input open and empty).
    mkfifo keys; exec 3<> keys
    "$KF" 1000 A 0 2 J d 5 < keys > first.txt 2>&1 &
    pid=$!
    for i in $(seq 50); do grep -q "Loeschen" first.txt && break; sleep 0.1; done
    echo "writer beside a writer"; busy "$KF" 1000 B 0 2 N d 5
    ls home/korvamel | grep -c korvfyll   # the refused run kept no protocol
    echo "reader beside a writer"; busy "$KL" 0 2 N d 0
    printf x >&3; wait $pid; echo "first writer status $?"
    "$KF" 1000 A 0 2 N d 0 < /dev/null > /dev/null 2>&1
    "$KL" 0 2 J d 5 < keys > first.txt 2>&1 &
    pid=$!
    for i in $(seq 50); do grep -q "Loeschen" first.txt && break; sleep 0.1; done
    echo "reader beside a reader"; busy "$KL" 0 2 N d 0
    echo "writer beside a reader"; busy "$KF" 1000 B 0 2 N d 0
    printf x >&3; wait $pid; echo "first reader status $?"
  )";
  ProcessResult r = Sh(script);
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.output,
            "writer beside a writer\nstatus 75\n1\n1\n"
            "reader beside a writer\nstatus 75\n1\n"
            "first writer status 0\n"
            "reader beside a reader\nstatus 0\n0\n"
            "writer beside a reader\nstatus 75\n1\n"
            "first reader status 0\n");
}

// A card pulled while its files are deleted: the files of the same names
// on the disk below its mount point are the user's, and stay, and so do
// the bare mount point and its folders; the run ends with status 69.
TEST_F(KorvlasFaultsTest, ACardPulledDuringTheDeletionDeletesNothingElse) {
  std::string why;
  const std::string disk = root_ + "/platte";
  const std::string card = disk + "/karte";
  const std::string backing = root_ + "/kartenspeicher";
  ASSERT_EQ(MakeFolder(disk), 0);
  if (!MountTmpfs(disk, 16 << 20, &why)) GTEST_SKIP() << why;
  mounts_.push_back(disk);
  ASSERT_EQ(MakeFolder(card), 0);
  ASSERT_EQ(MakeFolder(card + "/daten"), 0);
  ASSERT_EQ(MakeFolder(backing), 0);
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(WriteWholeFile(
        card + "/daten/N00000" + (i < 10 ? "0" : "") + std::to_string(i) +
            ".KVL",
        "Daten des Benutzers"));
  }
  if (!MountFaultFs(backing, card, {"--slow-unlink=150"}, &why)) {
    GTEST_SKIP() << why;
  }
  mounts_.insert(mounts_.begin(), card);
  ASSERT_EQ(Sh("\"$KF\" 1K A 0 30 N platte/karte/daten 0 </dev/null").status,
            0);
  // The card goes once its first file has.
  std::atomic<bool> done{false};
  std::thread puller([&] {
    while (!done && ListFolder(backing + "/daten").size() == 30) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Unmount(card);
  });
  ProcessResult r = Sh("\"$KL\" 0 30 A platte/karte/daten/ 0 </dev/null");
  done = true;
  puller.join();
  EXPECT_EQ(r.status, 69) << r.output;
  EXPECT_NE(r.output.find("Datentraeger entfernt oder gewechselt: "),
            std::string::npos)
      << r.output;
  EXPECT_EQ(ListFolder(card + "/daten").size(), 30u) << r.output;
  EXPECT_TRUE(FolderExists(card + "/daten"));
}

}  // namespace
}  // namespace korv
