// The writer's fill loop: data files written block by block while the disk has room.
#ifndef KORV_WRITER_FILL_LOOP_H_
#define KORV_WRITER_FILL_LOOP_H_

#include <cstddef>
#include <cstdint>

namespace korv {

// Size of the fill block, the most one write hands to the system.
inline constexpr int64_t kFillBlockSize = 32768;

// Seeds the random fill (parallel xoshiro256+ lanes, seeded through
// splitmix64); once per run.
void SeedRandomFill(uint64_t seed);

// Fills data[0 .. length) with fresh random bytes, eight per step.
void FillRandomBytes(uint8_t* data, size_t length);

// Sets the first length bytes (at most kFillBlockSize) of the fill block to
// byte, as the run prepares it once.
void PrepareFillBlock(int64_t length, uint8_t byte);

// Gives the first length bytes (at most kFillBlockSize) of the fill block
// fresh random bytes, as random fill does before every block.
void RandomizeFillBlock(int64_t length);

// Returns the fill block (kFillBlockSize bytes).
const uint8_t* FillBlock();

// Answers the space test for a block of length bytes: with data and
// protocol on one file system the block and the protocol reserve must fit
// into the data free space; otherwise the block must fit there and the
// reserve must fit on the protocol's file system. An unknown free space
// (negative) never fits.
bool RoomForBlock(int64_t length, int64_t free_data, int64_t free_protocol,
                  bool same_drive, int64_t reserve);

// A stamped run that starts above index 0 continues the stamped run whose
// file N(beginn - 1) is in the data folder: it takes that run's tag (and
// says so), so that the reader sees one run over the whole range. Without
// such a file the run keeps its own new tag.
void ContinueStampedRun();

// Writes the data files of the run (settings and counters in g_run): from
// beginn on until anzahl files are written, the disk has no room for
// another block, a write fails or a key is pressed. Flushes the data's file
// system at the end. A file that cannot be created or closed ends the
// program (Fatal). Returns 0, or the error number of a failed block write
// (also printed as a line), which becomes the run's exit status.
int FillLoop();

// Test hooks: while data_free is set, the space test asks it (with the open
// data file's descriptor) and protocol_free instead of the file systems,
// and same_drive stands for the same-drive answer. nullptr ends it.
void TEST_SetFreeSpace(int64_t (*data_free)(int fd),
                       int64_t (*protocol_free)(), bool same_drive);
// Test hook: sets the state of the first random lane directly.
void TEST_SetRandomState(const uint64_t state[4]);
// Test hook: while on, the random fill uses its narrow vectors even where
// the processor has wider ones (and so does all code built for two widths).
void TEST_ForceNarrowRandom(bool on);
// Test hook: steps the first random lane alone and returns its output.
uint64_t TEST_NextRandom();

}  // namespace korv

#endif  // KORV_WRITER_FILL_LOOP_H_
