#include "reader/file_reader.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "reader/stretch_count.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/platform/helpers.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/stamp/stamp.h"

namespace korv {
namespace {

// How far ahead of what is being counted the file is read in the
// background, and the slice asked for at a time.
constexpr int64_t kReadAheadBytes = 8 << 20;
constexpr int64_t kReadAheadSlice = 1 << 20;

// A stretch that cannot be read is passed over in steps that double while
// the reads keep failing, up to 2^15 blocks (1 GiB): a large bad area costs
// few slow reads, and good data behind it is still found.
constexpr int kMaxSkipDoublings = 15;

// A big file is read on every core the process may use: a batch cuts the
// file into shares, stretches of kShareBytes that a core reads and counts
// on its own, and the shares are added in file order once all are done.
// One core alone counts random bytes no faster than a second one could
// read them, so the cores set the pace. The cores take the shares of a
// batch one after another as they become free, kSharesPerCore for each on
// average, so that a core that runs slower (a small core beside big ones,
// or a virtual one the host holds back) counts fewer of them instead of
// holding up the batch. A process held to one core reads in batches too:
// the pair count and the larger reads make it nearly twice as fast as the
// block-by-block reading. Only the main thread prints, reads keys and
// handles signals; it counts shares itself as well.
constexpr int64_t kShareBytes = 2 << 20;
constexpr int kMaxCores = 16;
constexpr int kSharesPerCore = 2;

// A share is read in pieces of this size: large enough that the calls cost
// little, small enough to stay in the core's cache beside the pair table.
constexpr size_t kShareReadBytes = 8 * kReadBlockSize;
static_assert(kShareBytes % kShareReadBytes == 0);

// What one core counts with: its own read buffer and tables.
struct Counter {
  alignas(4096) uint8_t block[kShareReadBytes];
  ShareTables tables;
};

// One share of a batch and what was found in it.
struct Share {
  ShareCount count;
  int64_t offset = 0;  // where in the file the share starts
  int64_t done = 0;    // bytes read and counted: kShareBytes unless a read
                       // failed or came back short
};

// What the files are read with. It lasts as long as the process, as the
// helpers that count the shares do.
struct Readers {
  // The buffer of the block-by-block reading, reused for every block of
  // the run.
  alignas(64) uint8_t block[kReadBlockSize];
  Counter counters[kMaxCores];
  Share shares[kMaxCores * kSharesPerCore];
  int core_count = 0;  // 0 until the helpers are started
  // The batch under way: its file, and how many shares it has.
  int fd = -1;
  StampCheck stamp;
  int batch_shares = 0;
  alignas(64) std::atomic<int> next_share{0};  // the next share nobody took
  std::atomic<uint32_t> batch{0};              // raised to start a batch
  std::atomic<uint32_t> pending{0};            // helpers still counting
};

Readers g_readers;

// What of the file has been asked for in the background so far.
struct ReadAhead {
  int64_t advised_to = 0;
};

// Reading and counting in turn would leave the drive idle while a stretch is
// counted, and shares read at several places at once do not look like one
// reader going from start to end: so the file from `from` (where what is
// being read starts) to kReadAheadBytes behind `to` (where it ends) is kept
// asked for in the background, a slice at a time.
void KeepReadingAhead(int fd, int64_t from, int64_t to, ReadAhead* ahead) {
  if (to + kReadAheadBytes < ahead->advised_to + kReadAheadSlice) return;
  const int64_t start = std::max(ahead->advised_to, from);
  ahead->advised_to = to + kReadAheadBytes;
  AdviseReadAhead(fd, start, ahead->advised_to - start);
}

// Every block read is one step of the progress marks, a file's last short
// one too, and so is every block of a share.
void ProgressBlock() {
  g_run.progress_bytes += static_cast<int64_t>(kReadBlockSize);
  ProgressDisplay();
}

// Whether nothing follows offset: a file a pending key stopped is complete
// when its last block was the one read.
bool FileEndsAt(int fd, int64_t offset) {
  size_t more = 0;
  return ReadRawBlockAt(fd, offset, g_readers.counters[0].block, kReadBlockSize,
                        &more) == 0 &&
         more == 0;
}

void NoteReadError(int err, FileRead* file) {
  if (file->read_error != 0) return;
  file->read_error = err;
  file->read_error_offset = file->count.offset;
}

// Passes over length bytes that could not be read.
void PassUnread(int64_t length, FileRead* file) {
  if (length <= 0) return;
  file->unread_bytes += length;
  if (file->count.stamp.on) {
    file->unread_sectors += (length + static_cast<int64_t>(kSectorSize) - 1) /
                            static_cast<int64_t>(kSectorSize);
  }
  PassStretch(length, &file->count);
}

// Reads and counts one share, its mixed blocks by pairs when with_pairs
// (else with the byte tables); stops at the first read that fails or comes
// back short, which the block-by-block reading then reads again. Returns
// false when a pair counter wrapped, so that the count is wrong.
bool CountShareOnce(Counter* counter, Share* share, bool with_pairs) {
  StartShareCount(&share->count);
  share->done = 0;
  while (share->done < kShareBytes) {
    const int64_t at = share->offset + share->done;
    size_t got = 0;
    if (ReadRawBlockAt(g_readers.fd, at, counter->block, kShareReadBytes,
                       &got) != 0 ||
        got != kShareReadBytes) {
      // What was read whole before the failure counts; the rest is read
      // again block by block.
      got -= got % kReadBlockSize;
      if (got == 0) break;
    }
    CountSharePiece(counter->block, got, at, with_pairs, g_readers.stamp,
                    &counter->tables, &share->count);
    share->done += static_cast<int64_t>(got);
    if (got != kShareReadBytes) break;
  }
  return EndShareCount(&counter->tables, &share->count);
}

// Counts the shares of the batch that nobody has taken yet, one by one.
void CountShares(Counter* counter) {
  for (;;) {
    const int k = g_readers.next_share.fetch_add(1);
    if (k >= g_readers.batch_shares) return;
    Share* share = &g_readers.shares[k];
    if (!CountShareOnce(counter, share, true)) {
      CountShareOnce(counter, share, false);
    }
  }
}

void HelperLoop(int core) {
  uint32_t seen = 0;
  for (;;) {
    WaitForChange(g_readers.batch, seen);
    seen = g_readers.batch.load();
    CountShares(&g_readers.counters[core]);
    if (g_readers.pending.fetch_sub(1) == 1) g_readers.pending.notify_one();
  }
}

// How many cores count a batch: one per usable processor, as far as the
// system lets helpers start (a limit on the user's processes may refuse
// every one of them). A batch waits for as many helpers as it counts, so
// only those that started count; the main thread alone still reads.
int CoreCount() {
  if (g_readers.core_count == 0) {
    const int wanted = std::clamp(UsableProcessors(), 1, kMaxCores);
    g_readers.core_count = 1;
    while (g_readers.core_count < wanted &&
           StartHelperThread(HelperLoop, g_readers.core_count)) {
      ++g_readers.core_count;
    }
  }
  return g_readers.core_count;
}

// Counts the shares of a batch from offset on: the helpers wake, the main
// thread counts shares as well, and all are done on return.
void CountBatch(int shares, int64_t offset, int cores) {
  for (int k = 0; k < shares; ++k) {
    g_readers.shares[k].offset = offset + k * kShareBytes;
  }
  g_readers.batch_shares = shares;
  g_readers.next_share.store(0);
  g_readers.pending.store(static_cast<uint32_t>(cores - 1));
  g_readers.batch.fetch_add(1);
  g_readers.batch.notify_all();
  CountShares(&g_readers.counters[0]);
  for (uint32_t left = g_readers.pending.load(); left != 0;
       left = g_readers.pending.load()) {
    WaitForChange(g_readers.pending, left);
  }
}

// Adds the counted shares to the file in file order, up to the first one
// that a read cut short. Returns false at such a share: the block-by-block
// reading takes the file over where it ended.
bool AddBatch(int shares, FileRead* file) {
  for (int k = 0; k < shares; ++k) {
    const Share& share = g_readers.shares[k];
    AddShareCount(share.count, share.done, &file->count);
    for (int64_t b = 0; b < share.done;
         b += static_cast<int64_t>(kReadBlockSize)) {
      ProgressBlock();
    }
    if (share.done != kShareBytes) return false;
  }
  return true;
}

// Reads and counts whole batches of the open file of known size while more
// than a batch is left, so that the block-by-block reading takes the end
// of the file (and any stretch a share could not read). Returns false when
// a pending key stopped the file, with *complete telling whether the
// file's end had been reached; true when the block-by-block reading goes on
// from the file's offset.
bool ReadBatches(int fd, int64_t size, ReadAhead* ahead, FileRead* file,
                 bool* complete) {
  // A file this small is read block by block: the helpers are not even
  // started.
  if (size <= 2 * kShareBytes) return true;
  const int cores = CoreCount();
  g_readers.fd = fd;
  g_readers.stamp = file->count.stamp;
  for (;;) {
    // A batch of all shares while the file goes on behind it, at its end
    // as many whole shares as leave something behind them (the end itself
    // is read block by block).
    const int64_t offset = file->count.offset;
    const int shares = static_cast<int>(std::min<int64_t>(
        cores * kSharesPerCore, (size - offset - 1) / kShareBytes));
    if (shares < 1) break;
    KeepReadingAhead(fd, offset, offset + kShareBytes * shares, ahead);
    CountBatch(shares, offset, cores);
    if (!AddBatch(shares, file)) break;
    if (KeyPending()) {
      *complete = FileEndsAt(fd, file->count.offset);
      return false;
    }
  }
  g_readers.fd = -1;
  return true;
}

// Makes the block-by-block reading go on where the batches ended. Returns
// false when that place cannot be set: what is left of the file is lost.
bool SeekBehindBatches(int fd, int64_t size, FileRead* file) {
  const int rc =
      file->count.offset > 0 ? SeekRawFile(fd, file->count.offset) : 0;
  if (rc == 0) return true;
  NoteReadError(rc, file);
  PassUnread(size - file->count.offset, file);
  return false;
}

// After a read that failed: counts what came before the failure, in whole
// sectors, and passes over the stretch behind it. Reading goes on at a
// block boundary (which an uncached reader needs); without a known size the
// file ends here. Returns true when reading goes on at the file's offset.
bool PassFailedRead(int fd, int64_t size, int err, size_t got, int* failures,
                    FileRead* file) {
  got -= got % kSectorSize;
  if (got > 0) CountStretch(g_readers.block, got, &file->count);
  NoteReadError(err, file);
  const int64_t offset = file->count.offset;
  const int64_t step = static_cast<int64_t>(kReadBlockSize)
                       << std::min(*failures, kMaxSkipDoublings);
  ++*failures;
  int64_t next = (offset + step) / static_cast<int64_t>(kReadBlockSize) *
                 static_cast<int64_t>(kReadBlockSize);
  if (size < 0) next = offset;
  next = std::min(next, std::max(size, offset));
  PassUnread(next - offset, file);
  ProgressBlock();
  if (file->count.offset >= size) return false;
  if (SeekRawFile(fd, file->count.offset) != 0) {
    PassUnread(size - file->count.offset, file);
    return false;
  }
  return true;
}

// Reads and counts the open file block by block from its offset on, where
// its read position stands. One buffer serves every read, so the block
// just read is still in the nearest cache when it is counted. A read that
// finds nothing after a full block is no block of its own: the file ended
// with the block before it.
bool ReadBlocks(int fd, int64_t size, ReadAhead* ahead, FileRead* file) {
  bool first = file->count.offset == 0;
  int failures = 0;  // reads failed in a row
  for (;;) {
    size_t got = 0;
    const int rc = ReadRawBlock(fd, g_readers.block, kReadBlockSize, &got);
    if (rc != 0) {
      first = false;
      if (!PassFailedRead(fd, size, rc, got, &failures, file)) return true;
      if (KeyPending()) return false;
      continue;
    }
    failures = 0;
    if (got == 0 && !first) return true;
    // Once the file proves longer than one block: small files cost no
    // extra call.
    if (got == kReadBlockSize) {
      const int64_t read_so_far =
          file->count.offset + static_cast<int64_t>(got);
      KeepReadingAhead(fd, read_so_far, read_so_far, ahead);
    }
    first = false;
    CountStretch(g_readers.block, got, &file->count);
    ProgressBlock();
    if (got < kReadBlockSize) return true;
    if (KeyPending()) return FileEndsAt(fd, file->count.offset);
  }
}

}  // namespace

void StartFileRead(const StampCheck& stamp, FileRead* file) {
  StartFileCount(stamp, &file->count);
  file->read_error = 0;
  file->read_error_offset = 0;
  file->unread_bytes = 0;
  file->unread_sectors = 0;
}

bool ReadFile(int fd, FileRead* file) {
  int64_t size = -1;
  if (RawFileSize(fd, &size) != 0) size = -1;
  // Shared by both ways of reading, so that the block-by-block reading of a
  // file's end asks for nothing the batches asked for already.
  ReadAhead ahead;
  if (size > 0) {
    bool complete = false;
    if (!ReadBatches(fd, size, &ahead, file, &complete)) return complete;
    if (!SeekBehindBatches(fd, size, file)) return true;
  }
  return ReadBlocks(fd, size, &ahead, file);
}

}  // namespace korv
