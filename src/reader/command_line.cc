#include "reader/command_line.h"

#include "shared/platform/console.h"
#include "shared/run/record.h"
#include "shared/run/run_state.h"

namespace korv {

ArgumentVerdict ParseReaderArguments(int argc, const char* const* argv) {
  g_run.pausing = false;
  const int options = TakeRunOptions(argc, argv, /*reader=*/true);
  if (options < 0) return ArgumentVerdict::kInvalid;
  argc -= options;
  argv += options;
  if (argc <= 1) {
    SetWholeRange('A');
  } else {
    if (IsHelpSwitch(ArgumentText(argc, argv, 1))) return ArgumentVerdict::kHelp;
    ArgumentVerdict verdict = ParseRangeArguments(argc, argv, 1);
    if (verdict != ArgumentVerdict::kRun) return verdict;
  }
  g_run.protocol_active = g_run.protokoll >= 1;
  return ArgumentVerdict::kRun;
}

void ShowReaderUsage() {
  // clang-format off
  OutLine();
  OutLine("Aufruf: Korvlas [beginn] [anzahl] [loeschen] [verzeichnis] [protokoll]");
  OutLine();
  ShowRangeUsage("A(lle)");
  OutLine();
  OutLine("Beispiel: Korvlas 3 10 J");
  OutLine("liest Dateien N0000003.KVL - N0000012.KVL, werden anschliessend geloescht");
  OutLine();
  OutLine("Beispiel: Korvlas");
  OutLine("liest alle Dateien N0000000.KVL - N9999999.KVL, sofern vorhanden");
  OutLine("Es wird anschliessend geloescht und es werden max 200 Durchlaeufe protokolliert");
  // clang-format on
}

void EchoReaderSettings() {
  OutLine();
  EchoRangeSettings();
}

void ReadReaderCommandLine(int argc, const char* const* argv) {
  SettleVerdict(ParseReaderArguments(argc, argv), ShowReaderUsage);
  RefuseClashingRunFiles();
  EchoReaderSettings();
}

}  // namespace korv
