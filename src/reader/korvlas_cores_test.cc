// End to end: korvlas reads big files in batches that every core it may use
// shares. What the batches find, a read that fails inside one included,
// must be what reading block by block finds, and fewer cores than wanted
// (helpers the system refuses) only make it slower. Every case here needs
// root (FUSE, another user) and skips without it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

class KorvlasCoresTest : public ::testing::Test {
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

  // Runs a bash script in root_ with KL and KF naming the reader and the
  // writer, and HOME set.
  ProcessResult Sh(const std::string& script) {
    ProcessOptions options;
    options.cwd = root_;
    options.env = {{"KL", BuiltProgram("korvlas")},
                   {"KF", BuiltProgram("korvfyll")},
                   {"HOME", home_}};
    options.timeout_ms = 60000;
    return RunProgram("/bin/bash", {"-c", script}, options);
  }

  std::string root_;
  std::string home_;
  std::string data_;
  std::vector<std::string> mounts_;
};

// A read that fails inside a batch that several cores share costs the file
// its "ok" from the block that failed on, exactly as reading block by block
// reports it: the shares behind the failure must not be taken for read.
TEST_F(KorvlasCoresTest, ReadErrorInsideABatchIsReportedFromItsBlock) {
  if (!IsRoot()) GTEST_SKIP() << "needs root for FUSE";
  // 20 MiB are read in batches of 2 MiB shares; the failure lies 376 bytes
  // into the sixth MiB, in the middle of a batch on one core as on two.
  ASSERT_EQ(Sh("\"$KF\" 20M RND 1 1 N daten 0 </dev/null").status, 0);
  // A file behind it shows that the run goes on.
  ASSERT_TRUE(WriteWholeFile(data_ + "/N0000002.KVL", "AAAA"));
  const std::string fuse = root_ + "/fuse";
  ASSERT_EQ(MakeFolder(fuse), 0);
  std::string why;
  if (!MountFaultFs(data_, fuse, {"--fail-read=N0000001.KVL:5243256"}, &why)) {
    GTEST_SKIP() << why;
  }
  mounts_.push_back(fuse);
  struct Case {
    const char* name;
    std::string cores;  // command line prefix that sets the processors
  };
  const std::vector<Case> cases = {
      {"one core", "taskset -c 0 "},
      {"every core", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = Sh(c.cores + "\"$KL\" 1 2 N fuse 0 </dev/null");
    EXPECT_EQ(r.status, 65) << r.output;
    // Every byte but the block that failed is counted.
    EXPECT_NE(r.output.find("Anzahl:  20938752 - Verschiedene: 256  - \n"
                            "!!! ACHTUNG FEHLER !!!  Datei N0000001.KVL nicht "
                            "lesbar: E/A-Fehler 5 (Input/output error) ab "
                            "Byte 5242880, 32768 Byte ungelesen   >\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("N0000001.KVL ok"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("N0000002.KVL ok"), std::string::npos) << r.output;
  }
}

// Fewer cores is a slowdown, never an error: when the system refuses every
// helper thread (a user held to one process, which the reader already is),
// the main thread reads alone, finds what all cores find, and still takes
// signals (the refused start must give them back to it).
TEST_F(KorvlasCoresTest, RefusedHelperThreadsLeaveTheMainThreadReading) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to run as a user with a limit";
  // A user of its own: any other process of the user counts toward the
  // limit and would keep the reader from starting at all.
  std::random_device random;
  const std::string user = std::to_string(3000000 + random() % 1000000);
  ProcessResult made =
      Sh("command -v prlimit && command -v setpriv || exit 77\n"
         "chmod 755 . && chmod 777 home && mkdir gross && "
         "\"$KF\" 8M RND 0 2 N gross 0 </dev/null");
  if (made.status == 77) GTEST_SKIP() << "prlimit or setpriv missing";
  ASSERT_EQ(made.status, 0) << made.output;
  // A plain run, then one that waits at the deletion prompt for a SIGTERM,
  // which ends it by that signal.
  // The leak checker of a sanitizer build starts a thread of its own at
  // the end, which the limit refuses as well.
  const std::string script = R"(
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
    $LIMIT $AS "$KL" 0 2 N gross 0 </dev/null >lauf.txt 2>&1
    echo "status $?"
    rm -f keys frage.txt; mkfifo keys; exec 3<> keys
    $LIMIT $AS "$KL" 0 2 J gross 0 <keys >frage.txt 2>&1 &
    pid=$!
    for i in $(seq 100); do
      grep -q "zum Loeschen der Dateien" frage.txt 2>/dev/null && break
      sleep 0.1
    done
    grep SigBlk /proc/$pid/status
    kill -TERM $pid
    for i in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    kill -KILL $pid 2>/dev/null && echo "SIGTERM not taken"
    wait $pid; echo "status $?"
  )";
  struct Case {
    const char* name;
    std::string limit;
  };
  const std::vector<Case> cases = {
      {"every core", ""},
      {"main thread alone", "prlimit --nproc=1"},
  };
  std::vector<std::string> outputs, transcripts;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r =
        Sh("AS='setpriv --reuid=" + user + " --regid=" + user +
           " --clear-groups'\nLIMIT='" + c.limit + "'\n" + script);
    EXPECT_EQ(r.output.rfind("status 0\nSigBlk:", 0), 0u) << r.output;
    EXPECT_NE(r.output.find("\nstatus 143\n"), std::string::npos) << r.output;
    outputs.push_back(r.output);
    std::string run;
    ASSERT_TRUE(ReadWholeFile(root_ + "/lauf.txt", &run));
    for (const char* name : {"N0000000.KVL", "N0000001.KVL"}) {
      EXPECT_NE(run.find(std::string("Verschiedene: 256  - ") + name + " ok"),
                std::string::npos)
          << run;
    }
    transcripts.push_back(NormalizeTranscript(run));
  }
  EXPECT_EQ(outputs[1], outputs[0]);
  EXPECT_EQ(transcripts[1], transcripts[0]);
}

}  // namespace
}  // namespace korv
