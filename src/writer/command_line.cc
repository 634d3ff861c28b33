#include "writer/command_line.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/run/record.h"
#include "shared/run/run_state.h"
#include "shared/stamp/stamp.h"
#include "writer/fill_loop.h"

namespace korv {
namespace {

constexpr int64_t kKib = 1024;
constexpr int64_t kMib = 1048576;
constexpr int64_t kGib = 1073741824;
constexpr int64_t kLargestFile = kGib;
constexpr int64_t kDefaultFile = kMib;  // an empty size counts as "1M"
constexpr double kSmallestNumber = 0.1;
// Sizes from 1 KiB up are also shown in K, M or G.
constexpr int64_t kShowSizeTextFrom = 1024;

constexpr uint8_t kHexByte = 0;
constexpr uint8_t kBlankByte = 32;
// With random fill the block is prefilled with "*" before the first
// random bytes replace it.
constexpr uint8_t kRandomPrefill = 42;

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

void SetFillArgument(std::string_view text) {
  g_run.random_fill = false;
  g_run.stamped_fill = false;
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
  } else if (text == "PRUEF" || text == "pruef") {
    g_run.zeichen = kRandomPrefill;
    g_run.stamped_fill = true;
  }
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

ArgumentVerdict ParseWriterArguments(int argc, const char* const* argv) {
  g_run.pausing = false;
  const int options = TakeRunOptions(argc, argv, /*reader=*/false);
  if (options < 0) return ArgumentVerdict::kInvalid;
  argc -= options;
  argv += options;
  if (argc <= 1) {
    g_run.groesse = kGib;
    g_run.zeichen = kHexByte;
    g_run.random_fill = false;
    g_run.stamped_fill = false;
    SetWholeRange('N');
  } else {
    std::string_view first = ArgumentText(argc, argv, 1);
    if (IsHelpSwitch(first)) return ArgumentVerdict::kHelp;
    int64_t groesse = 0;
    if (!ParseSizeArgument(first, &groesse)) return ArgumentVerdict::kInvalid;
    g_run.groesse = groesse;
    SetFillArgument(ArgumentText(argc, argv, 2));
    if (argc - 1 < 3) {
      SetWholeRange('N');
    } else {
      ArgumentVerdict verdict = ParseRangeArguments(argc, argv, 3);
      if (verdict != ArgumentVerdict::kRun) return verdict;
    }
  }
  g_run.protocol_active = g_run.protokoll >= 1;
  return ArgumentVerdict::kRun;
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
  OutLine("          beliebiges (Sonder-)Zeichen                          LEER, RND, PRUEF");
  OutLine();
  ShowRangeUsage("A(lle) / L(eise)");
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
  } else if (g_run.stamped_fill) {
    line += "PRUEF -> Pruefmuster, Kennung ";
    line += StampTagText(g_run.stamp_tag);
    if (g_run.stamp_continued) line += " (fortgesetzt)";
  } else if (g_run.zeichen == kHexByte) {
    line += "HEX";
  } else if (g_run.zeichen == kBlankByte) {
    line += "LEER";
  } else {
    line += static_cast<char>(g_run.zeichen);
  }
  OutLine(line);

  EchoRangeSettings();
}

void ReadWriterCommandLine(int argc, const char* const* argv) {
  SettleVerdict(ParseWriterArguments(argc, argv), ShowWriterUsage);
  RefuseClashingRunFiles();
  ContinueStampedRun();
  EchoWriterSettings();
}

}  // namespace korv
