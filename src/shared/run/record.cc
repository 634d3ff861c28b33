#include "shared/run/record.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/format/format.h"
#include "shared/platform/clock.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/data_files.h"
#include "shared/run/map.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/run/work_folder.h"
#include "shared/stamp/stamp.h"
#include "shared/time/moment.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

constexpr int kClasses = 6;
constexpr double kBytesPerMb = 1e6;
// The record's names of the sector classes, in SectorClass order.
constexpr const char* kClassKeys[kClasses] = {"ok",    "changed", "corrupted",
                                              "moved", "stale",   "blank"};

// ---- Options ----
bool g_reader = false;
std::string g_json_path;
std::string g_map_path;
std::string g_report_path;
std::vector<std::string> g_arguments;

// ---- The record of the running program ----
bool g_started = false;
std::string g_program;
int g_fd = -1;
bool g_fd_is_stderr = false;
// The map's file, created when the run starts (so that a map that cannot
// be made ends the run before any data file, and a data folder that holds
// it is not removed as empty) and written when it ends.
int g_map_fd = -1;
int g_record_error = 0;  // the first write of record or map that failed
std::string g_failed_path;
bool g_in_record = false;  // an error line of the record itself
std::string g_line;        // the line being built, reused
std::string g_held;        // whole lines not written yet
uint64_t g_last_write = 0;
constexpr uint64_t kHoldMilliseconds = 10;
uint64_t g_start_tick = 0;
bool g_run_time_ended = false;  // the run's stopwatch has stopped

ReadFacts g_facts;
bool g_facts_pending = false;

int64_t g_files = 0;
int64_t g_bytes = 0;
bool g_any_stamped = false;
int64_t g_sectors[kClasses] = {};
int64_t g_sector_bytes[kClasses] = {};
bool g_bad_seen = false;
int32_t g_bad_index = 0;
int64_t g_bad_byte = 0;

// What the map's title lines say, gathered at the start.
std::string g_map_title;
std::string g_map_place;
std::string g_map_note;

void AppendFixed(std::string* out, double value, int decimals) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value,
                                 std::chars_format::fixed, decimals);
  if (ec != std::errc()) {
    out->append("null");
    return;
  }
  out->append(text, static_cast<size_t>(end - text));
}

void AppendHex16(std::string* out, uint64_t value) {
  constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = 60; shift >= 0; shift -= 4) {
    out->push_back(kDigits[(value >> shift) & 0xF]);
  }
}

// Starts a line: {"type":"<type>","schema":1
void BeginLine(const char* type) {
  g_line.assign("{\"type\":\"");
  g_line.append(type);
  g_line.append("\",\"schema\":");
  AppendDecimal(&g_line, kRecordSchema);
}

void Key(const char* key) {
  g_line.append(",\"");
  g_line.append(key);
  g_line.append("\":");
}

void IntField(const char* key, int64_t value) {
  Key(key);
  AppendDecimal(&g_line, value);
}

void TextField(const char* key, std::string_view value) {
  Key(key);
  AppendJsonString(&g_line, value);
}

// Speed in MB/s (10^6 bytes), null when the clock saw no time pass.
void SpeedField(int64_t bytes, double seconds) {
  Key("mb_per_s");
  if (seconds > 0) {
    AppendFixed(&g_line, static_cast<double>(bytes) / seconds / kBytesPerMb,
                3);
  } else {
    g_line.append("null");
  }
}

void ClassCounts(const char* key, const int64_t* counts) {
  Key(key);
  g_line.push_back('{');
  for (int c = 0; c < kClasses; ++c) {
    if (c > 0) g_line.push_back(',');
    g_line.push_back('"');
    g_line.append(kClassKeys[c]);
    g_line.append("\":");
    AppendDecimal(&g_line, counts[c]);
  }
  g_line.push_back('}');
}

// Writes the lines held so far in one call; also the console's write-out
// before a wait for a key and before a death by a signal, when the held
// lines are the latest of a run that may not come back to write them. A
// record that cannot be written is given up with its error line; the run
// goes on and ends with that error.
void WriteHeldLines() {
  if (g_fd < 0 || g_held.empty()) return;
  size_t stored = 0;
  const int err = WriteRawBlock(g_fd, g_held.data(), g_held.size(), &stored);
  g_held.clear();
  if (err == 0) return;
  if (!g_fd_is_stderr) CloseRawFile(g_fd);
  g_fd = -1;
  if (g_record_error == 0) {
    g_record_error = err;
    g_failed_path = g_json_path;
  }
  g_in_record = true;
  OutLine(IoErrorLine(err, g_json_path));
  g_in_record = false;
}

// Ends the line and writes it, with the lines held before it, in one call,
// so that a program killed at any moment leaves whole lines. File lines are
// held while the last write is less than kHoldMilliseconds old: a run of
// tiny files then pays one write for many of them. A held line goes out
// with the next line, before a wait for a key or at the run's end (a
// signal's too).
void WriteLine(bool hold) {
  g_line.append("}\n");
  if (g_fd < 0) return;
  g_held.append(g_line);
  const uint64_t tick = MillisecondTick();
  // A clock set back counts as time passed.
  if (hold && tick >= g_last_write && tick - g_last_write < kHoldMilliseconds) {
    return;
  }
  g_last_write = tick;
  WriteHeldLines();
}

std::string WriterFill() {
  if (g_run.stamped_fill) return "stamped";
  if (g_run.random_fill) return "random";
  return "byte";
}

// ---- The writer's record read back for the map ----

// Finds "key": in a line the writer wrote and returns what follows.
bool FieldAt(std::string_view line, std::string_view key, size_t* at) {
  std::string pattern = "\"";
  pattern.append(key);
  pattern.append("\":");
  const size_t p = line.find(pattern);
  if (p == std::string_view::npos) return false;
  *at = p + pattern.size();
  return true;
}

bool NumberField(std::string_view line, std::string_view key, double* value) {
  size_t at = 0;
  if (!FieldAt(line, key, &at)) return false;
  auto [end, ec] =
      std::from_chars(line.data() + at, line.data() + line.size(), *value);
  (void)end;
  return ec == std::errc();
}

std::string TagField(std::string_view line) {
  size_t at = 0;
  if (!FieldAt(line, "run_tag", &at) || at >= line.size() ||
      line[at] != '"') {
    return std::string();
  }
  const size_t close = line.find('"', at + 1);
  if (close == std::string_view::npos) return std::string();
  return std::string(line.substr(at + 1, close - at - 1));
}

// Reads the writer's record into the map's second curve when it belongs to
// this run: the same run tag (or no tag on either side). Otherwise the map
// says why it has no write curve.
void ReadWriteReport(const std::string& run_tag) {
  TextFile* file = nullptr;
  const int err = TextOpenRead(g_report_path, &file);
  if (err != 0) Fatal(err, g_report_path);
  std::string line;
  bool eof = false;
  TextReadLine(file, &line, &eof);
  double schema = 0;
  if (eof || line.rfind("{\"type\":\"start\",", 0) != 0 ||
      !NumberField(line, "schema", &schema) || schema != kRecordSchema ||
      line.find("\"program\":\"korvfyll\"") == std::string::npos) {
    g_map_note = "Schreibbericht ohne Startzeile von Korvfyll: " + g_report_path;
    TextClose(file);
    return;
  }
  const std::string report_tag = TagField(line);
  if (report_tag != run_tag) {
    g_map_note = "Schreibbericht von einem anderen Lauf (Kennung " +
                 (report_tag.empty() ? std::string("keine") : report_tag) +
                 "): " + g_report_path;
    TextClose(file);
    return;
  }
  for (;;) {
    TextReadLine(file, &line, &eof);
    if (eof) break;
    if (line.rfind("{\"type\":\"file\",", 0) != 0) continue;
    double bytes = 0;
    double seconds = 0;
    if (!NumberField(line, "bytes", &bytes) ||
        !NumberField(line, "seconds", &seconds)) {
      continue;
    }
    MapAddFile(kMapWriteReport, static_cast<int64_t>(bytes), seconds, nullptr);
  }
  TextClose(file);
}

// ---- Files the record and the map must not be ----

// Where a path leads, by its plain name and, as far as it exists, by the
// identity of the file and of the folder that holds it.
struct Place {
  std::string path;  // absolute and plain
  std::string folder;
  std::string name;
  bool exists = false;
  FileIdentity file;
  bool folder_exists = false;
  FileIdentity folder_file;
};

Place PlaceOf(const std::string& path) {
  Place place;
  place.path = PlainAbsolutePath(path, &place.folder, &place.name);
  place.exists = FileIdentityOf(path, &place.file);
  place.folder_exists = HoldingFolderIdentityOf(path, &place.folder_file);
  return place;
}

// Two names of one file: the same plain path, the same file, or the same
// name in the same folder (a file still to be made, reached by another way).
bool SamePlace(const Place& a, const Place& b) {
  if (a.path == b.path) return true;
  if (a.exists && b.exists && a.file == b.file) return true;
  return a.name == b.name && a.folder_exists && b.folder_exists &&
         a.folder_file == b.folder_file;
}

bool InFolder(const Place& place, const std::string& folder) {
  if (place.folder == PlainAbsolutePath(folder)) return true;
  FileIdentity identity;
  return place.folder_exists && FileIdentityOf(folder, &identity) &&
         identity == place.folder_file;
}

bool IsDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "N" + seven digits + ".KVL": a name the runs write, read and delete.
bool IsDataFileName(std::string_view name) {
  return name.size() == 12 && name[0] == 'N' && IsDigits(name.substr(1, 7)) &&
         name.substr(8) == ".KVL";
}

// word + "_d" + eight digits + "_t" + six digits + ".txt": the protocol
// takes the first such name of a moment that is free when it starts, after
// the record and the map are known but before they are made.
bool IsProtocolName(std::string_view name, std::string_view word) {
  if (name.size() != word.size() + 22 || name.substr(0, word.size()) != word) {
    return false;
  }
  const std::string_view stamp = name.substr(word.size());
  return stamp.substr(0, 2) == "_d" && IsDigits(stamp.substr(2, 8)) &&
         stamp.substr(10, 2) == "_t" && IsDigits(stamp.substr(12, 6)) &&
         stamp.substr(18) == ".txt";
}

// ---- The end ----

void WriteMap(int status) {
  if (g_map_fd < 0) return;
  MapTexts texts;
  texts.title = g_map_title;
  texts.subtitle = g_map_place + " - ";
  AppendDecimal(&texts.subtitle, g_files);
  texts.subtitle += " Dateien, ";
  texts.subtitle += SizeText(g_bytes);
  if (status != 0) {
    texts.subtitle += " - Status ";
    AppendDecimal(&texts.subtitle, status);
  }
  texts.run_label = g_reader ? "Lesen" : "Schreiben";
  texts.note = g_map_note;
  const std::string svg = MapSvg(texts);
  size_t stored = 0;
  int err = WriteRawBlock(g_map_fd, svg.data(), svg.size(), &stored);
  const int close_err = CloseRawFile(g_map_fd);
  g_map_fd = -1;
  if (err == 0) err = close_err;
  if (err == 0) return;
  if (g_record_error == 0) {
    g_record_error = err;
    g_failed_path = g_map_path;
  }
  g_in_record = true;
  OutLine(IoErrorLine(err, g_map_path));
  g_in_record = false;
}

// The exit of a run that keeps a record: the map, the end line, and the
// error of a record or map that could not be written when nothing worse
// happened.
int OnEnding(int status) {
  if (!g_started) return status;
  WriteMap(status);
  if (status == 0 && g_record_error != 0) status = g_record_error;
  BeginLine("end");
  IntField("files", g_files);
  IntField("bytes", g_bytes);
  // The run's own time, as its closing line shows it: waits for keys after
  // the run (the deletion prompt, the summary's pages) are not the run's.
  // A run that ends before its stopwatch stops has run until now.
  if (!g_run_time_ended) StopwatchStop(kRunStopwatch);
  Key("seconds");
  AppendFixed(&g_line, StopwatchSeconds(kRunStopwatch), 2);
  Key("wall_seconds");
  AppendFixed(&g_line,
              static_cast<double>(MillisecondTick() - g_start_tick) / 1000.0,
              3);
  IntField("exit_status", status);
  if (g_any_stamped) {
    ClassCounts("sectors", g_sectors);
    ClassCounts("sector_bytes", g_sector_bytes);
    Key("first_bad");
    if (g_bad_seen) {
      g_line.append("{\"index\":");
      AppendDecimal(&g_line, g_bad_index);
      g_line.append(",\"name\":");
      AppendJsonString(&g_line, DataFileName(g_bad_index));
      g_line.append(",\"byte\":");
      AppendDecimal(&g_line, g_bad_byte);
      g_line.push_back('}');
    } else {
      g_line.append("null");
    }
  }
  WriteLine(/*hold=*/false);
  // The lines held back until now may be the ones that do not fit.
  if (status == 0 && g_record_error != 0) status = g_record_error;
  if (g_fd >= 0 && !g_fd_is_stderr) {
    const int err = CloseRawFile(g_fd);
    if (err != 0 && status == 0) status = err;
  }
  g_fd = -1;
  g_started = false;
  return status;
}

}  // namespace

int TakeRunOptions(int argc, const char* const* argv, bool reader) {
  g_reader = reader;
  g_json_path.clear();
  g_map_path.clear();
  g_report_path.clear();
  g_arguments.clear();
  for (int i = 1; i < argc; ++i) {
    g_arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  }
  int taken = 0;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    const std::string_view text = argv[i];
    if (text.rfind("--", 0) != 0) break;
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals + 1 == text.size()) {
      return -1;
    }
    const std::string_view name = text.substr(2, equals - 2);
    std::string* path = nullptr;
    if (name == "json") {
      path = &g_json_path;
    } else if (name == "karte") {
      path = &g_map_path;
    } else if (name == "schreibbericht" && reader) {
      path = &g_report_path;
    } else {
      return -1;
    }
    if (!path->empty()) return -1;
    path->assign(text.substr(equals + 1));
    ++taken;
  }
  // The writer's record only serves the map.
  if (!g_report_path.empty() && g_map_path.empty()) return -1;
  // Standard error takes the record alone.
  if (g_map_path == "-" || g_report_path == "-") return -1;
  return taken;
}

void RefuseClashingRunFiles() {
  const std::string data_folder = FolderTextToPath(g_run.verzeichnis);
  const char* const protocol_word = g_reader ? "korvlas" : "korvfyll";
  const bool json_is_file = !g_json_path.empty() && g_json_path != "-";
  struct Option {
    const char* name;
    const std::string& path;
    bool is_file;
  };
  const Option options[] = {{"--json", g_json_path, json_is_file},
                            {"--karte", g_map_path, !g_map_path.empty()}};
  for (const Option& option : options) {
    if (!option.is_file) continue;
    const Place place = PlaceOf(option.path);
    const char* clash = nullptr;
    if (IsDataFileName(place.name) && InFolder(place, data_folder)) {
      clash = "eine Datendatei";
    } else if (g_run.protocol_active &&
               IsProtocolName(place.name, protocol_word) &&
               InFolder(place, HomePath())) {
      clash = "eine Protokolldatei";
    } else if (!g_report_path.empty() &&
               SamePlace(place, PlaceOf(g_report_path))) {
      clash = "den Schreibbericht";
    } else if (&option.path == &g_map_path && json_is_file &&
               SamePlace(place, PlaceOf(g_json_path))) {
      clash = "die Datei von --json";
    }
    if (clash == nullptr) continue;
    FatalLine(std::string(option.name) + " ueberschriebe " + clash + ": " +
                  EscapedText(option.path),
              kInvalidExitStatus);
  }
}

bool RunRecordWanted() {
  return !g_json_path.empty() || !g_map_path.empty();
}

void StartRunRecord(std::string_view program, bool stamped, uint64_t tag) {
  if (!RunRecordWanted()) return;
  g_program.assign(program);
  g_start_tick = MillisecondTick();
  if (g_json_path == "-") {
    g_fd = StandardErrorFd();
    g_fd_is_stderr = true;
  } else if (!g_json_path.empty()) {
    const int err = CreateRawFile(g_json_path, &g_fd);
    if (err != 0) Fatal(err, g_json_path);
    g_fd_is_stderr = false;
  }
  if (!g_map_path.empty()) {
    const int err = CreateRawFile(g_map_path, &g_map_fd);
    if (err != 0) Fatal(err, g_map_path);
  }
  std::string tag_hex;
  if (stamped) AppendHex16(&tag_hex, tag);
  MapReset();
  if (!g_report_path.empty()) ReadWriteReport(tag_hex);

  std::string folder = AbsolutePath(FolderTextToPath(g_run.verzeichnis));
  // No separator at the end, except that of a root ("/", "E:\\").
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\') &&
         !(folder.size() == 3 && folder[1] == ':')) {
    folder.pop_back();
  }
  const FileSystemFacts fs = FileSystemOf(NearestExistingFolder(folder));
  const bool writer = !g_reader;
  BeginLine("start");
  TextField("program", g_program);
  TextField("version", KORV_VERSION);
  Key("arguments");
  g_line.push_back('[');
  for (size_t i = 0; i < g_arguments.size(); ++i) {
    if (i > 0) g_line.push_back(',');
    AppendJsonString(&g_line, g_arguments[i]);
  }
  g_line.push_back(']');
  TextField("folder", folder);
  TextField("fs_type", fs.type);
  TextField("fs_device", fs.device);
  IntField("fs_bytes", fs.bytes);
  IntField("free_bytes", FreeBytesDataDrive());
  IntField("first_index", g_run.beginn);
  IntField("count", g_run.anzahl);
  if (writer) {
    IntField("file_bytes", g_run.data_file_size);
    TextField("fill", WriterFill());
    if (!g_run.stamped_fill && !g_run.random_fill) {
      IntField("fill_byte", g_run.zeichen);
    }
  } else {
    Key("fill");
    g_line.append(stamped ? "\"stamped\"" : "null");
  }
  if (stamped) {
    TextField("run_tag", tag_hex);
    TextField("run_tag_text", StampTagText(tag));
    // A fill that goes on with an earlier stamped run's tag.
    if (writer) {
      Key("run_continued");
      g_line.append(g_run.stamp_continued ? "true" : "false");
    }
  }
  TextField("started", IsoUtcText(EpochSeconds()));
  WriteLine(/*hold=*/false);

  g_map_title = g_program;
  if (stamped) {
    g_map_title += ": Kennung " + StampTagText(tag);
  } else {
    g_map_title += ": " + StampText();
  }
  if (!fs.device.empty()) g_map_title += " auf " + fs.device;
  g_map_place = "Ordner " + folder;
  if (!fs.type.empty()) g_map_place += " (" + fs.type + ")";

  g_started = true;
  SetRunObservers(RecordError, OnEnding, WriteHeldLines);
}

void NoteRunTimeEnded() { g_run_time_ended = true; }

void NoteReadFacts(const ReadFacts& facts) {
  g_facts = facts;
  g_facts_pending = true;
}

void RecordProgress() { WriteHeldLines(); }

void RecordFinishedFile() {
  if (!g_started) return;
  const int32_t index = g_run.current_index;
  const double seconds = StopwatchSeconds(kFileStopwatch);
  const bool read = g_reader && g_facts_pending;
  const int64_t bytes = read ? g_facts.bytes : g_run.data_file_size;
  const bool stamped = read && g_facts.stamped;
  g_facts_pending = false;

  if (g_fd >= 0) {
    BeginLine("file");
    IntField("index", index);
    // Data-file names are plain ASCII: no escaping, no allocation.
    Key("name");
    g_line.push_back('"');
    AppendDataFileName(&g_line, index);
    g_line.push_back('"');
    IntField("bytes", bytes);
    Key("seconds");
    AppendFixed(&g_line, seconds, 2);
    SpeedField(bytes, seconds);
    if (read) {
      IntField("distinct", g_facts.distinct);
      TextField("verdict", g_facts.wrong ? "wrong" : "ok");
    }
    if (stamped) {
      ClassCounts("sectors", g_facts.sectors);
      ClassCounts("sector_bytes", g_facts.sector_bytes);
      Key("first_bad_byte");
      if (g_facts.first_bad_byte >= 0) {
        AppendDecimal(&g_line, g_facts.first_bad_byte);
      } else {
        g_line.append("null");
      }
    }
    WriteLine(/*hold=*/true);
  }

  if (stamped && g_facts.first_bad_byte >= 0 && !g_bad_seen) {
    g_bad_seen = true;
    g_bad_index = index;
    g_bad_byte = g_facts.first_bad_byte;
    if (!g_map_path.empty()) {
      std::string label = "erster Fehler: ";
      AppendDataFileName(&label, index);
      label += " Byte ";
      AppendDecimal(&label, g_bad_byte);
      MapMarkFirstBad(MapPosition(kMapRun) + g_bad_byte, label);
    }
  }
  if (!g_map_path.empty()) {
    MapAddFile(kMapRun, bytes, seconds,
               stamped ? g_facts.sector_bytes : nullptr);
  }
  ++g_files;
  g_bytes += bytes;
  if (stamped) {
    g_any_stamped = true;
    for (int c = 0; c < kClasses; ++c) {
      g_sectors[c] += g_facts.sectors[c];
      g_sector_bytes[c] += g_facts.sector_bytes[c];
    }
  }
}

void RecordError(int err, std::string_view path) {
  if (!g_started || g_in_record || g_fd < 0) return;
  g_in_record = true;
  BeginLine("error");
  IntField("errno", err);
  TextField("text", IoErrorText(err));
  TextField("path", path);
  WriteLine(/*hold=*/false);
  g_in_record = false;
}

void AppendJsonString(std::string* out, std::string_view text) {
  constexpr char kDigits[] = "0123456789abcdef";
  out->push_back('"');
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c >= 0x80 ? Utf8Length(text, i) : 1;
    if (c >= 0x20 && c != 0x7F && c != '"' && c != '\\' && length > 0) {
      out->append(text.substr(i, length));
      i += length;
      continue;
    }
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        out->append("\\u00");
        out->push_back(kDigits[c >> 4]);
        out->push_back(kDigits[c & 0xF]);
        break;
    }
    ++i;
  }
  out->push_back('"');
}

std::string IsoUtcText(int64_t epoch_seconds) {
  // Days since 1970 to a civil date (Howard Hinnant's days_from_civil,
  // inverted), so that no system calendar is asked.
  int64_t days = epoch_seconds / 86400;
  int64_t rest = epoch_seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  std::string text;
  AppendZeroPadded(&text, year, 4);
  text += '-';
  AppendZeroPadded(&text, month, 2);
  text += '-';
  AppendZeroPadded(&text, day, 2);
  text += 'T';
  AppendZeroPadded(&text, rest / 3600, 2);
  text += ':';
  AppendZeroPadded(&text, rest / 60 % 60, 2);
  text += ':';
  AppendZeroPadded(&text, rest % 60, 2);
  text += 'Z';
  return text;
}

void TEST_ResetRunRecord() {
  if (g_fd >= 0 && !g_fd_is_stderr) CloseRawFile(g_fd);
  g_fd = -1;
  if (g_map_fd >= 0) CloseRawFile(g_map_fd);
  g_map_fd = -1;
  g_held.clear();
  g_started = false;
  g_reader = false;
  g_json_path.clear();
  g_map_path.clear();
  g_report_path.clear();
  g_arguments.clear();
  g_record_error = 0;
  g_facts_pending = false;
  g_files = 0;
  g_bytes = 0;
  g_any_stamped = false;
  for (int c = 0; c < kClasses; ++c) {
    g_sectors[c] = 0;
    g_sector_bytes[c] = 0;
  }
  g_bad_seen = false;
  g_map_note.clear();
  g_run_time_ended = false;
  MapReset();
  SetRunObservers(nullptr, nullptr, nullptr);
}

}  // namespace korv
