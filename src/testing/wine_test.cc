// End to end: the Windows programs (korvfyll.exe, korvlas.exe) under wine,
// side by side with the Linux programs. One throwaway wine prefix serves
// every case; its wineserver is kept running so that a run costs little.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

namespace fs = std::filesystem;

std::string g_wine;         // path of the wine program, empty when missing
std::string g_windows_dir;  // folder of the .exe files
std::string g_root;         // temp folder of the whole suite
std::string g_prefix;       // the wine prefix below it
std::string g_skip_reason;

std::string FindInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find(':', start);
    if (end == std::string::npos) end = rest.size();
    std::string candidate = rest.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

// The settings wine needs in every call.
std::string WineEnvironment() {
  return "WINEPREFIX='" + g_prefix +
         "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='";
}

void AddWineEnvironment(ProcessOptions* options) {
  options->env.push_back({"WINEPREFIX", g_prefix});
  options->env.push_back({"WINEDEBUG", "-all"});
  options->env.push_back({"WINEDLLOVERRIDES", "mscoree,mshtml="});
}

// The Windows name of a Linux path, through wine's drive Z:.
std::string DosPath(const std::string& unix_path) {
  std::string p = "Z:" + unix_path;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
}

std::string Name(int index) {
  std::string digits = std::to_string(index);
  return "N" + std::string(7 - digits.size(), '0') + digits + ".KVL";
}

// Drops the first line (the title, which names the system).
std::string WithoutTitle(const std::string& transcript) {
  size_t nl = transcript.find('\n');
  return nl == std::string::npos ? std::string() : transcript.substr(nl + 1);
}

// Sorts each run of deletion lines: the order in which a folder lists its
// entries is the file system's own.
std::string SortedDeletions(const std::string& transcript) {
  std::vector<std::string> lines = SplitLines(transcript);
  auto is_deletion = [](const std::string& line) {
    return line.size() > 10 && line.compare(line.size() - 10, 10, " geloescht") == 0;
  };
  for (size_t i = 0; i < lines.size();) {
    size_t j = i;
    while (j < lines.size() && is_deletion(lines[j])) ++j;
    std::sort(lines.begin() + static_cast<long>(i), lines.begin() + static_cast<long>(j));
    i = j == i ? i + 1 : j;
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

class WineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_wine = FindInPath("wine");
    const char* dir = std::getenv("KORV_WINDOWS_BUILD_DIR");
    g_windows_dir = dir != nullptr ? dir : "";
    if (g_wine.empty()) {
      g_skip_reason = "wine is not installed";
      return;
    }
    if (g_windows_dir.empty() ||
        !fs::exists(g_windows_dir + "/korvfyll.exe") ||
        !fs::exists(g_windows_dir + "/korvlas.exe")) {
      g_skip_reason = "KORV_WINDOWS_BUILD_DIR holds no korvfyll.exe and "
                      "korvlas.exe (make windows)";
      return;
    }
    g_root = MakeTempFolder();
    g_prefix = g_root + "/pfx";
    fs::create_directories(g_prefix);
    // The wineserver is started apart from any pipe of a test run, or a run
    // would never see the end of its output. It stays between the runs,
    // and goes by itself half a minute after the last should the suite
    // end without its tear-down.
    const std::string start = WineEnvironment() + " wineserver -p30 >/dev/null "
                              "2>&1 </dev/null && " + WineEnvironment() +
                              " wine cmd /c exit >/dev/null 2>&1 </dev/null";
    if (std::system(start.c_str()) != 0) {
      g_skip_reason = "the wine prefix could not be created";
      return;
    }
    // The programs live in drive C, so that they are found even while a
    // case maps the drives differently.
    fs::create_directories(g_prefix + "/drive_c/korv");
    for (const char* exe : {"korvfyll.exe", "korvlas.exe"}) {
      fs::copy_file(g_windows_dir + "/" + exe,
                    g_prefix + "/drive_c/korv/" + exe,
                    fs::copy_options::overwrite_existing);
    }
  }

  static void TearDownTestSuite() {
    if (!g_prefix.empty()) {
      std::system((WineEnvironment() + " wineserver -k >/dev/null 2>&1")
                      .c_str());
    }
    if (!g_root.empty()) RemoveTree(g_root);
  }

  void SetUp() override {
    if (!g_skip_reason.empty()) GTEST_SKIP() << g_skip_reason;
    work_ = g_root + "/" + ::testing::UnitTest::GetInstance()
                               ->current_test_info()->name();
    home_ = work_ + "/home";
    fs::create_directories(work_ + "/win");
    fs::create_directories(work_ + "/linux");
    fs::create_directories(home_);
  }

  void TearDown() override {
    for (const std::string& m : mounts_) Unmount(m);
    if (!work_.empty()) RemoveTree(work_);
  }

  // Runs a Windows program in cwd. `sets` are cmd "set" commands run
  // first ("HOMEDRIVE=Z:", "temp=" ...), for the variables wine itself
  // sets for a program started from Linux.
  ProcessResult RunWindows(const std::string& program,
                           const std::vector<std::string>& args,
                           const std::string& cwd,
                           const std::vector<std::string>& sets = {},
                           ProcessOptions options = ProcessOptions()) {
    options.cwd = cwd;
    AddWineEnvironment(&options);
    options.timeout_ms = 60000;
    const std::string exe = "C:\\korv\\" + program + ".exe";
    if (sets.empty()) {
      std::vector<std::string> argv = {exe};
      argv.insert(argv.end(), args.begin(), args.end());
      return RunProgram(g_wine, argv, options);
    }
    std::string line;
    for (const std::string& set : sets) line += "set " + set + "&& ";
    line += exe;
    for (const std::string& arg : args) line += " " + arg;
    return RunProgram(g_wine, {"cmd", "/c", line}, options);
  }

  ProcessResult RunLinux(const std::string& program,
                         const std::vector<std::string>& args,
                         const std::string& cwd) {
    ProcessOptions options;
    options.cwd = cwd;
    options.env.push_back({"HOME", home_});
    return RunProgram(BuiltProgram(program), args, options);
  }

  // Mounts a tmpfs of size bytes at work_/name; false (why set) if not.
  bool Mount(const std::string& name, int64_t size, std::string* why) {
    const std::string path = work_ + "/" + name;
    fs::create_directories(path);
    if (!MountTmpfs(path, size, why)) return false;
    mounts_.push_back(path);
    return true;
  }

  std::string work_;
  std::string home_;
  std::vector<std::string> mounts_;
};

TEST_F(WineTest, WriterTranscriptAsOnLinux) {
  const std::vector<std::string> args = {"50000", "LEER", "3", "2"};
  ProcessResult win = RunWindows("korvfyll", args, work_ + "/win");
  ProcessResult lin = RunLinux("korvfyll", args, work_ + "/linux");
  ASSERT_FALSE(win.timed_out);
  EXPECT_EQ(win.status, lin.status) << win.output;
  EXPECT_EQ(win.output.rfind("Korvfyll   KORVAMEL   V 2.88 (32bit) ", 0), 0u)
      << win.output;
  EXPECT_EQ(WithoutTitle(NormalizeTranscript(win.output)),
            WithoutTitle(NormalizeTranscript(lin.output)));
  for (int i : {3, 4}) {
    EXPECT_EQ(fs::file_size(work_ + "/win/" + Name(i)), 50000u);
  }
}

// A byte waiting in a redirected input is a key press: the run stops after
// its first block, as on Linux.
TEST_F(WineTest, KeyFromARedirectedInput) {
  const std::vector<std::string> args = {"100000", "A", "0", "5", "J", "daten"};
  ProcessOptions options;
  options.input = ProcessOptions::kText;
  options.stdin_text = "x";
  ProcessResult win = RunWindows("korvfyll", args, work_ + "/win", {}, options);
  options.env.push_back({"HOME", home_});
  options.cwd = work_ + "/linux";
  ProcessResult lin = RunProgram(BuiltProgram("korvfyll"), args, options);
  EXPECT_EQ(win.status, lin.status) << win.output;
  EXPECT_EQ(WithoutTitle(NormalizeTranscript(win.output)),
            WithoutTitle(NormalizeTranscript(lin.output)));
  // Stopped in the first file, and a stopped run never deletes.
  EXPECT_EQ(ListFolder(work_ + "/win/daten"), std::vector<std::string>{Name(0)});
  EXPECT_EQ(fs::file_size(work_ + "/win/daten/" + Name(0)), 32768u);

  // A key that comes later through a pipe kept open stops the run too.
  ProcessOptions open_pipe;
  open_pipe.input = ProcessOptions::kOpenPipe;
  // (The output into a pipe is buffered, so the key goes after a while.)
  open_pipe.key_after = "";
  open_pipe.key_delay_ms = 700;
  open_pipe.key = " ";
  ProcessResult later = RunWindows(
      "korvfyll", {"1M", "A", "0", "2000", "J", "spaeter"}, work_ + "/win", {},
      open_pipe);
  ASSERT_FALSE(later.timed_out);
  EXPECT_EQ(later.status, 0) << later.output;
  EXPECT_EQ(later.output.find("geloescht"), std::string::npos);
  const size_t written = ListFolder(work_ + "/win/spaeter").size();
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 2000u);
}

TEST_F(WineTest, ReaderTranscriptAsOnLinux) {
  const std::vector<std::string> fill = {"50000", "LEER", "3", "10"};
  const std::vector<std::string> read = {"3", "10", "J"};
  ASSERT_EQ(RunWindows("korvfyll", fill, work_ + "/win").status, 0);
  ASSERT_EQ(RunLinux("korvfyll", fill, work_ + "/linux").status, 0);
  ProcessResult win = RunWindows("korvlas", read, work_ + "/win");
  ProcessResult lin = RunLinux("korvlas", read, work_ + "/linux");
  ASSERT_FALSE(win.timed_out);
  EXPECT_EQ(win.status, lin.status) << win.output;
  EXPECT_EQ(WithoutTitle(SortedDeletions(NormalizeTranscript(win.output))),
            WithoutTitle(SortedDeletions(NormalizeTranscript(lin.output))));
  EXPECT_NE(win.output.find("N0000012.KVL geloescht"), std::string::npos);
  EXPECT_TRUE(ListFolder(work_ + "/win").empty());
}

// The protocol folder comes from homedrive + homepath, else temp, else tmp,
// whatever the case of the names.
TEST_F(WineTest, HomeFolderFromTheWindowsVariables) {
  const std::string base = DosPath(home_);
  struct Case {
    const char* what;
    std::vector<std::string> sets;
    std::string folder;  // where korvamel has to appear, below home_
  };
  const std::vector<Case> cases = {
      {"homedrive and homepath", {"HOMEDRIVE=Z:", "HOMEPATH=" + base.substr(2) + "\\a"}, "a"},
      {"TEMP", {"HOMEDRIVE=", "HOMEPATH=", "TEMP=" + base + "\\b", "TMP="}, "b"},
      {"temp in lower case", {"HOMEDRIVE=", "HOMEPATH=", "TEMP=", "temp=" + base + "\\c", "TMP="}, "c"},
      {"Tmp in mixed case", {"HOMEDRIVE=", "HOMEPATH=", "TEMP=", "TMP=", "Tmp=" + base + "\\d"}, "d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::create_directories(home_ + "/" + c.folder);
    // The protocol size is given, so the protocol is kept even though data
    // and home share drive Z:.
    ProcessResult r = RunWindows("korvfyll", {"1000", "A", "0", "1", "J", "daten", "5"},
                                 work_ + "/win", c.sets);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string folder = home_ + "/" + c.folder + "/korvamel";
    ASSERT_TRUE(fs::is_directory(folder)) << r.output;
    const std::vector<std::string> protocols = ListFolder(folder);
    ASSERT_EQ(protocols.size(), 1u) << r.output;
    EXPECT_EQ(protocols[0].rfind("korvfyll_d", 0), 0u);
    EXPECT_NE(r.output.find("Diese Liste steht auch unter:\n" + base + "\\" +
                            c.folder + "\\korvamel\\korvfyll_d"),
              std::string::npos)
        << r.output;
  }
}

// Windows tells no case in file names: a data file written in lower case
// is found, read and deleted like any other.
TEST_F(WineTest, DataFileNamesWithoutRegardToCase) {
  ASSERT_TRUE(WriteWholeFile(work_ + "/win/n0000003.kvl", std::string(1000, 'A')));
  ProcessResult r = RunWindows("korvlas", {"3", "1", "J"}, work_ + "/win");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("N0000003.KVL ok"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("n0000003.kvl geloescht"), std::string::npos)
      << r.output;
  EXPECT_TRUE(ListFolder(work_ + "/win").empty());
}

// Several drives (C: and Z:): with the default protocol size (the reader
// without arguments) no protocol is kept when data and protocol would share
// a drive.
TEST_F(WineTest, ProtocolPrecheckWithSeveralDrives) {
  ASSERT_EQ(RunWindows("korvfyll", {"1000", "A", "3", "2"}, work_ + "/win").status, 0);
  const std::vector<std::string> same_drive = {
      "HOMEDRIVE=Z:", "HOMEPATH=" + DosPath(home_).substr(2)};
  ProcessResult shared = RunWindows("korvlas", {}, work_ + "/win", same_drive);
  EXPECT_EQ(shared.status, 0) << shared.output;
  EXPECT_NE(shared.output.find("N0000004.KVL ok"), std::string::npos);
  EXPECT_EQ(shared.output.find("Zusammenfassung:"), std::string::npos)
      << shared.output;
  EXPECT_TRUE(ListFolder(home_ + "/korvamel").empty());

  // With the protocol in the prefix's own drive C: it is kept.
  ProcessResult apart = RunWindows("korvlas", {}, work_ + "/win");
  EXPECT_EQ(apart.status, 0) << apart.output;
  EXPECT_NE(apart.output.find("Zusammenfassung:"), std::string::npos)
      << apart.output;
  EXPECT_NE(apart.output.find("Diese Liste steht auch unter:\nC:\\users\\"),
            std::string::npos);
}

// A drive letter of its own on a small tmpfs, the only drive wine shows
// (its Windows folders are linked in): one drive, so the writer keeps the
// reserve for the protocol, and stops before the disk is full.
TEST_F(WineTest, FullSmallDriveKeepsTheReserve) {
  constexpr int64_t kBlock = 32768;
  constexpr int64_t kReserve = 30720;
  constexpr int64_t kFileSize = 102400;
  std::string why;
  if (!Mount("karte", 3 * 1024 * 1024, &why)) GTEST_SKIP() << why;
  const std::string card = work_ + "/karte";
  for (const char* entry : {"windows", "users", "ProgramData", "Program Files",
                            "Program Files (x86)", "korv"}) {
    if (fs::exists(g_prefix + "/drive_c/" + entry)) {
      fs::create_symlink(g_prefix + "/drive_c/" + entry,
                         card + "/" + entry);
    }
  }
  fs::create_directories(card + "/home");
  // Drive C: becomes the card; Z: goes away; both come back afterwards.
  const std::string devices = g_prefix + "/dosdevices";
  fs::rename(devices + "/c:", devices + "/c.saved");
  fs::rename(devices + "/z:", devices + "/z.saved");
  fs::create_symlink(card, devices + "/c:");
  ProcessResult r = RunWindows("korvfyll", {"100K", "A", "0", "1000", "N", "C:\\daten", "5"},
                               card, {"HOMEDRIVE=C:", "HOMEPATH=\\home"});
  const int64_t free_after = FreeBytesOfPath(card);
  fs::remove(devices + "/c:");
  fs::rename(devices + "/c.saved", devices + "/c:");
  fs::rename(devices + "/z.saved", devices + "/z:");

  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("E/A-Fehler"), std::string::npos) << r.output;
  const std::vector<std::string> files = ListFolder(card + "/daten");
  ASSERT_GE(files.size(), 2u);
  for (size_t i = 0; i + 1 < files.size(); ++i) {
    EXPECT_EQ(files[i], Name(static_cast<int>(i)));
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(card + "/daten/" + files[i])), kFileSize);
  }
  // A whole block stays free behind the last one written, never two.
  EXPECT_LT(free_after, 2 * kBlock + kReserve);
  // Room stayed for the protocol, which took at most a page since.
  EXPECT_GE(free_after + 4096, kBlock + kReserve);
  EXPECT_NE(r.output.find("Zusammenfassung:"), std::string::npos) << r.output;
  EXPECT_EQ(ListFolder(card + "/home/korvamel").size(), 1u);
}

// Links named like data files, planted in the same way for both systems.
// Wine shows a link to a folder as a reparse point and a second hard link
// as a link count of 2 (a symbolic link to a file it shows as that file,
// so that one cannot be planted here).
TEST_F(WineTest, PlantedLinkIsNotFollowed) {
  ASSERT_TRUE(WriteWholeFile(work_ + "/opfer.txt", "bleibt"));
  fs::create_directories(work_ + "/ziel");
  for (const char* side : {"win", "linux"}) {
    const std::string dir = work_ + "/" + side;
    fs::create_directory_symlink(work_ + "/ziel", dir + "/" + Name(0));
    fs::create_hard_link(work_ + "/opfer.txt", dir + "/" + Name(1));
  }
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const std::vector<Case> cases = {{{"1000", "A", "0", "1"}, 40},
                                   {{"1000", "A", "1", "1"}, 17}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[2]);
    ProcessResult win = RunWindows("korvfyll", c.args, work_ + "/win");
    ProcessResult lin = RunLinux("korvfyll", c.args, work_ + "/linux");
    EXPECT_EQ(win.status, c.status) << win.output;
    EXPECT_EQ(lin.status, c.status) << lin.output;
    EXPECT_EQ(NormalizeTranscript(win.output), NormalizeTranscript(lin.output));
  }
  std::string victim;
  ASSERT_TRUE(ReadWholeFile(work_ + "/opfer.txt", &victim));
  EXPECT_EQ(victim, "bleibt");
  EXPECT_TRUE(fs::is_symlink(work_ + "/win/" + Name(0)));
  EXPECT_TRUE(ListFolder(work_ + "/ziel").empty());

  // The reader does not read through the folder link.
  ProcessResult read = RunWindows("korvlas", {"0", "1"}, work_ + "/win");
  EXPECT_EQ(read.output.find("N0000000.KVL ok"), std::string::npos)
      << read.output;
}

// A data file whose flush to the disk fails gets no "ok": the volume
// cannot be flushed as a whole, so each file is.
TEST_F(WineTest, EachDataFileFlushedBeforeItCounts) {
  const std::string backing = work_ + "/backing";
  const std::string fuse = work_ + "/fuse";
  fs::create_directories(backing);
  fs::create_directories(fuse);
  std::string why;
  if (!MountFaultFs(backing, fuse, {"--fail-fsync=" + Name(1)}, &why)) {
    GTEST_SKIP() << why;
  }
  mounts_.push_back(fuse);
  ProcessResult w = RunWindows(
      "korvfyll", {"1000", "A", "0", "3", "N", DosPath(fuse)}, work_ + "/win");
  EXPECT_EQ(w.status, 5) << w.output;
  EXPECT_NE(w.output.find(Name(0) + " ok"), std::string::npos) << w.output;
  EXPECT_EQ(w.output.find(Name(1) + " ok"), std::string::npos) << w.output;
  EXPECT_NE(w.output.find("E/A-Fehler 5 (Input/output error): " +
                          DosPath(fuse) + "\\" + Name(1)),
            std::string::npos)
      << w.output;
}

// Exit statuses: usage, a refused argument, a data file that cannot be
// created (a folder of its name), a wrong file found, a missing data folder.
TEST_F(WineTest, ExitStatusesAsOnLinux) {
  for (const char* side : {"win", "linux"}) {
    fs::create_directories(work_ + "/" + side + "/" + Name(5));
    ASSERT_TRUE(WriteWholeFile(work_ + "/" + side + "/" + Name(7), "AAB"));
  }
  struct Case {
    const char* program;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {"korvfyll", {"?"}},
      {"korvfyll", {"1000", "A", "0", "99999999"}},
      {"korvfyll", {"1000", "A", "5", "1"}},
      {"korvlas", {"7", "1"}},
      {"korvlas", {"0", "1", "N", "fehlt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.args.back());
    ProcessResult win = RunWindows(c.program, c.args, work_ + "/win");
    ProcessResult lin = RunLinux(c.program, c.args, work_ + "/linux");
    EXPECT_EQ(win.status, lin.status) << win.output << "\n---\n" << lin.output;
  }
  ProcessResult win = RunWindows("korvfyll", cases[2].args, work_ + "/win");
  EXPECT_EQ(win.status, 21);
  EXPECT_NE(win.output.find("E/A-Fehler 21 (Is a directory): "),
            std::string::npos)
      << win.output;
}

}  // namespace
}  // namespace korv
