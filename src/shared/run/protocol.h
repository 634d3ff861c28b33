// The run protocol: precheck, space checks, file lines, progress marks and summary.
#ifndef KORV_SHARED_RUN_PROTOCOL_H_
#define KORV_SHARED_RUN_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace korv {

// Data files of this size (50 MiB) or more are flushed to the disk one by
// one, and each slow step of theirs is announced with a line.
inline constexpr int64_t kBigDataFile = 52428800;

// The summary shows protocol lines of at most this many characters on one
// line; longer ones are wrapped (the reader breaks its own long lines
// before they get there).
inline constexpr size_t kSummaryWidth = 68;

// Answers whether a protocol may be kept and sets the protocol reserve and
// minimum (on Linux always yes, reserve 51200, minimum 20480).
bool ProtocolPrecheck();

// Switches the protocol off when the protocol drive's free space is below
// the protocol minimum; closes the protocol file at once when it does.
void ProtocolSpaceCheck();

// Writer: candidate count := free bytes of the data drive div groesse.
void FreeSpaceEstimate();

// Returns true when the data folder (or its nearest existing parent) and the
// home path lie on the same file system, and also when the home path cannot
// be read (there is then no protocol drive to keep room on).
bool DataOnProtocolDrive();

// True while the open protocol file holds its reserve allocated on its disk
// (so the space test need not keep it free).
bool ProtocolHoldsRoom();

// Free bytes of the data drive, by path (-1 when unknown).
int64_t FreeBytesDataDrive();

// Free bytes of the protocol drive, through a handle held open on the home
// folder (-1 when unknown).
int64_t FreeBytesProtocolDrive();

// Makes the protocol file name: base word, "_", the 17-character file stamp
// of now, ".txt".
void MakeProtocolFileName(const std::string& base_word);

// Returns the protocol file name ("korvkorv" before it is made).
const std::string& ProtocolFileName();

// Creates the protocol file at home path + name (fatal on failure).
void CreateProtocolFile();

// Writes one line to the protocol file (fatal on failure); nothing when no
// protocol file is open.
void ProtocolWriteLine(const std::string& line);

// Closes the protocol file (fatal on failure); nothing when not open.
void CloseProtocolFile();

// Starts the protocol of a run: makes the name from base_word, creates the
// file, writes start_text and an empty line, starts the write-out and
// group stopwatches.
void StartProtocolFile(const std::string& base_word,
                       const std::string& start_text);

// Ends the protocol of a run: the stop line with the run's duration and
// "Gesamtzeit", the average seconds per finished file (0 when none was
// counted) for files of file_size bytes, then closes the file. Callers set
// the finished-file count they want divided by first.
void EndProtocolFile(const std::string& stop_text, int64_t file_size);

// Sets planned count and protocol step.
void ProtocolStepSetup();

// Prints a progress mark when the progress byte counter reaches a new MiB.
void ProgressDisplay();

// After a complete data file: console line, sampled protocol line, counters.
void FileCompletionStep();

// Shows the protocol file on the console, paging when pausing is on.
void SummaryDisplay();

// Test hook: closes and forgets any open protocol file, resets the name and
// lets go of the folders held open for the free-space questions.
void TEST_ResetProtocol();

}  // namespace korv

#endif  // KORV_SHARED_RUN_PROTOCOL_H_
