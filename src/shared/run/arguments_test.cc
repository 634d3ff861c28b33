#include "shared/run/arguments.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/platform/console.h"
#include "shared/run/run_state.h"

namespace korv {
namespace {

TEST(ArgumentsTest, WholeNumbers) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"42", true, 42},
      {"-42", true, -42},
      {"+42", true, 42},
      {"  42", true, 42},
      {"\t-5", true, -5},
      {"007", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
      {" ", false, 0},
      {"-", false, 0},
      {"4 2", false, 0},
      {"42 ", false, 0},
      {"4.2", false, 0},
      {"--4", false, 0},
      {"1e3", false, 0},
      {"0x10", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int32_t value = -99;
    EXPECT_EQ(ParseWholeNumber(c.text, &value), c.ok);
    EXPECT_EQ(value, c.ok ? c.value : -99);
  }
}

// The range arguments as both programs read them, from a given position.
TEST(ArgumentsTest, RangeFromAnyPosition) {
  const std::string kLongest = std::string(254, 'd') + "\\";
  const std::string kTooLong = std::string(256, 'd');
  struct Case {
    std::vector<const char*> args;  // after the program name
    int first;
    ArgumentVerdict verdict;
    int32_t beginn, last_index;
    char loeschen;
    std::string verzeichnis;
    int32_t protokoll;
    bool pausing;
  };
  const Case cases[] = {
      {{"3", "10", "J"}, 1, ArgumentVerdict::kRun, 3, 12, 'J', "", 0, false},
      {{"1M", "A", "-5", "10"}, 3, ArgumentVerdict::kInvalid, 0, 0, 'N', "", 0, false},
      {{"-5", "10"}, 1, ArgumentVerdict::kInvalid, 0, 0, 'N', "", 0, false},
      {{"", ""}, 1, ArgumentVerdict::kRun, 1, 1, 'N', "", 0, false},
      {{"3", "10", "alle", "daten", "x"}, 1, ArgumentVerdict::kRun, 3, 12, 'A', "daten\\", 200, true},
      {{"3", "10", "L", "a\\", "0"}, 1, ArgumentVerdict::kRun, 3, 12, 'N', "a\\", 0, true},
      {{"3", "10", "N", "..", "9999"}, 1, ArgumentVerdict::kRun, 3, 12, 'N', "", 9999, true},
      {{"3", "10", "N", ".", "10000"}, 1, ArgumentVerdict::kInvalid, 3, 12, 'N', "", 0, true},
      {{"9999999", "2"}, 1, ArgumentVerdict::kInvalid, 0, 0, 'N', "", 0, false},
      // 255 characters are a folder; one more would be cut to another one.
      {{"3", "1", "N", kLongest.c_str()}, 1, ArgumentVerdict::kRun, 3, 3, 'N', kLongest, 0, false},
      {{"3", "1", "N", kTooLong.c_str()}, 1, ArgumentVerdict::kInvalid, 0, 0, 'N', "", 0, false},
      // The folder the levels lead to: "." goes, ".." takes a level off.
      {{"3", "1", "N", "keep/emptyA/../../neu"}, 1, ArgumentVerdict::kRun, 3, 3, 'N', "neu\\", 0, false},
      {{"3", "1", "N", "./a//b/./../c/"}, 1, ArgumentVerdict::kRun, 3, 3, 'N', "a/c/\\", 0, false},
      {{"3", "1", "N", "../../x"}, 1, ArgumentVerdict::kRun, 3, 3, 'N', "../../x\\", 0, false},
      {{"3", "1", "N", "/mnt/../.."}, 1, ArgumentVerdict::kRun, 3, 3, 'N', "/\\", 0, false},
      {{"3", "1", "N", "E:\\..\\x"}, 1, ArgumentVerdict::kRun, 3, 3, 'N', "E:\\x\\", 0, false},
      {{"3", "1", "N", "a/.."}, 1, ArgumentVerdict::kRun, 3, 3, 'N', "", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ResetRunState();
    std::vector<const char*> argv = {"prog"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ArgumentVerdict verdict = ParseRangeArguments(
        static_cast<int>(argv.size()), argv.data(), c.first);
    ASSERT_EQ(verdict, c.verdict);
    if (verdict != ArgumentVerdict::kRun) continue;
    EXPECT_EQ(g_run.beginn, c.beginn);
    EXPECT_EQ(g_run.last_index, c.last_index);
    EXPECT_EQ(g_run.loeschen, c.loeschen);
    EXPECT_EQ(g_run.verzeichnis, c.verzeichnis);
    EXPECT_EQ(g_run.protokoll, c.protokoll);
    EXPECT_EQ(g_run.pausing, c.pausing);
    EXPECT_EQ(g_run.protocol_size_given, c.pausing);
  }
}

TEST(ArgumentsTest, UsageLinesLineUp) {
  std::string out;
  TEST_CaptureOutput(&out);
  ShowRangeUsage("A(lle)");
  TEST_CaptureOutput(nullptr);
  // "Werte:" starts in column 57 on every line that has it, and the
  // choice under "[N(ein)]" starts where that does.
  size_t start = 0;
  int lines_with_values = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string line = out.substr(start, end - start);
    size_t at = line.find("Werte:");
    if (at != std::string::npos) {
      EXPECT_EQ(at, 56u) << line;
      ++lines_with_values;
    }
    if (line.find("A(lle)") != std::string::npos) {
      EXPECT_EQ(line.find("A(lle)"), 63u);
    }
    start = end + 1;
  }
  EXPECT_EQ(lines_with_values, 5);
}

}  // namespace
}  // namespace korv
