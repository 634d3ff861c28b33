// Command-line rules both programs share: numbers, the index range, deletion mode, folder and protocol size.
#ifndef KORV_SHARED_RUN_ARGUMENTS_H_
#define KORV_SHARED_RUN_ARGUMENTS_H_

#include <cstdint>
#include <string_view>

namespace korv {

// What a command line asks for.
enum class ArgumentVerdict {
  kRun,      // settings filled; the run goes on
  kHelp,     // a help switch: usage, exit status 0
  kInvalid,  // a value was refused: usage, exit status 64
};

// Returns argument n (1-based) cut to the longest text the programs keep;
// an argument beyond the count reads as empty.
std::string_view ArgumentText(int argc, const char* const* argv, int n);

// Returns true for exactly "/?", "-?", "?", "/h" or "-h".
bool IsHelpSwitch(std::string_view text);

// Converts a whole decimal number: leading blanks or tabs and one sign are
// allowed, nothing may follow the digits, and a value outside the 32-bit
// range is no number. Returns false (value untouched) when it is none.
bool ParseWholeNumber(std::string_view text, int32_t* value);

// Sets the range settings of a command line that names no range: every
// index from 0 on, pausing on, no folder, a protocol of 200 lines.
void SetWholeRange(char loeschen);

// Reads the five range arguments that start at argument `first`: beginn,
// anzahl, loeschen, verzeichnis and protokoll, and sets pausing and the
// protocol size mark. Indices outside 0 .. 9999999 and a folder text longer
// than an argument may be are refused.
ArgumentVerdict ParseRangeArguments(int argc, const char* const* argv,
                                    int first);

// Reads argument n as the data folder (empty, "." and the like: the
// current one); a text longer than an argument may be is refused.
ArgumentVerdict ParseFolderArgument(int argc, const char* const* argv, int n);

// Reads argument n as protokoll and sets pausing and the protocol size
// mark from it; a value outside 0 .. 9999 is refused.
ArgumentVerdict ParseProtocolArgument(int argc, const char* const* argv,
                                      int n);

// Prints the usage lines of the range arguments, from "beginn" to
// "protokoll"; `all_choice` is the text under "[N(ein)]".
void ShowRangeUsage(std::string_view all_choice);

// Prints the echo lines of the range: BEGINN, ANZAHL, LOESCHEN and, when a
// folder is set, VERZEICHNIS.
void EchoRangeSettings();

// Ends the command line: shows the usage through show_usage and ends the
// program unless the verdict is kRun; otherwise switches the protocol off
// unless protokoll is at least 1 and the protocol precheck agrees.
void SettleVerdict(ArgumentVerdict verdict, void (*show_usage)());

}  // namespace korv

#endif  // KORV_SHARED_RUN_ARGUMENTS_H_
