// Stamped data: every 512-byte sector names its position in the run and the run's tag, and the rest follows from both.
#ifndef KORV_SHARED_STAMP_STAMP_H_
#define KORV_SHARED_STAMP_STAMP_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace korv {

// Every sector of a stamped file starts with 16 bytes: its position in the
// run (64-bit little-endian) and the run's tag (64-bit little-endian); the
// other 496 bytes are a stream computed from tag and position alone. The
// last sector of a file may be cut short.
inline constexpr size_t kSectorSize = 512;
inline constexpr size_t kStampHeaderSize = 16;

// A sector's position: file index * 2^30 + byte offset in the file, so
// that no two sectors of a run (files of at most 1 GiB) share one.
inline constexpr int kFilePositionShift = 30;

// A sector that differs from its stamp in at most this many bits counts as
// changed (a weak cell), beyond that as corrupted.
inline constexpr int kChangedBitsLimit = 7;

// What a sector read back holds, worst news last but one.
enum SectorClass : int {
  kSectorOk = 0,     // exactly its stamp
  kSectorChanged,    // its stamp with at most kChangedBitsLimit bits flipped
  kSectorCorrupted,  // more bits wrong, or no stamp and not blank
  kSectorMoved,      // a stamp of this run for another position
  kSectorStale,      // a stamp of another (older) run
  kSectorBlank,      // all 0x00 or all 0xFF: memory that is not there
};
inline constexpr int kSectorClassCount = 6;

// Counts of a stamped check, per sector class.
struct StampTally {
  int64_t sectors[kSectorClassCount] = {};
  int64_t bytes[kSectorClassCount] = {};
  bool bad_seen = false;            // a sector was not ok
  uint64_t first_bad_position = 0;  // position of the first such sector
  bool stale_seen = false;          // a stale sector was found
  uint64_t stale_tag = 0;           // the tag of the first stale sector
  // The lowest run position that a moved sector names: the first write
  // that landed elsewhere (UINT64_MAX while none moved).
  uint64_t lowest_moved_target = UINT64_MAX;
};

// Returns the tag of a run started at epoch_seconds (upper 32 bits) with
// random_bits (lower 32 bits).
uint64_t MakeStampTag(int64_t epoch_seconds, uint32_t random_bits);

// Returns the start time (seconds since 1970) that a tag carries.
int64_t StampTagSeconds(uint64_t tag);

// Returns the position of the sector at offset of file index (negative
// indices wrap around in two's complement, and still differ).
uint64_t StampPosition(int32_t index, int64_t offset);

// Writes the stamped pattern of the bytes [position, position + length)
// of a run to data; position must be a sector start.
void FillStamped(uint8_t* data, size_t length, uint64_t tag,
                 uint64_t position);

// Checks length bytes read from position on (a sector start) against the
// run's tag, sector by sector, and adds every sector to *tally. Sectors that
// match cost about as much as writing them; only the others are looked at
// more closely. Returns the number of sectors that were not ok.
int64_t CheckStamped(const uint8_t* data, size_t length, uint64_t tag,
                     uint64_t position, StampTally* tally);

// Adds the tally of a stretch checked after everything in *tally to it, as
// if one check had gone over both.
void AppendTally(const StampTally& later, StampTally* tally);

// Adds the length bytes from position on (a sector start) that could not
// be read to *tally, as corrupted sectors: what a card cannot give back is
// lost.
void TallyUnread(uint64_t position, int64_t length, StampTally* tally);

// Classifies one sector of length bytes (at most kSectorSize) read at
// position, for a run with tag. For a stale sector *found_tag gets the tag
// it carries.
SectorClass ClassifySector(const uint8_t* data, size_t length, uint64_t tag,
                           uint64_t position, uint64_t* found_tag);

// Returns true when data (a file's first length bytes, its whole first
// sector or, in a shorter file, at least the 16-byte header) is exactly
// a stamped sector of some run and position, and gives that run's tag.
bool FindStampTag(const uint8_t* data, size_t length, uint64_t* tag);

// Returns true when data, a whole file of fewer than kStampHeaderSize
// bytes that are not all one value, is the start of the stamped sector at
// position: the sector was cut short before the tag. *tag gets the tag's
// bytes it holds (the others 0).
bool FindShortStamp(const uint8_t* data, size_t length, uint64_t position,
                    uint64_t* tag);

// Returns true when data (at least a header's bytes) names position and a
// tag with a start time in its header although the rest is not that stamp
// (a damaged stamped sector), and gives the tag.
bool FindStampHeader(const uint8_t* data, size_t length, uint64_t position,
                     uint64_t* tag);

// Returns the tag as text: its local start time and its random bits in hex,
// "08.12.2026 05:31:12 / 1a2b3c4d".
std::string StampTagText(uint64_t tag);

// Returns true when all length bytes (at least one) equal the first: a
// block of one repeated value, a blank sector.
bool IsOneByteBlock(const uint8_t* data, size_t length);

// Test hook: while on, the generator uses its narrow vectors even where the
// processor has wider ones (and so does all code built for two widths).
void TEST_ForceNarrowStamp(bool on);

}  // namespace korv

#endif  // KORV_SHARED_STAMP_STAMP_H_
