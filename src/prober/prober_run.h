// korvprov's run: the title, the command line, the quick check of the card
// under a folder and the closing line.
#ifndef KORV_PROBER_PROBER_RUN_H_
#define KORV_PROBER_PROBER_RUN_H_

#include "shared/run/arguments.h"

namespace korv {

// Title line of the quick check.
inline constexpr char kProberTitle[] =
    "Korvprov   KORVAMEL   V 2.88 (Linux 64) 13.01.2021";

// Exit statuses besides 0 (sound), the usage statuses, error numbers and
// death by a signal: the card holds less than it announces (as korvlas's
// wrong data, sysexits.h's EX_DATAERR), and the quick check cannot run on
// this file system or system (EX_UNAVAILABLE; no error number of a file
// operation is 69).
inline constexpr int kFakeCardStatus = 65;
inline constexpr int kNoQuickCheckStatus = 69;

// Fills the settings from `korvprov [verzeichnis] [protokoll]`; a
// protocol is kept only when protokoll asks for one.
ArgumentVerdict ParseProberArguments(int argc, const char* const* argv);

// Prints the usage text.
void ShowProberUsage();

// Runs korvprov once and returns its exit status. The usage text and fatal
// I/O errors end the program from inside.
int RunProber(int argc, const char* const* argv);

}  // namespace korv

#endif  // KORV_PROBER_PROBER_RUN_H_
