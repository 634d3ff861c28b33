// End to end: on a terminal both programs show their progress in the
// window's title and give the window its own title back on every way out;
// in a pipe not a byte of it appears.
#include "shared/run/window_title.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "shared/platform/files.h"
#include "testing/test_process.h"

namespace korv {
namespace {

constexpr char kSaveTitle[] = "\x1b[22;0t";
constexpr char kRestoreTitle[] = "\x1b[23;0t";
constexpr char kSetTitle[] = "\x1b]2;";

// Runs program on a pseudo-terminal in folder; once its output holds
// signal_after (if given) it gets SIGTERM. Returns everything it wrote.
std::string RunOnTerminal(const std::string& program,
                          const std::vector<std::string>& args,
                          const std::string& folder,
                          const std::string& signal_after) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    setenv("HOME", folder.c_str(), 1);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  std::string output;
  bool signalled = signal_after.empty();
  for (int waited_ms = 0; waited_ms < 30000;) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) {
      waited_ms += 100;
      continue;
    }
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // the program ended (EIO on the master)
    output.append(buffer, static_cast<size_t>(n));
    if (!signalled && output.find(signal_after) != std::string::npos) {
      kill(pid, SIGTERM);
      signalled = true;
    }
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(master);
  return output;
}

TEST(WindowTitleTest, TitleOnATerminalOnlyAndAlwaysGivenBack) {
  const std::string root = MakeTempFolder();
  ASSERT_FALSE(root.empty());
  const std::string writer = BuiltProgram("korvfyll");
  const std::string reader = BuiltProgram("korvlas");

  // A fill, then a check that waits at a wrong file until SIGTERM ends it.
  std::string fill =
      RunOnTerminal(writer, {"3M", "A", "0", "3", "N", "d", "0"}, root, "");
  std::string wrong(2 << 20, 'A');
  wrong[100] = 'B';
  ASSERT_TRUE(WriteWholeFile(root + "/d/N0000001.KVL", wrong));
  std::string check = RunOnTerminal(reader, {"0", "3", "N", "d", "5"}, root,
                                    "ACHTUNG FEHLER");
  for (const auto& [name, out] :
       {std::pair{"korvfyll", fill}, std::pair{"korvlas", check}}) {
    SCOPED_TRACE(name);
    const size_t saved = out.find(kSaveTitle);
    const size_t first = out.find(std::string(kSetTitle) + name + " ");
    ASSERT_NE(saved, std::string::npos) << out;
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_LT(saved, first);
    // The plan: the files asked for, and the sizes of the files found.
    const std::string plan = name == std::string("korvfyll") ? "9,0" : "8,0";
    EXPECT_NE(out.find(" von " + plan + " M", first), std::string::npos)
        << out;
    const size_t restored = out.rfind(kRestoreTitle);
    EXPECT_TRUE(restored != std::string::npos &&
                restored > out.rfind(kSetTitle))
        << "the window's own title comes back at the end: " << out;
  }
  EXPECT_NE(check.find("ACHTUNG FEHLER"), std::string::npos);

  // In a pipe the transcript holds no title at all.
  ProcessOptions options;
  options.cwd = root;
  options.env = {{"HOME", root}};
  ProcessResult piped =
      RunProgram(writer, {"3M", "A", "0", "3", "N", "d", "0"}, options);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.output.find("\x1b]"), std::string::npos) << piped.output;
  EXPECT_EQ(piped.output.find("\x1b[2"), std::string::npos);
  RemoveTree(root);
}

}  // namespace
}  // namespace korv
