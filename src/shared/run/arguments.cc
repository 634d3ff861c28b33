#include "shared/run/arguments.h"

#include <string>

#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/run/data_files.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"

namespace korv {
namespace {

constexpr int32_t kLastIndex = 9999999;
constexpr int64_t kIndexLimit = 10000000;  // beginn + anzahl may reach it
constexpr int32_t kLargestProtocol = 9999;
constexpr int32_t kDefaultProtocol = 200;
constexpr int32_t kProtocolWhenNoNumber = 200;

char DeletionMode(std::string_view text) {
  if (text.empty()) return 'N';
  char c = text[0];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return c == 'A' || c == 'J' ? c : 'N';
}

// Folder texts that mean the current folder.
bool MeansCurrentFolder(std::string_view text) {
  return text.empty() || text == "*" || text == "." || text == ".." ||
         text == "\\";
}

void SetFolder(std::string_view text) {
  if (MeansCurrentFolder(text)) {
    g_run.verzeichnis.clear();
    return;
  }
  g_run.verzeichnis.assign(text);
  // A separator that would pass the longest text is dropped.
  if (g_run.verzeichnis.back() != '\\' &&
      g_run.verzeichnis.size() < kMaxTextLength) {
    g_run.verzeichnis.push_back('\\');
  }
}

}  // namespace

std::string_view ArgumentText(int argc, const char* const* argv, int n) {
  if (n >= argc || argv[n] == nullptr) return {};
  std::string_view text = argv[n];
  return text.substr(0, kMaxTextLength);
}

bool IsHelpSwitch(std::string_view text) {
  return text == "/?" || text == "-?" || text == "?" || text == "/h" ||
         text == "-h";
}

bool ParseWholeNumber(std::string_view text, int32_t* value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    // Anything this large is out of range; stopping here keeps the digits
    // from overflowing.
    if (magnitude > INT64_C(2147483648)) return false;
  }
  int64_t v = negative ? -magnitude : magnitude;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

void SetWholeRange(char loeschen) {
  g_run.beginn = 0;
  g_run.anzahl = static_cast<int32_t>(kIndexLimit);
  g_run.last_index = kLastIndex;
  g_run.loeschen = loeschen;
  g_run.verzeichnis.clear();
  g_run.protokoll = kDefaultProtocol;
  g_run.pausing = true;
  g_run.protocol_size_given = false;
}

ArgumentVerdict ParseRangeArguments(int argc, const char* const* argv,
                                    int first) {
  std::string_view text = ArgumentText(argc, argv, first);
  int32_t beginn = 0;
  // A negative index would make names (N00000-3.KVL) that no deletion and
  // no reader can take back.
  if (!ParseWholeNumber(text.empty() ? "1" : text, &beginn) ||
      beginn > kLastIndex || beginn < 0) {
    return ArgumentVerdict::kInvalid;
  }
  g_run.beginn = beginn;

  text = ArgumentText(argc, argv, first + 1);
  int32_t anzahl = 0;
  if (!ParseWholeNumber(text.empty() ? "1" : text, &anzahl) || anzahl < 1 ||
      static_cast<int64_t>(beginn) + anzahl > kIndexLimit) {
    return ArgumentVerdict::kInvalid;
  }
  g_run.anzahl = anzahl;
  g_run.last_index = beginn + anzahl - 1;

  g_run.loeschen = DeletionMode(ArgumentText(argc, argv, first + 2));
  // A folder text cut to the longest text would name another folder, which
  // the writer would create and fill.
  if (first + 3 < argc && argv[first + 3] != nullptr &&
      std::string_view(argv[first + 3]).size() > kMaxTextLength) {
    return ArgumentVerdict::kInvalid;
  }
  SetFolder(ArgumentText(argc, argv, first + 3));

  text = ArgumentText(argc, argv, first + 4);
  g_run.protocol_size_given = !text.empty();
  g_run.pausing = !text.empty();
  int32_t protokoll = 0;
  // A protocol size that is no number is no error: it asks for the default.
  if (!text.empty() && !ParseWholeNumber(text, &protokoll)) {
    protokoll = kProtocolWhenNoNumber;
  }
  if (protokoll < 0 || protokoll > kLargestProtocol) {
    return ArgumentVerdict::kInvalid;
  }
  g_run.protokoll = protokoll;
  return ArgumentVerdict::kRun;
}

void ShowRangeUsage(std::string_view all_choice) {
  OutLine("beginn    kleinster Index fuer Dateien Nnnnnnnn.KVL     Werte: 0, [1] - 9999999");
  OutLine();
  OutLine("anzahl    Dateien/Wiederholungen ab \"beginn\"            Werte: [1] - 9999999");
  OutLine();
  OutLine("loeschen  Sollen Dateien automatisch geloescht werden?  Werte: [N(ein)] / J(a)");
  OutLine(std::string(63, ' ') + std::string(all_choice));
  OutLine();
  OutLine("verzeichnis fuer die Dateien (Standard: Aktuelles)      Werte: am besten leer!");
  OutLine();
  OutLine("protokoll schreibt Protokoll mit max n Eintraegen       Werte: [0] - 9999");
}

void EchoRangeSettings() {
  std::string line = "BEGINN      = ";
  AppendZeroPadded(&line, g_run.beginn, 8);
  line += " -> DATEI-VON=";
  AppendDataFileName(&line, g_run.beginn);
  OutLine(line);
  line = "ANZAHL      = ";
  AppendZeroPadded(&line, g_run.anzahl, 8);
  line += " -> DATEI-BIS=";
  AppendDataFileName(&line, g_run.last_index);
  OutLine(line);
  line = "LOESCHEN    = ";
  line += g_run.loeschen;
  OutLine(line);
  if (!g_run.verzeichnis.empty()) OutLine("VERZEICHNIS = " + g_run.verzeichnis);
}

void SettleVerdict(ArgumentVerdict verdict, void (*show_usage)()) {
  if (verdict != ArgumentVerdict::kRun) {
    show_usage();
    ExitProgram(verdict == ArgumentVerdict::kHelp ? kHelpExitStatus
                                                  : kInvalidExitStatus);
  }
  // The precheck is asked only when a protocol is wanted at all.
  g_run.protocol_active = g_run.protokoll >= 1 && ProtocolPrecheck();
}

}  // namespace korv
