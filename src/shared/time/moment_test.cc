#include "shared/time/moment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

#include "shared/platform/clock.h"
#include "shared/platform/console.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

LocalClock g_test_clock;
LocalClock TestClock() { return g_test_clock; }

class MomentTest : public testing::Test {
 protected:
  void SetUp() override {
    TEST_ResetStopwatches();
    TEST_SetClock(TestClock);
  }
  void TearDown() override {
    TEST_SetClock(nullptr);
    TEST_ResetStopwatches();
  }
};

Moment MakeDate(int32_t year, int32_t month, int32_t day) {
  Moment m;
  m.Year = year;
  m.Month = month;
  m.Day = day;
  return m;
}

// The day count as first defined: month by month, then year by year.
int32_t ReferenceDayNumber(int32_t year, int32_t month, int32_t day) {
  const int32_t month_days[13] = {31, 31, 28, 31, 30, 31, 30,
                                  31, 31, 30, 31, 30, 31};
  int32_t n = day - 1;
  for (int32_t k = month - 1; k >= 1; --k) {
    n += k == 2 ? 28 + IsLeapYear(year) : month_days[k];
  }
  for (int32_t y = year - 1; y >= 1; --y) n += 365 + IsLeapYear(y);
  return n;
}

TEST_F(MomentTest, LeapYears) {
  const struct {
    int32_t year;
    int32_t leap;
  } cases[] = {{2000, 1}, {2024, 1}, {1900, 0}, {2021, 0},
               {1600, 1}, {2100, 0}, {4, 1},    {1, 0}};
  for (const auto& c : cases) EXPECT_EQ(IsLeapYear(c.year), c.leap) << c.year;
}

TEST_F(MomentTest, DayNumbersAndWeekdays) {
  const struct {
    int32_t year, month, day;
    int32_t day_number;
    int32_t weekday;
    const char* weekday_text;
  } cases[] = {
      {1, 1, 1, 0, 1, "Montag"},
      {2000, 2, 29, 730178, 2, "Dienstag"},
      {2021, 1, 13, 737802, 3, "Mittwoch"},
      {2021, 1, 16, 737805, 6, "Sonnabend"},
      {2021, 1, 17, 737806, 7, "Sonntag"},
      {2021, 3, 1, 737849, 1, "Montag"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.day) + "." + std::to_string(c.month) + "." +
                 std::to_string(c.year));
    Moment m = MakeDate(c.year, c.month, c.day);
    ComputeDerived(&m);
    EXPECT_EQ(m.DayNumber, c.day_number);
    EXPECT_EQ(m.Weekday, c.weekday);
    EXPECT_EQ(m.StampHundredths, c.day_number * 8640000.0);
    FormatMoment(m);
    EXPECT_EQ(WeekdayText(), c.weekday_text);
  }
}

TEST_F(MomentTest, ClosedFormDayCountMatchesTheLoop) {
  // Every year from 1 to 3000, with the month and day moving on each year.
  for (int32_t year = 1; year <= 3000; ++year) {
    int32_t month = 1 + year % 12;
    int32_t day = 1 + (year * 7) % 28;
    Moment m = MakeDate(year, month, day);
    ComputeDerived(&m);
    ASSERT_EQ(m.DayNumber, ReferenceDayNumber(year, month, day))
        << day << "." << month << "." << year;
  }
  // Every day of the years around the leap rules.
  for (int32_t year : {1, 2, 3, 4, 5, 100, 400, 1600, 1900, 2000, 2024, 2100}) {
    for (int32_t month = 1; month <= 12; ++month) {
      SetFebruaryFor(year);
      for (int32_t day = 1; day <= MonthDaysEntry(month); ++day) {
        Moment m = MakeDate(year, month, day);
        ComputeDerived(&m);
        ASSERT_EQ(m.DayNumber, ReferenceDayNumber(year, month, day))
            << day << "." << month << "." << year;
      }
    }
  }
  // Out-of-range fields as the loop counts them (no months before January,
  // no years before year 1).
  const struct {
    int32_t year, month, day;
  } odd[] = {{0, 0, 0}, {1, 0, 1}, {-5, 3, 10}, {2021, 1, 0}, {2021, 13, 1}};
  for (const auto& c : odd) {
    Moment m = MakeDate(c.year, c.month, c.day);
    ComputeDerived(&m);
    EXPECT_EQ(m.DayNumber, ReferenceDayNumber(c.year, c.month, c.day));
  }
}

TEST_F(MomentTest, ConsecutiveDaysCountUpByOne) {
  int32_t expected = 0;
  for (int32_t year = 1; year <= 3000; ++year) {
    for (int32_t month = 1; month <= 12; ++month) {
      SetFebruaryFor(year);
      int32_t length = MonthDaysEntry(month);
      for (int32_t day = 1; day <= length; ++day) {
        Moment m = MakeDate(year, month, day);
        ComputeDerived(&m);
        ASSERT_EQ(m.DayNumber, expected) << day << "." << month << "." << year;
        ASSERT_EQ(m.Weekday, expected % 7 + 1);
        ++expected;
      }
    }
  }
}

TEST_F(MomentTest, DerivingRewritesFebruary) {
  Moment leap = MakeDate(2000, 1, 1);
  ComputeDerived(&leap);
  EXPECT_EQ(MonthDaysEntry(2), 29);
  Moment common = MakeDate(2021, 1, 1);
  ComputeDerived(&common);
  EXPECT_EQ(MonthDaysEntry(2), 28);
  EXPECT_EQ(MonthDaysEntry(0), 31);  // the December before January
  EXPECT_EQ(MonthDaysEntry(4), 30);
}

TEST_F(MomentTest, TakeNowFillsEveryText) {
  g_test_clock = {2021, 1, 13, 3, 12, 34, 56, 78};
  TakeNow();
  const Moment& m = CurrentMoment();
  EXPECT_EQ(m.ClockYear, 2021);
  EXPECT_EQ(m.ClockWeekday, 3);
  EXPECT_EQ(m.Year, 2021);
  EXPECT_EQ(m.Hundredths, 78);
  EXPECT_EQ(m.Weekday, 3);
  EXPECT_EQ(m.DayNumber, 737802);
  EXPECT_EQ(m.StampHundredths, 6374613809678.0);
  EXPECT_EQ(m.StampSeconds, 63746138096.0);
  FormatMoment(m);
  const struct {
    const char* name;
    const std::string& (*text)();
    const char* want;
  } texts[] = {
      {"WeekdayText", WeekdayText, "Mittwoch"},
      {"DateShortText", DateShortText, "13.01.21"},
      {"DateText", DateText, "13.01.2021"},
      {"IsoDateText", IsoDateText, "2021-01-13"},
      {"TimeText", TimeText, "12:34:56"},
      {"TimeHsText", TimeHsText, "12:34:56,78"},
      {"StampText", StampText, "13.01.2021 12:34:56,78"},
      {"FileStampText", FileStampText, "d20210113_t12345678"},
      {"CompactStampText", CompactStampText, "D20210113T12345678"},
      {"CompactDateText", CompactDateText, "D20210113"},
      {"LongDateText", LongDateText, "Mittwoch, 13.Januar 2021, 12:34:56"},
      {"DayNumberText", DayNumberText, "737.802"},
      {"HundredthsText", HundredthsText, "6.374.613.809.678"},
  };
  for (const auto& t : texts) EXPECT_EQ(t.text(), t.want) << t.name;
  EXPECT_EQ(FileStampText().substr(0, 17), "d20210113_t123456");
}

TEST_F(MomentTest, FormatShowsShortYearsHundredthsAndMarch) {
  Moment m;
  SetMoment(&m, 2005, 3, 6, 7, 8, 9, 7);
  Moment before = m;
  FormatMoment(m);
  EXPECT_EQ(DateShortText(), "06.03.05");
  EXPECT_EQ(StampText(), "06.03.2005 07:08:09,07");
  EXPECT_EQ(WeekdayText(), "Sonntag");
  // March is written with the byte 0x84 for the a-umlaut.
  EXPECT_EQ(LongDateText(), "Sonntag, 06.M\x84rz 2005, 07:08:09");
  // The caller's record is left as it was.
  EXPECT_EQ(std::memcmp(&before, &m, sizeof m), 0);
}

TEST_F(MomentTest, FormatFollowsTheWorkingFields) {
  Moment m = MakeDate(2021, 1, 13);
  m.Weekday = 0;  // the clock's Sunday has its own slot
  FormatMoment(m);
  EXPECT_EQ(WeekdayText(), "Sonntag");
  m.Weekday = 9;  // outside both name tables: no name instead of a stray read
  m.Month = 14;
  FormatMoment(m);
  EXPECT_EQ(WeekdayText(), "");
  EXPECT_EQ(LongDateText(), ", 13. 2021, 00:00:00");
  // The 16-bit clock fields are what the texts show.
  m = MakeDate(70000, 1, 1);
  FormatMoment(m);
  EXPECT_EQ(DateText(), "01.01.4464");
}

TEST_F(MomentTest, StampTextsAgreeWithTheOtherTexts) {
  // The stamp texts are written in one piece for the usual field widths and
  // piece by piece otherwise; both must match the texts built from parts.
  const struct {
    int32_t year, month, day, hour, minute, second, hundredths;
  } cases[] = {
      {2021, 1, 13, 12, 34, 56, 78},  {1, 1, 1, 0, 0, 0, 0},
      {9999, 12, 31, 23, 59, 59, 99}, {10000, 1, 1, 0, 0, 0, 0},
      {2021, 1, 13, 12, 34, 56, 123},  // hundredths wider than their field
      {40000, 1, 13, 12, 34, 56, 7},   // shows as a negative 16-bit year
      {2021, 100, 13, 5, 6, 7, 8},    {2021, 1, 13, 12, 34, 56, -1},
  };
  for (const auto& c : cases) {
    Moment m;
    m.Year = c.year;
    m.Month = c.month;
    m.Day = c.day;
    m.Hour = c.hour;
    m.Minute = c.minute;
    m.Second = c.second;
    m.Hundredths = c.hundredths;
    FormatMoment(m);
    SCOPED_TRACE(StampText());
    EXPECT_EQ(StampText(), DateText() + " " + TimeHsText());
    std::string compact = CompactStampText();
    size_t t = compact.find('T');
    ASSERT_NE(t, std::string::npos);
    std::string want(1, 'd');
    want.append(compact, 1, t - 1).append("_t").append(compact, t + 1);
    EXPECT_EQ(FileStampText(), want);
  }
  Moment wide;
  wide.Year = 2021;
  wide.Month = 1;
  wide.Day = 13;
  wide.Hour = 12;
  wide.Minute = 34;
  wide.Second = 56;
  wide.Hundredths = 123;
  FormatMoment(wide);
  EXPECT_EQ(StampText(), "13.01.2021 12:34:56,123");
  EXPECT_EQ(FileStampText(), "d20210113_t123456123");
  wide.Year = 40000;
  FormatMoment(wide);
  EXPECT_EQ(DateText(), "13.01.-25536");
}

TEST_F(MomentTest, LaterFormatReplacesTextsAskedForEarlier) {
  FormatMoment(MakeDate(2021, 1, 13));
  EXPECT_EQ(DateText(), "13.01.2021");
  FormatMoment(MakeDate(2024, 12, 31));
  EXPECT_EQ(DateText(), "31.12.2024");
  EXPECT_EQ(StampText(), "31.12.2024 00:00:00,00");
}

TEST_F(MomentTest, PrintMomentDump) {
  g_test_clock = {2021, 1, 13, 3, 12, 34, 56, 78};
  TakeNow();
  FormatMoment(CurrentMoment());
  std::string out;
  TEST_CaptureOutput(&out);
  PrintMomentDump();
  TEST_CaptureOutput(nullptr);
  EXPECT_EQ(out,
            "Wochentag     = Mittwoch\n"
            "TT.MM.JJ      = 13.01.21\n"
            "TT.MM.JJJJ    = 13.01.2021\n"
            "JJJJ-MM-TT    = 2021-01-13\n"
            "HH:MM:SS      = 12:34:56\n"
            "HH:MM:SS,MS   = 12:34:56,78\n"
            "Timestamp     = 13.01.2021 12:34:56,78\n"
            "Datum/Zeit    = Mittwoch, 13.Januar 2021, 12:34:56\n"
            "absolute Zeit = 737.802 Tage == 6.374.613.809.678 HS\n");
}

struct Fields {
  int32_t year, month, day, hour, minute, second, hundredths;
};

Fields FieldsOf(const Moment& m) {
  return {m.Year, m.Month, m.Day, m.Hour, m.Minute, m.Second, m.Hundredths};
}

bool operator==(const Fields& a, const Fields& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day &&
         a.hour == b.hour && a.minute == b.minute && a.second == b.second &&
         a.hundredths == b.hundredths;
}

std::ostream& operator<<(std::ostream& os, const Fields& f) {
  return os << f.day << "." << f.month << "." << f.year << " " << f.hour << ":"
            << f.minute << ":" << f.second << "," << f.hundredths;
}

TEST_F(MomentTest, SetMomentNormalizes) {
  const struct {
    Fields in;
    Fields want;
  } cases[] = {
      {{2021, 1, 32, 0, 0, 0, 0}, {2021, 2, 1, 0, 0, 0, 0}},
      {{2021, 13, 1, 0, 0, 0, 0}, {2022, 1, 1, 0, 0, 0, 0}},
      {{2021, 25, 1, 0, 0, 0, 0}, {2023, 1, 1, 0, 0, 0, 0}},
      {{2021, 0, 1, 0, 0, 0, 0}, {2020, 12, 1, 0, 0, 0, 0}},
      {{2021, -13, 1, 0, 0, 0, 0}, {2019, 11, 1, 0, 0, 0, 0}},
      {{2021, 3, 0, 0, 0, 0, 0}, {2021, 2, 28, 0, 0, 0, 0}},
      {{2020, 3, 0, 0, 0, 0, 0}, {2020, 2, 29, 0, 0, 0, 0}},
      {{2021, 1, 1, 0, 0, 0, -1}, {2020, 12, 31, 23, 59, 59, 99}},
      {{2021, 1, 1, -1, 0, 0, 0}, {2020, 12, 31, 23, 0, 0, 0}},
      {{2021, 1, 1, 0, 0, 0, 100}, {2021, 1, 1, 0, 0, 1, 0}},
      {{2021, 1, 1, 25, 61, 61, 101}, {2021, 1, 2, 2, 2, 2, 1}},
      {{2021, 12, 31, 23, 59, 59, 100}, {2022, 1, 1, 0, 0, 0, 0}},
      {{2020, 2, 30, 0, 0, 0, 0}, {2020, 3, 1, 0, 0, 0, 0}},
      {{2021, 1, 1, 0, 0, 0, -8640000}, {2020, 12, 31, 0, 0, 0, 0}},
      // A year below 1 is left alone, also when the borrows reach it.
      {{0, 5, 5, 0, 0, 0, 0}, {0, 5, 5, 0, 0, 0, 0}},
      {{1, 0, 1, 0, 0, 0, 0}, {0, 12, 1, 0, 0, 0, 0}},
      {{1, 1, 0, 0, 0, 0, 0}, {0, 12, 31, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    Moment m;
    SetMoment(&m, c.in.year, c.in.month, c.in.day, c.in.hour, c.in.minute,
              c.in.second, c.in.hundredths);
    EXPECT_EQ(FieldsOf(m), c.want) << "from " << c.in;
  }
}

TEST_F(MomentTest, NormalizeFarAwayDaysKeepsTheDayCount) {
  Moment base = MakeDate(2021, 1, 1);
  ComputeDerived(&base);
  for (int32_t offset : {-700000, -146098, -146097, -1000, 1000, 146097, 146098,
                         400000, 3000000}) {
    Moment m;
    SetMoment(&m, 2021, 1, 1 + offset, 0, 0, 0, 0);
    EXPECT_EQ(m.DayNumber, base.DayNumber + offset) << offset;
    EXPECT_TRUE(IsValidMoment(m)) << offset;
  }
}

TEST_F(MomentTest, AddToMoment) {
  const struct {
    Fields start;
    Fields amounts;
    Fields want;
  } cases[] = {
      {{2021, 1, 31, 0, 0, 0, 0},
       {0, 1, 0, 0, 0, 0, 0},
       {2021, 3, 3, 0, 0, 0, 0}},
      {{2020, 3, 1, 0, 0, 0, 0},
       {0, 0, -1, 0, 0, 0, 0},
       {2020, 2, 29, 0, 0, 0, 0}},
      {{2020, 2, 29, 12, 0, 0, 0},
       {1, 0, 0, 0, 0, 0, 0},
       {2021, 3, 1, 12, 0, 0, 0}},
      {{2021, 1, 13, 23, 59, 59, 99},
       {0, 0, 0, 0, 0, 0, 1},
       {2021, 1, 14, 0, 0, 0, 0}},
      {{2021, 1, 13, 0, 0, 0, 0},
       {0, 0, 0, 48, -30, 0, 0},
       {2021, 1, 14, 23, 30, 0, 0}},
  };
  for (const auto& c : cases) {
    Moment m;
    SetMoment(&m, c.start.year, c.start.month, c.start.day, c.start.hour,
              c.start.minute, c.start.second, c.start.hundredths);
    AddToMoment(&m, c.amounts.year, c.amounts.month, c.amounts.day,
                c.amounts.hour, c.amounts.minute, c.amounts.second,
                c.amounts.hundredths);
    EXPECT_EQ(FieldsOf(m), c.want) << "from " << c.start;
  }
}

TEST_F(MomentTest, MomentFromHundredthsRoundTrip) {
  const Fields cases[] = {
      {1, 1, 1, 0, 0, 0, 0},         {1, 1, 31, 23, 59, 59, 99},
      {1, 2, 1, 0, 0, 0, 1},         {4, 2, 29, 12, 0, 0, 0},
      {1900, 2, 28, 6, 7, 8, 9},     {2000, 2, 29, 0, 0, 0, 50},
      {2021, 1, 13, 12, 34, 56, 78}, {2021, 12, 31, 23, 59, 59, 99},
      {2400, 12, 31, 0, 0, 0, 0},    {9999, 12, 31, 23, 59, 59, 99},
      {65535, 6, 15, 1, 2, 3, 4},
  };
  for (const Fields& f : cases) {
    Moment m;
    SetMoment(&m, f.year, f.month, f.day, f.hour, f.minute, f.second,
              f.hundredths);
    double stamp = m.StampHundredths;
    Moment rebuilt;
    rebuilt.StampHundredths = stamp;
    MomentFromHundredths(&rebuilt);
    EXPECT_EQ(FieldsOf(rebuilt), f);
    EXPECT_EQ(rebuilt.StampHundredths, stamp);
  }
  Moment bad;
  bad.StampHundredths = std::nan("");
  MomentFromHundredths(&bad);
  EXPECT_EQ(FieldsOf(bad), (Fields{1, 1, 1, 0, 0, 0, 0}));
}

TEST_F(MomentTest, Validity) {
  const struct {
    Fields f;
    bool valid;
  } cases[] = {
      {{1900, 2, 29, 0, 0, 0, 0}, false},
      {{2021, 2, 29, 0, 0, 0, 0}, false},
      {{2000, 2, 29, 0, 0, 0, 0}, true},
      {{2021, 1, 13, 23, 59, 59, 99}, true},
      {{0, 1, 1, 0, 0, 0, 0}, false},
      {{2021, 0, 1, 0, 0, 0, 0}, false},
      {{2021, 13, 1, 0, 0, 0, 0}, false},
      {{2021, 4, 31, 0, 0, 0, 0}, false},
      {{2021, 1, 0, 0, 0, 0, 0}, false},
      {{2021, 1, 1, 24, 0, 0, 0}, false},
      {{2021, 1, 1, 0, 60, 0, 0}, false},
      {{2021, 1, 1, 0, 0, 60, 0}, false},
      {{2021, 1, 1, 0, 0, 0, 100}, false},
      {{2021, 1, 1, 0, 0, 0, -1}, false},
  };
  for (const auto& c : cases) {
    const Fields& f = c.f;
    EXPECT_EQ(IsValidMoment(f.year, f.month, f.day, f.hour, f.minute, f.second,
                            f.hundredths),
              c.valid)
        << f;
    Moment m;
    m.Year = f.year;
    m.Month = f.month;
    m.Day = f.day;
    m.Hour = f.hour;
    m.Minute = f.minute;
    m.Second = f.second;
    m.Hundredths = f.hundredths;
    EXPECT_EQ(IsValidMoment(m), c.valid) << f;
  }
}

TEST_F(MomentTest, ParseStampText) {
  const struct {
    const char* text;
    Fields want;
  } cases[] = {
      {"13.01.2021 12:34:56,78", {2021, 1, 13, 12, 34, 56, 78}},
      {"29.02.2000 00:00:00,00", {2000, 2, 29, 0, 0, 0, 0}},
      // Out-of-range values are carried like SetMoment does.
      {"32.12.2021 23:59:59,99", {2022, 1, 1, 23, 59, 59, 99}},
      // Fields that are not numbers read as 0 (here the hundredths).
      {"13.01.2021 12:34:56,xy", {2021, 1, 13, 12, 34, 56, 0}},
      {" 5.01.2021 12:34:56", {2021, 1, 5, 12, 34, 56, 0}},
  };
  for (const auto& c : cases) {
    ParseStampText(c.text);
    EXPECT_EQ(FieldsOf(CurrentMoment()), c.want) << c.text;
  }
  ParseStampText("13.01.2021 12:34:56,78");
  EXPECT_EQ(StampText(), "13.01.2021 12:34:56,78");
  EXPECT_EQ(CurrentMoment().DayNumber, 737802);
  // A text without a year is left as the year-0 moment that SetMoment keeps.
  ParseStampText("");
  EXPECT_EQ(FieldsOf(CurrentMoment()), (Fields{0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace korv
