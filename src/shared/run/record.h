// The run record: one JSON object per line for scripts (--json), and the map of the run (--karte).
#ifndef KORV_SHARED_RUN_RECORD_H_
#define KORV_SHARED_RUN_RECORD_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

// The record's layout version; a reader of records checks it.
inline constexpr int kRecordSchema = 1;

// Takes the options that stand before the positional arguments:
// "--json=FILE" ("-" = standard error), "--karte=FILE" and, for the reader,
// "--schreibbericht=FILE". Remembers them and every argument as given.
// Returns how many arguments they are, or -1 for an option that is unknown,
// has no file, is given twice or is not the program's.
int TakeRunOptions(int argc, const char* const* argv, bool reader);

// Ends the program (kInvalidExitStatus, with one line naming the clash)
// when the record or the map would be written over a data file of the
// data folder, the run's protocol, the writer's record it is to read, or
// each other; nothing is written before. Needs the command line read and
// the protocol folder known.
void RefuseClashingRunFiles();

// True when a record or a map is wanted: the per-file steps then note what
// they found.
bool RunRecordWanted();

// Starts the record when one is wanted: opens the record file (fatal when
// it cannot be created), reads the writer's record for the map, writes the
// start line and takes over the run's error lines and exit. stamped and tag
// name the run's stamped pattern. The writer is told by its data-file size.
void StartRunRecord(std::string_view program, bool stamped, uint64_t tag);

// Tells the record that the run's stopwatch has stopped: the end line gives
// the time the closing line shows, whatever waits for keys follow.
void NoteRunTimeEnded();

// What the reader found in the file it has just read, for the next file
// line: its bytes, distinct byte values and verdict, and for a stamped run
// its sectors and bytes per sector class (in SectorClass order) and the
// offset of its first bad sector (-1 when none).
struct ReadFacts {
  int64_t bytes = 0;
  int distinct = 0;
  bool wrong = false;
  bool stamped = false;
  int64_t sectors[6] = {};
  int64_t sector_bytes[6] = {};
  int64_t first_bad_byte = -1;
};
void NoteReadFacts(const ReadFacts& facts);

// After a complete data file (the completion step): its file line, and its
// point on the map.
void RecordFinishedFile();

// Writes the record lines held back, once the run has gone on by another
// MiB: a long file must not keep the lines of the files before it from the
// record (a run killed in it would lose them).
void RecordProgress();

// An error line for the record (every IoErrorLine comes here by itself;
// an error the run shows in a text of its own is told here).
void RecordError(int err, std::string_view path);

// Appends text as a JSON string (quotes included): valid UTF-8 is kept,
// every control byte and every byte that is not part of valid UTF-8 is
// escaped (the latter as the code point of its value, \u0080 .. \u00ff).
void AppendJsonString(std::string* out, std::string_view text);

// Returns seconds since 1970 as "2026-12-08T13:45:02Z".
std::string IsoUtcText(int64_t epoch_seconds);

// Test hook: forgets options, record and map.
void TEST_ResetRunRecord();

}  // namespace korv

#endif  // KORV_SHARED_RUN_RECORD_H_
