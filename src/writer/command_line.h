// The writer's command line: run settings from seven positional arguments, the usage text and the echo.
#ifndef KORV_WRITER_COMMAND_LINE_H_
#define KORV_WRITER_COMMAND_LINE_H_

#include <cstdint>
#include <string_view>

#include "shared/run/arguments.h"

namespace korv {

// Converts a data-file size ("50000", "1.5M", "0.1G", "1e3K"): a decimal
// number with optional fraction and exponent, optionally followed by one of
// K, M, G (either case). Returns false when the text is no such size, lies
// below 0.1 units or above 1 GiB, or comes to 0 bytes once the fraction is
// cut off; *bytes is untouched then.
bool ParseSizeArgument(std::string_view text, int64_t* bytes);

// Fills the writer's run settings in g_run from argv[1] .. argv[argc - 1]
// (arguments beyond the seventh are ignored, each is cut to 255
// characters). Prints nothing and asks nothing; protocol active is set from
// protokoll alone.
ArgumentVerdict ParseWriterArguments(int argc, const char* const* argv);

// Prints the usage text.
void ShowWriterUsage();

// Prints the echo of the settings (after one empty line).
void EchoWriterSettings();

// Reads the command line as the run needs it: parses the arguments, shows
// the usage and ends the program (status 0 for help, 2 for a refused
// value), asks the protocol precheck when a protocol is wanted, refuses a
// record or map that would be written over a file the run keeps (status
// 64), and echoes the settings.
void ReadWriterCommandLine(int argc, const char* const* argv);

}  // namespace korv

#endif  // KORV_WRITER_COMMAND_LINE_H_
