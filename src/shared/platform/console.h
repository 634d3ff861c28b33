// Console services: ordered output, the terminal's key mode, key polling and fatal exits.
#ifndef KORV_SHARED_PLATFORM_CONSOLE_H_
#define KORV_SHARED_PLATFORM_CONSOLE_H_

#include <string>
#include <string_view>

namespace korv {

// Prepares the console for a run: when standard input is a terminal it is
// switched to non-canonical, no-echo mode (signals stay on, so Ctrl-C works)
// while the program is in the foreground, and the terminal is restored on
// every way out: exit, SIGINT/SIGTERM/SIGHUP, SIGQUIT, SIGABRT (and with it
// an uncaught exception) and Ctrl-Z (the key mode returns with "fg"). A
// signal the program inherited as ignored stays ignored.
void ConsoleInit();

// Ends the program when SIGINT, SIGTERM, SIGHUP or SIGQUIT arrived: writes
// out what was printed and the protocol lines so far, restores the terminal
// and dies by that signal. Output, key polls and folder searches call it,
// so loops that do neither for long should call it themselves.
void HandlePendingSignal();

// While on, a terminating signal is only noted (SignalPending), so that a
// run can first undo what must not be left half done (a card's data
// written back); turning it off ends the program for a signal that came
// meanwhile. A second signal still ends the program at once.
void DeferSignalDeath(bool on);
bool SignalPending();

// Puts the terminal back into the mode it had before ConsoleInit.
void ConsoleRestore();

// Clears the screen with an ANSI sequence, only when stdout is a terminal.
void ClearScreen();

// Writes text without a line end. Output is buffered and kept in order.
void Out(std::string_view text);

// Writes text followed by a line end.
void OutLine(std::string_view text = {});

// Hands all buffered output to the system.
void OutFlush();

// Flushes only when stdout is a terminal (after a progress mark, so the
// user sees it at once; pipes and logs keep their large buffer).
void OutFlushIfTerminal();

// Returns true when at least one byte waits on standard input, without
// consuming it. End of input, a closed or unreadable stdin and /dev/null
// count as no key, so an unattended run never stops by itself.
bool KeyPending();

// Waits for one byte of standard input and consumes it. Returns the byte
// (0..255), -1 when nothing arrived within timeout_ms (timeout_ms < 0 waits
// for ever), and -2 at end of input or on a read error.
int ReadKeyByte(int timeout_ms);

// Shows text as the terminal window's title, only when standard output is
// a terminal (pipes and files never see it). The first call saves the title
// the window had (on the terminal's title stack); it comes back on every
// way out, signals included, and while the program is stopped (Ctrl-Z).
void ShowTitle(std::string_view text);

// Returns true when standard input is a terminal.
bool StdinIsTerminal();

// Returns true when standard output is a terminal.
bool StdoutIsTerminal();

// The exit statuses of both programs, those of sysexits.h where one fits
// (a refused argument must not look like a finished run to a calling
// script, nor like an error number). Each number has one meaning: an
// error number that would read as one of these, as the shell's 126 or 127
// or as a death by a signal (128 and above) leaves as kIoErrorExitStatus.
inline constexpr int kHelpExitStatus = 0;
inline constexpr int kInvalidExitStatus = 64;     // an argument was refused
inline constexpr int kWrongFileExitStatus = 65;   // the reader found bad data
inline constexpr int kFolderGoneExitStatus = 69;  // the data folder went away
inline constexpr int kIoErrorExitStatus = 74;     // a colliding error number
inline constexpr int kFolderBusyExitStatus = 75;  // another run has the folder

// Returns the exit status that reports error number err: err itself, or
// kIoErrorExitStatus where err would be taken for another meaning.
int ExitStatusOfError(int err);

// Returns text as it may be shown on a console or written to the protocol:
// the control bytes 0x00-0x1F and 0x7F, and the C1 controls 0x80-0x9F
// (as single bytes, or as the UTF-8 pairs that form them), become \xNN.
// Names from a folder are anybody's: a card must not be able to send
// control sequences to the user's terminal.
std::string EscapedText(std::string_view text);

// Appends "E/A-Fehler <err> (<description>)": the one form in which the
// programs name an error number.
void AppendIoError(std::string* text, int err);

// Returns the error line "E/A-Fehler <err> (<description>): <what>", with
// what escaped (EscapedText).
std::string IoErrorLine(int err, std::string_view what);

// Writes output so far, then the error line of err and path to standard
// error; the run goes on.
void ReportError(int err, std::string_view path);

// Flushes output, restores the terminal, prints the error line
// (IoErrorLine) for the path, and exits with the status of err
// (ExitStatusOfError).
[[noreturn]] void Fatal(int err, std::string_view path);

// Flushes output, restores the terminal, prints line to standard error and
// exits with status: the one way out of a run that cannot go on.
[[noreturn]] void FatalLine(std::string_view line, int status);

// Flushes output, restores the terminal and exits with status.
[[noreturn]] void ExitProgram(int status);

// Returns the system's description of an error number, as the error line
// shows it ("No space left on device").
std::string IoErrorText(int err);

// Lets a run record follow the run (nullptr ends it): error_seen is told
// the number and path of every error line built (IoErrorLine), ending is
// told the exit status of ExitProgram and Fatal just before the program
// exits and returns the status to exit with, and write_out is told before
// the program waits for a key and when a signal ends it, so that nothing
// the record holds back waits with it or dies with it.
void SetRunObservers(void (*error_seen)(int err, std::string_view path),
                     int (*ending)(int status), void (*write_out)());

// Test hooks: output goes to the given string instead of stdout while set
// (nullptr ends it); key input is read from the given text (consumed from
// the front) while set, and an empty text counts as end of input.
void TEST_CaptureOutput(std::string* sink);
void TEST_SetKeyInput(std::string* keys);
// Looks at standard input and output again, after another file was put
// on descriptor 0 or 1 (a child process whose output goes to a pipe).
void RedetectStreams();
// Test hook: looks at standard input and output again (after a test has
// put another file on descriptor 0 or 1).
void TEST_RedetectStreams();

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_CONSOLE_H_
