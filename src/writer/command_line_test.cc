#include "writer/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "shared/platform/console.h"
#include "shared/run/run_state.h"

namespace korv {
namespace {

// Parses the given arguments (program name added in front).
ArgumentVerdict Parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"korvfyll"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  ResetRunState();
  return ParseWriterArguments(static_cast<int>(argv.size()), argv.data());
}

std::string Label(const std::vector<std::string>& args) {
  std::string label;
  for (const std::string& a : args) label += "[" + a + "]";
  return label;
}

// Captures what a function prints.
template <typename F>
std::string Captured(F print) {
  std::string out;
  TEST_CaptureOutput(&out);
  print();
  TEST_CaptureOutput(nullptr);
  return out;
}

TEST(WriterSizeTest, SizesGiveTheirBytes) {
  const std::vector<std::pair<std::string, int64_t>> cases = {
      {"1G", 1073741824},     {"1g", 1073741824},   {"1024M", 1073741824},
      {"1048576K", 1073741824}, {"1073741824", 1073741824},
      {"0.5K", 512},          {"1.5M", 1572864},    {"0.1G", 107374182},
      {"1.5", 1},             {"", 1048576},        {"50000", 50000},
      {"1e3", 1000},          {"1E3k", 1024000},    {"2.5e-1K", 256},
      {"  7", 7},             {"+7", 7},            {".5K", 512},
      {"5.", 5},              {"0.1K", 102},        {"1", 1},
  };
  for (const auto& [text, bytes] : cases) {
    SCOPED_TRACE(text);
    int64_t got = -1;
    ASSERT_TRUE(ParseSizeArgument(text, &got));
    EXPECT_EQ(got, bytes);
  }
}

TEST(WriterSizeTest, RefusedSizesLeaveTheValue) {
  const std::vector<std::string> cases = {
      "2G",  "1025M", "1048577K", "1073741825", "K",    "1.5MB", "1,5M",
      "-1M", "0.05K", "abc",      "1.1G",       ".",    "e3",    "1e",
      "1e+", "1 M",   "7 ",       "0x10",       "inf",  "nan",   "1e999",
      "1e-999", "0.5", "0.1",     "0",          "-0",   "M",     "++1",
      "1..5",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    int64_t got = 4711;
    EXPECT_FALSE(ParseSizeArgument(text, &got));
    EXPECT_EQ(got, 4711);
  }
}

struct SettingsCase {
  std::vector<std::string> args;
  int64_t groesse;
  uint8_t zeichen;
  bool random;
  int32_t beginn;
  int32_t anzahl;
  int32_t last_index;
  char loeschen;
  std::string verzeichnis;
  int32_t protokoll;
  bool pausing;
  bool size_given;
  bool protocol_active;
};

TEST(WriterArgumentsTest, AcceptedArgumentsGiveTheirSettings) {
  // With its own separator, the longest folder text keeps it.
  const std::string long_folder(254, 'd');
  const std::string folder_254(254, 'e');
  const std::vector<SettingsCase> cases = {
      // No arguments: 1 GiB of zero bytes into every index, 200 lines.
      {{}, 1073741824, 0, false, 0, 10000000, 9999999, 'N', "", 200, true,
       false, true},
      {{"50000", "LEER", "3", "10", "J"}, 50000, 32, false, 3, 10, 12, 'J',
       "", 0, false, false, false},
      {{"1M", "A"}, 1048576, 'A', false, 0, 10000000, 9999999, 'N', "", 200,
       true, false, true},
      {{"1M"}, 1048576, 0, false, 0, 10000000, 9999999, 'N', "", 200, true,
       false, true},
      {{""}, 1048576, 0, false, 0, 10000000, 9999999, 'N', "", 200, true,
       false, true},
      // With three arguments the missing ones take their own defaults.
      {{"1M", "A", ""}, 1048576, 'A', false, 1, 1, 1, 'N', "", 0, false,
       false, false},
      {{"1M", "A", "9999999", "1"}, 1048576, 'A', false, 9999999, 1, 9999999,
       'N', "", 0, false, false, false},
      {{"1M", "A", "0", "10000000"}, 1048576, 'A', false, 0, 10000000,
       9999999, 'N', "", 0, false, false, false},
      // Fill bytes: keywords, and otherwise the first byte of the text.
      {{"1M", "hex.00", "0", "1"}, 1048576, 'h', false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "Hex", "0", "1"}, 1048576, 'H', false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "hex", "0", "1"}, 1048576, 0, false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "NULL", "0", "1"}, 1048576, 32, false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "null", "0", "1"}, 1048576, 32, false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "leer", "0", "1"}, 1048576, 32, false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "Leer", "0", "1"}, 1048576, 'L', false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "x", "0", "1"}, 1048576, 'x', false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "ABC", "0", "1"}, 1048576, 'A', false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "RND", "0", "1"}, 1048576, 42, true, 0, 1, 0, 'N', "", 0, false,
       false, false},
      {{"1M", "random", "0", "1"}, 1048576, 42, true, 0, 1, 0, 'N', "", 0,
       false, false, false},
      {{"1M", "Rnd", "0", "1"}, 1048576, 'R', false, 0, 1, 0, 'N', "", 0,
       false, false, false},
      // Deletion modes: only the first character, "L" is no mode.
      {{"1M", "A", "3", "10", "x"}, 1048576, 'A', false, 3, 10, 12, 'N', "",
       0, false, false, false},
      {{"1M", "A", "3", "10", "alle"}, 1048576, 'A', false, 3, 10, 12, 'A',
       "", 0, false, false, false},
      {{"1M", "A", "3", "10", "ja"}, 1048576, 'A', false, 3, 10, 12, 'J', "",
       0, false, false, false},
      {{"1M", "A", "3", "10", "L"}, 1048576, 'A', false, 3, 10, 12, 'N', "",
       0, false, false, false},
      // Folders.
      {{"1M", "A", "3", "10", "N", "."}, 1048576, 'A', false, 3, 10, 12, 'N',
       "", 0, false, false, false},
      {{"1M", "A", "3", "10", "N", "*"}, 1048576, 'A', false, 3, 10, 12, 'N',
       "", 0, false, false, false},
      {{"1M", "A", "3", "10", "N", ".."}, 1048576, 'A', false, 3, 10, 12,
       'N', "", 0, false, false, false},
      {{"1M", "A", "3", "10", "N", "\\"}, 1048576, 'A', false, 3, 10, 12,
       'N', "", 0, false, false, false},
      {{"1M", "A", "3", "10", "N", "daten"}, 1048576, 'A', false, 3, 10, 12,
       'N', "daten\\", 0, false, false, false},
      {{"1M", "A", "3", "10", "N", "a\\b\\"}, 1048576, 'A', false, 3, 10, 12,
       'N', "a\\b\\", 0, false, false, false},
      {{"1M", "A", "3", "10", "N", long_folder + "/"}, 1048576, 'A', false,
       3, 10, 12, 'N', long_folder + "/", 0, false, false, false},
      {{"1M", "A", "3", "10", "N", folder_254}, 1048576, 'A', false, 3, 10,
       12, 'N', folder_254 + "\\", 0, false, false, false},
      // Protocol sizes.
      {{"1M", "A", "3", "10", "N", ".", "x"}, 1048576, 'A', false, 3, 10, 12,
       'N', "", 200, true, true, true},
      {{"1M", "A", "3", "10", "N", ".", "0"}, 1048576, 'A', false, 3, 10, 12,
       'N', "", 0, true, true, false},
      {{"1M", "A", "3", "10", "N", ".", "9999"}, 1048576, 'A', false, 3, 10,
       12, 'N', "", 9999, true, true, true},
      {{"1M", "A", "3", "10", "N", ".", ""}, 1048576, 'A', false, 3, 10, 12,
       'N', "", 0, false, false, false},
      // Arguments beyond the seventh are not looked at.
      {{"1M", "A", "3", "10", "N", ".", "5", "?", "-1"}, 1048576, 'A', false,
       3, 10, 12, 'N', "", 5, true, true, true},
  };
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(Label(c.args));
    ASSERT_EQ(Parse(c.args), ArgumentVerdict::kRun);
    EXPECT_EQ(g_run.groesse, c.groesse);
    EXPECT_EQ(g_run.zeichen, c.zeichen);
    EXPECT_EQ(g_run.random_fill, c.random);
    EXPECT_EQ(g_run.beginn, c.beginn);
    EXPECT_EQ(g_run.anzahl, c.anzahl);
    EXPECT_EQ(g_run.last_index, c.last_index);
    EXPECT_EQ(g_run.loeschen, c.loeschen);
    EXPECT_EQ(g_run.verzeichnis, c.verzeichnis);
    EXPECT_EQ(g_run.protokoll, c.protokoll);
    EXPECT_EQ(g_run.pausing, c.pausing);
    EXPECT_EQ(g_run.protocol_size_given, c.size_given);
    EXPECT_EQ(g_run.protocol_active, c.protocol_active);
  }
}

TEST(WriterArgumentsTest, HelpSwitchesAskForHelp) {
  for (const char* help : {"/?", "-?", "?", "/h", "-h"}) {
    SCOPED_TRACE(help);
    EXPECT_EQ(Parse({help}), ArgumentVerdict::kHelp);
    EXPECT_EQ(Parse({help, "A", "0", "1"}), ArgumentVerdict::kHelp);
  }
}

TEST(WriterArgumentsTest, InvalidValuesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"/H"},  // no help switch (case matters), and no size either
      {"-H"},
      {"2G"},
      {"0.5"},
      {"1M", "A", "abc"},
      {"1M", "A", "10000000", "1"},
      {"1M", "A", "9999999", "2"},
      {"1M", "A", "5", "0"},
      {"1M", "A", "5", "-1"},
      {"1M", "A", "-3", "10"},  // N00000-3.KVL could never be read or deleted
      {"1M", "A", "5", "2147483647"},
      {"1M", "A", "5", "x"},
      {"1M", "A", "5", "1 "},
      {"1M", "A", "0", "10000001"},
      {"1M", "A", "3", "10", "N", ".", "10000"},
      {"1M", "A", "3", "10", "N", ".", "-1"},
      // No room for the separator: the data files would be named
      // <folder>N0000000.KVL beside it.
      {"1M", "A", "3", "10", "N", std::string(255, 'd')},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(Label(args));
    EXPECT_EQ(Parse(args), ArgumentVerdict::kInvalid);
  }
}

// Columns (0-based) where "Werte:" stands in the usage text.
constexpr size_t kValuesColumn = 56;

TEST(WriterUsageTest, TextIsExact) {
  const std::string out = Captured(ShowWriterUsage);
  const std::string expected =
      "\n"
      "Aufruf: Korvfyll [groesse] [zeichen] [beginn] [anzahl]\n" +
      std::string(17, ' ') + "[loeschen] [verzeichnis] [protokoll]\n" +
      "\n"
      "groesse   Anzahl Bytes in der Datei (max. 1GByte!)\n" +
      std::string(10, ' ') + "Zahl [+ K/M/G]" + std::string(32, ' ') +
      "Werte: 1.. [1M] .. 1G\n"
      "\n"
      "zeichen   Inhalt der Datei (n-mal)" +
      std::string(22, ' ') + "Werte: [HEX = hex.00]\n" +
      std::string(10, ' ') + "beliebiges (Sonder-)Zeichen" +
      std::string(26, ' ') + "LEER, RND, PRUEF\n" +
      "\n"
      "beginn    kleinster Index fuer Dateien Nnnnnnnn.KVL     Werte: 0, [1] "
      "- 9999999\n"
      "\n"
      "anzahl    Dateien/Wiederholungen ab \"beginn\"" +
      std::string(12, ' ') + "Werte: [1] - 9999999\n" +
      "\n"
      "loeschen  Sollen Dateien automatisch geloescht werden?  Werte: "
      "[N(ein)] / J(a)\n" +
      std::string(63, ' ') + "A(lle) / L(eise)\n" +
      "\n"
      "verzeichnis fuer die Dateien (Standard: Aktuelles)      Werte: am "
      "besten leer!\n"
      "\n"
      "protokoll schreibt Protokoll mit max n Eintraegen       Werte: [0] - "
      "9999\n"
      "\n"
      "Beispiel: Korvfyll 50000 LEER 3 10 J\n"
      "Erzeugt N0000003.KVL - N0000012.KVL je 50.000 Spaces, anschliessend "
      "w.geloescht\n"
      "\n"
      "Beispiel: Korvfyll\n"
      "schreibt solange Dateien N0000000.KVL - N9999999.KVL, wie es geht\n"
      "Es wird anschliessend NICHT geloescht, werden max 200 Durchlaeufe "
      "protokolliert\n";
  EXPECT_EQ(out, expected);

  // The value column lines up in every line that has one.
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t p = out.find('\n'); p != std::string::npos;
       p = out.find('\n', start)) {
    lines.push_back(out.substr(start, p - start));
    start = p + 1;
  }
  ASSERT_EQ(lines.size(), 27u);
  for (int n : {6, 8, 11, 13, 15, 18, 20}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(lines[n - 1].find("Werte:"), kValuesColumn);
  }
  EXPECT_EQ(lines[2].find("[loeschen]"), lines[1].find("[groesse]"));
  EXPECT_EQ(lines[8].find("LEER"), lines[7].find("[HEX"));
  EXPECT_EQ(lines[15].find("A(lle)"), lines[14].find("[N(ein)]"));
}

struct EchoCase {
  std::vector<std::string> args;
  std::vector<std::string> lines;
};

TEST(WriterEchoTest, EchoShowsTheSettings) {
  const std::vector<EchoCase> cases = {
      {{"50000", "LEER", "3", "10", "J"},
       {"GROESSE     = 50000 (48,828 K)", "ZEICHEN     = LEER",
        "BEGINN      = 00000003 -> DATEI-VON=N0000003.KVL",
        "ANZAHL      = 00000010 -> DATEI-BIS=N0000012.KVL",
        "LOESCHEN    = J"}},
      {{},
       {"GROESSE     = 1073741824 (1,000 G)", "ZEICHEN     = HEX",
        "BEGINN      = 00000000 -> DATEI-VON=N0000000.KVL",
        "ANZAHL      = 10000000 -> DATEI-BIS=N9999999.KVL",
        "LOESCHEN    = N"}},
      {{"1M", "A", "5", "10", "a", "daten"},
       {"GROESSE     = 1048576 (1,000 M)", "ZEICHEN     = A",
        "BEGINN      = 00000005 -> DATEI-VON=N0000005.KVL",
        "ANZAHL      = 00000010 -> DATEI-BIS=N0000014.KVL",
        "LOESCHEN    = A", "VERZEICHNIS = daten\\"}},
      {{"1023", "RND", "9999999", "1"},
       {"GROESSE     = 1023", "ZEICHEN     = RANDOM -> daher langsamer!",
        "BEGINN      = 09999999 -> DATEI-VON=N9999999.KVL",
        "ANZAHL      = 00000001 -> DATEI-BIS=N9999999.KVL",
        "LOESCHEN    = N"}},
      {{"1024", " ", "0", "1"},
       {"GROESSE     = 1024 (1,000 K)", "ZEICHEN     = LEER",
        "BEGINN      = 00000000 -> DATEI-VON=N0000000.KVL",
        "ANZAHL      = 00000001 -> DATEI-BIS=N0000000.KVL",
        "LOESCHEN    = N"}},
  };
  for (const EchoCase& c : cases) {
    SCOPED_TRACE(Label(c.args));
    ASSERT_EQ(Parse(c.args), ArgumentVerdict::kRun);
    std::string expected = "\n";
    for (const std::string& line : c.lines) expected += line + "\n";
    EXPECT_EQ(Captured(EchoWriterSettings), expected);
  }
}

}  // namespace
}  // namespace korv
