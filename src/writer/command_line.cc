#include "writer/command_line.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"

namespace korv {
namespace {

constexpr int kArgumentCount = 7;
constexpr int64_t kKib = 1024;
constexpr int64_t kMib = 1048576;
constexpr int64_t kGib = 1073741824;
constexpr int64_t kLargestFile = kGib;
constexpr int64_t kDefaultFile = kMib;  // an empty size counts as "1M"
constexpr double kSmallestNumber = 0.1;
constexpr int32_t kLastIndex = 9999999;
constexpr int64_t kIndexLimit = 10000000;  // beginn + anzahl may reach it
constexpr int32_t kLargestProtocol = 9999;
constexpr int32_t kDefaultProtocol = 200;
constexpr int32_t kProtocolWhenNoNumber = 200;
// Sizes from 1 KiB up are also shown in K, M or G.
constexpr int64_t kShowSizeTextFrom = 1024;

constexpr uint8_t kHexByte = 0;
constexpr uint8_t kBlankByte = 32;
// With random fill the block is prefilled with "*" before the first
// random bytes replace it.
constexpr uint8_t kRandomPrefill = 42;

// Argument n (1-based) cut to the longest text the programs keep; an
// argument beyond the count reads as empty.
std::string_view Argument(int argc, const char* const* argv, int n) {
  if (n >= argc || argv[n] == nullptr) return {};
  std::string_view text = argv[n];
  return text.substr(0, kMaxTextLength);
}

bool IsHelpSwitch(std::string_view text) {
  return text == "/?" || text == "-?" || text == "?" || text == "/h" ||
         text == "-h";
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Counts the decimal digits at text[*i] and moves past them.
size_t SkipDigits(std::string_view text, size_t* i) {
  size_t start = *i;
  while (*i < text.size() && IsDigit(text[*i])) ++*i;
  return *i - start;
}

// Converts a real number: blanks, one sign, digits with an optional point
// and fraction (at least one digit in all), an optional exponent, and
// nothing after it. Anything else, and values beyond a double, give false.
bool ParseRealNumber(std::string_view text, double* x) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const size_t number_start = i;
  size_t digits = SkipDigits(text, &i);
  if (i < text.size() && text[i] == '.') {
    ++i;
    digits += SkipDigits(text, &i);
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (SkipDigits(text, &i) == 0) return false;
  }
  if (i != text.size()) return false;
  // from_chars takes no "+" but otherwise the grammar checked above, and
  // it never depends on a locale's decimal separator.
  std::string_view number = text.substr(number_start);
  if (!number.empty() && number[0] == '+') number.remove_prefix(1);
  double value = 0;
  auto [end, ec] =
      std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc() || end != number.data() + number.size()) return false;
  *x = negative ? -value : value;
  return true;
}

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

void SetFillArgument(std::string_view text) {
  g_run.random_fill = false;
  if (text.empty()) {
    g_run.zeichen = kHexByte;
    return;
  }
  g_run.zeichen = static_cast<uint8_t>(text[0]);
  if (text == "HEX" || text == "hex") {
    g_run.zeichen = kHexByte;
  } else if (text == "LEER" || text == "leer" || text == "NULL" ||
             text == "null") {
    // "NULL" names the blank as well, not the zero byte.
    g_run.zeichen = kBlankByte;
  } else if (text == "RND" || text == "rnd" || text == "RANDOM" ||
             text == "random") {
    g_run.zeichen = kRandomPrefill;
    g_run.random_fill = true;
  }
}

void SetFolderArgument(std::string_view text) {
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

// The settings of a run that names no range: every index from 0 on.
void SetWholeRange() {
  g_run.beginn = 0;
  g_run.anzahl = static_cast<int32_t>(kIndexLimit);
  g_run.last_index = kLastIndex;
  g_run.pausing = true;
  g_run.loeschen = 'N';
  g_run.verzeichnis.clear();
  g_run.protokoll = kDefaultProtocol;
  g_run.protocol_size_given = false;
}

}  // namespace

bool ParseSizeArgument(std::string_view text, int64_t* bytes) {
  if (text.empty()) {
    *bytes = kDefaultFile;
    return true;
  }
  std::string_view number = text;
  int64_t unit = 1;
  double largest = 0;  // largest number before the unit; 0 = no letter
  switch (text.back()) {
    case 'G':
    case 'g':
      unit = kGib;
      largest = 1;
      break;
    case 'M':
    case 'm':
      unit = kMib;
      largest = 1024;
      break;
    case 'K':
    case 'k':
      unit = kKib;
      largest = 1048576;
      break;
    default:
      break;
  }
  if (unit != 1) number.remove_suffix(1);
  double x = 0;
  if (!ParseRealNumber(number, &x) || x < kSmallestNumber) return false;
  if (unit != 1) {
    if (x > largest) return false;
    x *= static_cast<double>(unit);
  }
  if (x > static_cast<double>(kLargestFile)) return false;
  // The fraction of a byte is cut off; a size that comes to nothing could
  // not be written and would divide the free-space estimate by zero.
  const int64_t size = static_cast<int64_t>(x);
  if (size < 1) return false;
  *bytes = size;
  return true;
}

bool ParseIndexArgument(std::string_view text, int32_t* value) {
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
    if (!IsDigit(text[i])) return false;
    magnitude = magnitude * 10 + (text[i] - '0');
    // Anything this large is out of range; stopping here keeps the
    // digits from overflowing.
    if (magnitude > INT64_C(2147483648)) return false;
  }
  const int64_t v = negative ? -magnitude : magnitude;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

WriterVerdict ParseWriterArguments(int argc, const char* const* argv) {
  g_run.pausing = false;
  const int count = argc - 1 < kArgumentCount ? argc - 1 : kArgumentCount;
  if (count <= 0) {
    g_run.groesse = kGib;
    g_run.zeichen = kHexByte;
    g_run.random_fill = false;
    SetWholeRange();
  } else {
    std::string_view first = Argument(argc, argv, 1);
    if (IsHelpSwitch(first)) return WriterVerdict::kHelp;
    int64_t groesse = 0;
    if (!ParseSizeArgument(first, &groesse)) return WriterVerdict::kInvalid;
    g_run.groesse = groesse;

    SetFillArgument(Argument(argc, argv, 2));

    if (count < 3) {
      SetWholeRange();
    } else {
      std::string_view third = Argument(argc, argv, 3);
      int32_t beginn = 0;
      // A negative first index is taken: the names then carry the sign.
      if (!ParseIndexArgument(third.empty() ? "1" : third, &beginn) ||
          beginn > kLastIndex) {
        return WriterVerdict::kInvalid;
      }
      g_run.beginn = beginn;

      std::string_view fourth = Argument(argc, argv, 4);
      int32_t anzahl = 0;
      if (!ParseIndexArgument(fourth.empty() ? "1" : fourth, &anzahl) ||
          anzahl < 1 ||
          static_cast<int64_t>(beginn) + anzahl > kIndexLimit) {
        return WriterVerdict::kInvalid;
      }
      g_run.anzahl = anzahl;
      g_run.last_index = beginn + anzahl - 1;

      g_run.loeschen = DeletionMode(Argument(argc, argv, 5));
      SetFolderArgument(Argument(argc, argv, 6));

      std::string_view seventh = Argument(argc, argv, 7);
      g_run.protocol_size_given = !seventh.empty();
      g_run.pausing = !seventh.empty();
      int32_t protokoll = 0;
      if (!seventh.empty() && !ParseIndexArgument(seventh, &protokoll)) {
        protokoll = kProtocolWhenNoNumber;
      }
      if (protokoll < 0 || protokoll > kLargestProtocol) {
        return WriterVerdict::kInvalid;
      }
      g_run.protokoll = protokoll;
    }
  }
  g_run.protocol_active = g_run.protokoll >= 1;
  return WriterVerdict::kRun;
}

void ShowWriterUsage() {
  OutLine();
  OutLine("Aufruf: Korvfyll [groesse] [zeichen] [beginn] [anzahl]");
  OutLine("                 [loeschen] [verzeichnis] [protokoll]");
  OutLine();
  OutLine("groesse   Anzahl Bytes in der Datei (max. 1GByte!)");
  OutLine("          Zahl [+ K/M/G]                                Werte: 1.. [1M] .. 1G");
  OutLine();
  OutLine("zeichen   Inhalt der Datei (n-mal)                      Werte: [HEX = hex.00]");
  OutLine("          beliebiges (Sonder-)Zeichen                          LEER, RND");
  OutLine();
  OutLine("beginn    kleinster Index fuer Dateien Nnnnnnnn.KVL     Werte: 0, [1] - 9999999");
  OutLine();
  OutLine("anzahl    Dateien/Wiederholungen ab \"beginn\"            Werte: [1] - 9999999");
  OutLine();
  OutLine("loeschen  Sollen Dateien automatisch geloescht werden?  Werte: [N(ein)] / J(a)");
  OutLine("                                                               A(lle) / L(eise)");
  OutLine();
  OutLine("verzeichnis fuer die Dateien (Standard: Aktuelles)      Werte: am besten leer!");
  OutLine();
  OutLine("protokoll schreibt Protokoll mit max n Eintraegen       Werte: [0] - 9999");
  OutLine();
  OutLine("Beispiel: Korvfyll 50000 LEER 3 10 J");
  OutLine("Erzeugt N0000003.KVL - N0000012.KVL je 50.000 Spaces, anschliessend w.geloescht");
  OutLine();
  OutLine("Beispiel: Korvfyll");
  OutLine("schreibt solange Dateien N0000000.KVL - N9999999.KVL, wie es geht");
  OutLine("Es wird anschliessend NICHT geloescht, werden max 200 Durchlaeufe protokolliert");
}

void EchoWriterSettings() {
  OutLine();
  std::string line = "GROESSE     = ";
  AppendZeroPadded(&line, g_run.groesse, 0);
  if (g_run.groesse >= kShowSizeTextFrom) {
    line += " (";
    line += SizeText(g_run.groesse);
    line += ')';
  }
  OutLine(line);

  line = "ZEICHEN     = ";
  if (g_run.random_fill) {
    line += "RANDOM -> daher langsamer!";
  } else if (g_run.zeichen == kHexByte) {
    line += "HEX";
  } else if (g_run.zeichen == kBlankByte) {
    line += "LEER";
  } else {
    line += static_cast<char>(g_run.zeichen);
  }
  OutLine(line);

  line = "BEGINN      = ";
  AppendZeroPadded(&line, g_run.beginn, 8);
  line += " -> DATEI-VON=N";
  AppendZeroPadded(&line, g_run.beginn, 7);
  line += ".KVL";
  OutLine(line);

  line = "ANZAHL      = ";
  AppendZeroPadded(&line, g_run.anzahl, 8);
  line += " -> DATEI-BIS=N";
  AppendZeroPadded(&line, g_run.last_index, 7);
  line += ".KVL";
  OutLine(line);

  line = "LOESCHEN    = ";
  line += g_run.loeschen;
  OutLine(line);

  if (!g_run.verzeichnis.empty()) {
    line = "VERZEICHNIS = ";
    line += g_run.verzeichnis;
    OutLine(line);
  }
}

void ReadWriterCommandLine(int argc, const char* const* argv) {
  const WriterVerdict verdict = ParseWriterArguments(argc, argv);
  if (verdict != WriterVerdict::kRun) {
    ShowWriterUsage();
    ExitProgram(verdict == WriterVerdict::kHelp ? kWriterHelpStatus
                                                : kWriterInvalidStatus);
  }
  // The precheck is asked only when a protocol is wanted at all.
  if (g_run.protocol_active && !ProtocolPrecheck()) {
    g_run.protocol_active = false;
  }
  EchoWriterSettings();
}

}  // namespace korv
