#include "writer/fill_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/platform/vector_units.h"
#include "shared/run/data_files.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/run/work_folder.h"
#include "shared/stamp/stamp.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

// The one fill block of the run; every block written comes from here.
alignas(64) uint8_t g_fill_block[kFillBlockSize];

// The random fill runs kRandomLanes xoshiro256+ generators side by side,
// each eight bytes a step, so that one step works on all lanes at once in
// vector registers; fresh random blocks then cost little next to the
// write. xoshiro256+ (the sum of two state words) rather than the scrambled
// xoshiro256**: its lowest bits are weaker in linear tests, which says
// nothing about bytes written to a disk, and its step is a third cheaper.
// Thirty-two lanes, four vectors of eight even on the widest unit, so that
// four chains of dependent steps fill each other's waits (97 GB/s a core
// against 63 with two; six do worse again). Word k of lane l's state is
// words[k][l].
constexpr int kRandomLanes = 32;
constexpr size_t kRandomStepBytes = 8 * kRandomLanes;

struct RandomState {
  alignas(64) uint64_t words[4][kRandomLanes];
};

constexpr uint64_t SplitMix64(uint64_t* x) {
  uint64_t z = (*x += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Fills every lane from one seed through splitmix64, which never leaves a
// lane all zero (xoshiro's one bad state).
constexpr RandomState SeededState(uint64_t seed) {
  RandomState state{};
  for (int l = 0; l < kRandomLanes; ++l) {
    for (int k = 0; k < 4; ++k) state.words[k][l] = SplitMix64(&seed);
  }
  return state;
}

// Seeded from the clock by the run; a fixed seed until then.
RandomState g_random = SeededState(0);

// The path of the data file being written: the folder once, then only the
// name is rewritten per file, so that no file allocates.
std::string g_path;
size_t g_folder_length = 0;

// The data folder held open for the run: the data files are made in it,
// wherever its path may lead later.
int g_folder_fd = -1;

// Whether data and protocol share one file system, asked once per run
// after the data folder exists.
bool g_same_drive = true;

// The first failed block write of the run; 0 while none failed.
int g_write_error = 0;

int64_t (*g_test_data_free)(int fd) = nullptr;
int64_t (*g_test_protocol_free)() = nullptr;
bool g_test_same_drive = true;

// One xoshiro256+ step of the lanes in V (a vector of lanes, or one plain
// word): out gets the next output. Shifts, xors and one add, which every
// vector unit has; everything goes by reference, as vectors passed by value
// would depend on the instruction set.
template <typename V>
__attribute__((always_inline)) inline void StepLanes(V& s0, V& s1, V& s2,
                                                     V& s3, V& out) {
  const V x = s1;
  out = s0 + s3;
  const V t = x << 17;
  s2 ^= s0;
  s3 ^= x;
  s1 = x ^ s2;
  s0 ^= s3;
  s2 ^= t;
  s3 = (s3 << 45) | (s3 >> 19);
}

// The lanes as vectors of four: SSE2 everywhere, AVX2 where the processor
// has it (chosen when the program is loaded).
KORV_CLONES("avx2", "default")
void FillRandomNarrow(uint8_t* data, size_t length) {
  typedef uint64_t Lanes4 __attribute__((vector_size(32)));
  // A local copy: stores through the byte pointer could alias the module
  // state and would force it to memory on every step.
  Lanes4 s[4][kRandomLanes / 4];
  std::memcpy(s, g_random.words, sizeof s);
  Lanes4 out[kRandomLanes / 4];
  for (size_t i = 0; i < length; i += kRandomStepBytes) {
    for (int v = 0; v < kRandomLanes / 4; ++v) {
      StepLanes(s[0][v], s[1][v], s[2][v], s[3][v], out[v]);
    }
    if (length - i >= kRandomStepBytes) {
      std::memcpy(data + i, out, kRandomStepBytes);
    } else {
      std::memcpy(data + i, out, length - i);
    }
  }
  std::memcpy(g_random.words, s, sizeof s);
}

#ifdef KORV_VECTOR_CLONES
// The lanes as vectors of eight, for processors with AVX-512.
KORV_WIDE_VECTORS void FillRandomWide(uint8_t* data, size_t length) {
  typedef uint64_t Lanes8 __attribute__((vector_size(64)));
  Lanes8 s[4][4];
  std::memcpy(s, g_random.words, sizeof s);
  // Whole steps go straight to the block; only a short tail goes through
  // out, which keeps the outputs in registers otherwise.
  size_t i = 0;
  for (; length - i >= kRandomStepBytes; i += kRandomStepBytes) {
    Lanes8 v;
    StepLanes(s[0][0], s[1][0], s[2][0], s[3][0], v);
    std::memcpy(data + i, &v, sizeof v);
    StepLanes(s[0][1], s[1][1], s[2][1], s[3][1], v);
    std::memcpy(data + i + sizeof v, &v, sizeof v);
    StepLanes(s[0][2], s[1][2], s[2][2], s[3][2], v);
    std::memcpy(data + i + 2 * sizeof v, &v, sizeof v);
    StepLanes(s[0][3], s[1][3], s[2][3], s[3][3], v);
    std::memcpy(data + i + 3 * sizeof v, &v, sizeof v);
  }
  if (i < length) {
    Lanes8 out[4];
    StepLanes(s[0][0], s[1][0], s[2][0], s[3][0], out[0]);
    StepLanes(s[0][1], s[1][1], s[2][1], s[3][1], out[1]);
    StepLanes(s[0][2], s[1][2], s[2][2], s[3][2], out[2]);
    StepLanes(s[0][3], s[1][3], s[2][3], s[3][3], out[3]);
    std::memcpy(data + i, out, length - i);
  }
  std::memcpy(g_random.words, s, sizeof s);
}

#endif

// Whether a flush may still give the space test more room: file systems
// that reserve room for data not yet written back (xfs, btrfs) count it as
// used until a flush. Set at the start of a run.
bool g_flush_may_gain = true;

// Far from the end of the disk one answer of the space test vouches for
// the next kMostUnaskedBlocks whole blocks as well, so that a fill asks the
// file system once per MiB instead of once per block (a question costs as
// much as a seventh of a block's write where system calls are dear). Within
// kAskEveryBlockRoom of the end every block is asked, so the run stops
// where it did; the room only this run's own writes could use meanwhile is
// a sixteenth of that margin.
constexpr int kMostUnaskedBlocks = 31;
constexpr int64_t kAskEveryBlockRoom = INT64_C(16) << 20;

// How many whole blocks after the next one an answer vouches for.
int UnaskedBlocks(int64_t free_data, int64_t free_protocol, bool same_drive,
                  int64_t reserve) {
  int64_t spare = free_data - kFillBlockSize - kAskEveryBlockRoom;
  if (same_drive) {
    spare -= reserve;
  } else if (reserve > 0) {
    spare = std::min(spare, free_protocol - reserve - kAskEveryBlockRoom);
  }
  if (spare <= 0) return 0;
  return static_cast<int>(
      std::min<int64_t>(kMostUnaskedBlocks, spare / kFillBlockSize));
}

// Asks the free space of the data file system (through the open data file)
// and, when it is another one, of the protocol's: *room tells whether the
// block fits, *unasked how many whole blocks after it need no question.
// Returns 0, or the error number of a data free-space query that failed: a
// disk that cannot say what it holds is not taken as full.
int SpaceAnswer(int fd, int64_t length, int64_t* free_data, bool* room,
                int* unasked) {
  int64_t free_protocol = 0;
  bool same_drive = g_same_drive;
  int err = 0;
  if (g_test_data_free != nullptr) {
    same_drive = g_test_same_drive;
    *free_data = g_test_data_free(fd);
    if (*free_data < 0) err = EIO;
    if (!same_drive) {
      free_protocol =
          g_test_protocol_free != nullptr ? g_test_protocol_free() : -1;
    }
  } else {
    *free_data = FreeBytesOfFd(fd, &err);
    if (!same_drive) free_protocol = FreeBytesProtocolDrive();
  }
  // A protocol that holds its reserve in its own file needs no free space.
  const int64_t reserve = ProtocolHoldsRoom() ? 0 : g_run.protocol_reserve;
  *room = err == 0 &&
          RoomForBlock(length, *free_data, free_protocol, same_drive, reserve);
  *unasked = *room ? UnaskedBlocks(*free_data, free_protocol, same_drive,
                                   reserve)
                   : 0;
  return err;
}

// The space test: 0 with *room and *unasked set, or the error number of a
// failed free-space query. Before it ends the run, the data's file system
// is flushed and asked again, so that room held back for data not yet on
// the disk is filled too: once, and again only while every flush gained at
// least a block, so a run pays for about one flush, at its very end.
int SpaceTest(int fd, int64_t length, bool* room, int* unasked) {
  int64_t free_data = 0;
  int err = SpaceAnswer(fd, length, &free_data, room, unasked);
  if (err != 0 || *room || !g_flush_may_gain) return err;
  const int64_t before = free_data;
  // A failed flush is reported by the flush at the end of the run.
  SyncFileSystem(fd);
  err = SpaceAnswer(fd, length, &free_data, room, unasked);
  g_flush_may_gain = free_data - before >= kFillBlockSize;
  return err;
}

// Prints the line of a failed write and keeps the first error number as
// the run's exit status.
void ReportWriteError(int err, const std::string& path) {
  OutLine(IoErrorLine(err, path));
  if (g_write_error == 0) g_write_error = err;
}

// Points g_path at the data file with the current index (the folder
// stays in front).
void SetDataFilePath() {
  g_path.resize(g_folder_length);
  AppendDataFileName(&g_path, g_run.current_index);
}

// How the writing of one data file goes.
struct FileWrite {
  int64_t bytes_left = 0;
  bool go_on = true;       // the run may go on after this file
  bool stored_all = true;  // every block was stored whole
  int error = 0;           // the first write or flush that failed
};

// Fills the block with the content of the file's next length bytes.
void PrepareBlock(int64_t length, int64_t offset) {
  if (g_run.random_fill) RandomizeFillBlock(length);
  if (g_run.stamped_fill) {
    FillStamped(g_fill_block, static_cast<size_t>(length), g_run.stamp_tag,
                StampPosition(g_run.current_index, offset));
  }
}

// Writes the file's blocks under the space test until it is complete, the
// space runs short, a write fails or a key is pressed.
void WriteBlocks(int fd, int64_t size, FileWrite* w) {
  // The space test after a whole block has already answered for the next
  // one, which is no longer, and far from the end for more: the blocks
  // vouched for are written without asking again.
  int vouched = 0;
  do {
    const int64_t length = std::min(w->bytes_left, kFillBlockSize);
    PrepareBlock(length, size - w->bytes_left);
    w->bytes_left -= length;
    int unasked = 0;
    int result = 0;
    if (vouched > 0) {
      --vouched;
    } else {
      result = SpaceTest(fd, length, &w->go_on, &unasked);
    }
    if (result == 0 && w->go_on) {
      size_t stored = 0;
      result =
          WriteRawBlock(fd, g_fill_block, static_cast<size_t>(length), &stored);
      // A block stored only in part leaves a hole the next block would not
      // fill; it ends the run like any failed write.
      if (result == 0 && stored < static_cast<size_t>(length)) result = EIO;
      if (IsDiskFullError(result)) {
        // The disk filled before the space test saw it (reserved clusters,
        // estimated free space, a quota): the normal end of a fill. The
        // file keeps its whole blocks only, as if the space test had
        // stopped it before this block.
        result = TruncateRawFile(fd, size - w->bytes_left - length);
        w->stored_all = false;
        w->go_on = false;
      } else if (result == 0 && vouched == 0) {
        result = SpaceTest(fd, length, &w->go_on, &unasked);
        // Only a whole block's answer speaks for the blocks after it.
        vouched = length == kFillBlockSize && w->go_on ? 1 + unasked : 0;
      }
    } else {
      w->stored_all = false;
    }
    if (result != 0) {
      w->error = result;
      w->go_on = false;
    }
    g_run.progress_bytes += length;
    ProgressDisplay();
  } while (w->bytes_left > 0 && !KeyPending() && w->go_on);
}

// A big file goes to the disk before it counts as written, so the file's
// duration measures the disk and a power cut loses at most the file in
// progress.
void FlushBigFile(int fd, int64_t size, FileWrite* w) {
  if (size < kBigDataFile) return;
  OutLine("Schreibe Cache");
  OutFlushIfTerminal();
  if (w->error != 0) return;
  const int err = SyncFileData(fd);
  if (err != 0) {
    w->error = err;
    w->go_on = false;
  }
}

// Writes the data file with the current index; moves the current index
// past the end of the range when the run has to stop after it.
void WriteDataFile(int64_t end) {
  const int64_t size = g_run.data_file_size;
  StopwatchStart(kFileStopwatch);
  SetDataFilePath();
  CheckDataFolderInPlace();
  int fd = -1;
  int err = CreateRawFileIn(g_folder_fd, g_path, &fd);
  if (err != 0 && IsDiskFullError(err)) {
    // No room left for even a new name: the disk is full, the normal end
    // of a fill.
    g_run.current_index = static_cast<int32_t>(end + 1);
    if (KeyPending()) ++g_run.finished_files;
    return;
  }
  if (err != 0) Fatal(err, g_path);
  OutLine();
  g_run.at_line_start = true;

  FileWrite w;
  w.bytes_left = size;
  WriteBlocks(fd, size, &w);
  if (g_run.progress_column != 0) OutLine();
  FlushBigFile(fd, size, &w);
  if (w.error != 0) ReportWriteError(w.error, g_path);
  // Closed before the file is recorded: a file counts as written only once
  // its close has succeeded too (a network or FUSE file system reports a
  // failed write-back there).
  err = CloseRawFile(fd);
  if (err != 0) Fatal(err, g_path);
  // Only a file whose every byte was stored is recorded; one cut short
  // stays in the folder as it is.
  if (w.bytes_left == 0 && w.stored_all && w.error == 0) {
    FileCompletionStep();
    ++g_run.current_index;
  }
  const bool key_pending = KeyPending();
  if (!w.go_on || key_pending) {
    g_run.current_index = static_cast<int32_t>(end + 1);
    if (key_pending) ++g_run.finished_files;
  }
}

// The current folder as the run started in it, for lines that name it.
std::string CurrentFolderText() {
  return StartFolder().empty() ? std::string(".") : StartFolder();
}

// Puts what the run wrote onto the disk before the run's time is taken.
// A failure here means files already reported "ok" may not all be on the
// disk, so it is reported like a failed write, naming the file system's
// folder.
void FlushDataFileSystem(int folder_fd, const std::string& folder) {
  if (folder_fd < 0) return;
  int err = SyncFileSystem(folder_fd);
  if (err != 0) ReportWriteError(err, folder);
}

}  // namespace

void SeedRandomFill(uint64_t seed) { g_random = SeededState(seed); }

void FillRandomBytes(uint8_t* data, size_t length) {
#ifdef KORV_VECTOR_CLONES
  if (HasWideVectors()) {
    FillRandomWide(data, length);
    return;
  }
#endif
  FillRandomNarrow(data, length);
}

void PrepareFillBlock(int64_t length, uint8_t byte) {
  std::memset(g_fill_block, byte,
              static_cast<size_t>(std::clamp<int64_t>(length, 0,
                                                      kFillBlockSize)));
}

void RandomizeFillBlock(int64_t length) {
  FillRandomBytes(g_fill_block, static_cast<size_t>(std::clamp<int64_t>(
                                    length, 0, kFillBlockSize)));
}

const uint8_t* FillBlock() { return g_fill_block; }

bool RoomForBlock(int64_t length, int64_t free_data, int64_t free_protocol,
                  bool same_drive, int64_t reserve) {
  // A block is written only where a whole one stays free behind it: the
  // disk is never written to its last byte, not even when its free space
  // is a multiple of the block.
  const int64_t needed = length + kFillBlockSize;
  if (same_drive) return free_data >= needed + reserve;
  // Without a reserve (no protocol, or one given up) the protocol's drive
  // has no say, not even when it cannot be asked.
  return free_data >= needed && (reserve <= 0 || free_protocol >= reserve);
}

void ContinueStampedRun() {
  g_run.stamp_continued = false;
  if (!g_run.stamped_fill || g_run.beginn < 1) return;
  const std::string path = DataFilePath(g_run.beginn - 1);
  int fd = -1;
  if (OpenRawFileForReading(path, &fd) != 0) return;
  alignas(64) uint8_t sector[kSectorSize];
  size_t got = 0;
  const int read_error = ReadRawBlock(fd, sector, sizeof sector, &got);
  CloseRawFile(fd);
  uint64_t tag = 0;
  uint64_t found = 0;
  // Only a first sector that is exactly the stamp of that file's start
  // counts: a file of another run, or a damaged one, starts a new run.
  if (read_error != 0 || !FindStampTag(sector, got, &tag) ||
      ClassifySector(sector, got, tag, StampPosition(g_run.beginn - 1, 0),
                     &found) != kSectorOk) {
    return;
  }
  g_run.stamp_tag = tag;
  g_run.stamp_continued = true;
}

int FillLoop() {
  g_write_error = 0;
  g_flush_may_gain = true;
  PrepareFillBlock(std::min(g_run.groesse, kFillBlockSize), g_run.zeichen);
  g_run.current_index = g_run.beginn;
  g_run.data_file_size = g_run.groesse;
  const std::string folder = FolderTextToPath(g_run.verzeichnis);
  std::string failed_level;
  const int creation_error =
      g_run.verzeichnis.empty()
          ? 0
          : FolderCreation(g_run.verzeichnis, "", &failed_level);
  int err = 0;
  g_folder_fd = HoldDataFolder(true, &err);
  // The reason a folder is missing is its creation's, not the first data
  // file's.
  if (g_folder_fd < 0) {
    if (creation_error != 0) Fatal(creation_error, failed_level);
    Fatal(err, folder.empty() ? "." : folder);
  }
  // Without a reserve to keep there is nothing to ask the protocol's file
  // system for, so the data drive alone decides, as on one drive.
  g_same_drive = g_run.protocol_reserve <= 0 || DataOnProtocolDrive();

  g_run.protocol_file_number = 0;
  g_run.run_total = g_run.anzahl;
  // Any negative group start means "no protocol line yet"; the lowest
  // first index must not step below the 32-bit range.
  g_run.group_start_index =
      g_run.beginn > INT32_MIN ? g_run.beginn - 1 : -1;
  if (g_run.protocol_active) ProtocolStepSetup();

  g_path = folder;
  g_folder_length = g_path.size();
  g_path.reserve(folder.size() + 32);

  const int64_t end = static_cast<int64_t>(g_run.beginn) + g_run.anzahl;
  while (g_run.current_index < end) WriteDataFile(end);

  // The handle stays open (and locked) until the program ends.
  FlushDataFileSystem(g_folder_fd,
                      folder.empty() ? CurrentFolderText() : folder);
  return g_write_error;
}

void TEST_SetFreeSpace(int64_t (*data_free)(int fd),
                       int64_t (*protocol_free)(), bool same_drive) {
  g_test_data_free = data_free;
  g_test_protocol_free = protocol_free;
  g_test_same_drive = same_drive;
}

void TEST_SetRandomState(const uint64_t state[4]) {
  for (int k = 0; k < 4; ++k) g_random.words[k][0] = state[k];
}

void TEST_ForceNarrowRandom(bool on) { TEST_ForceNarrowVectors(on); }

uint64_t TEST_NextRandom() {
  // Steps only lane 0: the other lanes go on unchanged.
  uint64_t out = 0;
  uint64_t(&w)[4][kRandomLanes] = g_random.words;
  StepLanes(w[0][0], w[1][0], w[2][0], w[3][0], out);
  return out;
}

}  // namespace korv
