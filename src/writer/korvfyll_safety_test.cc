// End to end: the built korvfyll never harms what is not its own, never
// hangs, and never reports a failure as success. Cases that need root
// (mounts, device nodes, FUSE) skip with the reason otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

class KorvfyllSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    home_ = root_ + "/home";
    ASSERT_EQ(MakeFolder(home_), 0);
  }

  void TearDown() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) Unmount(*it);
    for (const std::string& loop : loops_) Sh("losetup -d " + loop);
    RemoveTree(root_);
  }

  ProcessResult Korvfyll(const std::vector<std::string>& args,
                         ProcessOptions options = ProcessOptions()) {
    if (options.cwd.empty()) options.cwd = root_;
    options.env.push_back({"HOME", home_});
    if (options.timeout_ms == 60000) options.timeout_ms = 20000;
    return RunProgram(BuiltProgram("korvfyll"), args, options);
  }

  // Runs a bash script in root_ with KF naming the writer.
  ProcessResult Sh(const std::string& script) {
    ProcessOptions options;
    options.cwd = root_;
    options.env = {{"KF", BuiltProgram("korvfyll")}, {"HOME", home_}};
    options.timeout_ms = 30000;
    return RunProgram("/bin/bash", {"-c", script}, options);
  }

  bool MountTmp(const std::string& path, long long size, std::string* why) {
    if (MakeFolder(path) != 0) return false;
    if (!MountTmpfs(path, size, why)) return false;
    mounts_.push_back(path);
    return true;
  }

  std::string root_;
  std::string home_;
  std::vector<std::string> mounts_;
  std::vector<std::string> loops_;
};

// Whatever stands under a data file's name that is not a file of its own is
// left as it is: the run ends at once with the error line naming it.
TEST_F(KorvfyllSafetyTest, ForeignEntriesUnderDataFileNamesAreNeverWritten) {
  const std::string data = root_ + "/daten";
  const std::string victim = root_ + "/victim";
  const std::string content(65536, 'v');
  struct Case {
    const char* name;
    std::string setup;  // makes daten/N0000001.KVL
    int status;
    bool needs_root;
  };
  const std::vector<Case> cases = {
      // A reader waits in its open of the FIFO: an open of ours, even one
      // refused afterwards, would let it go.
      {"fifo with a reader",
       "mkfifo daten/N0000001.KVL && "
       "{ (cat daten/N0000001.KVL; echo released > released) "
       ">/dev/null 2>&1 </dev/null & } && sleep 0.2",
       EEXIST, false},
      {"hard link", "ln victim daten/N0000001.KVL", EEXIST, false},
      // A device node of a loop device over the victim: its blocks are the
      // victim's bytes.
      {"block device",
       "dev=$(losetup -f --show victim) && echo $dev > loopdev && "
       "mknod daten/N0000001.KVL b $(stat -c '%t %T' $dev | "
       "(read a b; echo $((16#$a)) $((16#$b))))",
       EEXIST, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && !IsRoot()) {
      std::printf("skipped %s: needs root for a loop device\n", c.name);
      continue;
    }
    RemoveTree(data);
    ASSERT_EQ(MakeFolder(data), 0);
    ASSERT_TRUE(WriteWholeFile(victim, content));
    ProcessResult made = Sh(c.setup);
    std::string loop;
    if (ReadWholeFile(root_ + "/loopdev", &loop) && !loop.empty()) {
      loop.pop_back();
      loops_.push_back(loop);
      DeleteFile(root_ + "/loopdev");
    }
    ASSERT_EQ(made.status, 0) << made.output;
    ProcessResult r = Korvfyll({"40000", "A", "0", "3", "N", "daten"});
    ASSERT_FALSE(r.timed_out) << "the open must not block";
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find("N0000000.KVL ok"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("N0000001.KVL ok"), std::string::npos);
    EXPECT_NE(r.output.find("): daten/N0000001.KVL"), std::string::npos)
        << r.output;
    std::string left;
    ASSERT_TRUE(ReadWholeFile(victim, &left));
    EXPECT_EQ(left, content) << "the foreign data is untouched";
    if (std::string(c.name) == "fifo with a reader") {
      usleep(200000);
      EXPECT_FALSE(FolderExists(root_ + "/released") ||
                   ReadWholeFile(root_ + "/released", &left))
          << "the FIFO was opened";
      Sh("exec 3<> daten/N0000001.KVL; rm -f released");  // lets cat go
    }
  }
}

// Deletion takes the emptied data folder and its empty parents, but never a
// mount point, nothing of another file system and no folder right under "/".
TEST_F(KorvfyllSafetyTest, FolderRemovalStaysOnTheDataFileSystem) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to mount a tmpfs and to use /";
  std::string why;
  const std::string card = root_ + "/karte";
  ASSERT_TRUE(MountTmp(card, 1 << 20, &why)) << why;
  ProcessResult r =
      Korvfyll({"1000", "A", "0", "1", "J", card + "/a/daten"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Verzeichnis: " + card + "/a/daten\\ geloescht"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Verzeichnis: " + card + "/a geloescht"),
            std::string::npos);
  EXPECT_TRUE(FolderExists(card)) << "the mount point stays";
  EXPECT_EQ(r.output.find("Verzeichnis: " + root_ + " geloescht"),
            std::string::npos);

  // Above the mount point a folder of another file system that is empty as
  // far as its file system knows, so the kernel would let it go: fault_fs
  // passes the removal on to its backing folder, from which the mount
  // point is taken away while the run waits at its deletion prompt (the
  // kernel keeps trusting the name it looked up).
  const std::string backing = root_ + "/backing";
  const std::string fuse = root_ + "/fuse";
  for (const char* level : {"", "/leer", "/leer/karte"}) {
    ASSERT_EQ(MakeFolder(backing + level), 0);
  }
  ASSERT_EQ(MakeFolder(fuse), 0);
  if (!MountFaultFs(backing, fuse, {"--entry-timeout=86400"}, &why)) {
    GTEST_SKIP() << why;
  }
  mounts_.push_back(fuse);
  const std::string inner = fuse + "/leer/karte";
  ASSERT_TRUE(MountTmpfs(inner, 1 << 20, &why)) << why;
  mounts_.push_back(inner);
  const std::string out = root_ + "/out.txt";
  ProcessResult sh = Sh("{ for i in $(seq 400); do grep -qs 'zum Loeschen' " +
                        out + " && break; sleep 0.05; done; rmdir " + backing +
                        "/leer/karte; printf x; } | \"$KF\" 1000 A 0 1 J " +
                        inner + "/a/daten 5 >" + out + " 2>&1; echo $?");
  EXPECT_EQ(sh.output, "0\n");
  std::string output;
  ASSERT_TRUE(ReadWholeFile(out, &output));
  EXPECT_NE(output.find("Verzeichnis: " + inner + "/a geloescht"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("Verzeichnis: " + fuse + "/leer geloescht"),
            std::string::npos)
      << output;
  EXPECT_TRUE(FolderExists(backing + "/leer"))
      << "the empty folder of the other file system stays";

  std::string top = root_.substr(root_.rfind('/'));
  top += "-top";
  ASSERT_EQ(MakeFolder(top), 0);
  r = Korvfyll({"1000", "A", "0", "1", "J", top + "/daten"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(FolderExists(top + "/daten"));
  EXPECT_TRUE(FolderExists(top)) << "a folder right under / stays";
  RemoveFolder(top);
}

// A run ends by the signal it got, after writing out what it printed; a
// signal inherited as ignored (nohup) stays ignored; Ctrl-C in a script's
// loop stops the loop; output nobody reads does not keep the run alive.
TEST_F(KorvfyllSafetyTest, SignalsEndTheRunAsTheCallerExpects) {
  const std::string script = R"(
    set -m
    exec 2> /dev/null  # job notices
    # Waits at the deletion prompt (pausing on, input open and empty).
    mkfifo keys; exec 3<> keys
    nohup "$KF" 1000 A 0 1 J d1 5 < keys > nohup.txt 2>&1 &
    pid=$!
    sleep 0.5; kill -HUP $pid; sleep 0.3
    kill -0 $pid 2>/dev/null && echo "alive after HUP"
    kill -TERM $pid; wait $pid; echo "nohup status $?"
    # Killed while filling: the lines printed so far reach the file, and
    # the protocol's lines reach the protocol.
    mkdir h2
    HOME=$PWD/h2 "$KF" 1G A 0 3 N d2 5 < /dev/null > fill.txt 2>&1 &
    pid=$!
    sleep 0.4; kill -TERM $pid; wait $pid; echo "fill status $?"
    grep -c "Beende mit Tastendruck" fill.txt
    grep -c "^Start:" h2/korvamel/korvfyll_*.txt
    # Ctrl-\ (SIGQUIT) writes them out too.
    mkdir h4; ulimit -c 0
    HOME=$PWD/h4 "$KF" 1G A 0 3 N d4 5 < /dev/null > quit.txt 2>&1 &
    pid=$!
    sleep 0.4; kill -QUIT $pid; wait $pid; echo "quit status $?"
    grep -c "Beende mit Tastendruck" quit.txt
    grep -c "^Start:" h4/korvamel/korvfyll_*.txt
    # Ctrl-C reaches the whole foreground group of a script's loop.
    bash -c 'for i in 1 2 3; do "$KF" 1G A 0 3 N d3 < /dev/null > /dev/null
             echo "run $i: $?"; done' > loop.txt 2>&1 &
    pid=$!
    sleep 0.4; kill -INT -- -$pid; wait $pid; echo "loop status $?"
    echo "loop said: [$(cat loop.txt)]"
    # Output into a pipe nobody reads: the write that blocks is cut short by
    # the signal, and the one signal ends the run all the same.
    mkfifo out; exec 4<> out
    "$KF" 1 A 0 20000 N d4 < /dev/null >&4 2>&1 &
    pid=$!
    sleep 1.5; kill -TERM $pid
    for i in $(seq 40); do kill -0 $pid 2>/dev/null || break; sleep 0.25; done
    kill -0 $pid 2>/dev/null && echo "alive after TERM"
    kill -KILL $pid 2>/dev/null; wait $pid; echo "blocked status $?"
    exec 4>&-
    rm -rf d1 d2 d3 d4
  )";
  ProcessResult r = Sh(script);
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_NE(r.output.find("alive after HUP\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("nohup status 143\n"), std::string::npos);
  EXPECT_NE(r.output.find("fill status 143\n1\n1\n"), std::string::npos);
  EXPECT_NE(r.output.find("quit status 131\n1\n1\n"), std::string::npos);
  EXPECT_NE(r.output.find("loop status 130\n"), std::string::npos);
  EXPECT_NE(r.output.find("loop said: []"), std::string::npos)
      << "the loop went on";
  EXPECT_NE(r.output.find("blocked status 143\n"), std::string::npos);
  EXPECT_EQ(r.output.find("alive after TERM"), std::string::npos);
}

// Error numbers that would read as another status (64 usage, 65 wrong
// data, 75 busy, 126 and above) leave as 74; the line names the number.
TEST_F(KorvfyllSafetyTest, ErrorNumbersThatCollideLeaveAs74) {
  const std::string backing = root_ + "/backing";
  const std::string fuse = root_ + "/fuse";
  ASSERT_EQ(MakeFolder(backing), 0);
  ASSERT_EQ(MakeFolder(fuse), 0);
  const struct {
    int err;
    int status;
  } cases[] = {{EIO, EIO}, {64, 74}, {65, 74}, {75, 74}, {126, 74}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    std::string why;
    if (!MountFaultFs(
            backing, fuse,
            {"--fail-open=N0000001.KVL", "--errno=" + std::to_string(c.err)},
            &why)) {
      GTEST_SKIP() << why;
    }
    ProcessResult r = Korvfyll({"1000", "A", "0", "3", "N", fuse});
    Unmount(fuse);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(
        r.output.find("E/A-Fehler " + std::to_string(c.err) + " (" +
                      std::strerror(c.err) + "): " + fuse + "/N0000001.KVL"),
        std::string::npos)
        << r.output;
  }
}

// A folder that fails while it is searched (a bad folder block) ends the
// deletion with its error line: nothing more is deleted, and the run
// does not end as a success.
TEST_F(KorvfyllSafetyTest, FolderThatFailsWhileSearchedEndsTheDeletion) {
  const std::string backing = root_ + "/backing";
  const std::string fuse = root_ + "/fuse";
  ASSERT_EQ(MakeFolder(backing), 0);
  ASSERT_EQ(MakeFolder(fuse), 0);
  std::string why;
  if (!MountFaultFs(backing, fuse, {"--fail-readdir-after=4"}, &why)) {
    GTEST_SKIP() << why;
  }
  mounts_.push_back(fuse);
  ProcessResult r = Korvfyll({"1000", "A", "0", "8", "J", fuse});
  EXPECT_EQ(r.status, EIO) << r.output;
  EXPECT_NE(r.output.find("E/A-Fehler 5 (Input/output error): " + fuse + "/"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("Korvfyll ist beendet"), std::string::npos);
  EXPECT_GE(ListFolder(backing).size(), 4u) << "deleted behind the failure";
}

// A folder the writer may not create is named with the reason of its
// creation, not with the first data file's "no such file".
TEST_F(KorvfyllSafetyTest, FolderThatCannotBeMadeIsNamedWithItsReason) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to run as another user";
  ASSERT_EQ(Sh("mkdir locked && chmod 755 . locked && chmod 777 home").status,
            0);
  ProcessResult r =
      Sh("setpriv --reuid=65534 --regid=65534 --clear-groups "
         "\"$KF\" 1000 A 0 1 N locked/neu/d 0 </dev/null");
  EXPECT_EQ(r.status, EACCES) << r.output;
  EXPECT_NE(r.output.find("E/A-Fehler 13 (Permission denied): locked/neu/"),
            std::string::npos)
      << r.output;
}

// A card pulled during the run (its file system lazily unmounted, as a
// desktop does) leaves a bare folder of the same name on the system disk:
// the run ends with its line and status 69, and writes or deletes nothing
// there.
TEST_F(KorvfyllSafetyTest, PulledCardEndsTheRunAndSparesTheSystemDisk) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
  const std::string script = R"(
    mkdir -p card/d                      # the system disk's folder
    mount -t tmpfs -o size=64m tmpfs card || exit 77
    mkfifo out
    "$KF" 1000 A 0 8000 N card/d 0 < /dev/null > out 2>&1 &
    pid=$!
    exec 3< out
    head -c 20000 <&3 > /dev/null        # the writer is well under way
    umount -l card
    cat <&3 > rest.txt
    wait $pid; echo "status $?"
    grep -c "^Datentraeger entfernt oder gewechselt: card/d/$" rest.txt
    ls card/d | wc -l
    # Pulled while the deletion prompt waits: the bare folder's file of a
    # data file's name is the user's, and stays.
    mkdir -p card2/d && echo mine > card2/d/N0000000.KVL
    mount -t tmpfs -o size=1m tmpfs card2 || exit 77
    mkfifo keys; exec 4<> keys
    "$KF" 1000 A 0 2 J card2/d 5 < keys > deletion.txt 2>&1 &
    pid=$!
    for i in $(seq 50); do grep -q Loeschen deletion.txt && break; sleep 0.1; done
    umount -l card2
    printf x >&4; wait $pid; echo "deletion status $?"
    cat card2/d/N0000000.KVL
  )";
  ProcessResult r = Sh(script);
  if (r.status == 77) GTEST_SKIP() << "no tmpfs mount: " << r.output;
  ASSERT_FALSE(r.timed_out) << r.output;
  EXPECT_EQ(r.output, "status 69\n1\n0\ndeletion status 69\nmine\n");
}

// Runs started in the same second keep a protocol file each.
TEST_F(KorvfyllSafetyTest, RunsStartedTogetherKeepTheirOwnProtocols) {
  ProcessResult r = Sh(
      "for i in 1 2 3; do \"$KF\" 1000 A 0 1 N d$i 5 </dev/null >/dev/null & "
      "done; wait");
  EXPECT_EQ(r.status, 0) << r.output;
  const std::vector<std::string> files = ListFolder(home_ + "/korvamel");
  EXPECT_EQ(files.size(), 3u);
  for (const std::string& name : files) {
    EXPECT_TRUE(FitsShape(name, 0, "korvfyll_d99999999_t999999.txt")) << name;
    std::string text;
    ASSERT_TRUE(ReadWholeFile(home_ + "/korvamel/" + name, &text));
    EXPECT_NE(text.find("N0000000.KVL ok"), std::string::npos) << text;
  }
}

// A protocol that was asked for and cannot be kept ends the run before a
// data file is written; one given up for a full home drive takes its
// reserve along, so the data drive is still filled.
TEST_F(KorvfyllSafetyTest, ProtocolThatCannotBeKept) {
  ASSERT_TRUE(WriteWholeFile(home_ + "/korvamel", "a file in the way"));
  ASSERT_TRUE(WriteWholeFile(root_ + "/korvamel", "and in the current folder"));
  ProcessOptions options;
  options.unset_env = {"temp", "tmp"};
  ProcessResult r = Korvfyll({"1000", "A", "0", "2", "N", "daten", "5"},
                             options);
  EXPECT_EQ(r.status, ENOTDIR) << r.output;
  EXPECT_NE(r.output.find("E/A-Fehler 20 (Not a directory): korvamel/korvfyll_d"),
            std::string::npos)
      << r.output;
  EXPECT_FALSE(FolderExists(root_ + "/daten"));

  if (!IsRoot()) GTEST_SKIP() << "needs root to mount a full home drive";
  std::string why;
  home_ = root_ + "/fullhome";
  ASSERT_TRUE(MountTmp(home_, 16384, &why)) << why;
  ASSERT_EQ(MakeFolder(home_ + "/korvamel"), 0);
  r = Korvfyll({"1000", "A", "0", "2", "N", "daten", "5"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ListFolder(root_ + "/daten"),
            (std::vector<std::string>{"N0000000.KVL", "N0000001.KVL"}));
}

// A close that fails (a lost write-back), or a write that stores nothing
// although the disk has room, gives that file no "ok" and the run an error
// number: only a full disk ends a fill normally.
TEST_F(KorvfyllSafetyTest, FailedCloseOrEmptyWriteIsNoSuccess) {
  struct Case {
    const char* fault;
    const char* size;
  };
  const Case cases[] = {{"--fail-flush=N0000001.KVL", "1000"},
                        {"--zero-write=N0000001.KVL:65536", "1M"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string backing = root_ + "/backing";
    const std::string fuse = root_ + "/fuse";
    RemoveTree(backing);
    ASSERT_EQ(MakeFolder(backing), 0);
    MakeFolder(fuse);
    std::string why;
    if (!MountFaultFs(backing, fuse, {c.fault}, &why)) GTEST_SKIP() << why;
    ProcessResult r = Korvfyll({c.size, "A", "0", "3", "N", fuse});
    Unmount(fuse);
    EXPECT_EQ(r.status, EIO) << r.output;
    EXPECT_NE(r.output.find("N0000000.KVL ok"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("N0000001.KVL ok"), std::string::npos);
    EXPECT_NE(r.output.find("E/A-Fehler 5 (Input/output error): " + fuse +
                            "/N0000001.KVL"),
              std::string::npos)
        << r.output;
  }
}

// A data file of 50 MiB or more is on the disk before it counts as
// written: its data is flushed once, after its last block ("Schreibe
// Cache"); a smaller one is left to the flush at the end of the run. The
// fault file system notes every flush; its backing is a tmpfs.
TEST_F(KorvfyllSafetyTest, BigFilesAreFlushedOneByOne) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to mount a tmpfs and FUSE";
  const std::string backing = root_ + "/backing";
  const std::string fuse = root_ + "/fuse";
  const std::string log = root_ + "/fsync.log";
  std::string why;
  ASSERT_TRUE(MountTmp(backing, 104 << 20, &why)) << why;
  ASSERT_EQ(MakeFolder(fuse), 0);
  if (!MountFaultFs(backing, fuse, {"--fsync-log=" + log}, &why)) {
    GTEST_SKIP() << why;
  }
  mounts_.push_back(fuse);
  struct Case {
    const char* size;
    bool flushed;
  };
  const Case cases[] = {{"52428800", true}, {"52428799", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    ASSERT_TRUE(WriteWholeFile(log, ""));
    ProcessResult r =
        Korvfyll({c.size, "A", "0", "2", "J", fuse + "/daten", "0"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("Schreibe Cache") != std::string::npos, c.flushed);
    std::string flushes;
    ASSERT_TRUE(ReadWholeFile(log, &flushes));
    EXPECT_EQ(flushes, c.flushed ? "/daten/N0000000.KVL\n"
                                   "/daten/N0000001.KVL\n"
                                 : "")
        << "one flush per big file";
  }
}

}  // namespace
}  // namespace korv
