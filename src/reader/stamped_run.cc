#include "reader/stamped_run.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "reader/stretch_count.h"
#include "shared/format/format.h"
#include "shared/lists/keyed_list.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/data_files.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/stamp/stamp.h"

namespace korv {
namespace {

// How many files between the range's first and last ones the look for a
// stamp may open when neither end shows one.
constexpr int64_t kStampLookFiles = 16;

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

// Looks at the first length bytes (at most a block) of the file with index
// for stamps. A file that cannot be opened or read is passed over: its file
// step names it.
void LookForStamps(int32_t index, size_t length, StampLook* look) {
  int fd = -1;
  if (OpenRawFileForReading(DataFilePath(index), &fd) != 0) return;
  alignas(64) uint8_t block[kReadBlockSize];
  size_t got = 0;
  const int rc = ReadRawBlock(fd, block, length, &got);
  CloseRawFile(fd);
  if (rc != 0) return;
  for (size_t offset = 0; offset < got; offset += kSectorSize) {
    const size_t n = std::min(kSectorSize, got - offset);
    const uint64_t position =
        StampPosition(index, static_cast<int64_t>(offset));
    uint64_t tag = 0;
    if (FindStampTag(block + offset, n, &tag)) {
      // The newest tag is the run's: a card that kept an older run's data
      // in one of the places looked at then shows it as stale.
      if (!look->found || tag > look->tag) look->tag = tag;
      look->found = true;
    } else if (!look->header_found &&
               FindStampHeader(block + offset, n, position, &tag)) {
      look->header_found = true;
      look->header_tag = tag;
    }
  }
  uint64_t tag = 0;
  if (got > look->short_length &&
      FindShortStamp(block, got, StampPosition(index, 0), &tag)) {
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

// Where the bad data lies on the device, for a partitioning tool: the
// device sector of the first bad byte and, when sectors moved, the sector
// the lowest moved write was meant for, which is where the real memory
// ends. Nothing where the file system cannot tell where its files lie.
void DevicePlaceLine(const StampedRun& run) {
  if (!run.tally.bad_seen) return;
  DevicePlace first;
  if (!DevicePlaceOfFileByte(DataFilePath(run.first_bad_index),
                             run.first_bad_offset, &first)) {
    return;
  }
  std::string line = "Datentraeger " + first.device;
  line += ": erster Fehler bei Sektor ";
  line += std::to_string(first.byte / kSectorSize);
  const uint64_t target = run.tally.lowest_moved_target;
  DevicePlace end;
  if (target != UINT64_MAX &&
      DevicePlaceOfFileByte(
          DataFilePath(static_cast<int32_t>(target >> kFilePositionShift)),
          static_cast<int64_t>(target &
                               ((UINT64_C(1) << kFilePositionShift) - 1)),
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

int64_t FirstBadOffset(const StampTally& tally, int32_t index) {
  return static_cast<int64_t>(tally.first_bad_position -
                              StampPosition(index, 0));
}

void DecideStamps(StampedRun* run) {
  *run = StampedRun();
  if (g_run.run_total < 1) return;
  // Every sector of the first block of both end files, so that one damaged
  // sector does not hide the run; where neither shows a stamp, the first
  // sectors of files between, spread over the range.
  StampLook look;
  const int32_t first = IndexAt(1);
  const int32_t last = IndexAt(g_run.run_total);
  if (first >= 0) LookForStamps(first, kReadBlockSize, &look);
  if (last >= 0 && last != first) LookForStamps(last, kReadBlockSize, &look);
  const int64_t between = g_run.run_total - 2;
  const int64_t stride =
      std::max<int64_t>(1, (between + kStampLookFiles - 1) / kStampLookFiles);
  for (int64_t p = 2; !look.found && p < g_run.run_total; p += stride) {
    const int32_t index = IndexAt(p);
    if (index >= 0) LookForStamps(index, kSectorSize, &look);
  }
  if (look.found) {
    run->on = true;
    run->tag_known = true;
    run->tag = look.tag;
  } else if (look.short_length > 0) {
    // Files shorter than a stamp's header: each is judged as the start of
    // its stamped sector, its position and the tag bytes seen.
    run->on = true;
    run->tag = look.short_tag;
  } else if (look.header_found) {
    // No sector is intact, but the files are stamped data: they are
    // checked against the tag their headers name, and fail.
    run->on = true;
    run->tag_known = true;
    run->tag = look.header_tag;
  }
}

void AddFileToRun(const StampTally& file, int32_t index, StampedRun* run) {
  for (int c = 0; c < kSectorClassCount; ++c) {
    run->tally.sectors[c] += file.sectors[c];
    run->tally.bytes[c] += file.bytes[c];
  }
  if (file.bad_seen && !run->tally.bad_seen) {
    run->tally.bad_seen = true;
    run->first_bad_index = index;
    run->first_bad_offset = FirstBadOffset(file, index);
  }
  run->tally.lowest_moved_target =
      std::min(run->tally.lowest_moved_target, file.lowest_moved_target);
  if (file.stale_seen && !run->tally.stale_seen) {
    run->tally.stale_seen = true;
    run->tally.stale_tag = file.stale_tag;
  }
}

void PrintRunTotals(const StampedRun& run) {
  if (!run.on) return;
  std::string line = "Pruefmuster, Kennung ";
  line += run.tag_known ? StampTagText(run.tag)
                        : std::string("unbekannt (kurze Dateien)");
  line += ": ";
  line += SizeText(run.tally.bytes[kSectorOk]);
  line += " ok - verloren: ";
  bool first = true;
  for (SectorClass c : kBadClasses) {
    if (!first) line += ", ";
    first = false;
    line += SizeText(run.tally.bytes[c]);
    line += ' ';
    line += kClassWords[c];
  }
  line += " - erster Fehler: ";
  if (run.tally.bad_seen) {
    AppendDataFileName(&line, run.first_bad_index);
    line += " Byte ";
    AppendDecimal(&line, run.first_bad_offset);
  } else {
    line += "keiner";
  }
  if (run.tally.stale_seen) {
    // Another run's data: older where the card kept what an earlier run
    // left, newer where a later run wrote over part of the range.
    const int64_t other = StampTagSeconds(run.tally.stale_tag);
    const int64_t own = StampTagSeconds(run.tag);
    line += other < own   ? " - alte Daten: Kennung "
            : other > own ? " - neuere Daten: Kennung "
                          : " - andere Daten: Kennung ";
    line += StampTagText(run.tally.stale_tag);
  }
  OutLine();
  OutLine(line);
  if (g_run.protocol_active) {
    ProtocolWriteLine("");
    WriteWrappedProtocolLine(line);
  }
  DevicePlaceLine(run);
}

}  // namespace korv
