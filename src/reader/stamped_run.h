// Stamped runs: whether the run's files carry stamps and with which tag,
// decided before the first file is read; the words of the sector classes;
// and the run's sector totals.
#ifndef KORV_READER_STAMPED_RUN_H_
#define KORV_READER_STAMPED_RUN_H_

#include <cstdint>

#include "shared/stamp/stamp.h"

namespace korv {

// Sector classes in the order the lines show them, with their words.
inline constexpr SectorClass kBadClasses[] = {
    kSectorChanged, kSectorCorrupted, kSectorMoved, kSectorStale, kSectorBlank};
inline constexpr const char* kClassWords[kSectorClassCount] = {
    "ok", "geaendert", "defekt", "verschoben", "veraltet", "leer"};

// A stamped run: every sector of every file is checked against the run's
// tag while the file is counted, and the sector classes decide the verdict.
struct StampedRun {
  bool on = false;
  bool tag_known = false;  // false when the files were too short for it
  uint64_t tag = 0;
  StampTally tally;  // every file of the run
  int32_t first_bad_index = 0;
  int64_t first_bad_offset = 0;
};

// Returns the byte offset in the file of index of its first sector that was
// not ok, as tally saw it.
int64_t FirstBadOffset(const StampTally& tally, int32_t index);

// Decides, as DecideStampedRun tells (verify.h), whether the run's files
// are stamped and with which tag.
void DecideStamps(StampedRun* run);

// Adds the sector counts of the file of index to the run's.
void AddFileToRun(const StampTally& file, int32_t index, StampedRun* run);

// Prints the totals line of a stamped run as StampedRunTotals tells
// (verify.h).
void PrintRunTotals(const StampedRun& run);

}  // namespace korv

#endif  // KORV_READER_STAMPED_RUN_H_
