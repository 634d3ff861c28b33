#include "shared/platform/console.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace korv {
namespace {

TEST(ConsoleTest, CaptureKeepsOrder) {
  std::string sink;
  TEST_CaptureOutput(&sink);
  Out("a");
  OutLine("b");
  OutLine();
  ClearScreen();  // never into a capture or a pipe
  TEST_CaptureOutput(nullptr);
  EXPECT_EQ(sink, "ab\n\n");
}

// Puts another file on descriptor 0 for the length of one case.
class StdinSwap {
 public:
  explicit StdinSwap(int fd) : saved_(dup(0)) {
    dup2(fd, 0);
    TEST_RedetectStreams();
  }
  ~StdinSwap() {
    dup2(saved_, 0);
    close(saved_);
    TEST_RedetectStreams();
  }

 private:
  int saved_;
};

TEST(ConsoleTest, KeyPendingFromPipesAndDevNull) {
  struct Case {
    const char* name;
    const char* data;    // written into the pipe
    bool close_writer;   // end of input after data
    bool pending;        // KeyPending answer
    int first_read;      // ReadKeyByte(0) afterwards
  };
  const Case cases[] = {
      {"byte waiting", "x", false, true, 'x'},
      {"byte then end of input", "y", true, true, 'y'},
      {"open and empty", "", false, false, -1},
      {"end of input", "", true, false, -2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], c.data, strlen(c.data)),
              static_cast<ssize_t>(strlen(c.data)));
    if (c.close_writer) close(p[1]);
    {
      StdinSwap swap(p[0]);
      EXPECT_EQ(KeyPending(), c.pending);
      EXPECT_EQ(KeyPending(), c.pending) << "asking must not consume";
      EXPECT_EQ(ReadKeyByte(0), c.first_read);
    }
    close(p[0]);
    if (!c.close_writer) close(p[1]);
  }
  int null_fd = open("/dev/null", O_RDONLY);
  {
    StdinSwap swap(null_fd);
    EXPECT_FALSE(KeyPending());
    EXPECT_EQ(ReadKeyByte(-1), -2) << "/dev/null must never make us wait";
  }
  close(null_fd);
}

TEST(ConsoleTest, KeyInputHook) {
  std::string keys = "ab";
  TEST_SetKeyInput(&keys);
  EXPECT_TRUE(KeyPending());
  EXPECT_EQ(ReadKeyByte(-1), 'a');
  EXPECT_EQ(ReadKeyByte(-1), 'b');
  EXPECT_FALSE(KeyPending());
  EXPECT_EQ(ReadKeyByte(-1), -2);
  TEST_SetKeyInput(nullptr);
}

// A child on a pseudo-terminal switches it to key mode, sees a key press
// without Enter, and is ended by a signal; the terminal must be back in its
// old mode afterwards, and the status must be 128 + the signal number.
TEST(ConsoleTest, TerminalModeRestoredOnSignal) {
  int master;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    TEST_RedetectStreams();
    ConsoleInit();
    OutLine("ready");
    OutFlush();
    for (int i = 0; i < 500 && !KeyPending(); ++i) usleep(10000);
    OutLine(KeyPending() ? "key" : "nokey");
    OutFlush();
    raise(SIGTERM);
    _exit(99);
  }
  struct termios before;
  ASSERT_EQ(tcgetattr(master, &before), 0);
  std::string output;
  char buf[256];
  bool sent = false;
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    output.append(buf, static_cast<size_t>(n));
    if (!sent && output.find("ready") != std::string::npos) {
      struct termios during;
      ASSERT_EQ(tcgetattr(master, &during), 0);
      EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
      EXPECT_NE(during.c_lflag & ISIG, 0u) << "Ctrl-C must keep working";
      ASSERT_EQ(write(master, "k", 1), 1);  // no Enter
      sent = true;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  struct termios after;
  ASSERT_EQ(tcgetattr(master, &after), 0);
  close(master);
  EXPECT_NE(output.find("key"), std::string::npos) << output;
  EXPECT_EQ(output.find("nokey"), std::string::npos) << output;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
}

}  // namespace
}  // namespace korv
