#include "reader/file_verdict.h"

#include <cstdint>
#include <string>

#include "reader/file_reader.h"
#include "reader/stamped_run.h"
#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/run/data_files.h"
#include "shared/run/record.h"
#include "shared/run/run_state.h"
#include "shared/stamp/stamp.h"

namespace korv {
namespace {

// Width of the "Zeichen:" lines before the next entry goes on a new line.
constexpr int kReportWidth = 76;

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

// Builds the "Zeichen:" line(s) and the "Anzahl:" text, which stays open for
// the completion step. Returns how many byte values occur.
int AppendHistogramLines(const ByteHistogram& histogram, std::string* text) {
  if (text->capacity() < 8192) text->reserve(8192);
  text->assign("Zeichen: ");
  int width = 0;
  int distinct = 0;
  for (int v = 0; v < 256; ++v) {
    int64_t c = histogram.counts[v];
    if (c <= 0) continue;
    width += DecimalDigits(c) + 6;
    if (width > kReportWidth) {
      text->push_back('\n');
      width = 0;
    }
    ++distinct;
    AppendDecimal(text, c);
    text->push_back('x');
    AppendLabel(text, v);
  }
  text->append("\nAnzahl:  ");
  AppendDecimal(text, histogram.total);
  text->append(" - Verschiedene: ");
  AppendDecimal(text, distinct);
  text->append("  - ");
  return distinct;
}

// The line of a wrong stamped file: its sectors per class and where the
// first bad one starts.
void AppendSectorLine(const StampTally& tally, int32_t index,
                      std::string* out) {
  out->append("Sektoren: ");
  for (int c = 0; c < kSectorClassCount; ++c) {
    if (c > 0) out->append(", ");
    AppendDecimal(out, tally.sectors[c]);
    out->push_back(' ');
    out->append(kClassWords[c]);
  }
  if (tally.bad_seen) {
    out->append(" - erster Fehler bei Byte ");
    AppendDecimal(out, FirstBadOffset(tally, index));
  }
}

// Hands what the report found in the file to the run record.
void NoteFileForRecord(const FileCount& count, int32_t index, bool stamped,
                       int distinct, bool wrong) {
  if (!RunRecordWanted()) return;
  ReadFacts facts;
  facts.bytes = count.bytes.total;
  facts.distinct = distinct;
  facts.wrong = wrong;
  facts.stamped = stamped;
  if (stamped) {
    for (int c = 0; c < kSectorClassCount; ++c) {
      facts.sectors[c] = count.tally.sectors[c];
      facts.sector_bytes[c] = count.tally.bytes[c];
    }
    if (count.tally.bad_seen) {
      facts.first_bad_byte = FirstBadOffset(count.tally, index);
    }
  }
  NoteReadFacts(facts);
}

// The start of the line of a file that cannot be read (no right to it, an
// I/O error, no regular file): a failure of the medium or of the folder.
void AppendUnreadableText(int32_t index, int err, const std::string& path,
                          std::string* out) {
  out->append("!!! ACHTUNG FEHLER !!!  Datei ");
  AppendDataFileName(out, index);
  out->append(" nicht lesbar: ");
  AppendIoError(out, err);
  RecordError(err, path);
}

// Prints a wrong-file line; with pausing on it waits for a key before the
// line ends.
void ShowWrongLine(const std::string& line) {
  Out(line);
  if (g_run.pausing) ReadKeyCode();
  OutLine();
}

}  // namespace

bool ReportFile(const FileRead& file, int32_t index, bool stamped,
                const std::string& path, std::string* text) {
  const int distinct = AppendHistogramLines(file.count.bytes, text);
  // A stamped file is judged by its sectors alone: a short one may lack
  // byte values, and a sound histogram says nothing about moved data. What
  // could not be read has a line of its own.
  bool wrong_data = distinct > 1 && distinct != 256;
  if (stamped) {
    int64_t bad_sectors = 0;
    for (SectorClass c : kBadClasses)
      bad_sectors += file.count.tally.sectors[c];
    wrong_data = bad_sectors > file.unread_sectors;
  }
  const bool unread = file.read_error != 0;
  NoteFileForRecord(file.count, index, stamped, distinct, wrong_data || unread);
  if (!wrong_data && !unread) {
    Out(*text);
    return false;
  }
  text->push_back('\n');
  if (wrong_data) {
    text->append("!!! ACHTUNG FEHLER !!!  falsche Zeichen in Datei ");
    AppendDataFileName(text, index);
    text->append("   >");
    ShowWrongLine(*text);
    text->clear();
  }
  if (unread) {
    AppendUnreadableText(index, file.read_error, path, text);
    text->append(" ab Byte ");
    AppendDecimal(text, file.read_error_offset);
    text->append(", ");
    AppendDecimal(text, file.unread_bytes);
    text->append(" Byte ungelesen   >");
    ShowWrongLine(*text);
  }
  if (stamped) {
    text->clear();
    AppendSectorLine(file.count.tally, index, text);
    OutLine(*text);
  }
  return true;
}

void ReportUnopenedFile(int32_t index, int err, const std::string& path,
                        std::string* text) {
  text->clear();
  AppendUnreadableText(index, err, path, text);
  text->append("   >");
  ShowWrongLine(*text);
}

}  // namespace korv
