#include "prober/device_check.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "prober/backup.h"
#include "prober/partition_table.h"
#include "prober/probe.h"
#include "prober/report.h"
#include "shared/format/format.h"
#include "shared/platform/block_device.h"
#include "shared/platform/clock.h"
#include "shared/platform/console.h"
#include "shared/platform/entropy.h"
#include "shared/platform/probe_file.h"
#include "shared/run/work_folder.h"
#include "shared/stamp/stamp.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

// A device is read for keeping in pieces of this size.
constexpr int64_t kKeepPiece = kMiB;
// A card smaller than this finds nothing worth the name.
constexpr int64_t kSmallestCard = 4 * kMiB;

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
    // A mount point is anybody's text: shown without its control bytes.
    Report("Datentraeger " + EscapedText(path) + " ist in Benutzung" +
           (in_use_at.empty()
                ? std::string()
                : " (eingehaengt: " + EscapedText(in_use_at) + ")") +
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

// What the last check of a device found, for --anpassen.
ProbeOutcome g_device_outcome;

}  // namespace

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
  if (g_device.size < kSmallestCard) {
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
  int status = ReportOutcome(device, g_device.size, outcome, true, path, path);
  if (!restored && status == 0) status = kFakeCardStatus;
  return status;
}

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

int AdjustCard(const std::string& path, int status) {
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

}  // namespace korv
