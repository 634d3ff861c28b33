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

#include "shared/platform/console_internal.h"

namespace korv {
namespace {

bool g_initialised = false;
bool g_stdin_tty = false;
bool g_stdout_tty = false;
// False when standard input can never deliver a key (closed, /dev/null or
// another character device that is not a terminal), so polling costs nothing.
bool g_stdin_may_have_keys = false;
bool g_termios_saved = false;
struct termios g_saved_termios;

bool g_out_broken = false;


// The signal that asked the run to end, 0 while none did. The handler only
// records it; the run ends at its next output, key poll or folder entry,
// where writing out what it printed is safe.
volatile sig_atomic_t g_pending_signal = 0;
// While set, a signal waits until the card under check has its data back.
bool g_signal_death_deferred = false;
volatile sig_atomic_t g_key_mode_set = 0;
volatile sig_atomic_t g_in_console_write = 0;
bool g_dying = false;

// Set while the window's own title waits on the title stack for our
// return.
volatile sig_atomic_t g_title_pushed = 0;
bool g_title_restore_registered = false;
struct termios g_key_termios;

// Seconds the orderly end may spend writing out before it gives up (a
// pipe nobody reads must not keep a stopped run alive).
constexpr unsigned kWriteOutSeconds = 3;

// Sets the terminal's mode with SIGTTOU held back: from a background
// process group the call would otherwise stop the program.
void SetTerminalMode(const struct termios* mode) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTTOU);
  sigprocmask(SIG_BLOCK, &block, &old);
  tcsetattr(STDIN_FILENO, TCSANOW, mode);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// True when this process group owns the terminal (or the terminal is not
// our controlling one, so nobody else's mode is at stake).
bool InForeground() {
  const pid_t owner = tcgetpgrp(STDIN_FILENO);
  return owner == -1 || owner == getpgrp();
}

// Takes the key mode, but only in the foreground: a program started with
// "&" leaves the shell's terminal alone until it is brought forward.
void SetKeyMode() {
  if (!g_termios_saved || !InForeground()) return;
  SetTerminalMode(&g_key_termios);
  g_key_mode_set = 1;
}

// Gives the window its own title back. Async-signal-safe.
void RestoreTitle() {
  if (!g_title_pushed) return;
  g_title_pushed = 0;
  static const char kPopTitle[] = "\x1b[23;0t";
  ssize_t ignored = write(STDOUT_FILENO, kPopTitle, sizeof kPopTitle - 1);
  (void)ignored;
}

void RestoreTerminalRaw() {
  RestoreTitle();
  if (!g_key_mode_set) return;
  SetTerminalMode(&g_saved_termios);
  g_key_mode_set = 0;
}

// Gives sig its default action and raises it, unblocked. Async-signal-safe.
void RaiseWithDefaultAction(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
}

// Ends the program by sig itself (default action), so that a calling shell
// sees the signal and a script's loop stops. Async-signal-safe.
[[noreturn]] void DieBySignal(int sig) {
  RestoreTerminalRaw();
  RaiseWithDefaultAction(sig);
  _exit(128 + sig);  // only if the signal did not end us
}

extern "C" void OnTerminatingSignal(int sig) {
  // A second signal, or one during the write-out, ends the run at once.
  if (g_pending_signal != 0 || g_dying) {
    DieBySignal(g_pending_signal != 0 ? g_pending_signal : sig);
  }
  g_pending_signal = sig;
  // A console write that had not yet begun to wait when the signal came
  // would wait for ever: the timer interrupts it, and the run then ends.
  if (g_in_console_write) alarm(kWriteOutSeconds);
}

// The timer interrupts a console write that waits; during the write-out it
// ends the run.
extern "C" void OnWriteOutTimeout(int) {
  if (g_dying) DieBySignal(g_pending_signal);
}

extern "C" void OnCrashSignal(int sig) { DieBySignal(sig); }

// Installs handler for sig unless the program inherited the signal as
// ignored (nohup, a background job of a shell without job control).
void Catch(int sig, void (*handler)(int), int flags) {
  struct sigaction old;
  if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

// Ctrl-Z: the shell gets its terminal mode back before the stop; on
// resumption the key mode is taken again (if we are in the foreground).
extern "C" void OnStopSignal(int sig) {
  const int saved_errno = errno;
  RestoreTerminalRaw();
  RaiseWithDefaultAction(sig);  // stops here until SIGCONT
  Catch(sig, OnStopSignal, SA_RESTART);
  SetKeyMode();
  errno = saved_errno;
}

extern "C" void OnContinueSignal(int) {
  const int saved_errno = errno;
  SetKeyMode();
  errno = saved_errno;
}

void WriteOutAndDie(const char* rest, size_t size);

// Writes the whole buffer; a console that cannot be written to ends the
// program (without trying to print to it again).
void WriteOut(const char* data, size_t size) {
  while (size > 0 && !g_out_broken) {
    g_in_console_write = 1;
    ssize_t n = write(STDOUT_FILENO, data, size);
    g_in_console_write = 0;
    if (n < 0) {
      if (errno == EINTR) {
        if (g_pending_signal != 0) WriteOutAndDie(data, size);
        continue;
      }
      int err = errno;
      // Dying anyway: what cannot be written is given up.
      if (g_dying) return;
      g_out_broken = true;
      RestoreTerminalRaw();
      WriteStderr(IoErrorLine(err, "Konsolenausgabe") + "\n");
      std::_Exit(ExitStatusOfError(err));
    }
    data += n;
    size -= static_cast<size_t>(n);
    // A signal that comes while a write waits (a pipe nobody reads) cuts
    // the write short after the bytes that fit, without EINTR; writing the
    // rest would wait again, with no signal left to end it.
    if (size > 0 && g_pending_signal != 0) WriteOutAndDie(data, size);
  }
}

// Ends the run for the pending signal: the protocol lines so far reach
// their file first (a regular file, quick), then what was printed and not
// yet written: rest, the unwritten part of a write the signal cut short,
// or else the output buffer. Bounded in time by the timer.
void WriteOutAndDie(const char* rest, size_t size) {
  if (g_dying) return;
  g_dying = true;
  const int sig = g_pending_signal;
  alarm(kWriteOutSeconds);
  std::fflush(nullptr);  // the protocol file's buffered lines
  ObservedWriteOut();    // the run record's held lines
  if (rest != nullptr) {
    WriteOut(rest, size);
  } else if (CaptureSink() == nullptr) {
    OutFlush();
  }
  DieBySignal(sig);
}

}  // namespace

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
}

void WriteStdout(const char* data, size_t size) { WriteOut(data, size); }

std::string ErrorDescription(int err) { return strerror(err); }

void ConsoleInit() {
  DetectStreams();
  // No SA_RESTART: a wait for a key or a blocked write to the console
  // returns, so that the run can end.
  Catch(SIGINT, OnTerminatingSignal, 0);
  Catch(SIGTERM, OnTerminatingSignal, 0);
  Catch(SIGHUP, OnTerminatingSignal, 0);
  // Ctrl-\ (SIGQUIT) asks the run to end as the others do: what was
  // printed and the protocol lines so far are written out first.
  Catch(SIGQUIT, OnTerminatingSignal, 0);
  // abort(), and with it an uncaught exception (std::terminate).
  Catch(SIGABRT, OnCrashSignal, 0);
  // The write-out timer, also where the caller ignored SIGALRM; without
  // SA_RESTART, so that a console write it interrupts returns.
  struct sigaction timer;
  memset(&timer, 0, sizeof timer);
  timer.sa_handler = OnWriteOutTimeout;
  sigemptyset(&timer.sa_mask);
  sigaction(SIGALRM, &timer, nullptr);
  // A closed pipe on stdout shows up as EPIPE from write, which ends the
  // run with that error number instead of a silent signal death.
  signal(SIGPIPE, SIG_IGN);
  if (g_stdin_tty && !g_termios_saved &&
      tcgetattr(STDIN_FILENO, &g_saved_termios) == 0) {
    g_termios_saved = true;
    std::atexit(ConsoleRestore);
    g_key_termios = g_saved_termios;
    // Non-canonical, no echo: a single key press is seen without Enter.
    // ISIG stays on so that Ctrl-C still interrupts.
    g_key_termios.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    g_key_termios.c_cc[VMIN] = 1;
    g_key_termios.c_cc[VTIME] = 0;
    Catch(SIGTSTP, OnStopSignal, SA_RESTART);
    Catch(SIGCONT, OnContinueSignal, SA_RESTART);
    SetKeyMode();
  }
}

void HandlePendingSignal() {
  if (g_pending_signal != 0 && !g_signal_death_deferred) {
    WriteOutAndDie(nullptr, 0);
  }
}

void DeferSignalDeath(bool on) {
  g_signal_death_deferred = on;
  HandlePendingSignal();
}

bool SignalPending() { return g_pending_signal != 0; }

void ConsoleRestore() { RestoreTerminalRaw(); }

void ShowTitle(std::string_view text) {
  DetectStreams();
  if (!g_stdout_tty || CaptureSink() != nullptr || g_dying) return;
  if (!g_title_restore_registered) {
    g_title_restore_registered = true;
    std::atexit(ConsoleRestore);
  }
  std::string sequence;
  // Saved again after a Ctrl-Z gave the window its title back.
  if (!g_title_pushed) sequence = "\x1b[22;0t";
  sequence += "\x1b]2;";
  for (char c : text) {
    // Nothing in a title may end or break its sequence.
    sequence += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  }
  sequence += '\a';
  g_title_pushed = 1;
  WriteOut(sequence.data(), sequence.size());
}

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
  if (g_stdout_tty && CaptureSink() == nullptr) Out("\x1b[H\x1b[2J");
}

bool KeyPending() {
  HandlePendingSignal();
  int key;
  if (HookedKey(false, &key)) return key >= 0;
  DetectStreams();
  if (!g_stdin_may_have_keys) return false;
  // FIONREAD counts the bytes waiting without consuming them; it answers 0
  // at end of input and fails on /dev/null, so neither counts as a key.
  int waiting = 0;
  if (ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) return false;
  return waiting > 0;
}

int ReadKeyByte(int timeout_ms) {
  int key;
  if (HookedKey(true, &key)) return key;
  DetectStreams();
  OutFlush();
  if (!g_stdin_may_have_keys) return -2;
  // A wait may last long, and end by a signal or a kill.
  ObservedWriteOut();
  for (;;) {
    struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
    int ready = poll(&pfd, 1, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) {
        HandlePendingSignal();
        continue;
      }
      return -2;
    }
    if (ready == 0) return -1;
    unsigned char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) {
      HandlePendingSignal();
      continue;
    }
    return -2;
  }
}

void WriteStderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void FatalLine(std::string_view line, int status) {
  OutFlush();
  RestoreTerminalRaw();
  std::string text(line);
  text.push_back('\n');
  if (CaptureSink() != nullptr) CaptureSink()->append(text);
  WriteStderr(text);
  std::exit(ObservedExitStatus(status));
}

void ExitProgram(int status) {
  status = ObservedExitStatus(status);
  OutFlush();
  RestoreTerminalRaw();
  std::exit(status);
}

void RedetectStreams() {
  g_initialised = false;
  DetectStreams();
}

void TEST_RedetectStreams() { RedetectStreams(); }

}  // namespace korv
