#include "reader/verify.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "shared/format/format.h"
#include "shared/lists/keyed_list.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/platform/helpers.h"
#include "shared/platform/vector_units.h"
#include "shared/run/data_files.h"
#include "shared/run/protocol.h"
#include "shared/run/record.h"
#include "shared/run/run_state.h"
#include "shared/stamp/stamp.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

// How far ahead of the block being counted the file is read in the
// background, and the slice asked for at a time.
constexpr int64_t kReadAheadBytes = 8 << 20;
constexpr int64_t kReadAheadSlice = 1 << 20;

// Bytes of a mixed block are spread over this many sub-histograms, so that
// runs of equal bytes do not make each increment wait for the one before.
// On random bytes one, four and eight tables count alike, about one byte per
// cycle: every increment is a store, and the core retires one store to an
// unpredictable address per cycle (a loop of plain stores runs no faster).
// On mostly equal bytes with a few others (a damaged file) eight tables are
// clearly faster than four, and a single table falls to a sixth.
constexpr int kSubTables = 8;

// The 32-bit sub-histograms are folded into the 64-bit file histogram before
// any of their counters could pass 2^32 (each counter is at most the bytes
// counted since the last fold).
constexpr int64_t kFoldLimit = INT64_C(1) << 31;

// Width of the "Zeichen:" lines before the next entry goes on a new line.
constexpr int kReportWidth = 76;

// A stretch that cannot be read is passed over in steps that double while
// the reads keep failing, up to 2^15 blocks (1 GiB): a large bad area costs
// few slow reads, and good data behind it is still found.
constexpr int kMaxSkipDoublings = 15;

// How many files between the range's first and last ones the look for a
// stamp may open when neither end shows one.
constexpr int64_t kStampLookFiles = 16;

alignas(64) uint32_t g_sub[kSubTables][256];
bool g_sub_dirty = false;
int64_t g_sub_bytes = 0;

int64_t g_counts[256];
int64_t g_total = 0;
int64_t g_largest_total = 0;
bool g_wrong_found = false;

// The read buffer, reused for every block of the run.
alignas(64) uint8_t g_block[kReadBlockSize];

std::string g_path;          // the data-file path; the name changes per file
size_t g_folder_length = 0;  // the folder part of g_path
std::string g_text;      // the report under construction

// A stamped run: every sector of every file is checked against the run's
// tag while the file is counted, and the sector classes decide the verdict.
bool g_stamped_run = false;
uint64_t g_run_tag = 0;
bool g_tag_known = false;   // false when the files were too short for it
StampTally g_file_tally;    // the file being read
int64_t g_file_offset = 0;  // bytes of it checked so far
StampTally g_run_tally;     // every file of the run
int32_t g_first_bad_index = 0;
int64_t g_first_bad_offset = 0;

// Reads of the current file that failed: the first error, where it struck,
// and what was passed over unread (in a stamped run also as sectors).
int g_read_error = 0;
int64_t g_read_error_offset = 0;
int64_t g_unread_bytes = 0;
int64_t g_unread_sectors = 0;

// Sector classes in the order the lines show them, with their words.
constexpr SectorClass kBadClasses[] = {kSectorChanged, kSectorCorrupted,
                                       kSectorMoved, kSectorStale,
                                       kSectorBlank};
constexpr const char* kClassWords[kSectorClassCount] = {
    "ok", "geaendert", "defekt", "verschoben", "veraltet", "leer"};

// Returns true when all length bytes equal the first. The words of each
// 256-byte stretch are compared without a branch (the compiler turns them
// into vector compares), so a block of one byte is recognised at memory
// speed, and a block of random bytes is given up after its first stretch.
KORV_CLONES("arch=x86-64-v4", "avx2", "default")
bool IsOneByteBlock(const uint8_t* data, size_t length) {
  const uint64_t pattern = UINT64_C(0x0101010101010101) * data[0];
  size_t i = 0;
  for (; i + 256 <= length; i += 256) {
    uint64_t diff = 0;
    for (int k = 0; k < 32; ++k) {
      uint64_t word;
      std::memcpy(&word, data + i + 8 * k, 8);
      diff |= word ^ pattern;
    }
    if (diff != 0) return false;
  }
  for (; i < length; ++i) {
    if (data[i] != data[0]) return false;
  }
  return true;
}

void CountMixedBlock(uint32_t (*sub)[256], const uint8_t* data,
                     size_t length) {
  size_t i = 0;
  for (; i + kSubTables <= length; i += kSubTables) {
    for (int t = 0; t < kSubTables; ++t) ++sub[t][data[i + t]];
  }
  for (; i < length; ++i) ++sub[0][data[i]];
}

void FoldSubHistograms() {
  if (!g_sub_dirty) return;
  for (int v = 0; v < 256; ++v) {
    int64_t sum = 0;
    for (int t = 0; t < kSubTables; ++t) sum += g_sub[t][v];
    g_counts[v] += sum;
  }
  std::memset(g_sub, 0, sizeof g_sub);
  g_sub_dirty = false;
  g_sub_bytes = 0;
}

// The byte offset in the current file of its first sector that was not ok.
int64_t FirstBadOffset() {
  return static_cast<int64_t>(g_file_tally.first_bad_position -
                              StampPosition(g_run.current_index, 0));
}

// The line of a wrong stamped file: its sectors per class and where the
// first bad one starts.
void AppendSectorLine(std::string* out) {
  out->append("Sektoren: ");
  for (int c = 0; c < kSectorClassCount; ++c) {
    if (c > 0) out->append(", ");
    AppendDecimal(out, g_file_tally.sectors[c]);
    out->push_back(' ');
    out->append(kClassWords[c]);
  }
  if (g_file_tally.bad_seen) {
    out->append(" - erster Fehler bei Byte ");
    AppendDecimal(out, FirstBadOffset());
  }
}

void AppendLabel(std::string* out, int v) {
  if (v == 0) {
    out->append("HEX ");
  } else if (v == 32) {
    out->append("LEER ");
  } else {
    out->push_back('#');
    AppendDecimal(out, v);
    out->push_back(' ');
  }
}

void SetPathIndex(int32_t index) {
  g_path.resize(g_folder_length);
  AppendDataFileName(&g_path, index);
}

// Checks the block that follows the part of the current file checked so
// far; a file's blocks all start at sector boundaries.
void CheckStampedBlock(const uint8_t* data, size_t length) {
  CheckStamped(data, length, g_run_tag,
               StampPosition(g_run.current_index, g_file_offset),
               &g_file_tally);
  g_file_offset += static_cast<int64_t>(length);
}

// Adds the current file's sector counts to the run's.
void AddFileToRunTally() {
  for (int c = 0; c < kSectorClassCount; ++c) {
    g_run_tally.sectors[c] += g_file_tally.sectors[c];
    g_run_tally.bytes[c] += g_file_tally.bytes[c];
  }
  if (g_file_tally.bad_seen && !g_run_tally.bad_seen) {
    g_run_tally.bad_seen = true;
    g_first_bad_index = g_run.current_index;
    g_first_bad_offset = FirstBadOffset();
  }
  g_run_tally.lowest_moved_target = std::min(
      g_run_tally.lowest_moved_target, g_file_tally.lowest_moved_target);
  if (g_file_tally.stale_seen && !g_run_tally.stale_seen) {
    g_run_tally.stale_seen = true;
    g_run_tally.stale_tag = g_file_tally.stale_tag;
  }
}

// Counts and, in a stamped run, checks a block read at the current file's
// offset.
void CountAndCheck(size_t length) {
  CountBlock(g_block, length);
  if (g_stamped_run) {
    CheckStampedBlock(g_block, length);
  } else {
    g_file_offset += static_cast<int64_t>(length);
  }
}

// Passes over length bytes of the current file that could not be read; in
// a stamped run their sectors are lost.
void PassUnread(int64_t length) {
  if (length <= 0) return;
  g_unread_bytes += length;
  if (g_stamped_run) {
    TallyUnread(StampPosition(g_run.current_index, g_file_offset), length,
                &g_file_tally);
    g_unread_sectors += (length + static_cast<int64_t>(kSectorSize) - 1) /
                        static_cast<int64_t>(kSectorSize);
  }
  g_file_offset += length;
}

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

// A share counts its mixed blocks two bytes at a time, one increment per
// byte pair in a table of all 65536 pairs: half the stores of a byte count,
// which the stores bound. Its counters have 16 bits, so that the table
// (128 KiB) keeps more of itself in the core's nearest cache: a third
// faster than 32 bits. The table is folded into byte counts at the share's
// end; a counter that wrapped on the way (a pair that makes up a sixteenth
// of the share, as in a repeated two-byte pattern) shows in the table's sum,
// and the share is then read and counted again with the byte tables.
constexpr int kPairs = 65536;

// A share is read in pieces of this size: large enough that the calls cost
// little, small enough to stay in the core's cache beside the pair table.
constexpr size_t kShareReadBytes = 8 * kReadBlockSize;
static_assert(kShareBytes % kShareReadBytes == 0);

// What one core counts with: its own read buffer and tables.
struct Counter {
  alignas(4096) uint8_t block[kShareReadBytes];
  alignas(64) uint16_t pairs[kPairs];
  alignas(64) uint32_t sub[kSubTables][256];  // blocks of mostly one value
};

// One share of a batch and what was found in it.
struct Share {
  int64_t counts[256];
  StampTally tally;
  int64_t offset = 0;  // where in the file the share starts
  int64_t done = 0;    // bytes read and counted: kShareBytes unless a read
                       // failed or came back short
};

Counter g_counters[kMaxCores];
Share g_shares[kMaxCores * kSharesPerCore];
int g_core_count = 0;  // 0 until the helpers are started
int g_share_fd = -1;   // the file of the batch under way
int32_t g_share_index = 0;
int g_batch_shares = 0;                // shares in the batch under way
std::atomic<int> g_next_share{0};      // the next share nobody has taken
std::atomic<uint32_t> g_batch{0};      // raised to start a batch
std::atomic<uint32_t> g_pending{0};    // helpers still counting

// Counts length bytes (a multiple of 8) into the pair table: the pair of
// data[i] and data[i + 1] has the index data[i] + 256 * data[i + 1].
void CountPairs(uint16_t* pairs, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    if constexpr (std::endian::native == std::endian::big) {
      word = __builtin_bswap64(word);
    }
    ++pairs[word & 0xFFFF];
    ++pairs[(word >> 16) & 0xFFFF];
    ++pairs[(word >> 32) & 0xFFFF];
    ++pairs[word >> 48];
  }
}

// Returns true when a block looks like one byte value with a few others
// (a damaged constant file): its pairs are mostly the same one, whose
// counter every other increment would have to wait for, so the eight byte
// tables count it faster. Random bytes almost never repeat a byte here.
bool MostlyOneValue(const uint8_t* data) {
  int repeats = 0;
  for (int i = 0; i < 64; ++i) repeats += data[i] == data[i + 1];
  return repeats >= 16;
}

// Adds the pair table to the byte counts (each pair counts for its first
// and its second byte) and clears it, in one pass. Returns the sum of its
// counters, which falls short of the pairs counted when one wrapped.
KORV_CLONES("arch=x86-64-v4", "avx2", "default")
int64_t FoldPairs(uint16_t* pairs, int64_t* counts) {
  uint32_t firsts[256] = {};
  int64_t total = 0;
  for (int second = 0; second < 256; ++second) {
    uint16_t* row = pairs + second * 256;
    uint32_t sum = 0;
    for (int first = 0; first < 256; ++first) {
      sum += row[first];
      firsts[first] += row[first];
      row[first] = 0;
    }
    counts[second] += sum;
    total += sum;
  }
  for (int v = 0; v < 256; ++v) counts[v] += firsts[v];
  return total;
}

// Reads and counts one share, its mixed blocks by pairs when with_pairs
// (else with the byte tables); stops at the first read that fails or comes
// back short, which the main thread then reads again the slow way. Returns
// false when a pair counter wrapped, so that the count is wrong.
bool CountShareOnce(Counter* counter, Share* share, bool with_pairs) {
  std::memset(share->counts, 0, sizeof share->counts);
  share->tally = StampTally();
  share->done = 0;
  int64_t pairs_counted = 0;
  bool sub_used = false;
  while (share->done < kShareBytes) {
    const int64_t at = share->offset + share->done;
    size_t got = 0;
    if (ReadRawBlockAt(g_share_fd, at, counter->block, kShareReadBytes,
                       &got) != 0 ||
        got != kShareReadBytes) {
      // What was read whole before the failure counts; the rest is read
      // again block by block.
      got -= got % kReadBlockSize;
      if (got == 0) break;
    }
    for (size_t b = 0; b < got; b += kReadBlockSize) {
      const uint8_t* block = counter->block + b;
      if (IsOneByteBlock(block, kReadBlockSize)) {
        share->counts[block[0]] += static_cast<int64_t>(kReadBlockSize);
      } else if (with_pairs && !MostlyOneValue(block)) {
        CountPairs(counter->pairs, block, kReadBlockSize);
        pairs_counted += static_cast<int64_t>(kReadBlockSize / 2);
      } else {
        if (!sub_used) std::memset(counter->sub, 0, sizeof counter->sub);
        CountMixedBlock(counter->sub, block, kReadBlockSize);
        sub_used = true;
      }
    }
    if (g_stamped_run) {
      CheckStamped(counter->block, got, g_run_tag,
                   StampPosition(g_share_index, at), &share->tally);
    }
    share->done += static_cast<int64_t>(got);
    if (got != kShareReadBytes) break;
  }
  if (sub_used) {
    for (int t = 0; t < kSubTables; ++t) {
      for (int v = 0; v < 256; ++v) share->counts[v] += counter->sub[t][v];
    }
  }
  return pairs_counted == 0 ||
         FoldPairs(counter->pairs, share->counts) == pairs_counted;
}

// Counts the shares of the batch that nobody has taken yet, one by one.
void CountShares(Counter* counter) {
  for (;;) {
    const int k = g_next_share.fetch_add(1);
    if (k >= g_batch_shares) return;
    Share* share = &g_shares[k];
    if (!CountShareOnce(counter, share, true)) {
      CountShareOnce(counter, share, false);
    }
  }
}

void HelperLoop(int core) {
  uint32_t seen = 0;
  for (;;) {
    WaitForChange(g_batch, seen);
    seen = g_batch.load();
    CountShares(&g_counters[core]);
    if (g_pending.fetch_sub(1) == 1) g_pending.notify_one();
  }
}

// How many cores count a batch: one per usable processor, as far as the
// system lets helpers start (a limit on the user's processes may refuse
// every one of them). A batch waits for as many helpers as it counts, so
// only those that started count; the main thread alone still reads.
int CoreCount() {
  if (g_core_count == 0) {
    const int wanted = std::clamp(UsableProcessors(), 1, kMaxCores);
    g_core_count = 1;
    while (g_core_count < wanted &&
           StartHelperThread(HelperLoop, g_core_count)) {
      ++g_core_count;
    }
  }
  return g_core_count;
}

// Adds a counted share to the current file, as the block-by-block reading
// would have counted it.
void AddShare(const Share& share) {
  g_total += share.done;
  for (int v = 0; v < 256; ++v) g_counts[v] += share.counts[v];
  if (g_stamped_run) AppendTally(share.tally, &g_file_tally);
  g_file_offset += share.done;
}

// Reads and counts whole batches of the open file of known size while more
// than a batch is left, so that the block-by-block reading takes the end
// of the file (and any stretch a share could not read). Returns false when
// a pending key stopped the file, with *complete telling whether the
// file's end had been reached; true when the block-by-block reading goes on
// from g_file_offset.
bool ReadBatches(int fd, int64_t size, bool* complete) {
  // A file this small is read block by block: the helpers are not even
  // started.
  if (size <= 2 * kShareBytes) return true;
  const int cores = CoreCount();
  g_share_fd = fd;
  g_share_index = g_run.current_index;
  int64_t advised_to = g_file_offset;
  for (;;) {
    // A batch of all shares while the file goes on behind it, at its end
    // as many whole shares as leave something behind them (the end itself
    // is read block by block).
    const int shares = static_cast<int>(
        std::min<int64_t>(cores * kSharesPerCore,
                          (size - g_file_offset - 1) / kShareBytes));
    if (shares < 1) break;
    const int64_t batch = kShareBytes * shares;
    // The batch and the stretch behind it are asked for in the background,
    // so that the drive reads ahead of the shares as it would for one
    // reader going from start to end.
    if (g_file_offset + batch + kReadAheadBytes >=
        advised_to + kReadAheadSlice) {
      const int64_t from = advised_to;
      advised_to = g_file_offset + batch + kReadAheadBytes;
      AdviseReadAhead(fd, from, advised_to - from);
    }
    for (int k = 0; k < shares; ++k) {
      g_shares[k].offset = g_file_offset + k * kShareBytes;
    }
    g_batch_shares = shares;
    g_next_share.store(0);
    g_pending.store(static_cast<uint32_t>(cores - 1));
    g_batch.fetch_add(1);
    g_batch.notify_all();
    CountShares(&g_counters[0]);
    for (uint32_t left = g_pending.load(); left != 0; left = g_pending.load()) {
      WaitForChange(g_pending, left);
    }
    bool whole = true;
    for (int k = 0; k < shares && whole; ++k) {
      AddShare(g_shares[k]);
      whole = g_shares[k].done == kShareBytes;
      // Every block is one step of the progress marks, as when read one
      // by one.
      for (int64_t b = 0; b < g_shares[k].done;
           b += static_cast<int64_t>(kReadBlockSize)) {
        g_run.progress_bytes += static_cast<int64_t>(kReadBlockSize);
        ProgressDisplay();
      }
    }
    if (!whole) break;
    if (KeyPending()) {
      // Whether the batch ended the file decides if it is complete.
      size_t more = 0;
      *complete = ReadRawBlockAt(fd, g_file_offset, g_counters[0].block,
                                 kReadBlockSize, &more) == 0 &&
                  more == 0;
      return false;
    }
  }
  g_share_fd = -1;
  return true;
}

// Reads and counts the open file block by block. Returns true when its end
// was reached, false when a pending key stopped it first. One buffer serves
// every read, so the block just read is still in the nearest cache when it
// is counted. A read that finds nothing after a full block is no block of
// its own: the file ended with the block before it. A read that fails
// (a bad area of a failing card) costs the file its "ok", not the run: the
// stretch is passed over up to the file's size and reading goes on behind
// it.
bool ReadAndCount(int fd) {
  int64_t size = -1;
  if (RawFileSize(fd, &size) != 0) size = -1;
  if (size > 0) {
    bool complete = false;
    if (!ReadBatches(fd, size, &complete)) return complete;
    const int rc = g_file_offset > 0 ? SeekRawFile(fd, g_file_offset) : 0;
    if (rc != 0) {
      // Where the next read would start cannot be set: what is left of the
      // file is lost.
      if (g_read_error == 0) {
        g_read_error = rc;
        g_read_error_offset = g_file_offset;
      }
      PassUnread(size - g_file_offset);
      return true;
    }
  }
  bool first = g_file_offset == 0;
  int failures = 0;  // reads failed in a row
  int64_t advised_to = 0;
  for (;;) {
    size_t got = 0;
    const int rc = ReadRawBlock(fd, g_block, kReadBlockSize, &got);
    if (rc != 0) {
      // What came before the failure counts, in whole sectors.
      got -= got % kSectorSize;
      if (got > 0) CountAndCheck(got);
      if (g_read_error == 0) {
        g_read_error = rc;
        g_read_error_offset = g_file_offset;
      }
      first = false;
      const int64_t step = static_cast<int64_t>(kReadBlockSize)
                           << std::min(failures, kMaxSkipDoublings);
      ++failures;
      // Reading goes on at a block boundary (which an uncached reader
      // needs) behind the bad stretch; without a known size the file ends
      // here.
      int64_t next = (g_file_offset + step) /
                     static_cast<int64_t>(kReadBlockSize) *
                     static_cast<int64_t>(kReadBlockSize);
      if (size < 0) next = g_file_offset;
      next = std::min(next, std::max(size, g_file_offset));
      PassUnread(next - g_file_offset);
      g_run.progress_bytes += static_cast<int64_t>(kReadBlockSize);
      ProgressDisplay();
      if (g_file_offset >= size) return true;
      if (SeekRawFile(fd, g_file_offset) != 0) {
        PassUnread(size - g_file_offset);
        return true;
      }
      if (KeyPending()) return false;
      continue;
    }
    failures = 0;
    if (got == 0 && !first) return true;
    // One thread reads and counts in turn, so the drive would idle while a
    // block is counted: keep the next stretch of the file being read in the
    // background, asked for a slice at a time once the file proves longer
    // than one block (small files cost no extra call).
    const int64_t read_so_far = g_file_offset + static_cast<int64_t>(got);
    if (got == kReadBlockSize &&
        read_so_far + kReadAheadBytes >= advised_to + kReadAheadSlice) {
      const int64_t from = std::max(advised_to, read_so_far);
      advised_to = read_so_far + kReadAheadBytes;
      AdviseReadAhead(fd, from, advised_to - from);
    }
    first = false;
    CountAndCheck(got);
    // Every block counts as a whole one in the progress marks, the last
    // short one too.
    g_run.progress_bytes += static_cast<int64_t>(kReadBlockSize);
    ProgressDisplay();
    if (got < kReadBlockSize) return true;
    if (KeyPending()) {
      // Whether the block was the file's last decides if it is complete.
      size_t more = 0;
      return ReadRawBlock(fd, g_block, kReadBlockSize, &more) == 0 && more == 0;
    }
  }
}

// Hands what the report found in the current file to the run record.
void NoteFileForRecord(int distinct, bool wrong) {
  if (!RunRecordWanted()) return;
  ReadFacts facts;
  facts.bytes = g_total;
  facts.distinct = distinct;
  facts.wrong = wrong;
  facts.stamped = g_stamped_run;
  if (g_stamped_run) {
    for (int c = 0; c < kSectorClassCount; ++c) {
      facts.sectors[c] = g_file_tally.sectors[c];
      facts.sector_bytes[c] = g_file_tally.bytes[c];
    }
    if (g_file_tally.bad_seen) facts.first_bad_byte = FirstBadOffset();
  }
  NoteReadFacts(facts);
}

// The start of the line of a file that cannot be read (no right to it, an
// I/O error, no regular file): a failure of the medium or of the folder.
void AppendUnreadableText(std::string* out, int err) {
  out->append("!!! ACHTUNG FEHLER !!!  Datei ");
  AppendDataFileName(out, g_run.current_index);
  out->append(" nicht lesbar: ");
  AppendIoError(out, err);
  RecordError(err, g_path);
}

// Prints a wrong-file line; with pausing on it waits for a key before the
// line ends.
void ShowWrongLine(const std::string& line) {
  Out(line);
  if (g_run.pausing) ReadKeyCode();
  OutLine();
  g_wrong_found = true;
}

// A file the scan found but that cannot be opened is named with the
// reason, gets no "ok", and makes the run's verdict wrong.
void ReportUnreadableFile(int err) {
  g_text.clear();
  AppendUnreadableText(&g_text, err);
  g_text.append("   >");
  ShowWrongLine(g_text);
}

// Where a stamp may be: what the look at the range's files before the run
// found.
struct StampLook {
  bool found = false;         // a sector that is exactly a stamp
  uint64_t tag = 0;           // the newest tag of such sectors
  size_t short_length = 0;    // the longest file cut short before the tag
  uint64_t short_tag = 0;     // the tag bytes it holds
  bool header_found = false;  // a damaged sector that names its place
  uint64_t header_tag = 0;
};

// Looks at the first length bytes of the file with index for stamps. A
// file that cannot be opened or read is passed over: its file step names
// it.
void LookForStamps(int32_t index, size_t length, StampLook* look) {
  SetPathIndex(index);
  int fd = -1;
  if (OpenRawFileForReading(g_path, &fd) != 0) return;
  size_t got = 0;
  const int rc = ReadRawBlock(fd, g_block, length, &got);
  CloseRawFile(fd);
  if (rc != 0) return;
  for (size_t offset = 0; offset < got; offset += kSectorSize) {
    const size_t n = std::min(kSectorSize, got - offset);
    const uint64_t position =
        StampPosition(index, static_cast<int64_t>(offset));
    uint64_t tag = 0;
    if (FindStampTag(g_block + offset, n, &tag)) {
      // The newest tag is the run's: a card that kept an older run's data
      // in one of the places looked at then shows it as stale.
      if (!look->found || tag > look->tag) look->tag = tag;
      look->found = true;
    } else if (!look->header_found &&
               FindStampHeader(g_block + offset, n, position, &tag)) {
      look->header_found = true;
      look->header_tag = tag;
    }
  }
  uint64_t tag = 0;
  if (got > look->short_length &&
      FindShortStamp(g_block, got, StampPosition(index, 0), &tag)) {
    look->short_length = got;
    look->short_tag = tag;
  }
}

// The index at a position of the file order, -1 when it is outside the
// range.
int32_t IndexAt(int64_t position) {
  int32_t index = -1;
  if (!ListFindByValue0(static_cast<int32_t>(position), &index)) return -1;
  if (index < g_run.beginn || index > g_run.last_index) return -1;
  return index;
}

}  // namespace

void ClearCharacterCounts() {
  std::memset(g_counts, 0, sizeof g_counts);
  g_total = 0;
  if (g_sub_dirty) {
    std::memset(g_sub, 0, sizeof g_sub);
    g_sub_dirty = false;
    g_sub_bytes = 0;
  }
}

void CountBlock(const uint8_t* data, size_t length) {
  if (length == 0) return;
  g_total += static_cast<int64_t>(length);
  if (IsOneByteBlock(data, length)) {
    g_counts[data[0]] += static_cast<int64_t>(length);
    return;
  }
  if (g_sub_bytes + static_cast<int64_t>(length) >= kFoldLimit) {
    FoldSubHistograms();
  }
  CountMixedBlock(g_sub, data, length);
  g_sub_dirty = true;
  g_sub_bytes += static_cast<int64_t>(length);
}

int64_t CharacterCount(uint8_t v) {
  FoldSubHistograms();
  return g_counts[v];
}

int64_t CharacterTotal() { return g_total; }

bool CharacterReport() {
  FoldSubHistograms();
  if (g_text.capacity() < 8192) g_text.reserve(8192);
  g_text.assign("Zeichen: ");
  int width = 0;
  int distinct = 0;
  for (int v = 0; v < 256; ++v) {
    int64_t c = g_counts[v];
    if (c <= 0) continue;
    width += DecimalDigits(c) + 6;
    if (width > kReportWidth) {
      g_text.push_back('\n');
      width = 0;
    }
    ++distinct;
    AppendDecimal(&g_text, c);
    g_text.push_back('x');
    AppendLabel(&g_text, v);
  }
  if (g_total > g_largest_total) g_largest_total = g_total;
  g_text.append("\nAnzahl:  ");
  AppendDecimal(&g_text, g_total);
  g_text.append(" - Verschiedene: ");
  AppendDecimal(&g_text, distinct);
  g_text.append("  - ");
  // A stamped file is judged by its sectors alone: a short one may lack
  // byte values, and a sound histogram says nothing about moved data. What
  // could not be read has a line of its own.
  bool wrong_data = distinct > 1 && distinct != 256;
  if (g_stamped_run) {
    int64_t bad_sectors = 0;
    for (SectorClass c : kBadClasses) bad_sectors += g_file_tally.sectors[c];
    wrong_data = bad_sectors > g_unread_sectors;
  }
  const bool unread = g_read_error != 0;
  NoteFileForRecord(distinct, wrong_data || unread);
  if (!wrong_data && !unread) {
    Out(g_text);
    return false;
  }
  g_text.push_back('\n');
  if (wrong_data) {
    g_text.append("!!! ACHTUNG FEHLER !!!  falsche Zeichen in Datei ");
    AppendDataFileName(&g_text, g_run.current_index);
    g_text.append("   >");
    ShowWrongLine(g_text);
    g_text.clear();
  }
  if (unread) {
    AppendUnreadableText(&g_text, g_read_error);
    g_text.append(" ab Byte ");
    AppendDecimal(&g_text, g_read_error_offset);
    g_text.append(", ");
    AppendDecimal(&g_text, g_unread_bytes);
    g_text.append(" Byte ungelesen   >");
    ShowWrongLine(g_text);
  }
  if (g_stamped_run) {
    g_text.clear();
    AppendSectorLine(&g_text);
    OutLine(g_text);
  }
  return true;
}

int64_t LargestTotal() { return g_largest_total; }

bool WrongFileFound() { return g_wrong_found; }

void PrepareFilePath() {
  // The folder part stays; only the name changes from file to file.
  g_path = DataFilePath(0);
  g_folder_length = g_path.size() - DataFileName(0).size();
}

void FileStep() {
  int32_t index = -1;
  if (!ListFindByValue0(static_cast<int32_t>(g_run.position), &index)) {
    index = -1;
  }
  g_run.current_index = index;
  if (index < g_run.beginn || index > g_run.last_index) {
    ++g_run.position;
    return;
  }
  ClearCharacterCounts();
  g_file_tally = StampTally();
  g_file_offset = 0;
  g_read_error = 0;
  g_read_error_offset = 0;
  g_unread_bytes = 0;
  g_unread_sectors = 0;
  StopwatchStart(kFileStopwatch);
  if (g_path.empty()) PrepareFilePath();
  SetPathIndex(index);
  int fd = -1;
  OutLine();
  const int open_error = OpenRawFileForReading(g_path, &fd);
  if (open_error != 0) {
    ReportUnreadableFile(open_error);
    ++g_run.position;
    return;
  }
  bool complete = ReadAndCount(fd);
  // Closed before the file's line: a file counts as read only once every
  // call on it has succeeded.
  int rc = CloseRawFile(fd);
  if (rc != 0) Fatal(rc, g_path);
  if (g_run.progress_column > 0) OutLine();
  CharacterReport();
  if (g_stamped_run) AddFileToRunTally();
  // A file with a stretch that could not be read is not done, but the run
  // goes on with the next file.
  if (complete && g_read_error == 0) FileCompletionStep();
  // A key press ends the loop after this file, also when the file's last
  // block was the one being read: otherwise a run over files of one block
  // would never stop. The key adds one to the average's divisor whether or
  // not the file was complete, as the writer counts it.
  bool stop = !complete;
  if (KeyPending()) {
    ++g_run.finished_files;
    OutLine();
    stop = true;
  }
  g_run.position = stop ? g_run.run_total + 1 : g_run.position + 1;
}

void TEST_LoadSubCounts(uint8_t v, uint32_t count, int64_t bytes) {
  FoldSubHistograms();
  for (int t = 0; t < kSubTables; ++t) g_sub[t][v] = count;
  g_sub_bytes = bytes;
  g_sub_dirty = true;
  g_total += int64_t{count} * kSubTables;
}

void DecideStampedRun() {
  g_stamped_run = false;
  g_tag_known = false;
  g_run_tally = StampTally();
  g_file_tally = StampTally();
  if (g_run.run_total < 1) return;
  if (g_path.empty()) PrepareFilePath();
  // Every sector of the first block of both end files, so that one damaged
  // sector does not hide the run; where neither shows a stamp, the first
  // sectors of files between, spread over the range.
  StampLook look;
  const int32_t first = IndexAt(1);
  const int32_t last = IndexAt(g_run.run_total);
  if (first >= 0) LookForStamps(first, kReadBlockSize, &look);
  if (last >= 0 && last != first) LookForStamps(last, kReadBlockSize, &look);
  const int64_t between = g_run.run_total - 2;
  const int64_t stride = std::max<int64_t>(
      1, (between + kStampLookFiles - 1) / kStampLookFiles);
  for (int64_t p = 2; !look.found && p < g_run.run_total; p += stride) {
    const int32_t index = IndexAt(p);
    if (index >= 0) LookForStamps(index, kSectorSize, &look);
  }
  if (look.found) {
    g_stamped_run = true;
    g_tag_known = true;
    g_run_tag = look.tag;
  } else if (look.short_length > 0) {
    // Files shorter than a stamp's header: each is judged as the start of
    // its stamped sector, its position and the tag bytes seen.
    g_stamped_run = true;
    g_run_tag = look.short_tag;
  } else if (look.header_found) {
    // No sector is intact, but the files are stamped data: they are
    // checked against the tag their headers name, and fail.
    g_stamped_run = true;
    g_tag_known = true;
    g_run_tag = look.header_tag;
  }
}

bool StampedRunTag(uint64_t* tag) {
  *tag = g_run_tag;
  return g_stamped_run;
}

namespace {

// Where the bad data lies on the device, for a partitioning tool: the
// device sector of the first bad byte and, when sectors moved, the sector
// the lowest moved write was meant for, which is where the real memory
// ends. Nothing where the file system cannot tell where its files lie.
void DevicePlaceLine() {
  if (!g_run_tally.bad_seen) return;
  DevicePlace first;
  if (!DevicePlaceOfFileByte(DataFilePath(g_first_bad_index),
                             g_first_bad_offset, &first)) {
    return;
  }
  std::string line = "Datentraeger " + first.device;
  line += ": erster Fehler bei Sektor ";
  line += std::to_string(first.byte / kSectorSize);
  const uint64_t target = g_run_tally.lowest_moved_target;
  DevicePlace end;
  if (target != UINT64_MAX &&
      DevicePlaceOfFileByte(
          DataFilePath(static_cast<int32_t>(target >> kFilePositionShift)),
          static_cast<int64_t>(target & ((UINT64_C(1) << kFilePositionShift) - 1)),
          &end) &&
      end.device == first.device) {
    const int64_t sector = end.byte / static_cast<int64_t>(kSectorSize);
    line += ", echter Speicher endet bei Sektor ";
    line += std::to_string(sector);
    line += " (";
    line += SizeText(sector * static_cast<int64_t>(kSectorSize));
    line += ')';
  }
  OutLine(line);
  if (g_run.protocol_active) WriteWrappedProtocolLine(line);
}

}  // namespace

void StampedRunTotals() {
  if (!g_stamped_run) return;
  std::string line = "Pruefmuster, Kennung ";
  line += g_tag_known ? StampTagText(g_run_tag)
                      : std::string("unbekannt (kurze Dateien)");
  line += ": ";
  line += SizeText(g_run_tally.bytes[kSectorOk]);
  line += " ok - verloren: ";
  bool first = true;
  for (SectorClass c : kBadClasses) {
    if (!first) line += ", ";
    first = false;
    line += SizeText(g_run_tally.bytes[c]);
    line += ' ';
    line += kClassWords[c];
  }
  line += " - erster Fehler: ";
  if (g_run_tally.bad_seen) {
    AppendDataFileName(&line, g_first_bad_index);
    line += " Byte ";
    AppendDecimal(&line, g_first_bad_offset);
  } else {
    line += "keiner";
  }
  if (g_run_tally.stale_seen) {
    // Another run's data: older where the card kept what an earlier run
    // left, newer where a later run wrote over part of the range.
    const int64_t other = StampTagSeconds(g_run_tally.stale_tag);
    const int64_t own = StampTagSeconds(g_run_tag);
    line += other < own   ? " - alte Daten: Kennung "
            : other > own ? " - neuere Daten: Kennung "
                          : " - andere Daten: Kennung ";
    line += StampTagText(g_run_tally.stale_tag);
  }
  OutLine();
  OutLine(line);
  if (g_run.protocol_active) {
    ProtocolWriteLine("");
    WriteWrappedProtocolLine(line);
  }
  DevicePlaceLine();
}

void ResetVerification() {
  g_stamped_run = false;
  g_tag_known = false;
  g_run_tally = StampTally();
  g_file_tally = StampTally();
  ClearCharacterCounts();
  g_largest_total = 0;
  g_wrong_found = false;
  g_path.clear();
  g_folder_length = 0;
}

}  // namespace korv
