#include "shared/platform/console.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace korv {
namespace {

constexpr size_t kOutBufferSize = 1 << 16;

bool g_initialised = false;
bool g_stdin_tty = false;
bool g_stdout_tty = false;
// False when standard input can never deliver a key (closed, /dev/null or
// another character device that is not a terminal), so polling costs nothing.
bool g_stdin_may_have_keys = false;
bool g_termios_saved = false;
struct termios g_saved_termios;

std::string g_out;
bool g_out_broken = false;
std::string* g_capture = nullptr;
std::string* g_key_input = nullptr;

void DetectStreams() {
  if (g_initialised) return;
  g_initialised = true;
  g_stdin_tty = isatty(STDIN_FILENO) == 1;
  g_stdout_tty = isatty(STDOUT_FILENO) == 1;
  struct stat st;
  if (fstat(STDIN_FILENO, &st) != 0) {
    g_stdin_may_have_keys = false;
  } else if (S_ISCHR(st.st_mode) && !g_stdin_tty) {
    g_stdin_may_have_keys = false;
  } else {
    g_stdin_may_have_keys = true;
  }
  g_out.reserve(kOutBufferSize + 4096);
}

void RestoreTerminalRaw() {
  if (g_termios_saved) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
}

extern "C" void OnTerminatingSignal(int sig) {
  // Only async-signal-safe calls here: put the terminal back, then leave.
  RestoreTerminalRaw();
  _exit(128 + sig);
}

// Writes the whole buffer; a console that cannot be written to ends the
// program (without trying to print to it again).
void WriteOut(const char* data, size_t size) {
  while (size > 0 && !g_out_broken) {
    ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      g_out_broken = true;
      RestoreTerminalRaw();
      std::fprintf(stderr, "E/A-Fehler %d (%s): Konsolenausgabe\n", err,
                   strerror(err));
      std::_Exit(err);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

void ConsoleInit() {
  DetectStreams();
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnTerminatingSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  // A closed pipe on stdout shows up as EPIPE from write, which ends the
  // run with that error number instead of a silent signal death.
  signal(SIGPIPE, SIG_IGN);
  if (g_stdin_tty && !g_termios_saved &&
      tcgetattr(STDIN_FILENO, &g_saved_termios) == 0) {
    g_termios_saved = true;
    std::atexit(ConsoleRestore);
    struct termios raw = g_saved_termios;
    // Non-canonical, no echo: a single key press is seen without Enter.
    // ISIG stays on so that Ctrl-C still interrupts.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
}

void ConsoleRestore() { RestoreTerminalRaw(); }

bool StdinIsTerminal() {
  DetectStreams();
  return g_stdin_tty;
}

bool StdoutIsTerminal() {
  DetectStreams();
  return g_stdout_tty;
}

void ClearScreen() {
  DetectStreams();
  if (g_stdout_tty && g_capture == nullptr) Out("\x1b[H\x1b[2J");
}

void Out(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->append(text);
    return;
  }
  DetectStreams();
  g_out.append(text);
  if (g_out.size() >= kOutBufferSize) OutFlush();
}

void OutLine(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->append(text);
    g_capture->push_back('\n');
    return;
  }
  DetectStreams();
  g_out.append(text);
  g_out.push_back('\n');
  // On a terminal every line shows at once; pipes and logs keep a large
  // buffer so that millions of file lines cost few system calls.
  if (g_stdout_tty || g_out.size() >= kOutBufferSize) OutFlush();
}

void OutFlush() {
  if (g_out.empty()) return;
  WriteOut(g_out.data(), g_out.size());
  g_out.clear();
}

void OutFlushIfTerminal() {
  if (g_capture == nullptr && g_stdout_tty) OutFlush();
}

bool KeyPending() {
  if (g_key_input != nullptr) return !g_key_input->empty();
  DetectStreams();
  if (!g_stdin_may_have_keys) return false;
  // FIONREAD counts the bytes waiting without consuming them; it answers 0
  // at end of input and fails on /dev/null, so neither counts as a key.
  int waiting = 0;
  if (ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) return false;
  return waiting > 0;
}

int ReadKeyByte(int timeout_ms) {
  if (g_key_input != nullptr) {
    if (g_key_input->empty()) return -2;
    unsigned char c = static_cast<unsigned char>((*g_key_input)[0]);
    g_key_input->erase(0, 1);
    return c;
  }
  DetectStreams();
  OutFlush();
  if (!g_stdin_may_have_keys) return -2;
  for (;;) {
    struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
    int ready = poll(&pfd, 1, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -2;
    }
    if (ready == 0) return -1;
    unsigned char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return -2;
  }
}

void Fatal(int err, std::string_view path) {
  if (err <= 0) err = EIO;
  OutFlush();
  RestoreTerminalRaw();
  std::string line = "E/A-Fehler " + std::to_string(err) + " (" +
                     strerror(err) + "): " + std::string(path);
  if (g_capture != nullptr) {
    g_capture->append(line + "\n");
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  std::exit(err);
}

void ExitProgram(int status) {
  OutFlush();
  RestoreTerminalRaw();
  std::exit(status);
}

void TEST_CaptureOutput(std::string* sink) {
  if (sink != nullptr) OutFlush();
  g_capture = sink;
}

void TEST_SetKeyInput(std::string* keys) { g_key_input = keys; }

void TEST_RedetectStreams() {
  g_initialised = false;
  DetectStreams();
}

}  // namespace korv
