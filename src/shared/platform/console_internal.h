// What the two console variants share with the output buffer and the test hooks.
#ifndef KORV_SHARED_PLATFORM_CONSOLE_INTERNAL_H_
#define KORV_SHARED_PLATFORM_CONSOLE_INTERNAL_H_

#include <cstddef>
#include <string>

namespace korv {

// ---- Given by each system's console file. ----

// Looks at standard input and output once (again after
// TEST_RedetectStreams).
void DetectStreams();

// Writes all bytes to standard output; a console that cannot be written to
// ends the program with the error line (unless it is ending anyway).
void WriteStdout(const char* data, size_t size);

// Returns the system's description of an error number ("No space left on
// device").
std::string ErrorDescription(int err);

// Writes text to standard error at once.
void WriteStderr(const std::string& text);

// ---- Given by console_buffer.cc. ----

// Returns the test's output capture, nullptr when output goes to stdout.
std::string* CaptureSink();

// Tells the ending observer the exit status; returns the status to exit
// with.
int ObservedExitStatus(int status);

// Tells the write-out observer that the program is about to wait for a
// key or to die by a signal.
void ObservedWriteOut();

// Returns true while a test feeds the key input; *key then gets the next
// byte (0..255), or -2 at the end of the test's keys, and consumes it when
// take is set.
bool HookedKey(bool take, int* key);

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_CONSOLE_INTERNAL_H_
