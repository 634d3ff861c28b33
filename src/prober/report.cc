#include "prober/report.h"

#include <string>

#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/stamp/stamp.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

std::string FullCheckCommands(const std::string& folder) {
  std::string where = folder.empty() ? "." : folder;
  if (where.size() > 1 && where.back() == '/') where.pop_back();
  return "korvfyll 1M PRUEF 0 10000000 N " + where +
         ", dann korvlas 0 10000000 N " + where;
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

Finding g_finding;

}  // namespace

void RoundDone(int round, int64_t places, int64_t bad_places) {
  OutLine("Runde " + std::to_string(round) + ": " + Grouped64(places) +
          " Stellen, " + Grouped64(bad_places) + " falsch");
  OutFlushIfTerminal();
}

void Report(const std::string& line) {
  OutLine(line);
  if (g_run.protocol_active) WriteWrappedProtocolLine(line);
}

std::string SectorText(int64_t byte) {
  return "Sektor " + std::to_string(byte / static_cast<int64_t>(kSectorSize));
}

int Advise(const std::string& reason, const std::string& folder) {
  Report("Schnellpruefung nicht moeglich (" + reason +
         ") - ganz pruefen: " + FullCheckCommands(folder));
  return kNoQuickCheckStatus;
}

int AdviseDevice(const std::string& reason, const std::string& folder,
                 const std::string& device) {
  Report("Schnellpruefung im Verzeichnis nicht moeglich (" + reason +
         ") - ausgehaengt pruefen: korvprov " + device +
         ", oder ganz pruefen: " + FullCheckCommands(folder));
  return kNoQuickCheckStatus;
}

Finding* LastFinding() { return &g_finding; }

int ReportOutcome(const std::string& device, int64_t announced,
                  const ProbeOutcome& outcome, bool whole_device,
                  const std::string& folder, const std::string& whole) {
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
          whole + ", oder ganz pruefen: " + FullCheckCommands(folder));
      return kNoQuickCheckStatus;
    }
    if (outcome.cache_ruled_out < kCacheToRuleOut) {
      g_finding.verdict = "offen";
      Report("Kein Fehler gesehen, doch ein Zwischenspeicher ueber " +
             SizeText(outcome.cache_ruled_out) +
             " koennte fehlenden Speicher verbergen - ganz pruefen: " +
             FullCheckCommands("<Ordner der Karte>"));
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

}  // namespace korv
