// End to end: the manual pages' sources, and the Debian package of this
// build installed with dpkg, used, and removed again (root only).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_process.h"

namespace korv {
namespace {

const char* const kPages[] = {"man/korvfyll.1",    "man/korvlas.1",
                              "man/korvprov.1",    "man/de/korvfyll.1",
                              "man/de/korvlas.1",  "man/de/korvprov.1"};

// Runs a shell command line with HOME in home (when given).
ProcessResult Shell(const std::string& command, const std::string& home = "",
                    int timeout_ms = 300000) {
  ProcessOptions options;
  if (!home.empty()) options.env.push_back({"HOME", home});
  options.env.push_back({"LC_ALL", "C.UTF-8"});
  options.timeout_ms = timeout_ms;
  return RunProgram("/bin/sh", {"-c", command}, options);
}

bool HaveTool(const std::string& name) {
  return Shell("command -v " + name + " >/dev/null").status == 0;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

int CountOkLines(const std::string& output) {
  int count = 0;
  for (const std::string& line : SplitLines(output)) {
    if (line.find(".KVL ok   ") != std::string::npos) ++count;
  }
  return count;
}

TEST(ManualPagesTest, RenderWithoutWarnings) {
  bool groff = HaveTool("groff");
  bool mandoc = HaveTool("mandoc");
  if (!groff && !mandoc)
    GTEST_SKIP() << "neither groff nor mandoc is installed";
  for (const char* page : kPages) {
    const std::string path = std::string(KORV_SOURCE_DIR) + "/" + page;
    if (groff) {
      ProcessResult r = Shell("groff -man -ww -z " + path);
      EXPECT_EQ(r.status, 0) << page;
      EXPECT_EQ(r.output, "") << page;
    }
    if (mandoc) {
      ProcessResult r = Shell("mandoc -T lint " + path);
      EXPECT_EQ(r.status, 0) << page;
      EXPECT_EQ(r.output, "") << page;
    }
  }
}

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempFolder();
    ASSERT_FALSE(root_.empty());
    home_ = root_ + "/home";
    ASSERT_EQ(Shell("mkdir -p " + home_ + " " + root_ + "/out").status, 0);
  }

  void TearDown() override {
    // The machine is left as it was, also when an assertion failed halfway.
    if (installed_) Dpkg("--purge korvamel");
    if (lock_fd_ >= 0) close(lock_fd_);
    RemoveTree(root_);
  }

  // Runs dpkg with args; waits while another dpkg or apt holds its lock.
  ProcessResult Dpkg(const std::string& args) {
    ProcessResult r;
    for (int attempt = 0; attempt < 60; ++attempt) {
      r = Shell("dpkg " + args);
      if (r.status == 0 || r.output.find("lock") == std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::seconds(5));
    }
    return r;
  }

  std::string root_;
  std::string home_;
  bool installed_ = false;
  int lock_fd_ = -1;
};

TEST_F(PackageTest, InstallsRunsAndRemovesCleanly) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to install a package with dpkg";
  for (const char* tool :
       {"dpkg", "dpkg-shlibdeps", "file", "lintian", "man"}) {
    if (!HaveTool(tool)) {
      GTEST_SKIP() << tool << " is not installed (make deps installs it)";
    }
  }
  // Two checkouts tested at once on one machine take turns: one would
  // remove the package under the other's feet.
  lock_fd_ = open("/tmp/korvamel-package-test.lock", O_RDWR | O_CREAT, 0644);
  ASSERT_GE(lock_fd_, 0);
  ASSERT_EQ(flock(lock_fd_, LOCK_EX), 0);
  if (Shell("dpkg-query -W -f '${Status}' korvamel 2>/dev/null | grep -q "
            "installed")
              .status == 0 ||
      access("/usr/bin/korvfyll", F_OK) == 0 ||
      access("/usr/bin/korvlas", F_OK) == 0 ||
      access("/usr/bin/korvprov", F_OK) == 0) {
    GTEST_SKIP() << "korvamel is installed on this machine already; "
                    "the test would replace and remove it";
  }

  // Build the package from this build's programs.
  const std::string build =
      Trimmed(Shell("cd \"$(dirname " + BuiltProgram("korvfyll") + ")\" && pwd")
                  .output);
  const std::string out = root_ + "/out";
  ProcessResult r = Shell("cd " + build + " && " KORV_CPACK " -G DEB -B " +
                          out + " --config " + build + "/CPackConfig.cmake");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string arch = Trimmed(Shell("dpkg --print-architecture").output);
  const std::string deb =
      out + "/korvamel_" KORV_PACKAGE_VERSION "_" + arch + ".deb";
  ASSERT_EQ(access(deb.c_str(), R_OK), 0) << r.output;

  r = Shell("dpkg-deb -f " + deb + " Section Version Depends Maintainer");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Section: utils\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Version: " KORV_PACKAGE_VERSION "\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("Depends: libc6"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Maintainer: "), std::string::npos) << r.output;

  // The files of the package, as dpkg will put them.
  r = Shell("dpkg-deb --fsys-tarfile " + deb + " | tar -t | sed -e 's|^\\.||'");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<std::string> files;
  for (const std::string& line : SplitLines(r.output)) {
    if (!line.empty() && line.back() != '/') files.push_back(line);
  }
  for (const char* expected :
       {"/usr/bin/korvfyll", "/usr/bin/korvlas", "/usr/bin/korvprov",
        "/usr/share/man/man1/korvfyll.1.gz", "/usr/share/man/man1/korvlas.1.gz",
        "/usr/share/man/man1/korvprov.1.gz",
        "/usr/share/man/de/man1/korvfyll.1.gz",
        "/usr/share/man/de/man1/korvlas.1.gz",
        "/usr/share/man/de/man1/korvprov.1.gz",
        "/usr/share/doc/korvamel/README.md",
        "/usr/share/doc/korvamel/copyright"}) {
    EXPECT_NE(std::find(files.begin(), files.end(), expected), files.end())
        << expected << " is not in the package:\n"
        << r.output;
  }

  r = Shell("lintian --fail-on error " + deb + " 2>&1", "", 600000);
  EXPECT_EQ(r.status, 0) << "lintian:\n" << r.output;
  EXPECT_EQ(r.output.find("\nE: "), std::string::npos) << r.output;

  // Install, and use the installed programs.
  r = Dpkg("-i " + deb);
  installed_ = true;
  ASSERT_EQ(r.status, 0) << r.output;

  r = Shell("/usr/bin/korvfyll ? </dev/null", home_);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Aufruf: Korvfyll [groesse]"), std::string::npos)
      << r.output;

  r = Shell("/usr/bin/korvprov ? </dev/null", home_);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Aufruf: Korvprov [verzeichnis]"), std::string::npos)
      << r.output;

  // The installed quick check on a loop device of random data: it
  // finds nothing wrong and gives every byte back.
  const std::string image = root_ + "/karte.img";
  r = Shell("head -c 8M /dev/urandom > " + image +
            " && sha256sum < " + image + " && losetup --find --show " + image);
  const std::vector<std::string> made = SplitLines(r.output);
  if (r.status == 0 && made.size() >= 2) {
    const std::string loop = made[1];
    r = Shell("/usr/bin/korvprov " + loop + " </dev/null", home_);
    EXPECT_EQ(r.status, 69) << r.output;  // too small to rule a cache out
    EXPECT_NE(r.output.find("), wieder gelesen und gleich\n"),
              std::string::npos)
        << r.output;
    Shell("losetup -d " + loop);
    EXPECT_EQ(Shell("sha256sum < " + image).output, made[0] + "\n");
  } else {
    ADD_FAILURE() << "no loop device for korvprov: " << r.output;
  }

  const std::string data = root_ + "/daten";
  r = Shell("/usr/bin/korvfyll 64K A 0 3 N " + data + " </dev/null", home_);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(CountOkLines(r.output), 3) << r.output;
  r = Shell("/usr/bin/korvlas 0 3 J " + data + " </dev/null", home_);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(CountOkLines(r.output), 3) << r.output;
  EXPECT_EQ(r.output.find("ACHTUNG FEHLER"), std::string::npos) << r.output;
  EXPECT_NE(access(data.c_str(), F_OK), 0) << "the emptied data folder stays";

  // A dpkg that leaves manual pages out (path-exclude, as in slim images)
  // cannot give man a page to find.
  bool pages_excluded =
      Shell("grep -qs '^path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/*")
          .status == 0;
  if (!pages_excluded) {
    // -a: a copy from make install in /usr/local may come first.
    r = Shell("man -aw korvfyll", home_);
    EXPECT_NE(r.output.find("/usr/share/man/man1/korvfyll.1.gz\n"),
              std::string::npos)
        << r.output;
    r = Shell("man -L de -aw korvlas", home_);
    EXPECT_NE(r.output.find("/usr/share/man/de/man1/korvlas.1.gz\n"),
              std::string::npos)
        << r.output;
    r = Shell("MANWIDTH=80 man -P cat korvlas", home_);
    EXPECT_NE(r.output.find("fake capacity"), std::string::npos) << r.output;
  }

  // Remove it: no file of the package and no folder of its own is left.
  r = Dpkg("--purge korvamel");
  ASSERT_EQ(r.status, 0) << r.output;
  installed_ = false;
  for (const std::string& file : files) {
    EXPECT_NE(access(file.c_str(), F_OK), 0) << file << " is left behind";
  }
  EXPECT_NE(access("/usr/share/doc/korvamel", F_OK), 0);
  EXPECT_NE(Shell("dpkg-query -W -f '${Status}' korvamel 2>/dev/null | grep -q "
                  "installed")
                .status,
            0);
}

}  // namespace
}  // namespace korv
