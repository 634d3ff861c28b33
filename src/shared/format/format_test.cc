#include "shared/format/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "shared/platform/console.h"
#include "testing/test_process.h"

namespace korv {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ZeroPaddedTest, Table) {
  struct Case {
    int32_t value;
    int16_t width;
    const char* want;
  };
  const Case cases[] = {
      {3, 7, "0000003"},
      {1234567, 7, "1234567"},
      {12345678, 7, "12345678"},  // never cut to width
      {42, 0, "42"},
      {-5, 3, "0-5"},  // zeros go in front of the minus sign
      {-5, 7, "00000-5"},
      {0, 2, "00"},
      {0, 0, "0"},
      {7, -3, "7"},
      {INT32_MIN, 12, "0-2147483648"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.value) + " width " + std::to_string(c.width));
    EXPECT_EQ(ZeroPadded(c.value, c.width), c.want);
    EXPECT_EQ(ZeroPadded64(c.value, c.width), c.want);
    if (c.value >= INT16_MIN && c.value <= INT16_MAX) {
      EXPECT_EQ(ZeroPadded16(static_cast<int16_t>(c.value), c.width), c.want);
    }
  }
  EXPECT_EQ(ZeroPadded16(INT16_MIN, 7), "0-32768");
  EXPECT_EQ(ZeroPadded64(INT64_MIN, 21), "0-9223372036854775808");
  EXPECT_EQ(ZeroPadded64(INT64_MAX, 0), "9223372036854775807");
}

TEST(ZeroPaddedTest, CutAtTextLimit) {
  std::string wide = ZeroPadded(12, 300);
  EXPECT_EQ(wide, std::string(255, '0'));
  std::string at_limit = ZeroPadded(12, 255);
  EXPECT_EQ(at_limit.size(), 255u);
  EXPECT_EQ(at_limit.substr(253), "12");
}

TEST(ZeroPaddedTest, AppendGivesTheSameText) {
  const int64_t values[] = {0, 3, -5, 99, 1234567, INT64_MIN, INT64_MAX};
  const int widths[] = {-1, 0, 2, 7, 21, 254, 300};
  for (int64_t v : values) {
    for (int w : widths) {
      std::string out = "N";
      AppendZeroPadded(&out, v, w);
      std::string want = "N";
      want.append(ZeroPadded64(v, static_cast<int16_t>(w)));
      EXPECT_EQ(out, want) << v << " width " << w;
    }
  }
}

TEST(AppendDecimalTest, Table) {
  struct Case {
    int64_t value;
    const char* want;
  };
  const Case cases[] = {
      {0, "N0"},
      {7, "N7"},
      {-5, "N-5"},
      {1234567, "N1234567"},  // never grouped
      {INT64_MAX, "N9223372036854775807"},
      {INT64_MIN, "N-9223372036854775808"},
  };
  for (const Case& c : cases) {
    std::string out = "N";
    AppendDecimal(&out, c.value);
    EXPECT_EQ(out, c.want) << c.value;
  }
}

TEST(BlankPaddedTest, Table) {
  struct Case {
    int32_t value;
    int16_t width;
    const char* left;
    const char* right;
  };
  const Case cases[] = {
      {42, 5, "   42", "42   "},
      {-7, 3, " -7", "-7 "},
      {12345, 3, "12345", "12345"},
      {0, 0, "0", "0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BlankPaddedLeft(c.value, c.width), c.left);
    EXPECT_EQ(BlankPaddedRight(c.value, c.width), c.right);
  }
  EXPECT_EQ(BlankPaddedRight(1, 400).size(), 255u);
  EXPECT_EQ(BlankPaddedRight(1, 400)[0], '1');
}

TEST(GroupedTest, Table) {
  struct Case {
    int64_t value;
    const char* want;
  };
  const Case cases[] = {
      {0, "0"},
      {999, "999"},
      {1000, "1.000"},
      {50000, "50.000"},
      {-100, "-100"},
      {-100000, "-100.000"},  // no "." right after the minus sign
      {-1234567, "-1.234.567"},
      {INT32_MAX, "2.147.483.647"},
      {INT32_MIN, "-2.147.483.648"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Grouped(static_cast<int32_t>(c.value)), c.want);
    EXPECT_EQ(Grouped64(c.value), c.want);
    std::string out = "x";
    AppendGrouped(&out, c.value);
    EXPECT_EQ(out, std::string("x") + c.want);
  }
  EXPECT_EQ(Grouped64(9223372036854775807), "9.223.372.036.854.775.807");
  EXPECT_EQ(Grouped64(INT64_MIN), "-9.223.372.036.854.775.808");
}

TEST(RealCutTest, Table) {
  struct Case {
    double x;
    int16_t d;
    const char* want;
  };
  const Case cases[] = {
      {48.828125, 3, "48,828"},
      {1.9999, 3, "1,999"},  // cut, never rounded up
      {1.05, 2, "1,05"},
      {1.005, 2, "1,00"},  // stored as 1.00499999...
      {2.3, 1, "2,2"},     // stored as 2.29999...
      {-2.3, 1, "-2,2"},
      {4.35, 2, "4,34"},  // stored as 4.34999...
      {0.1, 4, "0,1000"},
      {12.5, 0, "12"},
      {-12.5, 0, "-12"},
      {-0.5, 3, "-0,500"},  // sign kept with integer part 0
      {-0.0001, 3, "-0,000"},
      {-0.0, 3, "0,000"},  // negative zero is not negative
      {0.0, 0, "0"},
      {0.99999, 4, "0,9999"},
      {9.2e18, 0, "9200000000000000000"},  // the bound itself is in range
      {-9.2e18, 1, "-9200000000000000000,0"},
      {std::nextafter(9.2e18, kInf), 0, "DuvaRave OFL"},
      {9.3e18, 2, "DuvaRave OFL"},
      {-9.3e18, 2, "DuvaRave OFL"},
      {kInf, 2, "DuvaRave OFL"},
      {-kInf, 0, "DuvaRave OFL"},
      {std::nan(""), 2, "DuvaRave OFL"},
      {1.5, -2, "1"},  // a negative count of decimals counts as 0
      {0.5, 6, "0,500000"},
      {0.25, 30, "0,250000000000000000"},  // at most 18 decimals
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << " d " << c.d);
    EXPECT_EQ(RealCut(c.x, c.d), c.want);
  }
}

TEST(RealCutTest, GroupedTable) {
  struct Case {
    double x;
    int16_t d;
    const char* want;
  };
  const Case cases[] = {
      {1234567.891, 3, "1.234.567,891"},
      {86400, 2, "86.400,00"},
      {-1234.5, 2, "-1.234,50"},
      {0.001, 3, "0,001"},
      {-123456.0, 0, "-123.456"},  // no "." after the minus sign
      {-0.5, 1, "-0,5"},
      {1000, 4, "1.000,0000"},  // decimals are never grouped
      {6374613809678.0, 0, "6.374.613.809.678"},
      {9.2e18, 0, "9.200.000.000.000.000.000"},
      {9.3e18, 3, "DuvaRave OFL"},
      {std::nan(""), 0, "DuvaRave OFL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << " d " << c.d);
    EXPECT_EQ(RealCutGrouped(c.x, c.d), c.want);
    std::string out = "s=";
    AppendRealCutGrouped(&out, c.x, c.d);
    EXPECT_EQ(out, std::string("s=") + c.want);
  }
}

TEST(RealCutTest, PaddedTable) {
  EXPECT_EQ(RealCutPadded(3.14159, 8, 3), "0003,141");
  EXPECT_EQ(RealCutPadded(-2.5, 7, 1), "000-2,5");
  EXPECT_EQ(RealCutPadded(123.456, 2, 2), "123,45");
  EXPECT_EQ(RealCutPadded(1e19, 20, 0), "DuvaRave OFL");
  EXPECT_EQ(RealCutPadded(-kInf, 3, 0), "DuvaRave OFL");
}

TEST(RealRoundedTest, Table) {
  struct Case {
    double x;
    int16_t width;
    int16_t d;
    const char* grouped;
    const char* padded;
  };
  const Case cases[] = {
      {1234567.891, 0, 2, "1.234.567,89", "1234567,89"},
      {1.9999, 8, 3, "2,000", "0002,000"},  // rounded, unlike the cut forms
      {-1234.56, 9, 1, "-1.234,6", "00-1234,6"},
      {2.675, 6, 2, "2,67", "002,67"},  // stored as 2.67499999...
      {999999.5, 0, 0, "1.000.000", "1000000"},
      {-3.5, 5, 0, "-4", "000-4"},
      {3.14159, 0, -1, "3", "3"},  // a negative count of decimals counts as 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.x << " d " << c.d);
    EXPECT_EQ(RealRoundedGrouped(c.x, c.d), c.grouped);
    EXPECT_EQ(RealRoundedPadded(c.x, c.width, c.d), c.padded);
  }
}

TEST(RealRoundedTest, HugeValueIsGroupedThenCut) {
  std::string t = RealRoundedGrouped(1e300, 2);
  ASSERT_EQ(t.size(), 255u);
  // 301 integer digits: the first group holds 1 digit, "1.000.000...".
  EXPECT_EQ(t.substr(0, 10), "1.000.000.");
  EXPECT_EQ(t.find(','), std::string::npos);
}

TEST(SizeTextTest, Table) {
  struct Case {
    int64_t n;
    const char* want;
  };
  const Case cases[] = {
      {-5, "NEGATIV -5"},
      {0, "0"},
      {1023, "1023"},
      {1024, "1,000 K"},
      {50000, "48,828 K"},
      {1048575, "1023,999 K"},
      {1048576, "1,000 M"},
      {1073741823, "1023,999 M"},
      {1073741824, "1,000 G"},
      {5368709120, "5,000 G"},
      {1099511627776, "1024,000 G"},  // G is the largest unit, not grouped
      {INT64_MAX, "8589934592,000 G"},
      {INT64_MIN, "NEGATIV -9223372036854775808"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SizeText(c.n), c.want) << c.n;
  }
}

TEST(TextOperationsTest, ReplaceRemoveUpper) {
  EXPECT_EQ(ReplaceChar("1.234.567", '.', ','), "1,234,567");
  EXPECT_EQ(ReplaceChar("aaa", 'a', 'a'), "aaa");  // same character: no hang
  EXPECT_EQ(ReplaceChar("", 'a', 'b'), "");
  EXPECT_EQ(RemoveChar("1.234.567", '.'), "1234567");
  EXPECT_EQ(RemoveChar("...", '.'), "");
  EXPECT_EQ(UpperText("abz AZ 09 {`}"), "ABZ AZ 09 {`}");
  EXPECT_EQ(UpperText("M\x84rz"), "M\x84RZ");  // bytes above 127 unchanged
  EXPECT_EQ(UpperText(std::string(300, 'q')), std::string(255, 'Q'));
}

// Feeds key bytes through the console's test input for one case.
class KeyInput {
 public:
  KeyInput(std::string keys, bool terminal) : keys_(std::move(keys)) {
    TEST_SetKeyInput(&keys_);
    TEST_ForceTerminalKeys(terminal);
  }
  ~KeyInput() {
    TEST_SetKeyInput(nullptr);
    TEST_ForceTerminalKeys(false);
  }
  std::vector<int> ReadAll(int count) {
    std::vector<int> codes;
    for (int i = 0; i < count; ++i) codes.push_back(ReadKeyCode());
    return codes;
  }
  const std::string& left() const { return keys_; }

 private:
  std::string keys_;
};

TEST(ReadKeyCodeTest, TerminalSequences) {
  struct Case {
    const char* name;
    std::string bytes;
    int code;
  };
  const Case cases[] = {
      {"space", " ", 32},
      {"letter", "j", 'j'},
      {"enter", "\n", 10},
      {"F1 xterm", "\x1bOP", 187},
      {"F2 xterm", "\x1bOQ", 188},
      {"F3 xterm", "\x1bOR", 189},
      {"F4 xterm", "\x1bOS", 190},
      {"F1 vt", "\x1b[11~", 187},
      {"F4 vt", "\x1b[14~", 190},
      {"F5", "\x1b[15~", 191},
      {"F6", "\x1b[17~", 192},
      {"F7", "\x1b[18~", 193},
      {"F8", "\x1b[19~", 194},
      {"F9", "\x1b[20~", 195},
      {"F10", "\x1b[21~", 196},
      {"F11", "\x1b[23~", 197},
      {"F12", "\x1b[24~", 198},
      {"F1 linux console", "\x1b[[A", 187},
      {"F5 linux console", "\x1b[[E", 191},
      {"F1 with shift", "\x1b[1;2P", 187},
      {"F5 with ctrl", "\x1b[15;5~", 191},
      {"Up", "\x1b[A", 200},
      {"Down", "\x1b[B", 208},
      {"Right", "\x1b[C", 205},
      {"Left", "\x1b[D", 203},
      {"Up application mode", "\x1bOA", 200},
      {"Ctrl-Up", "\x1b[1;5A", 200},
      {"Home", "\x1b[H", 199},
      {"End", "\x1b[F", 207},
      {"Home SS3", "\x1bOH", 199},
      {"End SS3", "\x1bOF", 207},
      {"Home vt 1", "\x1b[1~", 199},
      {"End vt 4", "\x1b[4~", 207},
      {"Home rxvt 7", "\x1b[7~", 199},
      {"End rxvt 8", "\x1b[8~", 207},
      {"Insert", "\x1b[2~", 210},
      {"Delete", "\x1b[3~", 211},
      {"Page Up", "\x1b[5~", 201},
      {"Page Down", "\x1b[6~", 209},
      {"keypad centre", "\x1b[E", 204},
      {"unknown tilde", "\x1b[99~", kUnknownKeyCode},
      {"unknown letter", "\x1b[Z", kUnknownKeyCode},
      {"Alt-x", "\x1bx", 'x'},
      {"a-umlaut in UTF-8", "\xc3\xa4", 0xE4},
      {"euro sign in UTF-8", "\xe2\x82\xac", kUnknownKeyCode},
      // A lead byte whose follower is another key keeps that key.
      {"broken UTF-8", "\xc3", 0xC3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KeyInput input(c.bytes + "z", true);
    EXPECT_EQ(ReadKeyCode(), c.code);
    // The whole sequence is consumed: the next key is the next press.
    EXPECT_EQ(ReadKeyCode(), 'z');
    EXPECT_EQ(input.left(), "");
  }
}

TEST(ReadKeyCodeTest, CutOffSequenceAtEndOfInput) {
  KeyInput input("\x1b[1;", true);
  EXPECT_EQ(input.ReadAll(2), (std::vector<int>{kUnknownKeyCode, 0}));
}

TEST(ReadKeyCodeTest, LoneEscape) {
  KeyInput input("\x1b", true);
  EXPECT_EQ(input.ReadAll(2), (std::vector<int>{27, 0}));
}

TEST(ReadKeyCodeTest, KeysInARow) {
  KeyInput input("\x1b[A\x1bOP q\x1b[3~", true);
  EXPECT_EQ(input.ReadAll(5), (std::vector<int>{200, 187, ' ', 'q', 211}));
}

TEST(ReadKeyCodeTest, EndOfInputGivesZero) {
  KeyInput input("", true);
  EXPECT_EQ(input.ReadAll(3), (std::vector<int>{0, 0, 0}));
}

TEST(ReadKeyCodeTest, PipeGivesPlainBytes) {
  if (StdinIsTerminal()) GTEST_SKIP() << "standard input is a terminal";
  KeyInput input("\x1b[A\xc3", false);
  EXPECT_EQ(input.ReadAll(5), (std::vector<int>{27, '[', 'A', 0xC3, 0}));
}

// The probe program reads keys with ReadKeyCode as the programs do.
ProcessResult RunProbe(int count, ProcessOptions options) {
  options.timeout_ms = 20000;
  return RunProgram(BuiltProgram("tests/key_code_probe"),
                    {std::to_string(count)}, options);
}

TEST(ReadKeyCodeTest, RealTerminalTranslatesKeys) {
  ProcessOptions options;
  options.input = ProcessOptions::kPty;
  options.key_after = "bereit";
  // The lone Escape comes last: only the wait for a following byte tells it
  // from the start of a sequence.
  options.key = "\x1b[A\x1bOQ\x1b[1;5D\x1b[24~k\x1b";
  ProcessResult r = RunProbe(6, options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("codes 200 188 203 198 107 27"), std::string::npos)
      << r.output;
}

TEST(ReadKeyCodeTest, RealPipeGivesBytesThenZeroAtEnd) {
  ProcessOptions options;
  options.input = ProcessOptions::kText;
  options.stdin_text = "\x1b[A";
  ProcessResult r = RunProbe(5, options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("codes 27 91 65 0 0"), std::string::npos) << r.output;
}

TEST(ReadKeyCodeTest, DevNullGivesZeroAtOnce) {
  ProcessOptions options;
  options.input = ProcessOptions::kDevNull;
  ProcessResult r = RunProbe(2, options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_NE(r.output.find("codes 0 0"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace korv
