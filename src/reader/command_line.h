// The reader's command line: settings from five arguments, usage and echo.
#ifndef KORV_READER_COMMAND_LINE_H_
#define KORV_READER_COMMAND_LINE_H_

#include "shared/run/arguments.h"

namespace korv {

// Fills the reader's run settings in g_run from argv[1] .. argv[argc - 1]
// (arguments beyond the fifth are ignored, each is cut to 255 characters).
// Prints nothing and asks nothing; protocol active is set from protokoll
// alone.
ArgumentVerdict ParseReaderArguments(int argc, const char* const* argv);

// Prints the usage text.
void ShowReaderUsage();

// Prints the echo of the settings (after one empty line).
void EchoReaderSettings();

// Reads the command line as the run needs it: parses the arguments, shows
// the usage and ends the program (status 0 for help, 2 for a refused
// value), asks the protocol precheck when a protocol is wanted, refuses a
// record or map that would be written over a file the run keeps (status
// 64), and echoes the settings.
void ReadReaderCommandLine(int argc, const char* const* argv);

}  // namespace korv

#endif  // KORV_READER_COMMAND_LINE_H_
