#include "reader/verify.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "shared/format/format.h"
#include "shared/lists/keyed_list.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
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
StampTally g_file_tally;  // the file being read
int64_t g_file_offset = 0;  // bytes of it checked so far
StampTally g_run_tally;     // every file of the run
int32_t g_first_bad_index = 0;
int64_t g_first_bad_offset = 0;

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

void CountMixedBlock(const uint8_t* data, size_t length) {
  size_t i = 0;
  for (; i + kSubTables <= length; i += kSubTables) {
    for (int t = 0; t < kSubTables; ++t) ++g_sub[t][data[i + t]];
  }
  for (; i < length; ++i) ++g_sub[0][data[i]];
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

void AppendNumber(std::string* out, int64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;
  out->append(digits, static_cast<size_t>(end - digits));
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
    AppendNumber(out, g_file_tally.sectors[c]);
    out->push_back(' ');
    out->append(kClassWords[c]);
  }
  if (g_file_tally.bad_seen) {
    out->append(" - erster Fehler bei Byte ");
    AppendNumber(out, FirstBadOffset());
  }
}

void AppendLabel(std::string* out, int v) {
  if (v == 0) {
    out->append("HEX ");
  } else if (v == 32) {
    out->append("LEER ");
  } else {
    out->push_back('#');
    AppendNumber(out, v);
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

// Writes a long line to the protocol as lines of at most kSummaryWidth
// characters, the later ones indented by two: the summary shows longer
// protocol lines cut.
void WriteWrappedProtocolLine(const std::string& line) {
  constexpr char kIndent[] = "  ";
  size_t from = 0;
  std::string part;
  while (from < line.size()) {
    const size_t room = kSummaryWidth - (from == 0 ? 0 : sizeof kIndent - 1);
    size_t to = line.size();
    if (to - from > room) {
      // Break between items (after ", " or before " - ") where one fits,
      // else at the last blank.
      size_t blank = std::string::npos;
      for (size_t i = from + room; i > from; --i) {
        if (line[i] != ' ') continue;
        if (blank == std::string::npos) blank = i;
        if (line[i - 1] == ',' || (i + 1 < line.size() && line[i + 1] == '-')) {
          to = i;
          break;
        }
      }
      if (to == line.size()) to = blank != std::string::npos ? blank : from + room;
    }
    part.assign(from == 0 ? "" : kIndent);
    part.append(line, from, to - from);
    ProtocolWriteLine(part);
    from = to;
    while (from < line.size() && line[from] == ' ') ++from;
  }
}

size_t ReadBlockOrDie(int fd, uint8_t* block) {
  size_t got = 0;
  int rc = ReadRawBlock(fd, block, kReadBlockSize, &got);
  if (rc != 0) Fatal(rc, g_path);
  return got;
}

// Reads and counts the open file block by block. Returns true when its end
// was reached, false when a pending key stopped it first. One buffer serves
// every read, so the block just read is still in the nearest cache when it
// is counted. A read that finds nothing after a full block is no block of
// its own: the file ended with the block before it.
bool ReadAndCount(int fd) {
  size_t got = ReadBlockOrDie(fd, g_block);
  bool first = true;
  int64_t read_so_far = static_cast<int64_t>(got);
  int64_t advised_to = 0;
  for (;;) {
    if (got == 0 && !first) return true;
    // One thread reads and counts in turn, so the drive would idle while a
    // block is counted: keep the next stretch of the file being read in the
    // background, asked for a slice at a time once the file proves longer
    // than one block (small files cost no extra call).
    if (got == kReadBlockSize &&
        read_so_far + kReadAheadBytes >= advised_to + kReadAheadSlice) {
      const int64_t from = std::max(advised_to, read_so_far);
      advised_to = read_so_far + kReadAheadBytes;
      AdviseReadAhead(fd, from, advised_to - from);
    }
    first = false;
    CountBlock(g_block, got);
    if (g_stamped_run) CheckStampedBlock(g_block, got);
    // Every block counts as a whole one in the progress marks, the last
    // short one too.
    g_run.progress_bytes += static_cast<int64_t>(kReadBlockSize);
    ProgressDisplay();
    if (got < kReadBlockSize) return true;
    if (KeyPending()) {
      // Whether the block was the file's last decides if it is complete.
      return ReadBlockOrDie(fd, g_block) == 0;
    }
    got = ReadBlockOrDie(fd, g_block);
    read_so_far += static_cast<int64_t>(got);
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

// A file the scan found but that cannot be opened (no right to it, an I/O
// error, no regular file) is a failure of the medium or of the folder: it
// is named with the reason, gets no "ok", and makes the run's verdict wrong.
void ReportUnreadableFile(int err) {
  g_text.assign("!!! ACHTUNG FEHLER !!!  Datei ");
  AppendDataFileName(&g_text, g_run.current_index);
  g_text.append(" nicht lesbar: ");
  AppendIoError(&g_text, err);
  RecordError(err, g_path);
  g_text.append("   >");
  Out(g_text);
  if (g_run.pausing) ReadKeyCode();
  OutLine();
  g_wrong_found = true;
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
  CountMixedBlock(data, length);
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
    AppendNumber(&g_text, c);
    g_text.push_back('x');
    AppendLabel(&g_text, v);
  }
  if (g_total > g_largest_total) g_largest_total = g_total;
  g_text.append("\nAnzahl:  ");
  AppendNumber(&g_text, g_total);
  g_text.append(" - Verschiedene: ");
  AppendNumber(&g_text, distinct);
  g_text.append("  - ");
  // A stamped file is judged by its sectors alone: a short one may lack
  // byte values, and a sound histogram says nothing about moved data.
  bool wrong = g_stamped_run ? g_file_tally.bad_seen
                             : distinct > 1 && distinct != 256;
  if (wrong) {
    g_text.append("\n!!! ACHTUNG FEHLER !!!  falsche Zeichen in Datei ");
    AppendDataFileName(&g_text, g_run.current_index);
    g_text.append("   >");
  }
  Out(g_text);
  if (wrong) {
    if (g_run.pausing) ReadKeyCode();
    OutLine();
    if (g_stamped_run) {
      g_text.clear();
      AppendSectorLine(&g_text);
      OutLine(g_text);
    }
    g_wrong_found = true;
  }
  NoteFileForRecord(distinct, wrong);
  return wrong;
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
  if (complete) FileCompletionStep();
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
  g_run_tally = StampTally();
  g_file_tally = StampTally();
  if (g_run.run_total < 1) return;
  if (g_path.empty()) PrepareFilePath();
  bool found_any = false;
  uint64_t newest = 0;
  const int64_t ends[2] = {1, g_run.run_total};
  for (int64_t position : ends) {
    int32_t index = -1;
    if (!ListFindByValue0(static_cast<int32_t>(position), &index)) continue;
    if (index < g_run.beginn || index > g_run.last_index) continue;
    SetPathIndex(index);
    int fd = -1;
    if (OpenRawFileForReading(g_path, &fd) != 0) continue;
    size_t got = 0;
    alignas(64) uint8_t sector[kSectorSize];
    int rc = ReadRawBlock(fd, sector, sizeof sector, &got);
    if (rc != 0) Fatal(rc, g_path);
    rc = CloseRawFile(fd);
    if (rc != 0) Fatal(rc, g_path);
    uint64_t tag = 0;
    if (!FindStampTag(sector, got, &tag)) continue;
    // The newest tag is the run's: a card that kept an older run's data in
    // one of the two places then shows it as stale.
    if (!found_any || StampTagSeconds(tag) > StampTagSeconds(newest) ||
        (StampTagSeconds(tag) == StampTagSeconds(newest) && tag > newest)) {
      newest = tag;
    }
    found_any = true;
  }
  g_stamped_run = found_any;
  g_run_tag = newest;
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
  line += StampTagText(g_run_tag);
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
    AppendNumber(&line, g_first_bad_offset);
  } else {
    line += "keiner";
  }
  if (g_run_tally.stale_seen) {
    line += " - alte Daten: Kennung ";
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
  g_run_tally = StampTally();
  g_file_tally = StampTally();
  ClearCharacterCounts();
  g_largest_total = 0;
  g_wrong_found = false;
  g_path.clear();
  g_folder_length = 0;
}

}  // namespace korv
