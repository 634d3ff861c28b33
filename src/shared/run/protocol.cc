#include "shared/run/protocol.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/data_files.h"
#include "shared/run/record.h"
#include "shared/run/run_platform.h"
#include "shared/run/run_state.h"
#include "shared/run/window_title.h"
#include "shared/run/work_folder.h"
#include "shared/time/moment.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

// With one drive the protocol may always be kept, with kOneDriveProtocolReserve
// left for it on the data drive and this much needed to go on.
constexpr int64_t kProtocolMinimum = 20480;

constexpr char kPlaceholderName[] = "korvkorv";
constexpr size_t kFileStampLength = 17;  // d20210113_t093015
// Seconds a protocol name may move on past taken names before the run
// gives up (a folder full of names is no accident).
constexpr int kProtocolNameTries = 3600;
constexpr int64_t kMib = 1048576;
constexpr int64_t kGib = 1073741824;
constexpr int64_t kFoldAfterMib = 1024;
constexpr int64_t kLastProgressColumn = 76;
constexpr int32_t kAlwaysLoggedFiles = 10;
constexpr int32_t kSummaryPageLines = 25;
// The continuation of a wrapped summary line starts where the duration of
// a protocol line does.
constexpr char kSummaryIndent[] = "                               ";  // 31

std::string g_protocol_name = kPlaceholderName;
TextFile* g_protocol_file = nullptr;
// Bytes written into the protocol file so far, and whether the file holds
// the protocol's reserve allocated past them.
int64_t g_protocol_bytes = 0;
bool g_room_held = false;
int64_t g_room_end = 0;
std::string g_protocol_base;

// Reused buffers of the per-block and per-file paths, so that those paths
// stop allocating once the buffers have grown to their line length.
std::string g_console_line;
std::string g_protocol_line;
std::string g_mark;

// A folder held open so that a free-space question is an fstatvfs on it,
// not a walk along its path. `key` is the text the handle was opened for;
// when the handle cannot be opened, `path` is asked by name instead.
struct HeldFolder {
  bool valid = false;
  std::string key;
  std::string path;
  int fd = -1;
};

// The data folder, or while it does not exist yet its nearest existing
// parent: a folder created later below that parent lies on the same file
// system, so the handle stays right for the whole run.
HeldFolder g_data_folder;
// The home path, whose file system takes the protocol.
HeldFolder g_home_folder;

void ReleaseFolder(HeldFolder* held) {
  if (held->fd >= 0) CloseRawFile(held->fd);
  *held = HeldFolder();
}

void HoldFolder(HeldFolder* held, const std::string& key,
                const std::string& path) {
  ReleaseFolder(held);
  held->valid = true;
  held->key = key;
  held->path = path;
  held->fd = OpenFolderHandle(path);
}

const HeldFolder& DataFolder() {
  if (!g_data_folder.valid || g_data_folder.key != g_run.verzeichnis) {
    HoldFolder(&g_data_folder, g_run.verzeichnis,
               NearestExistingFolder(FolderTextToPath(g_run.verzeichnis)));
  }
  return g_data_folder;
}

const HeldFolder& HomeFolder() {
  if (!g_home_folder.valid || g_home_folder.key != HomePath()) {
    HoldFolder(&g_home_folder, HomePath(), HomePath());
  }
  return g_home_folder;
}

int64_t FreeBytesOf(const HeldFolder& held) {
  return held.fd >= 0 ? FreeBytesOfFd(held.fd) : FreeBytesOfPath(held.path);
}

int64_t DeviceOf(const HeldFolder& held) {
  return held.fd >= 0 ? DeviceOfFd(held.fd) : DeviceOfPath(held.path);
}

std::string ProtocolPath() { return HomePath() + g_protocol_name; }

// Names the protocol file after the base word and the current moment.
void NameProtocolAfterMoment() {
  g_protocol_name = g_protocol_base;
  g_protocol_name += '_';
  g_protocol_name.append(FileStampText(), 0, kFileStampLength);
  g_protocol_name += ".txt";
}

// Lets the protocol file hold its reserve allocated past what it has
// written: a disk that the data fill (or another program) fills to its end
// then still takes the protocol's last lines, whatever the file system
// estimated as free. Where the file system cannot allocate ahead, the
// reserve stays free space the space test keeps.
void HoldProtocolRoom() {
  const int64_t end = g_protocol_bytes + g_run.protocol_reserve;
  g_room_held =
      g_run.protocol_reserve > 0 && TextHoldRoom(g_protocol_file, end) == 0;
  g_room_end = g_room_held ? end : 0;
}

// Closes the protocol file and opens it again for appending, so that what
// was written so far is on the disk should the run end hard.
void WriteOutProtocol() {
  CloseProtocolFile();
  const std::string path = ProtocolPath();
  int err = TextOpenAppend(path, &g_protocol_file);
  if (err != 0) Fatal(err, path);
  HoldProtocolRoom();
}

bool SamplingSkips() {
  const int32_t number = g_run.protocol_file_number;
  const int64_t step = g_run.protocol_step > 0 ? g_run.protocol_step : 1;
  return number > kAlwaysLoggedFiles &&
         g_run.run_total - number > kAlwaysLoggedFiles && number % step != 0;
}

void WriteSampledProtocolLine() {
  // The write-out check only needs the minutes since the last write-out,
  // so the difference is taken without asking for a duration text.
  StopwatchStop(kWriteOutStopwatch);
  if (StopwatchSeconds(kWriteOutStopwatch) / 60.0 > 1.0) {
    WriteOutProtocol();
    StopwatchStart(kWriteOutStopwatch);
  }

  ++g_run.protocol_file_number;
  if (SamplingSkips()) return;

  if (g_run.data_file_size >= kBigDataFile) OutLine("Schreibe Protokoll");

  const int32_t index = g_run.current_index;
  StopwatchStop(kFileStopwatch);
  g_protocol_line.clear();
  g_protocol_line += "Next: ";
  g_protocol_line += StampText();
  g_protocol_line += "   ";
  g_protocol_line += StopwatchDuration(kFileStopwatch);
  g_protocol_line += "   ";
  AppendDataFileName(&g_protocol_line, index);
  g_protocol_line += " ok";
  const int32_t start = g_run.group_start_index;
  if (start >= 0 && index - start >= 2) {
    StopwatchStop(kGroupStopwatch);
    g_protocol_line += "   ";
    g_protocol_line += StopwatchDuration(kGroupStopwatch);
    g_protocol_line += " Gruppe (";
    AppendZeroPadded(&g_protocol_line, static_cast<int64_t>(index) - start, 0);
    g_protocol_line += ')';
  }
  ProtocolWriteLine(g_protocol_line);

  g_run.group_start_index = index;
  StopwatchStart(kGroupStopwatch);
}

void ShowSummaryLine(const std::string& line, int32_t* line_count) {
  if (line.size() <= kSummaryWidth) {
    OutLine(line);
    ++*line_count;
    return;
  }
  OutLine(std::string_view(line).substr(0, kSummaryWidth));
  ++*line_count;
  // The 69th character is left out: the continuation starts with the 70th.
  Out(kSummaryIndent);
  OutLine(std::string_view(line).substr(kSummaryWidth + 1));
  ++*line_count;
}

// Reads the next summary line, cut to the length of the program's texts.
void ReadSummaryLine(TextFile* file, std::string* line) {
  bool eof = false;
  TextReadLine(file, line, &eof);
  if (line->size() > kMaxTextLength) line->resize(kMaxTextLength);
}

}  // namespace

bool ProtocolPrecheck() {
  g_run.protocol_reserve = 0;
  g_run.protocol_minimum = 0;
  if (DriveCount() < 2) {
    g_run.protocol_reserve = kOneDriveProtocolReserve;
    g_run.protocol_minimum = kProtocolMinimum;
    return true;
  }
  // Several drives: data and protocol must not share one, unless the user
  // asked for the protocol size himself.
  RereadStartFolder();
  return g_run.protocol_size_given || !DataOnProtocolDrive();
}

void ProtocolSpaceCheck() {
  if (!g_run.protocol_active) return;
  const int64_t free_bytes = FreeBytesProtocolDrive();
  if (free_bytes >= g_run.protocol_minimum) return;
  // A protocol that was asked for and whose drive cannot even be asked
  // (the protocol folder is missing or unreadable) is not dropped without
  // a word: creating the file then ends the run with the reason.
  if (free_bytes < 0 && g_protocol_file == nullptr) return;
  g_run.protocol_active = false;
  // The room kept for the protocol goes with it, so a nearly full home
  // drive does not keep the data drive from being filled.
  g_run.protocol_reserve = 0;
  // Closed at once so the lines written so far reach the disk. A close
  // that fails on the nearly full drive must not end the run: the protocol
  // is given up, the data files go on.
  if (g_protocol_file != nullptr) {
    TextClose(g_protocol_file);
    g_protocol_file = nullptr;
    g_room_held = false;
  }
}

void FreeSpaceEstimate() {
  const int64_t free_bytes = FreeBytesDataDrive();
  // A size of 0 cannot come from the command line; the guard only keeps a
  // division by zero out of reach.
  if (free_bytes > 0 && g_run.groesse > 0) {
    g_run.candidate_count = free_bytes / g_run.groesse;
  } else {
    g_run.candidate_count = 0;
  }
}

bool DataOnProtocolDrive() {
  const int64_t home_device = DeviceOf(HomeFolder());
  // Without a readable home path there is no protocol drive to keep room
  // on; the data drive then only has to hold the reserve itself.
  if (home_device < 0) return true;
  return DeviceOf(DataFolder()) == home_device;
}

int64_t FreeBytesDataDrive() { return FreeBytesOf(DataFolder()); }

int64_t FreeBytesProtocolDrive() { return FreeBytesOf(HomeFolder()); }

void MakeProtocolFileName(const std::string& base_word) {
  StampedLabel("");  // reads the clock and refreshes the moment texts
  g_protocol_base = base_word;
  NameProtocolAfterMoment();
}

const std::string& ProtocolFileName() { return g_protocol_name; }

void CreateProtocolFile() {
  if (g_protocol_file != nullptr) CloseProtocolFile();
  // Created exclusively: two runs started in the same second must not
  // share (and truncate) one file. A taken name moves on to the next free
  // second, so every name keeps the pattern of a moment.
  for (int tries = 0;; ++tries) {
    const std::string path = ProtocolPath();
    int err = TextCreate(path, &g_protocol_file);
    if (err == 0) {
      g_protocol_bytes = 0;
      HoldProtocolRoom();
      return;
    }
    if (err != EEXIST || tries >= kProtocolNameTries) Fatal(err, path);
    AddToMoment(&CurrentMoment(), 0, 0, 0, 0, 0, 1, 0);
    FormatMoment(CurrentMoment());
    NameProtocolAfterMoment();
  }
}

void ProtocolWriteLine(const std::string& line) {
  if (g_protocol_file == nullptr) return;
  int err = TextWriteLine(g_protocol_file, line);
  if (err != 0) Fatal(err, ProtocolPath());
  g_protocol_bytes += static_cast<int64_t>(line.size()) + 1;
  // Half the reserve used up: the held room moves on with the text.
  if (g_room_held &&
      2 * (g_room_end - g_protocol_bytes) < g_run.protocol_reserve) {
    HoldProtocolRoom();
  }
}

bool ProtocolHoldsRoom() { return g_protocol_file != nullptr && g_room_held; }

void StartProtocolFile(const std::string& base_word,
                       const std::string& start_text) {
  MakeProtocolFileName(base_word);
  CreateProtocolFile();
  ProtocolWriteLine(start_text);
  StopwatchStart(kWriteOutStopwatch);
  StopwatchStart(kGroupStopwatch);
  ProtocolWriteLine("");
}

void EndProtocolFile(const std::string& stop_text, int64_t file_size) {
  ProtocolWriteLine("");
  std::string line = stop_text;
  line += "   ";
  line += StopwatchDuration(kRunStopwatch);
  line += "   Gesamtzeit";
  ProtocolWriteLine(line);
  double average = 0;
  if (g_run.finished_files != 0) {
    average = StopwatchSeconds(kRunStopwatch) / g_run.finished_files;
  }
  // Seconds are rounded to two decimals with a decimal point here, unlike
  // the cut German number texts elsewhere.
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "%3.2f", average);
  ProtocolWriteLine("");
  line = "Durchschnittlich: ";
  line += seconds;
  line += " sek pro ";
  line += SizeText(file_size);
  line += " Datei (";
  line += std::to_string(g_run.finished_files);
  line += ')';
  ProtocolWriteLine(line);
  CloseProtocolFile();
}

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

void CloseProtocolFile() {
  if (g_protocol_file == nullptr) return;
  int err = TextClose(g_protocol_file);
  g_protocol_file = nullptr;
  g_room_held = false;
  if (err != 0) Fatal(err, ProtocolPath());
}

void ProtocolStepSetup() {
  g_run.planned_count = g_run.anzahl <= g_run.candidate_count
                            ? g_run.anzahl
                            : g_run.candidate_count;
  if (g_run.protokoll < 1 || g_run.planned_count <= g_run.protokoll) {
    g_run.protocol_step = 1;
  } else {
    g_run.protocol_step =
        (g_run.planned_count + g_run.protokoll) / g_run.protokoll;
  }
}

void ProgressDisplay() {
  const int64_t m = g_run.progress_bytes / kMib;
  if (m <= g_run.shown_mib) return;
  TitleProgress(g_run.folded_gib * kGib + g_run.progress_bytes);
  const int64_t total = g_run.folded_gib * kFoldAfterMib + m;
  const int digits = DecimalDigits(total);
  if (g_run.progress_column + digits > kLastProgressColumn) {
    OutLine();
    g_run.progress_column = 0;
  }
  g_run.progress_column += digits + 3;
  g_mark.clear();
  AppendZeroPadded(&g_mark, total, 0);
  g_mark += "M, ";
  Out(g_mark);
  OutFlushIfTerminal();
  g_run.at_line_start = false;
  g_run.shown_mib = m;
  RecordProgress();
  if (m > kFoldAfterMib) {
    // The marks go on from where they were; only the counter is folded.
    g_run.progress_bytes -= kGib;
    g_run.shown_mib -= kFoldAfterMib;
    ++g_run.folded_gib;
  }
}

void FileCompletionStep() {
  StopwatchStop(kFileStopwatch);
  g_console_line.clear();
  AppendDataFileName(&g_console_line, g_run.current_index);
  g_console_line += " ok   ";
  g_console_line += StopwatchDuration(kFileStopwatch);
  OutLine(g_console_line);
  RecordFinishedFile();

  ProtocolSpaceCheck();
  if (g_run.protocol_active) WriteSampledProtocolLine();

  ++g_run.finished_files;
  g_run.progress_column = 0;
}

void SummaryDisplay() {
  const std::string path = ProtocolPath();
  TextFile* file = nullptr;
  if (TextOpenRead(path, &file) != 0) return;
  std::string line;
  ReadSummaryLine(file, &line);
  int32_t line_count = 1;
  OutLine();
  OutLine("Zusammenfassung:");
  OutLine();
  while (!TextAtEnd(file)) {
    if (line_count % kSummaryPageLines == 0 && g_run.pausing) {
      Out("Weiter mit Taste >");
      ReadKeyCode();
      OutLine();
    }
    ShowSummaryLine(line, &line_count);
    ReadSummaryLine(file, &line);
  }
  ShowSummaryLine(line, &line_count);
  TextClose(file);
  OutLine();
  OutLine("Diese Liste steht auch unter:");
  OutLine(path);
}

void TEST_ResetProtocol() {
  if (g_protocol_file != nullptr) TextClose(g_protocol_file);
  g_protocol_file = nullptr;
  g_protocol_name = kPlaceholderName;
  ReleaseFolder(&g_data_folder);
  ReleaseFolder(&g_home_folder);
}

}  // namespace korv
