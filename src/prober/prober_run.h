// korvprov's run: the title, the command line, the quick check of the card
// under a folder or of whole devices (several side by side), and the
// closing line.
#ifndef KORV_PROBER_PROBER_RUN_H_
#define KORV_PROBER_PROBER_RUN_H_

#include "shared/run/arguments.h"

namespace korv {

// Title line of the quick check.
inline constexpr char kProberTitle[] =
    "Korvprov   KORVAMEL   V 2.88 (Linux 64) 13.01.2021";

// Fills the settings from `korvprov [verzeichnis] [protokoll]`, `korvprov
// geraet [geraet ...] [protokoll]` or `korvprov --zurueck=datei geraet`
// (--anpassen before a single device); a protocol is kept only when
// protokoll asks for one.
ArgumentVerdict ParseProberArguments(int argc, const char* const* argv);

// Prints the usage text.
void ShowProberUsage();

// Runs korvprov once and returns its exit status. The usage text and fatal
// I/O errors end the program from inside.
int RunProber(int argc, const char* const* argv);

}  // namespace korv

#endif  // KORV_PROBER_PROBER_RUN_H_
