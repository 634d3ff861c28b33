#include "prober/prober_run.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "prober/device_check.h"
#include "prober/probe.h"
#include "prober/report.h"
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

// Left free beside the probe file, so that the disk is never full while it
// stands: the file system's own records of the probe's writes and other
// programs' files fit in it.
constexpr int64_t kLeftFree = 4 * kMiB;
// A probe file smaller than this finds nothing worth the name.
constexpr int64_t kSmallestProbeFile = 4 * kMiB;

ProbeFile g_probe;

int WriteProbe(int64_t file_offset, const uint8_t* data, size_t length) {
  return WriteProbeFile(g_probe, file_offset, data, length);
}
int ReadProbe(int64_t file_offset, uint8_t* data, size_t length) {
  return ReadProbeFile(g_probe, file_offset, data, length);
}
int FlushProbe() { return SyncProbeFile(g_probe); }

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
  return ReportOutcome(device, g_probe.device_size, outcome, false, folder,
                       g_probe.device);
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

// Several cards at once: each is checked in a process of its own, its
// lines shown as they come behind its device, and a table closes the run.
std::vector<Finding> g_findings;
// Starts the line by which a check of several hands its table row over.
constexpr char kRowMark = '\x01';

int CheckOneOfSeveral(int index) {
  g_run.protocol_active = false;  // the parent keeps the protocol
  const int status = DeviceCheck(g_command.devices[static_cast<size_t>(index)]);
  const Finding& found = *LastFinding();
  OutLine(std::string(1, kRowMark) + std::to_string(found.announced) + "\t" +
          found.end + "\t" + found.cache + "\t" + found.verdict);
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
    if (g_command.adjust) status = AdjustCard(g_command.devices[0], status);
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
