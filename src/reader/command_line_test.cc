#include "reader/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/platform/console.h"
#include "shared/run/run_state.h"

namespace korv {
namespace {

// Parses the given arguments (program name added in front).
ArgumentVerdict Parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv = {"korvlas"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  ResetRunState();
  return ParseReaderArguments(static_cast<int>(argv.size()), argv.data());
}

struct SettingsCase {
  std::vector<std::string> args;
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

TEST(ReaderArgumentsTest, AcceptedArgumentsGiveTheirSettings) {
  const std::vector<SettingsCase> cases = {
      // No arguments: everything, delete all, 200 lines, pausing.
      {{}, 0, 10000000, 9999999, 'A', "", 200, true, false, true},
      {{"3", "10", "J"}, 3, 10, 12, 'J', "", 0, false, false, false},
      {{"0"}, 0, 1, 0, 'N', "", 0, false, false, false},
      {{"9999999", "1"}, 9999999, 1, 9999999, 'N', "", 0, false, false, false},
      {{"0", "10000000"},
       0,
       10000000,
       9999999,
       'N',
       "",
       0,
       false,
       false,
       false},
      {{""}, 1, 1, 1, 'N', "", 0, false, false, false},
      {{"", ""}, 1, 1, 1, 'N', "", 0, false, false, false},
      {{"  7", "+2"}, 7, 2, 8, 'N', "", 0, false, false, false},
      {{"\t7", "02"}, 7, 2, 8, 'N', "", 0, false, false, false},
      {{"3", "10", "x"}, 3, 10, 12, 'N', "", 0, false, false, false},
      {{"3", "10", "alle"}, 3, 10, 12, 'A', "", 0, false, false, false},
      {{"3", "10", "ja"}, 3, 10, 12, 'J', "", 0, false, false, false},
      {{"3", "10", "nein"}, 3, 10, 12, 'N', "", 0, false, false, false},
      {{"3", "10", "j"}, 3, 10, 12, 'J', "", 0, false, false, false},
      {{"3", "10", ""}, 3, 10, 12, 'N', "", 0, false, false, false},
      {{"3", "10", "N", "."}, 3, 10, 12, 'N', "", 0, false, false, false},
      {{"3", "10", "N", ".."}, 3, 10, 12, 'N', "", 0, false, false, false},
      {{"3", "10", "N", "*"}, 3, 10, 12, 'N', "", 0, false, false, false},
      {{"3", "10", "N", "\\"}, 3, 10, 12, 'N', "", 0, false, false, false},
      {{"3", "10", "N", "daten"},
       3,
       10,
       12,
       'N',
       "daten\\",
       0,
       false,
       false,
       false},
      {{"3", "10", "N", "a\\b\\"},
       3,
       10,
       12,
       'N',
       "a\\b\\",
       0,
       false,
       false,
       false},
      {{"3", "10", "N", "/mnt/usb"},
       3,
       10,
       12,
       'N',
       "/mnt/usb\\",
       0,
       false,
       false,
       false},
      {{"3", "10", "N", ".", "x"}, 3, 10, 12, 'N', "", 200, true, true, true},
      {{"3", "10", "N", ".", "0"}, 3, 10, 12, 'N', "", 0, true, true, false},
      {{"3", "10", "N", ".", "9999"},
       3,
       10,
       12,
       'N',
       "",
       9999,
       true,
       true,
       true},
      {{"3", "10", "N", ".", "5"}, 3, 10, 12, 'N', "", 5, true, true, true},
      {{"3", "10", "N", ".", ""}, 3, 10, 12, 'N', "", 0, false, false, false},
      // Arguments beyond the fifth are not looked at.
      {{"3", "10", "N", ".", "5", "?", "junk"},
       3,
       10,
       12,
       'N',
       "",
       5,
       true,
       true,
       true},
  };
  for (const SettingsCase& c : cases) {
    std::string label;
    for (const std::string& a : c.args) label += "[" + a + "]";
    SCOPED_TRACE(label);
    ASSERT_EQ(Parse(c.args), ArgumentVerdict::kRun);
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

TEST(ReaderArgumentsTest, HelpSwitchesAndRefusedValues) {
  struct Case {
    std::vector<std::string> args;
    ArgumentVerdict verdict;
  };
  const std::vector<Case> cases = {
      {{"/?"}, ArgumentVerdict::kHelp},
      {{"-?"}, ArgumentVerdict::kHelp},
      {{"?"}, ArgumentVerdict::kHelp},
      {{"/h"}, ArgumentVerdict::kHelp},
      {{"-h"}, ArgumentVerdict::kHelp},
      {{"-h", "x", "y"}, ArgumentVerdict::kHelp},
      // Not help switches (case matters), and not numbers either.
      {{"-H"}, ArgumentVerdict::kInvalid},
      {{"/H"}, ArgumentVerdict::kInvalid},
      {{"--help"}, ArgumentVerdict::kInvalid},
      // A help switch counts only as the first argument.
      {{"3", "?"}, ArgumentVerdict::kInvalid},
      {{"-1"}, ArgumentVerdict::kInvalid},
      {{"abc"}, ArgumentVerdict::kInvalid},
      {{"10000000"}, ArgumentVerdict::kInvalid},
      {{"3x"}, ArgumentVerdict::kInvalid},
      {{"3 "}, ArgumentVerdict::kInvalid},
      {{" "}, ArgumentVerdict::kInvalid},
      {{"+"}, ArgumentVerdict::kInvalid},
      {{"0x10"}, ArgumentVerdict::kInvalid},
      {{"99999999999999999999"}, ArgumentVerdict::kInvalid},
      {{"9999999", "2"}, ArgumentVerdict::kInvalid},
      {{"5", "0"}, ArgumentVerdict::kInvalid},
      {{"5", "-3"}, ArgumentVerdict::kInvalid},
      {{"5", "zehn"}, ArgumentVerdict::kInvalid},
      {{"1", "10000000"}, ArgumentVerdict::kInvalid},
      {{"0", "2147483647"}, ArgumentVerdict::kInvalid},
      {{"9999999", "2147483647"}, ArgumentVerdict::kInvalid},
      {{"3", "10", "N", ".", "10000"}, ArgumentVerdict::kInvalid},
      {{"3", "10", "N", ".", "-1"}, ArgumentVerdict::kInvalid},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& a : c.args) label += "[" + a + "]";
    SCOPED_TRACE(label);
    EXPECT_EQ(Parse(c.args), c.verdict);
  }
}

TEST(ReaderArgumentsTest, LongFolderTextIsRefusedAndKeepsWithinTheLimit) {
  // Cut, it would name another folder.
  EXPECT_EQ(Parse({"3", "1", "N", std::string(256, 'd')}),
            ArgumentVerdict::kInvalid);
  // Without room for its separator it would name files beside it.
  EXPECT_EQ(Parse({"3", "1", "N", std::string(255, 'd')}),
            ArgumentVerdict::kInvalid);
  const std::string with_separator = std::string(254, 'd') + "/";
  ASSERT_EQ(Parse({"3", "1", "N", with_separator}), ArgumentVerdict::kRun);
  EXPECT_EQ(g_run.verzeichnis, with_separator);
  std::string folder_254(254, 'e');
  ASSERT_EQ(Parse({"3", "1", "N", folder_254}), ArgumentVerdict::kRun);
  EXPECT_EQ(g_run.verzeichnis, folder_254 + "\\");
}

std::string Captured(void (*print)()) {
  std::string out;
  TEST_CaptureOutput(&out);
  print();
  TEST_CaptureOutput(nullptr);
  return out;
}

TEST(ReaderUsageTest, TextIsExactAndAligned) {
  // clang-format off
  const std::string expected =
      "\n"
      "Aufruf: Korvlas [beginn] [anzahl] [loeschen] [verzeichnis] [protokoll]\n"
      "\n"
      "beginn    kleinster Index fuer Dateien Nnnnnnnn.KVL     Werte: 0, [1] - 9999999\n"
      "\n"
      "anzahl    Dateien/Wiederholungen ab \"beginn\"            Werte: [1] - 9999999\n"
      "\n"
      "loeschen  Sollen Dateien automatisch geloescht werden?  Werte: [N(ein)] / J(a)\n" +
      std::string(63, ' ') + "A(lle)\n"
      "\n"
      "verzeichnis fuer die Dateien (Standard: Aktuelles)      Werte: am besten leer!\n"
      "\n"
      "protokoll schreibt Protokoll mit max n Eintraegen       Werte: [0] - 9999\n"
      "\n"
      "Beispiel: Korvlas 3 10 J\n"
      "liest Dateien N0000003.KVL - N0000012.KVL, werden anschliessend geloescht\n"
      "\n"
      "Beispiel: Korvlas\n"
      "liest alle Dateien N0000000.KVL - N9999999.KVL, sofern vorhanden\n"
      "Es wird anschliessend geloescht und es werden max 200 Durchlaeufe "
      "protokolliert\n";
  // clang-format on
  std::string out = Captured(ShowReaderUsage);
  EXPECT_EQ(out, expected);

  // "Werte:" stands in column 57 of each parameter line, and "A(lle)" under
  // "[N(ein)]".
  size_t start = 0;
  int parameter_lines = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string line = out.substr(start, end - start);
    size_t werte = line.find("Werte:");
    if (werte != std::string::npos) {
      EXPECT_EQ(werte, 56u) << line;
      ++parameter_lines;
    }
    if (line.find("[N(ein)]") != std::string::npos) {
      EXPECT_EQ(line.find("[N(ein)]"), 63u);
    }
    start = end + 1;
  }
  EXPECT_EQ(parameter_lines, 5);
}

TEST(ReaderEchoTest, EchoLines) {
  struct Case {
    std::vector<std::string> args;
    std::string echo;
  };
  const std::vector<Case> cases = {
      {{"3", "10", "J"},
       "\n"
       "BEGINN      = 00000003 -> DATEI-VON=N0000003.KVL\n"
       "ANZAHL      = 00000010 -> DATEI-BIS=N0000012.KVL\n"
       "LOESCHEN    = J\n"},
      {{},
       "\n"
       "BEGINN      = 00000000 -> DATEI-VON=N0000000.KVL\n"
       "ANZAHL      = 10000000 -> DATEI-BIS=N9999999.KVL\n"
       "LOESCHEN    = A\n"},
      {{"0", "1", "n", "daten"},
       "\n"
       "BEGINN      = 00000000 -> DATEI-VON=N0000000.KVL\n"
       "ANZAHL      = 00000001 -> DATEI-BIS=N0000000.KVL\n"
       "LOESCHEN    = N\n"
       "VERZEICHNIS = daten\\\n"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Parse(c.args), ArgumentVerdict::kRun);
    EXPECT_EQ(Captured(EchoReaderSettings), c.echo);
  }
}

}  // namespace
}  // namespace korv
