#include "shared/platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <thread>
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

// A terminal in the mode a shell leaves it in, set on the pseudo-terminal
// before the child starts, so that "before" never races the child.
struct termios ShellMode() {
  struct termios t;
  memset(&t, 0, sizeof t);
  t.c_iflag = ICRNL | IXON;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS8 | CREAD;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
  t.c_cc[VINTR] = 3;
  t.c_cc[VSUSP] = 26;
  t.c_cc[VEOF] = 4;
  t.c_cc[VMIN] = 1;
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  return t;
}

tcflag_t KeyModeBits(int master) {
  struct termios t;
  return tcgetattr(master, &t) == 0 ? t.c_lflag & (ICANON | ECHO) : 0;
}

// Reads what the child printed until text shows up (or the child is gone).
bool ReadUntil(int master, std::string* output, const std::string& text) {
  char buf[256];
  while (output->find(text) == std::string::npos) {
    struct pollfd pfd = {master, POLLIN, 0};
    if (poll(&pfd, 1, 10000) <= 0) return false;
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return false;
    output->append(buf, static_cast<size_t>(n));
  }
  return true;
}

// The child takes the key mode, sees a key without Enter, and is ended:
// the terminal is back in the shell's mode and it dies by the signal
// itself. SIGINT, SIGTERM and SIGHUP first write out what it printed but
// had not flushed; a crash (SIGQUIT, abort, an uncaught exception) only
// gives the terminal back.
TEST(ConsoleTest, TerminalModeRestoredOnSignal) {
  struct Case {
    const char* name;
    int sig;          // sent by the test; 0: the child throws
    int death;        // the signal the child dies of
    bool writes_out;  // "unflushed" reaches the terminal
  };
  const Case cases[] = {
      {"SIGTERM", SIGTERM, SIGTERM, true},
      {"SIGHUP", SIGHUP, SIGHUP, true},
      {"SIGQUIT", SIGQUIT, SIGQUIT, false},
      {"SIGABRT", SIGABRT, SIGABRT, false},
      {"uncaught exception", 0, SIGABRT, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int buffered[2];  // the child says here that "unflushed" is buffered
    ASSERT_EQ(pipe(buffered), 0);
    int master;
    struct termios shell = ShellMode();
    pid_t pid = forkpty(&master, nullptr, &shell, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      TEST_RedetectStreams();
      ConsoleInit();
      OutLine("ready");
      for (int i = 0; i < 1000 && !KeyPending(); ++i) usleep(10000);
      OutLine(KeyPending() ? "key" : "nokey");
      Out("unflushed");
      write(buffered[1], "b", 1);
      // Thrown where nothing catches it, as in the programs (the test
      // framework would catch it on this thread).
      if (c.sig == 0) std::thread([] { throw std::bad_alloc(); }).join();
      for (;;) {
        KeyPending();
        usleep(1000);
      }
    }
    std::string output;
    ASSERT_TRUE(ReadUntil(master, &output, "ready")) << output;
    EXPECT_EQ(KeyModeBits(master), 0u) << "key mode while running";
    ASSERT_EQ(write(master, "k", 1), 1);  // no Enter
    ASSERT_TRUE(ReadUntil(master, &output, "key")) << output;
    char b;
    ASSERT_EQ(read(buffered[0], &b, 1), 1);
    close(buffered[0]);
    close(buffered[1]);
    if (c.sig != 0) kill(pid, c.sig);
    ReadUntil(master, &output, "unflushed");
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(KeyModeBits(master), shell.c_lflag & (ICANON | ECHO));
    close(master);
    EXPECT_EQ(output.find("nokey"), std::string::npos) << output;
    if (c.writes_out) {
      EXPECT_NE(output.find("unflushed"), std::string::npos) << output;
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.death);
  }
}

// Ctrl-Z gives the shell its mode back before the stop; "fg" (SIGCONT)
// takes the key mode again, so a key is still seen without Enter. The child
// on the pseudo-terminal plays the shell: the job runs in a process group of
// its own (an orphaned group would not stop at all).
TEST(ConsoleTest, StopAndContinueKeepTheKeyMode) {
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  int master;
  struct termios shell = ShellMode();
  pid_t pid = forkpty(&master, nullptr, &shell, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGTTOU, SIG_IGN);
    pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      while (tcgetpgrp(0) != getpgrp()) usleep(1000);
      TEST_RedetectStreams();
      ConsoleInit();
      OutLine("ready");
      for (int i = 0; i < 1000 && !KeyPending(); ++i) usleep(10000);
      OutLine(KeyPending() ? "key" : "nokey");
      ExitProgram(0);
    }
    setpgid(job, job);
    tcsetpgrp(0, job);
    int st = 0;
    waitpid(job, &st, WUNTRACED);
    if (!WIFSTOPPED(st)) _exit(2);
    const char kStopped[] = "stopped\r\n";
    write(1, kStopped, sizeof kStopped - 1);
    char c;
    read(go[0], &c, 1);  // "fg"
    tcsetpgrp(0, job);
    kill(-job, SIGCONT);
    waitpid(job, &st, 0);
    _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 3);
  }
  std::string output;
  ASSERT_TRUE(ReadUntil(master, &output, "ready")) << output;
  ASSERT_EQ(write(master, "\x1a", 1), 1);  // Ctrl-Z
  ASSERT_TRUE(ReadUntil(master, &output, "stopped")) << output;
  EXPECT_EQ(KeyModeBits(master), shell.c_lflag & (ICANON | ECHO))
      << "the shell's mode while stopped";
  ASSERT_EQ(write(go[1], "g", 1), 1);
  for (int i = 0; i < 2000 && KeyModeBits(master) != 0; ++i) usleep(10000);
  EXPECT_EQ(KeyModeBits(master), 0u) << "key mode again after fg";
  ASSERT_EQ(write(master, "k", 1), 1);  // no Enter
  ReadUntil(master, &output, "key\r\n");
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  close(go[0]);
  close(go[1]);
  EXPECT_EQ(output.find("nokey"), std::string::npos) << output;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Started in the background ("&"), the program neither stops on SIGTTOU nor
// touches the terminal's mode: the mode is looked at while the job runs,
// since its end restores the mode anyway.
TEST(ConsoleTest, BackgroundStartLeavesTheTerminalAlone) {
  int running[2];  // the job says here that it has set up its console
  int go[2];       // and waits here until the test has looked
  ASSERT_EQ(pipe(running), 0);
  ASSERT_EQ(pipe(go), 0);
  int master;
  struct termios shell = ShellMode();
  pid_t pid = forkpty(&master, nullptr, &shell, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);  // a process group that does not own the terminal
      TEST_RedetectStreams();
      ConsoleInit();
      write(running[1], "r", 1);
      char c;
      read(go[0], &c, 1);
      ExitProgram(0);
    }
    int job_status = 0;
    waitpid(job, &job_status, WUNTRACED);
    if (WIFSTOPPED(job_status)) kill(job, SIGKILL);
    _exit(WIFEXITED(job_status) ? 0 : 1);
  }
  close(running[1]);
  close(go[0]);
  char c = 0;
  struct pollfd pfd = {running[0], POLLIN, 0};
  const bool job_running =
      poll(&pfd, 1, 20000) == 1 && read(running[0], &c, 1) == 1;
  EXPECT_TRUE(job_running) << "the background job stopped";
  EXPECT_EQ(KeyModeBits(master), shell.c_lflag & (ICANON | ECHO))
      << "the terminal's mode while the job runs";
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the background job stopped";
  EXPECT_EQ(KeyModeBits(master), shell.c_lflag & (ICANON | ECHO));
  close(master);
  close(running[0]);
  close(go[1]);
}

}  // namespace
}  // namespace korv
