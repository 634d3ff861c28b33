// Reading data files back: the file step of each file, and what the run and
// the tests ask of the current file and of the run as a whole.
#ifndef KORV_READER_VERIFY_H_
#define KORV_READER_VERIFY_H_

#include <cstddef>
#include <cstdint>

namespace korv {

// Clears the character histogram and the character total (before each file).
void ClearCharacterCounts();

// Counts the bytes of one block into the current file's histogram. A block
// of one repeated byte costs one comparison pass and one addition.
void CountBlock(const uint8_t* data, size_t length);

// Returns how often byte value v occurs in what was counted since the last
// clear.
int64_t CharacterCount(uint8_t v);

// Returns the number of bytes counted since the last clear.
int64_t CharacterTotal();

// Prints the "Zeichen:" line(s) and the "Anzahl:" text of the current file
// (the line stays open for the completion step), and the error line when
// the file holds more than one and fewer than all 256 byte values (in a
// stamped run: a sector that is not ok) or could not be read whole; with
// pausing on it then waits for a key. Raises the largest total. Returns true
// when the file is wrong.
bool CharacterReport();

// Returns the greatest character total reported in this run.
int64_t LargestTotal();

// Returns true once a file of this run has been reported as wrong or as
// unreadable.
bool WrongFileFound();

// Forms the data-file path of the run's folder once, so that each file step
// only overwrites the seven digits. Called after the command line.
void PrepareFilePath();

// Handles the file at the current position of the file order: opens it
// (a file that cannot be opened, or is no regular file, is reported with
// its error and counts as wrong), reads and counts it block by block
// (a stretch that cannot be read is reported, passed over and counts as
// wrong), reports it, and runs the completion step when it was read whole.
// A pending key ends the loop after this file. Raises or ends the position.
void FileStep();

// Decides once, before the first file is read, whether the run's files are
// stamped and which tag is the run's: the newest tag among the sectors of
// the first block of the range's first and last files, else the first
// found among the first sectors of up to 16 files between (a bounded
// look). Files too short for a tag, and files whose sectors name their
// place but are damaged throughout, count as stamped too. From then on
// every sector is checked while it is counted, and a stamped file is wrong
// when any sector is not ok.
void DecideStampedRun();

// Returns true in a stamped run, with *tag its tag.
bool StampedRunTag(uint64_t* tag);

// In a stamped run, prints (and writes to the protocol when active) the
// totals line: bytes ok, bytes lost per sector class, the first bad
// position, the tag verified and, if any, the tag of another run's data
// found.
void StampedRunTotals();

// Test hook: sets every 32-bit sub-histogram counter of v to count as if
// bytes had been counted since the last fold (the total grows to match).
void TEST_LoadSubCounts(uint8_t v, uint32_t count, int64_t bytes);

// Puts the module back to program start (largest total, wrong-file mark).
void ResetVerification();

}  // namespace korv

#endif  // KORV_READER_VERIFY_H_
