#include "prober/prober_run.h"

#include <string>

#include "prober/probe.h"
#include "shared/format/format.h"
#include "shared/platform/clock.h"
#include "shared/platform/console.h"
#include "shared/platform/entropy.h"
#include "shared/platform/files.h"
#include "shared/platform/probe_file.h"
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

ProbeFile g_probe;

int WriteProbe(int64_t file_offset, const uint8_t* data, size_t length) {
  return WriteProbeFile(g_probe, file_offset, data, length);
}
int ReadProbe(int64_t file_offset, uint8_t* data, size_t length) {
  return ReadProbeFile(g_probe, file_offset, data, length);
}
int FlushProbe() { return SyncProbeFile(g_probe); }

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

// The one line for a folder where the quick check cannot run, with the
// commands of the full check.
int Advise(const std::string& reason, const std::string& folder) {
  std::string where = folder.empty() ? "." : folder;
  if (where.size() > 1 && where.back() == '/') where.pop_back();
  Report("Schnellpruefung nicht moeglich (" + reason +
         ") - ganz pruefen: korvfyll 1M PRUEF 0 10000000 N " + where +
         ", dann korvlas 0 10000000 N " + where);
  return kNoQuickCheckStatus;
}

int QuickCheck(const std::string& folder) {
  const std::string where = folder.empty() ? "." : folder;
  const int64_t free_bytes = FreeBytesOfPath(where);
  if (free_bytes < 0) Fatal(0, where);
  // What the file system keeps for itself grows with its size.
  const int64_t left_free = kLeftFree + free_bytes / 1024;
  const int64_t bytes = (free_bytes - left_free) / kProbeBlock * kProbeBlock;
  OutLine();
  if (bytes < kSmallestProbeFile) {
    return Advise("zu wenig freier Platz", folder);
  }
  int err = CreateProbeFile(folder, bytes, &g_probe);
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
  if (err != 0) Fatal(err, where);

  const std::string device = "Datentraeger " + g_probe.device + ": ";
  Report(device + "angekuendigt " + SizeText(g_probe.device_size) +
         ", Probedatei " + SizeText(g_probe.file_size) + " in " +
         Grouped64(static_cast<int64_t>(g_probe.extents.size())) +
         " Bereichen");
  OutFlush();
  ProbeAccess access;
  access.write = WriteProbe;
  access.read = ReadProbe;
  access.flush = FlushProbe;
  access.round_done = RoundDone;
  ProbeOutcome outcome;
  StopwatchStart(kProbeStopwatch);
  err =
      RunProbe(g_probe.extents, g_probe.device_size,
               MakeStampTag(EpochSeconds(), RandomBits32()), access, &outcome);
  // The file goes with its room at once; on any other way out the system
  // takes it, since it never had a name.
  CloseProbeFile(&g_probe);
  StopwatchStop(kProbeStopwatch);
  if (err != 0) Fatal(err, where);

  std::string line = device + "angekuendigt " + SizeText(g_probe.device_size);
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
  Report(line);
  Report("Geschrieben: " + SizeText(outcome.bytes_written) + " in " +
         std::to_string(outcome.rounds) +
         (outcome.rounds == 1 ? " Runde, " : " Runden, ") +
         StopwatchDuration(kProbeStopwatch));
  if (!outcome.fault_found) {
    Report("Kein Hinweis auf fehlenden Speicher gefunden.");
    return 0;
  }
  Report(
      "!!! ACHTUNG FEHLER !!!  Die Karte hat weniger Speicher, als sie "
      "angibt");
  if (outcome.start_overwritten) {
    Report(
        "!!! Was ueber ihr Ende geht, schreibt die Karte auf ihren Anfang: "
        "das Dateisystem darauf ist beschaedigt, neu formatieren");
  }
  return kFakeCardStatus;
}

}  // namespace

ArgumentVerdict ParseProberArguments(int argc, const char* const* argv) {
  if (IsHelpSwitch(ArgumentText(argc, argv, 1))) return ArgumentVerdict::kHelp;
  const ArgumentVerdict verdict = ParseFolderArgument(argc, argv, 1);
  if (verdict != ArgumentVerdict::kRun) return verdict;
  return ParseProtocolArgument(argc, argv, 2);
}

void ShowProberUsage() {
  // clang-format off
  OutLine();
  OutLine("Aufruf: Korvprov [verzeichnis] [protokoll]");
  OutLine();
  OutLine("verzeichnis auf der Karte (Standard: Aktuelles)");
  OutLine();
  OutLine("protokoll schreibt Protokoll mit max n Eintraegen       Werte: [0] - 9999");
  OutLine();
  OutLine("Belegt den freien Platz mit einer Probedatei, ohne ihn zu beschreiben,");
  OutLine("schreibt Proben an ausgewaehlte Stellen, liest sie zurueck und findet,");
  OutLine("wo der echte Speicher endet. Die Probedatei verschwindet immer wieder.");
  OutLine();
  OutLine("Beispiel: Korvprov /media/karte");
  OutLine("prueft die Karte unter /media/karte in etwa einer Minute");
  OutLine();
  OutLine("Ende: 0 = in Ordnung, 65 = weniger Speicher als angegeben,");
  OutLine("      69 = hier nicht moeglich (dann korvfyll ... PRUEF und korvlas)");
  // clang-format on
}

int RunProber(int argc, const char* const* argv) {
  ClearScreen();
  OutLine(kProberTitle);
  OutLine();
  OutLine(kDescription);
  HomeFolderLookup(kProductWord);
  SettleVerdict(ParseProberArguments(argc, argv), ShowProberUsage);
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
  const int status = QuickCheck(folder);
  StopwatchStop(kRunStopwatch, &time_text);
  if (g_run.protocol_active) {
    ProtocolWriteLine("");
    ProtocolWriteLine(time_text + "   " + StopwatchDuration(kRunStopwatch) +
                      "   Gesamtzeit");
    CloseProtocolFile();
    SummaryDisplay();
  }
  OutLine();
  OutLine("Korvprov ist beendet.   " + StopwatchDuration(kRunStopwatch));
  return status;
}

}  // namespace korv
