// Reading a data file's stretches: batches of shares on every core while
// much of the file is left, block by block for the rest, with one read-ahead
// rule for both and a pass over the stretches that cannot be read.
#ifndef KORV_READER_FILE_READER_H_
#define KORV_READER_FILE_READER_H_

#include <cstdint>

#include "reader/stretch_count.h"

namespace korv {

// A file as read so far: what was counted, and what could not be read.
struct FileRead {
  FileCount count;
  int read_error = 0;             // the first read that failed
  int64_t read_error_offset = 0;  // where it struck
  int64_t unread_bytes = 0;       // passed over unread
  int64_t unread_sectors = 0;     // the same in sectors, in a stamped run
};

// Starts reading the file that stamp names.
void StartFileRead(const StampCheck& stamp, FileRead* file);

// Reads and counts the open file. Returns true when its end was reached,
// false when a pending key stopped it first. A stretch that cannot be read
// (a bad area of a failing card) costs the file its "ok", not the run: it
// is passed over up to the file's size and reading goes on behind it.
bool ReadFile(int fd, FileRead* file);

}  // namespace korv

#endif  // KORV_READER_FILE_READER_H_
