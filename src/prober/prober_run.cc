#include "prober/prober_run.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "prober/backup.h"
#include "prober/partition_table.h"
#include "prober/probe.h"
#include "shared/format/format.h"
#include "shared/platform/block_device.h"
#include "shared/platform/clock.h"
#include "shared/platform/console.h"
#include "shared/platform/entropy.h"
#include "shared/platform/files.h"
#include "shared/platform/probe_file.h"
#include "shared/platform/side_by_side.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/run/work_folder.h"
#include "shared/stamp/stamp.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

constexpr char kDescription[] =
    "Prueft schnell, ob eine Karte den Speicher hat, den sie angibt...";
constexpr char kProductWord[] = "korvamel";
constexpr char kProtocolBaseWord[] = "korvprov";
constexpr uint16_t kProbeStopwatch = kFileStopwatch;

constexpr int64_t kMiB = int64_t{1} << 20;
// Left free beside the probe file, so that the disk is never full while it
// stands: the file system's own records of the probe's writes and other
// programs' files fit in it.
constexpr int64_t kLeftFree = 4 * kMiB;
// A probe file smaller than this finds nothing worth the name.
constexpr int64_t kSmallestProbeFile = 4 * kMiB;

// A device is read for keeping in pieces of this size.
constexpr int64_t kKeepPiece = kMiB;

ProbeFile g_probe;

int WriteProbe(int64_t file_offset, const uint8_t* data, size_t length) {
  return WriteProbeFile(g_probe, file_offset, data, length);
}
int ReadProbe(int64_t file_offset, uint8_t* data, size_t length) {
  return ReadProbeFile(g_probe, file_offset, data, length);
}
int FlushProbe() { return SyncProbeFile(g_probe); }

// The whole device: its blocks are kept before they are written, and a
// block that could not be read first is never written.
BlockDevice g_device;
std::vector<bool> g_unreadable;  // by block
uint8_t* g_keep_buffer = nullptr;

bool Unreadable(int64_t offset, size_t length) {
  for (int64_t b = offset / kProbeBlock;
       b < (offset + static_cast<int64_t>(length)) / kProbeBlock; ++b) {
    if (g_unreadable[static_cast<size_t>(b)]) return true;
  }
  return false;
}

int WriteDevice(int64_t offset, const uint8_t* data, size_t length) {
  if (!Unreadable(offset, length)) {
    return WriteBlockDevice(g_device, offset, data, length);
  }
  // Around what could not be kept, block by block; the write counts as
  // failed.
  for (size_t at = 0; at < length; at += kProbeBlock) {
    const int64_t block = offset + static_cast<int64_t>(at);
    if (Unreadable(block, kProbeBlock)) continue;
    const int err = WriteBlockDevice(g_device, block, data + at, kProbeBlock);
    if (err != 0) return err;
  }
  return 5;  // EIO, as the card would answer
}

int ReadDevice(int64_t offset, uint8_t* data, size_t length) {
  return ReadBlockDevice(g_device, offset, data, length);
}

int FlushDevice() { return SyncBlockDevice(g_device); }

int KeepBlocks(const std::vector<std::pair<int64_t, int64_t>>& ranges) {
  for (const auto& [from, to] : ranges) {
    for (int64_t at = from; at < to;) {
      int64_t length = std::min<int64_t>(to - at, kKeepPiece);
      // Later rounds write the same region behind their probes again: what
      // is kept already is not read twice.
      bool kept = true;
      for (int64_t b = 0; kept && b < length; b += kProbeBlock) {
        kept = BackupHas(at + b) ||
               g_unreadable[static_cast<size_t>((at + b) / kProbeBlock)];
      }
      if (kept) {
        at += length;
        continue;
      }
      int err = ReadBlockDevice(g_device, at, g_keep_buffer,
                                static_cast<size_t>(length));
      if (err != 0 && IsMediumError(err) && length > kProbeBlock) {
        length = kProbeBlock;  // block by block where the card fails
        err = ReadBlockDevice(g_device, at, g_keep_buffer, kProbeBlock);
      }
      if (err != 0 && !IsMediumError(err)) return err;
      for (int64_t b = 0; b < length; b += kProbeBlock) {
        if (err != 0) {
          g_unreadable[static_cast<size_t>((at + b) / kProbeBlock)] = true;
        } else {
          BackupAdd(at + b, g_keep_buffer + b);
        }
      }
      at += length;
    }
  }
  return BackupSave();
}

void RoundDone(int round, int64_t places, int64_t bad_places) {
  OutLine("Runde " + std::to_string(round) + ": " + Grouped64(places) +
          " Stellen, " + Grouped64(bad_places) + " falsch");
  OutFlushIfTerminal();
}

// A result line: on the console and in the protocol.
void Report(const std::string& line) {
  OutLine(line);
  if (g_run.protocol_active) WriteWrappedProtocolLine(line);
}

std::string SectorText(int64_t byte) {
  return "Sektor " + std::to_string(byte / static_cast<int64_t>(kSectorSize));
}

std::string FullCheckCommands(const std::string& folder) {
  std::string where = folder.empty() ? "." : folder;
  if (where.size() > 1 && where.back() == '/') where.pop_back();
  return "korvfyll 1M PRUEF 0 10000000 N " + where +
         ", dann korvlas 0 10000000 N " + where;
}

// The one line for a folder where the quick check cannot run, with the
// commands of the full check.
int Advise(const std::string& reason, const std::string& folder) {
  Report("Schnellpruefung nicht moeglich (" + reason +
         ") - ganz pruefen: " + FullCheckCommands(folder));
  return kNoQuickCheckStatus;
}

// The same where the whole device could be checked instead.
int AdviseDevice(const std::string& reason, const std::string& folder,
                 const std::string& device) {
  Report("Schnellpruefung im Verzeichnis nicht moeglich (" + reason +
         ") - ausgehaengt pruefen: korvprov " + device +
         ", oder ganz pruefen: " + FullCheckCommands(folder));
  return kNoQuickCheckStatus;
}

std::string CacheText(const ProbeOutcome& outcome) {
  if (!outcome.fault_found) {
    return "Zwischenspeicher: bis " + SizeText(outcome.cache_ruled_out) +
           " ausgeschlossen";
  }
  if (outcome.cache_low == 0) {
    return "Zwischenspeicher: hoechstens " + SizeText(outcome.cache_high);
  }
  return "Zwischenspeicher: mehr als " + SizeText(outcome.cache_low) +
         ", hoechstens " + SizeText(outcome.cache_high);
}

// What a check found, for the closing table of several devices.
struct Finding {
  std::string device;
  int64_t announced = 0;
  std::string end = "-";
  std::string cache = "-";
  std::string verdict = "-";
};
Finding g_finding;

// The result lines of a search; returns the status they stand for.
int ReportOutcome(const std::string& device, int64_t announced,
                  const ProbeOutcome& outcome, bool whole_device,
                  const std::string& folder) {
  std::string line = device + "angekuendigt " + SizeText(announced);
  if (!outcome.fault_found) {
    line += ", kein Fehler von " + SectorText(outcome.checked_from) + " bis " +
            SectorText(outcome.checked_to);
  } else if (outcome.end_low == outcome.end_high) {
    line += ", echter Speicher endet bei " + SectorText(outcome.end_high) +
            " (" + SizeText(outcome.end_high) + ")";
  } else {
    line += ", echter Speicher endet zwischen " + SectorText(outcome.end_low) +
            " (" + SizeText(outcome.end_low) + ") und " +
            SectorText(outcome.end_high) + " (" + SizeText(outcome.end_high) +
            ")";
  }
  if (outcome.error_found) {
    line += ", Fehler ab " + SectorText(outcome.error_from);
  }
  Report(line);
  Report(CacheText(outcome));
  g_finding.announced = announced;
  g_finding.cache = CacheText(outcome).substr(sizeof "Zwischenspeicher: " - 1);
  Report("Geschrieben: " + SizeText(outcome.bytes_written) + " in " +
         std::to_string(outcome.rounds) +
         (outcome.rounds == 1 ? " Runde, " : " Runden, ") +
         StopwatchDuration(kProbeStopwatch));
  if (!outcome.fault_found) {
    if (!whole_device) {
      // Writes that land where the file system keeps its own records, or
      // in the room left free beside the probe file, do not show.
      g_finding.verdict = "offen";
      Report(
          "Kein Fehler im Probebereich, doch Speicher, der auf das "
          "Dateisystem selbst faellt, sieht nur die Pruefung des Geraets "
          "- ausgehaengt pruefen: korvprov " +
          g_probe.device + ", oder ganz pruefen: " + FullCheckCommands(folder));
      return kNoQuickCheckStatus;
    }
    if (outcome.cache_ruled_out < kCacheToRuleOut) {
      g_finding.verdict = "offen";
      Report("Kein Fehler gesehen, doch ein Zwischenspeicher ueber " +
             SizeText(outcome.cache_ruled_out) +
             " koennte fehlenden Speicher verbergen - ganz pruefen: " +
             FullCheckCommands(whole_device ? "<Karte>" : folder));
      return kNoQuickCheckStatus;
    }
    g_finding.verdict = "in Ordnung";
    Report("Kein Hinweis auf fehlenden Speicher gefunden.");
    return 0;
  }
  g_finding.verdict = "FALSCH";
  g_finding.end =
      outcome.end_low == outcome.end_high
          ? SizeText(outcome.end_high)
          : SizeText(outcome.end_low) + " - " + SizeText(outcome.end_high);
  Report(
      "!!! ACHTUNG FEHLER !!!  Die Karte hat weniger Speicher, als sie "
      "angibt");
  if (outcome.start_overwritten) {
    Report(
        "!!! Was ueber ihr Ende geht, schreibt die Karte auf ihren Anfang: "
        "das Dateisystem darauf ist beschaedigt, neu formatieren");
  } else if (!whole_device) {
    Report("!!! Dateien auf der Karte koennen beschaedigt sein");
  }
  return kFakeCardStatus;
}

int QuickCheck(const std::string& folder) {
  const std::string where = folder.empty() ? "." : folder;
  int err = 0;
  const int folder_fd = OpenFolderHandle(where);
  const int64_t free_bytes = FreeBytesOfFd(folder_fd, &err);
  if (folder_fd >= 0) CloseRawFile(folder_fd);
  if (free_bytes < 0) Fatal(err != 0 ? err : 5, where);  // EIO
  // What the file system keeps for itself grows with its size.
  const int64_t left_free = kLeftFree + free_bytes / 1024;
  const int64_t bytes = (free_bytes - left_free) / kProbeBlock * kProbeBlock;
  OutLine();
  if (bytes < kSmallestProbeFile) {
    return Advise("zu wenig freier Platz", folder);
  }
  err = CreateProbeFile(folder, bytes, &g_probe);
  if (err == kProbeNoAllocation) {
    return Advise("das Dateisystem belegt keinen Platz, ohne ihn zu schreiben",
                  folder);
  }
  if (err == kProbeNoPlaceMap) {
    return Advise("das Dateisystem sagt nicht, wo eine Datei liegt", folder);
  }
  if (err == kProbeNotOnThisSystem) {
    return Advise("unter Windows nicht verfuegbar", folder);
  }
  if (err == kProbeNotDirect) {
    return AdviseDevice(
        "das Dateisystem schreibt an der Karte vorbei in "
        "den Speicher des Rechners",
        folder, g_probe.device);
  }
  if (err == kProbeFilesOnCard) {
    return AdviseDevice(
        "Dateien auf der Karte; was ueber das Ende geht, "
        "koennte sie beschaedigen",
        folder, g_probe.device);
  }
  if (err != 0) Fatal(err, where);

  const std::string device = "Datentraeger " + g_probe.device + ": ";
  Report(device + "angekuendigt " + SizeText(g_probe.device_size) +
         ", Probedatei " + SizeText(g_probe.file_size) + " in " +
         Grouped64(static_cast<int64_t>(g_probe.extents.size())) +
         " Bereichen");
  OutFlush();
  const ProbeAccess access = {WriteProbe, ReadProbe, FlushProbe, RoundDone};
  ProbeOutcome outcome;
  StopwatchStart(kProbeStopwatch);
  err =
      RunProbe(g_probe.extents, g_probe.device_size,
               MakeStampTag(EpochSeconds(), RandomBits32()), access, &outcome);
  // The file goes with its room at once; on any other way out the system
  // takes it, since it never had a name.
  CloseProbeFile(&g_probe);
  StopwatchStop(kProbeStopwatch);
  HandlePendingSignal();
  if (err != 0) Fatal(err, where);
  return ReportOutcome(device, g_probe.device_size, outcome, false, folder);
}

// Where the blocks lie that push a card's cache out after the restore: as
// much as the search may write behind its probes, at the card's end.
void PushRegion(int64_t size, int64_t* from, int64_t* bytes) {
  const std::vector<int64_t> steps = CacheFlushSteps(size, size);
  *bytes = steps.empty() ? 0 : steps.back();
  *from = (size - *bytes) / kProbeBlock * kProbeBlock;
}

// Writes the kept blocks back and says so; false (the backup file stays)
// when the card does not give them back as written.
bool RestoreCard(const std::string& device, const std::string& backup,
                 int64_t push_from, int64_t push_bytes) {
  BackupDevice access;
  access.write = WriteDevice;
  access.read = ReadDevice;
  access.flush = FlushDevice;
  RestoreOutcome restored;
  const int err = BackupRestore(access, push_from, push_bytes, &restored);
  if (err != 0) {
    Report("Sicherung bleibt: korvprov --zurueck=" + backup + " " + device);
    Fatal(err, device);
  }
  if (restored.mismatched != 0) {
    Report("!!! ACHTUNG FEHLER !!!  " + Grouped64(restored.mismatched) +
           " zurueckgeschriebene Bloecke lesen sich anders - Sicherung "
           "bleibt: " +
           backup);
    return false;
  }
  Report("Zurueckgeschrieben: " + Grouped64(restored.blocks) + " Bloecke (" +
         SizeText(restored.blocks * kBackupBlock) +
         "), wieder gelesen und gleich");
  const int gone = BackupDiscard();
  if (gone != 0) ReportError(gone, backup);
  return true;
}

// Opens the device named on the command line for the check, or ends the
// run: a device in use is never written (kFolderBusyExitStatus).
void OpenDevice(const std::string& path) {
  std::string in_use_at;
  const int err = OpenBlockDevice(path, &g_device, &in_use_at);
  if (err == kDeviceInUse) {
    Report("Datentraeger " + path + " ist in Benutzung" +
           (in_use_at.empty() ? std::string()
                              : " (eingehaengt: " + in_use_at + ")") +
           " - erst aushaengen, nichts geschrieben");
    ExitProgram(kFolderBusyExitStatus);
  }
  if (err == kDeviceNotOnThisSystem) {
    ExitProgram(Advise("unter Windows nicht verfuegbar", path));
  }
  if (err != 0) Fatal(err, path);
  g_unreadable.assign(static_cast<size_t>(g_device.size / kProbeBlock) + 1,
                      false);
  g_keep_buffer = static_cast<uint8_t*>(AllocateProbeBuffer(kKeepPiece));
  if (g_keep_buffer == nullptr) Fatal(12, path);
}

BackupCard CardOf(const BlockDevice& device) {
  BackupCard card;
  card.device = device.path;
  card.size = device.size;
  card.serial = device.serial;
  return card;
}

ProbeOutcome g_device_outcome;

// The check of a whole device: every block it writes is read and kept
// first, and written back at the end.
int DeviceCheck(const std::string& path) {
  OutLine();
  OpenDevice(path);
  BackupCard card = CardOf(g_device);
  std::string pending;
  if (FindPendingBackup(HomePath(), card, &pending)) {
    Report("Datentraeger " + path +
           ": ein frueherer Lauf hat seine Sicherung nicht zurueckgeschrieben"
           " - erst: korvprov --zurueck=" +
           pending + " " + path);
    return kFolderBusyExitStatus;
  }
  const std::string device = "Datentraeger " + path + ": ";
  if (g_device.size < kSmallestProbeFile) {
    return Advise("zu klein", path);
  }
  card.tag = MakeStampTag(EpochSeconds(), RandomBits32());
  const std::string backup = BackupPathFor(HomePath(), g_device.name);
  BackupStart(backup, card);
  Report(device + "angekuendigt " + SizeText(g_device.size) +
         ", ganzes Geraet, Sicherung: " + backup);
  OutFlush();
  const ProbeAccess access = {WriteDevice, ReadDevice, FlushDevice, RoundDone,
                              KeepBlocks};
  const std::vector<FileExtent> whole = {{0, 0, g_device.size}};
  ProbeOutcome outcome;
  // Ctrl-C and the like wait until the card has its data back.
  DeferSignalDeath(true);
  StopwatchStart(kProbeStopwatch);
  // Kept before the first write, the blocks that push the card's cache
  // out after the restore: as much as the search may write behind its
  // probes, from the card's end down.
  int64_t push_from = 0, push_bytes = 0;
  PushRegion(g_device.size, &push_from, &push_bytes);
  int err = KeepBlocks({{push_from, push_from + push_bytes}});
  if (err == 0) {
    err = RunProbe(whole, g_device.size, card.tag, access, &outcome);
  }
  StopwatchStop(kProbeStopwatch);
  if (err != 0 && err != kProbeStopped) {
    // A card that went away cannot be given its data back now.
    Report("Sicherung bleibt: korvprov --zurueck=" + backup + " " + path);
    Fatal(err, path);
  }
  const bool restored = RestoreCard(
      path, backup, push_from, outcome.fault_found ? outcome.cache_high : 0);
  DeferSignalDeath(false);
  g_device_outcome = outcome;
  int status = ReportOutcome(device, g_device.size, outcome, true, path);
  if (!restored && status == 0) status = kFakeCardStatus;
  return status;
}

// --zurueck=FILE: writes a backup left by a run that did not end back onto
// its card.
int RestoreFromFile(const std::string& file, const std::string& path) {
  OutLine();
  OpenDevice(path);
  BackupCard card;
  const int err = BackupLoad(file, &card);
  if (err == kNoBackup) {
    Report("Keine Sicherung von korvprov: " + file);
    return kInvalidExitStatus;
  }
  if (err != 0) Fatal(err, file);
  if (card.size != g_device.size) {
    Report("Die Sicherung gehoert zu " + card.device + " (" +
           SizeText(card.size) + "), nicht zu " + path + " (" +
           SizeText(g_device.size) + ") - nichts geschrieben");
    return kInvalidExitStatus;
  }
  Report("Datentraeger " + path + ": Sicherung von " + card.device + " (" +
         SizeText(card.size) + "), " + Grouped64(BackupBlocks()) + " Bloecke");
  DeferSignalDeath(true);
  // The cache's size is not known here: all of the blocks kept to push it
  // out go twice.
  int64_t push_from = 0, push_bytes = 0;
  PushRegion(card.size, &push_from, &push_bytes);
  const bool restored = RestoreCard(path, file, push_from, push_bytes);
  DeferSignalDeath(false);
  return restored ? 0 : kFakeCardStatus;
}

// The command line, options apart: --zurueck=FILE and --anpassen, then
// the devices or the folder, then protokoll.
struct ProberCommand {
  std::string restore_from;
  bool adjust = false;  // --anpassen
  std::vector<std::string> devices;
  std::vector<const char*> rest;  // argv without the options and devices
};
ProberCommand g_command;

// --anpassen: after a fake verdict, and a J, a new partition table with one
// FAT32 partition that ends where the card's real memory still holds.
int AdjustCard(int status) {
  const std::string& path = g_command.devices[0];
  if (status != kFakeCardStatus) {
    Report(
        "Nichts angepasst: die Pruefung hat keinen fehlenden Speicher "
        "gefunden");
    return status;
  }
  if (!g_device.whole) {
    Report("Nichts angepasst: " + path +
           " ist eine Partition, die "
           "Partitionstabelle steht auf dem ganzen Geraet");
    return status;
  }
  uint8_t* sector = static_cast<uint8_t*>(AllocateProbeBuffer(kProbeBlock));
  if (sector == nullptr) Fatal(12, path);  // ENOMEM
  const int64_t end = g_device_outcome.end_low;
  if (!BuildMbr(end, g_device.sector, RandomBits32(), sector)) {
    Report("Nichts angepasst: zu wenig echter Speicher fuer eine Partition");
    FreeProbeBuffer(sector);
    return status;
  }
  const std::string partition = FirstPartitionPath("/dev/" + g_device.name);
  const int64_t aligned_end = end / kPartitionStart * kPartitionStart;
  OutLine();
  Out("Neue Partitionstabelle mit " + partition + " von " +
      SizeText(kPartitionStart) + " bis " + SizeText(aligned_end) +
      ": alle Daten der Karte gehen verloren. Schreiben (J/N)? ");
  OutFlush();
  const uint8_t key = ReadKeyCode();
  OutLine();
  if (key != 'J' && key != 'j') {
    Report("Nichts angepasst.");
    FreeProbeBuffer(sector);
    return status;
  }
  // The table is the first 512 bytes of the first sector; a larger sector
  // keeps the rest of what it holds.
  int err = 0;
  if (g_device.sector > kMbrBytes) {
    std::vector<uint8_t> table(sector, sector + kMbrBytes);
    err = ReadBlockDevice(g_device, 0, sector,
                          static_cast<size_t>(g_device.sector));
    std::copy(table.begin(), table.end(), sector);
  }
  if (err == 0) {
    err = WriteBlockDevice(g_device, 0, sector,
                           static_cast<size_t>(g_device.sector));
  }
  if (err == 0) err = SyncBlockDevice(g_device);
  FreeProbeBuffer(sector);
  if (err != 0) Fatal(err, path);
  Report("Partitionstabelle geschrieben: " + partition + " von Sektor " +
         std::to_string(kPartitionStart / kSectorSize) + " bis Sektor " +
         std::to_string(aligned_end / static_cast<int64_t>(kSectorSize)) +
         " (" + SizeText(aligned_end - kPartitionStart) + ")");
  if (RereadPartitionTable(g_device) != 0) {
    Report("Karte einmal abziehen und wieder einstecken, dann:");
  }
  Report("Jetzt formatieren: mkfs.vfat -F 32 " + partition);
  return status;
}

// Several cards at once: each is checked in a process of its own, its
// lines shown as they come behind its device, and a table closes the run.
std::vector<Finding> g_findings;
// Starts the line by which a check of several hands its table row over.
constexpr char kRowMark = '\x01';

int CheckOneOfSeveral(int index) {
  g_run.protocol_active = false;  // the parent keeps the protocol
  g_finding = Finding();
  const int status = DeviceCheck(g_command.devices[static_cast<size_t>(index)]);
  OutLine(std::string(1, kRowMark) + std::to_string(g_finding.announced) +
          "\t" + g_finding.end + "\t" + g_finding.cache + "\t" +
          g_finding.verdict);
  return status;
}

void LineOfOneOfSeveral(int index, const std::string& text) {
  Finding& finding = g_findings[static_cast<size_t>(index)];
  if (!text.empty() && text[0] == kRowMark) {
    std::vector<std::string> fields;
    size_t from = 1;
    for (size_t tab; (tab = text.find('\t', from)) != std::string::npos;
         from = tab + 1) {
      fields.push_back(text.substr(from, tab - from));
    }
    fields.push_back(text.substr(from));
    if (fields.size() == 4) {
      finding.announced = std::strtoll(fields[0].c_str(), nullptr, 10);
      finding.end = fields[1];
      finding.cache = fields[2];
      finding.verdict = fields[3];
    }
    return;
  }
  if (text.empty()) return;
  const std::string shown = finding.device + ": " + text;
  OutLine(shown);
  if (g_run.protocol_active && text.rfind("Runde ", 0) != 0) {
    WriteWrappedProtocolLine(shown);
  }
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text + " ";
}

int SeveralDevices() {
  const int count = static_cast<int>(g_command.devices.size());
  g_findings.assign(static_cast<size_t>(count), Finding());
  for (int i = 0; i < count; ++i) {
    g_findings[static_cast<size_t>(i)].device =
        g_command.devices[static_cast<size_t>(i)];
  }
  std::vector<int> statuses;
  // Each child gives its card's data back before it ends; so does the
  // run, which waits for them all.
  DeferSignalDeath(true);
  if (!RunSideBySide(count, CheckOneOfSeveral, LineOfOneOfSeveral, &statuses)) {
    Fatal(11, g_command.devices[0]);  // EAGAIN: no process to run it in
  }
  DeferSignalDeath(false);
  OutLine();
  Report(Padded("Geraet", 14) + Padded("angekuendigt", 12) +
         Padded("echtes Ende", 22) + Padded("Zwischenspeicher", 26) +
         "Ergebnis");
  int status = 0;
  for (int i = 0; i < count; ++i) {
    Finding& finding = g_findings[static_cast<size_t>(i)];
    const int own = statuses[static_cast<size_t>(i)];
    if (finding.verdict == "-" && own != 0) {
      finding.verdict = own == kFolderBusyExitStatus
                            ? "in Benutzung"
                            : "Abbruch (" + std::to_string(own) + ")";
    }
    Report(
        Padded(finding.device, 14) +
        Padded(finding.announced > 0 ? SizeText(finding.announced) : "-", 12) +
        Padded(finding.end, 22) + Padded(finding.cache, 26) + finding.verdict);
    // The worst: a fake card, then any other end, then sound.
    if (own == kFakeCardStatus || (status != kFakeCardStatus && status == 0)) {
      status = own;
    }
  }
  return status;
}

// The protocol's last lines, its summary and the closing line.
int EndRun(int status, std::string* time_text) {
  StopwatchStop(kRunStopwatch, time_text);
  if (g_run.protocol_active) {
    ProtocolWriteLine("");
    ProtocolWriteLine(*time_text + "   " + StopwatchDuration(kRunStopwatch) +
                      "   Gesamtzeit");
    CloseProtocolFile();
    SummaryDisplay();
  }
  OutLine();
  OutLine("Korvprov ist beendet.   " + StopwatchDuration(kRunStopwatch));
  return status;
}

int DeviceRun() {
  OutLine();
  for (const std::string& device : g_command.devices) {
    OutLine("GERAET = " + device);
  }
  std::string time_text;
  StopwatchStart(kRunStopwatch, &time_text);
  ProtocolSpaceCheck();
  if (g_run.protocol_active) StartProtocolFile(kProtocolBaseWord, time_text);
  int status = 0;
  if (!g_command.restore_from.empty()) {
    status = RestoreFromFile(g_command.restore_from, g_command.devices[0]);
  } else if (g_command.devices.size() == 1) {
    status = DeviceCheck(g_command.devices[0]);
    if (g_command.adjust) status = AdjustCard(status);
  } else {
    status = SeveralDevices();
  }
  return EndRun(status, &time_text);
}

}  // namespace

ArgumentVerdict ParseProberArguments(int argc, const char* const* argv) {
  g_command = ProberCommand();
  g_command.rest.push_back(argc > 0 ? argv[0] : "korvprov");
  bool positional_seen = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!positional_seen && arg.rfind("--zurueck=", 0) == 0) {
      g_command.restore_from = arg.substr(sizeof "--zurueck=" - 1);
      if (g_command.restore_from.empty()) return ArgumentVerdict::kInvalid;
    } else if (!positional_seen && arg == "--anpassen") {
      g_command.adjust = true;
    } else if (!positional_seen && arg.rfind("--", 0) == 0 && arg.size() > 2) {
      return ArgumentVerdict::kInvalid;
    } else if (g_command.rest.size() == 1 && IsBlockDevicePath(arg)) {
      g_command.devices.push_back(arg);
      positional_seen = true;
    } else {
      g_command.rest.push_back(argv[i]);
      positional_seen = true;
    }
  }
  const int n = static_cast<int>(g_command.rest.size());
  const char* const* rest = g_command.rest.data();
  if (IsHelpSwitch(ArgumentText(n, rest, 1))) return ArgumentVerdict::kHelp;
  if (!g_command.devices.empty() || !g_command.restore_from.empty()) {
    // Devices take the folder's place; only protokoll may follow them.
    if (n > 2 || g_command.devices.empty()) return ArgumentVerdict::kInvalid;
    if (!g_command.restore_from.empty() && g_command.devices.size() != 1) {
      return ArgumentVerdict::kInvalid;
    }
    if (g_command.adjust &&
        (g_command.devices.size() != 1 || !g_command.restore_from.empty())) {
      return ArgumentVerdict::kInvalid;
    }
    return ParseProtocolArgument(n, rest, 1);
  }
  if (g_command.adjust) return ArgumentVerdict::kInvalid;
  const ArgumentVerdict verdict = ParseFolderArgument(n, rest, 1);
  if (verdict != ArgumentVerdict::kRun) return verdict;
  return ParseProtocolArgument(n, rest, 2);
}

void ShowProberUsage() {
  // clang-format off
  OutLine();
  OutLine("Aufruf: Korvprov [verzeichnis] [protokoll]");
  OutLine("        Korvprov geraet [geraet ...] [protokoll]");
  OutLine("        Korvprov --zurueck=datei geraet");
  OutLine("        Korvprov --anpassen geraet");
  OutLine();
  OutLine("verzeichnis auf der Karte (Standard: Aktuelles)");
  OutLine();
  OutLine("geraet: die ganze Karte, z.B. /dev/sdb (ausgehaengt, als root)");
  OutLine();
  OutLine("protokoll schreibt Protokoll mit max n Eintraegen       Werte: [0] - 9999");
  OutLine();
  OutLine("Auf einem Geraet: liest und sichert jede Stelle, bevor sie beschrieben");
  OutLine("wird, und schreibt am Ende alles zurueck (--zurueck nach einem Abbruch).");
  OutLine("Im Verzeichnis: belegt den freien Platz mit einer Probedatei, ohne ihn");
  OutLine("zu beschreiben (nur auf fast leerem ext4 oder xfs).");
  OutLine("Schreibt Proben an ausgewaehlte Stellen, liest sie zurueck und findet,");
  OutLine("wo der echte Speicher endet. --anpassen schreibt danach auf");
  OutLine("Nachfrage eine Partitionstabelle bis zum echten Ende.");
  OutLine();
  OutLine("Beispiel: Korvprov /dev/sdb");
  OutLine("prueft die Karte /dev/sdb in etwa einer Minute");
  OutLine();
  OutLine("Ende: 0 = in Ordnung, 65 = weniger Speicher als angegeben,");
  OutLine("      69 = hier nicht moeglich (dann korvfyll ... PRUEF und korvlas),");
  OutLine("      75 = Geraet in Benutzung");
  // clang-format on
}

int RunProber(int argc, const char* const* argv) {
  ClearScreen();
  OutLine(kProberTitle);
  OutLine();
  OutLine(kDescription);
  HomeFolderLookup(kProductWord);
  SettleVerdict(ParseProberArguments(argc, argv), ShowProberUsage);
  if (!g_command.devices.empty()) return DeviceRun();
  if (!g_run.verzeichnis.empty()) {
    OutLine();
    OutLine("VERZEICHNIS = " + g_run.verzeichnis);
  }
  const std::string folder = FolderTextToPath(g_run.verzeichnis);
  const int err = CheckFolderReadable(folder);
  if (err != 0) Fatal(err, folder.empty() ? "." : folder);

  std::string time_text;
  StopwatchStart(kRunStopwatch, &time_text);
  ProtocolSpaceCheck();
  if (g_run.protocol_active) StartProtocolFile(kProtocolBaseWord, time_text);
  return EndRun(QuickCheck(folder), &time_text);
}

}  // namespace korv
