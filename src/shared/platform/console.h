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

// Ends the program when SIGINT, SIGTERM or SIGHUP arrived: writes out what
// was printed and the protocol lines so far, restores the terminal and dies
// by that signal. Output, key polls and folder searches call it, so loops
// that do neither for long should call it themselves.
void HandlePendingSignal();

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

// Appends "E/A-Fehler <err> (<description>)": the one form in which the
// programs name an error number.
void AppendIoError(std::string* text, int err);

// Returns the error line "E/A-Fehler <err> (<description>): <what>".
std::string IoErrorLine(int err, std::string_view what);

// Flushes output, restores the terminal, prints the error line
// (IoErrorLine) for the path, and exits with err.
[[noreturn]] void Fatal(int err, std::string_view path);

// Flushes output, restores the terminal and exits with status.
[[noreturn]] void ExitProgram(int status);

// Test hooks: output goes to the given string instead of stdout while set
// (nullptr ends it); key input is read from the given text (consumed from
// the front) while set, and an empty text counts as end of input.
void TEST_CaptureOutput(std::string* sink);
void TEST_SetKeyInput(std::string* keys);
// Test hook: looks at standard input and output again (after a test has
// put another file on descriptor 0 or 1).
void TEST_RedetectStreams();

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_CONSOLE_H_
