// End to end: every failure korvlas meets has a line that says why and an
// exit status that cannot be taken for success or for another failure.
// Cases that need root (mounts, FUSE, another user) skip with the reason.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "shared/platform/test_process.h"

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

  // Runs a bash script in root_ with KL naming the reader and HOME set.
  ProcessResult Sh(const std::string& script) {
    ProcessOptions options;
    options.cwd = root_;
    options.env = {{"KL", BuiltProgram("korvlas")}, {"HOME", home_}};
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
      {"deletion on a read-only file system",
       "mkdir ro && mount -t tmpfs tmpfs ro && cp daten/* ro/ && "
       "mount -o remount,ro ro",
       "\"$KL\" 0 3 J ro", EROFS, "N0000001.KVL Fehler!!!", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && !IsRoot()) {
      std::printf("skipped \"%s\": needs root\n", c.name);
      continue;
    }
    if (c.prepare.rfind("fuse ", 0) == 0) {
      std::string why;
      const std::string fuse = root_ + "/fuse";
      // One mount at a time: the case before may have left its own.
      if (FolderExists(fuse)) {
        Unmount(fuse);
        std::erase(mounts_, fuse);
      } else {
        ASSERT_EQ(MakeFolder(fuse), 0);
      }
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
    if (c.status == 65) {
      EXPECT_NE(r.output.find("N0000002.KVL ok"), std::string::npos)
          << "the files after it are read";
      EXPECT_EQ(r.output.find("N0000001.KVL ok"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace korv
