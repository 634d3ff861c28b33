// Counting stretches of a data file: the byte histogram, the pair table the
// shares of a batch count with, and the check of every stamped sector.
#ifndef KORV_READER_STRETCH_COUNT_H_
#define KORV_READER_STRETCH_COUNT_H_

#include <cstddef>
#include <cstdint>

#include "shared/stamp/stamp.h"

namespace korv {

// Bytes asked for by each read of a data file.
inline constexpr size_t kReadBlockSize = 32768;

// Bytes of a mixed block are spread over this many sub-histograms, so that
// runs of equal bytes do not make each increment wait for the one before.
// On random bytes one, four and eight tables count alike, about one byte per
// cycle: every increment is a store, and the core retires one store to an
// unpredictable address per cycle (a loop of plain stores runs no faster).
// On mostly equal bytes with a few others (a damaged file) eight tables are
// clearly faster than four, and a single table falls to a sixth.
inline constexpr int kSubTables = 8;

// A share counts its mixed blocks two bytes at a time, one increment per
// byte pair in a table of all 65536 pairs: half the stores of a byte count,
// which the stores bound. Its counters have 16 bits, so that the table
// (128 KiB) keeps more of itself in the core's nearest cache: a third
// faster than 32 bits. The table is folded into byte counts at the share's
// end; a counter that wrapped on the way (a pair that makes up a sixteenth
// of the share, as in a repeated two-byte pattern) shows in the table's sum,
// and the share is then counted again with the byte tables.
inline constexpr int kPairs = 65536;

// The byte histogram of the bytes counted since its clear. Mixed blocks go
// to 32-bit sub-histograms first, which FoldHistogram adds to the 64-bit
// counts.
struct ByteHistogram {
  alignas(64) uint32_t sub[kSubTables][256];
  bool sub_dirty = false;
  int64_t sub_bytes = 0;  // counted into sub since the last fold
  int64_t counts[256];
  int64_t total = 0;
};

// Empties the histogram.
void ClearHistogram(ByteHistogram* histogram);

// Counts length bytes. A block of one repeated byte costs one comparison
// pass and one addition.
void CountBytes(const uint8_t* data, size_t length, ByteHistogram* histogram);

// Adds the sub-histograms to the counts, which are then complete.
void FoldHistogram(ByteHistogram* histogram);

// Test hook: sets every sub-histogram counter of v to count as if bytes had
// been counted since the last fold (the total grows to match).
void TEST_LoadSubCounts(uint8_t v, uint32_t count, int64_t bytes,
                        ByteHistogram* histogram);

// What the sectors of a file are checked against in a stamped run: the
// run's tag and each sector's place, the file's index and the offset in it.
struct StampCheck {
  bool on = false;
  uint64_t tag = 0;
  int32_t index = 0;
};

// A file as counted so far.
struct FileCount {
  StampCheck stamp;
  ByteHistogram bytes;
  StampTally tally;    // its sectors by class, in a stamped run
  int64_t offset = 0;  // bytes of it counted or passed over
};

// Starts the count of the file that stamp names.
void StartFileCount(const StampCheck& stamp, FileCount* file);

// Counts and checks length bytes read at file->offset (a sector boundary)
// and moves the offset behind them.
void CountStretch(const uint8_t* data, size_t length, FileCount* file);

// Passes over length bytes at file->offset that could not be read; in a
// stamped run their sectors are lost.
void PassStretch(int64_t length, FileCount* file);

// The tables one core counts its shares with.
struct ShareTables {
  alignas(64) uint16_t pairs[kPairs];
  alignas(64) uint32_t sub[kSubTables][256];  // blocks of mostly one value
};

// What was counted in one share of a batch.
struct ShareCount {
  int64_t counts[256];
  StampTally tally;
  int64_t pairs = 0;      // byte pairs waiting in the pair table
  bool sub_used = false;  // whether the byte tables hold counts
};

// Starts the count of a share.
void StartShareCount(ShareCount* count);

// Counts and checks length bytes, whole blocks, read at offset of the file
// that stamp names; mixed blocks by pairs when with_pairs, else with the
// byte tables.
void CountSharePiece(const uint8_t* data, size_t length, int64_t offset,
                     bool with_pairs, const StampCheck& stamp,
                     ShareTables* tables, ShareCount* count);

// Adds the tables to the share's counts and clears the pair table. Returns
// false when a pair counter wrapped, so that the count is wrong.
bool EndShareCount(ShareTables* tables, ShareCount* count);

// Adds a counted share of bytes bytes at file->offset to the file, as
// CountStretch would have counted it.
void AddShareCount(const ShareCount& share, int64_t bytes, FileCount* file);

}  // namespace korv

#endif  // KORV_READER_STRETCH_COUNT_H_
