#include "shared/time/stopwatch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "shared/format/format.h"
#include "shared/platform/clock.h"
#include "shared/time/moment.h"

// Counts heap allocations, to show that the per-file stopwatch calls make
// none once their buffers have room. Left out under AddressSanitizer, which
// brings its own allocator.
#if !defined(__SANITIZE_ADDRESS__)
#define KORV_COUNT_ALLOCATIONS 1
namespace {
long g_allocations = 0;
}  // namespace
void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace korv {
namespace {

LocalClock g_test_clock;
LocalClock TestClock() { return g_test_clock; }

void SetClock(int year, int month, int day, int hour, int minute, int second,
              int hundredths) {
  // The clock's day of week is replaced by the derived one, so any will do.
  g_test_clock = {year, month, day, 0, hour, minute, second, hundredths};
}

class StopwatchTest : public testing::Test {
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

struct Instant {
  int year, month, day, hour, minute, second, hundredths;
};

TEST_F(StopwatchTest, DurationTable) {
  const struct {
    Instant start;
    Instant stop;
    const char* start_text;
    const char* stop_text;
    const char* duration;
  } cases[] = {
      {{2021, 1, 13, 12, 0, 0, 0},
       {2021, 1, 13, 12, 0, 0, 0},
       "Start:13.01.2021 12:00:00,00",
       "Stop: 13.01.2021 12:00:00,00",
       "Dauer:00:00:00,00"},
      {{2021, 1, 13, 12, 0, 0, 0},
       {2021, 1, 13, 12, 1, 23, 45},
       "Start:13.01.2021 12:00:00,00",
       "Stop: 13.01.2021 12:01:23,45",
       "Dauer:00:01:23,45"},
      {{2021, 1, 13, 23, 59, 59, 99},
       {2021, 1, 14, 0, 0, 0, 1},
       "Start:13.01.2021 23:59:59,99",
       "Stop: 14.01.2021 00:00:00,01",
       "Dauer:00:00:00,02"},
      {{2021, 1, 13, 10, 0, 0, 0},
       {2021, 1, 14, 12, 3, 4, 5},
       "Start:13.01.2021 10:00:00,00",
       "Stop: 14.01.2021 12:03:04,05",
       "Dauer:1T 02:03:04,05"},
      {{2021, 1, 1, 0, 0, 0, 0},
       {2021, 2, 10, 5, 0, 0, 0},
       "Start:01.01.2021 00:00:00,00",
       "Stop: 10.02.2021 05:00:00,00",
       "Dauer:40T 05:00:00,00"},
      {{2021, 1, 13, 12, 0, 10, 0},
       {2021, 1, 13, 12, 0, 0, 0},
       "Start:13.01.2021 12:00:10,00",
       "Stop: 13.01.2021 12:00:00,00",
       "Dauer:Negativ??? :-)"},
      {{2020, 12, 31, 23, 59, 59, 99},
       {2021, 1, 1, 0, 0, 0, 0},
       "Start:31.12.2020 23:59:59,99",
       "Stop: 01.01.2021 00:00:00,00",
       "Dauer:00:00:00,01"},
      {{2020, 2, 28, 12, 0, 0, 0},
       {2020, 3, 1, 12, 0, 0, 0},
       "Start:28.02.2020 12:00:00,00",
       "Stop: 01.03.2020 12:00:00,00",
       "Dauer:2T 00:00:00,00"},
      {{2021, 1, 13, 0, 0, 0, 0},
       {2021, 6, 13, 0, 0, 0, 0},
       "Start:13.01.2021 00:00:00,00",
       "Stop: 13.06.2021 00:00:00,00",
       "Dauer:151T 00:00:00,00"},
      {{2021, 1, 1, 0, 0, 0, 0},
       {2024, 1, 1, 0, 0, 0, 0},
       "Start:01.01.2021 00:00:00,00",
       "Stop: 01.01.2024 00:00:00,00",
       "Dauer:1.095T 00:00:00,00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.start_text) + " -> " + c.stop_text);
    TEST_ResetStopwatches();
    const Instant& a = c.start;
    const Instant& b = c.stop;
    SetClock(a.year, a.month, a.day, a.hour, a.minute, a.second, a.hundredths);
    std::string start_text;
    StopwatchStart(2, &start_text);
    EXPECT_EQ(start_text, c.start_text);
    SetClock(b.year, b.month, b.day, b.hour, b.minute, b.second, b.hundredths);
    std::string stop_text;
    StopwatchStop(2, &stop_text);
    EXPECT_EQ(stop_text, c.stop_text);
    EXPECT_EQ(StopwatchDuration(2), c.duration);
  }
}

TEST_F(StopwatchTest, TotalsOfADuration) {
  SetClock(2021, 1, 13, 12, 0, 0, 0);
  StopwatchStart(1);
  SetClock(2021, 1, 13, 12, 1, 23, 45);
  StopwatchStop(1);
  EXPECT_EQ(StopwatchDuration(1), "Dauer:00:01:23,45");
  const DiffMoment& d = LastDiff();
  EXPECT_DOUBLE_EQ(d.TotalSeconds, 83.45);
  EXPECT_DOUBLE_EQ(d.TotalMinutes, 83.45 / 60);
  EXPECT_EQ(TotalSecondsText(), "83,45 s");
  EXPECT_EQ(TotalMinutesText(), "1,390 min");
  EXPECT_EQ(DiffText(), "00.00.00 00:01:23,45");
  EXPECT_EQ(DiffHoursText(), "00:01:23,45");
  EXPECT_EQ(DiffWordsText(), "00 Jahre 00 Monate 00 Tage, 00:01:23,45");
}

TEST_F(StopwatchTest, TotalTextsOfOneDayAndMore) {
  SetClock(2021, 1, 13, 10, 0, 0, 0);
  StopwatchStart(3);
  SetClock(2021, 1, 14, 12, 3, 4, 5);
  StopwatchStop(3);
  EXPECT_EQ(StopwatchDuration(3), "Dauer:1T 02:03:04,05");
  EXPECT_EQ(DiffText(), "01.00.00 02:03:04,05");
  EXPECT_EQ(DiffHoursText(), "26:03:04,05");  // the day counted as hours
  EXPECT_EQ(StopwatchHours(3), "26:03:04,05");

  SetClock(2021, 1, 13, 0, 0, 0, 0);
  StopwatchStart(4);
  SetClock(2021, 1, 14, 0, 0, 0, 0);
  StopwatchStop(4);
  StopwatchDuration(4);
  EXPECT_EQ(TotalYearsText(), "0,002 Jahre");
  EXPECT_EQ(TotalMonthsText(), "0,032 Monate");
  EXPECT_EQ(TotalWeeksText(), "0,142 Wochen");
  EXPECT_EQ(TotalDaysText(), "1,000 Tage");
  EXPECT_EQ(TotalHoursText(), "24,000 h");
  EXPECT_EQ(TotalMinutesText(), "1.440,000 min");
  EXPECT_EQ(TotalSecondsText(), "86.400,00 s");
  EXPECT_EQ(DiffTotalsText(),
            "0,002 Jahre / 0,032 Monate / 0,142 Wochen / 1,000 Tage / "
            "24,000 h / 1.440,000 min / 86.400,00 s");
}

TEST_F(StopwatchTest, MonthBorrowTakesTheMonthBeforeTheLaterMonth) {
  SetClock(2021, 1, 31, 12, 0, 0, 0);
  StopwatchStart(1);
  SetClock(2021, 3, 1, 12, 0, 0, 0);
  StopwatchStop(1);
  EXPECT_EQ(StopwatchDuration(1), "Dauer:29T 00:00:00,00");
  const DiffMoment& d = LastDiff();
  EXPECT_EQ(d.Years, 0);
  EXPECT_EQ(d.Months, 1);
  EXPECT_EQ(d.Days, -2);  // February's 28 days were borrowed
  EXPECT_EQ(DiffWordsText(), "00 Jahre 01 Monate -2 Tage, 00:00:00,00");
  EXPECT_EQ(DiffText(), "-2.01.00 00:00:00,00");
  EXPECT_EQ(MonthDaysEntry(2), 28);  // February set for the earlier year
}

TEST_F(StopwatchTest, NegativeDifferenceBorrowsTheEarlierMonth) {
  Moment& current = CurrentMoment();
  Moment& reference = ReferenceMoment();
  SetMoment(&current, 2021, 1, 31, 12, 0, 0, 0);
  SetMoment(&reference, 2021, 3, 1, 12, 0, 0, 0);
  EXPECT_FALSE(CurrentIsLater());
  DiffMoments();
  const DiffMoment& d = LastDiff();
  EXPECT_EQ(d.Years, 0);
  EXPECT_EQ(d.Months, -1);
  EXPECT_EQ(d.Days, -1);  // January's 31 days were borrowed
  EXPECT_EQ(d.Hours, 0);
  EXPECT_DOUBLE_EQ(d.TotalDays, -29);
  EXPECT_EQ(DiffText(), "-1/-1/0 0/0/0/0");
  EXPECT_EQ(DiffHoursText(), "-24/0/0/0");
  EXPECT_EQ(DiffWordsText(), "0 Jahre -1 Monate -1 Tage, 0/0/0/0");
  EXPECT_EQ(TotalDaysText(), "-29,000 Tage");
  EXPECT_EQ(TotalSecondsText(), "-2.505.600,00 s");
}

TEST_F(StopwatchTest, NegativeTimePartIsGrouped) {
  SetMoment(&CurrentMoment(), 2021, 1, 13, 12, 0, 0, 0);
  SetMoment(&ReferenceMoment(), 2021, 1, 13, 12, 0, 10, 50);
  DiffMoments();
  EXPECT_EQ(DiffText(), "0/0/0 0/0/-10/-50");
  EXPECT_EQ(TotalSecondsText(), "-10,50 s");
  EXPECT_TRUE(LastDiff().TotalSeconds < 0);
}

TEST_F(StopwatchTest, EqualMomentsAreNotLater) {
  SetMoment(&CurrentMoment(), 2021, 1, 13, 12, 0, 0, 0);
  SetMoment(&ReferenceMoment(), 2021, 1, 13, 12, 0, 0, 0);
  EXPECT_FALSE(CurrentIsLater());
  SetMoment(&CurrentMoment(), 2021, 1, 13, 12, 0, 0, 1);
  EXPECT_TRUE(CurrentIsLater());
}

TEST_F(StopwatchTest, NeverStartedStopwatch) {
  EXPECT_EQ(StopwatchDuration(5), "Dauer:00:00:00,00");
  EXPECT_EQ(DiffText(), "00.00.00 00:00:00,00");
}

TEST_F(StopwatchTest, RunningStopwatchShowsZeroAndNothingChanges) {
  SetClock(2021, 1, 13, 8, 0, 0, 0);
  StopwatchStart(7);
  SetClock(2021, 1, 13, 9, 0, 0, 0);
  StopwatchStart(8);
  StopwatchStop(8);
  Moment current = CurrentMoment();
  Moment reference = ReferenceMoment();
  EXPECT_EQ(StopwatchDuration(7), "Dauer:00:00:00,00");
  EXPECT_EQ(StopwatchDuration(7), "Dauer:00:00:00,00");
  EXPECT_EQ(std::memcmp(&current, &CurrentMoment(), sizeof current), 0);
  EXPECT_EQ(std::memcmp(&reference, &ReferenceMoment(), sizeof reference), 0);
}

TEST_F(StopwatchTest, StopLeavesMomentsAndTexts) {
  SetClock(2021, 1, 13, 9, 30, 15, 0);
  StopwatchStart(3);
  SetClock(2021, 1, 13, 9, 45, 0, 12);
  StopwatchStop(3);
  EXPECT_EQ(CurrentMoment().Minute, 45);
  EXPECT_EQ(ReferenceMoment().Minute, 30);  // the start of the stopwatch
  EXPECT_EQ(StampText(), "13.01.2021 09:45:00,12");
  EXPECT_EQ(FileStampText(), "d20210113_t09450012");
  EXPECT_EQ(WeekdayText(), "Mittwoch");
  // A stop restarts nothing: a later stop still measures from the start.
  SetClock(2021, 1, 13, 10, 30, 15, 0);
  StopwatchStop(3);
  EXPECT_EQ(StopwatchDuration(3), "Dauer:01:00:00,00");
}

TEST_F(StopwatchTest, StampedLabel) {
  SetClock(2021, 1, 13, 12, 34, 56, 78);
  EXPECT_EQ(StampedLabel(":"), "StopUhr:13.01.2021 12:34:56,78");
  EXPECT_EQ(StampedLabel("Jetzt "), "Jetzt 13.01.2021 12:34:56,78");
  EXPECT_EQ(StampedLabel(""), "13.01.2021 12:34:56,78");
  EXPECT_EQ(StampedLabel(std::string(300, 'x')).size(), 255u);
}

TEST_F(StopwatchTest, WideDateComponentShiftsTheDurationBody) {
  // The body is the difference text from its tenth character: a year count
  // of three digits pushes the blank into it.
  SetClock(1900, 1, 1, 0, 0, 0, 0);
  StopwatchStart(1);
  SetClock(2021, 1, 1, 0, 0, 0, 0);
  StopwatchStop(1);
  EXPECT_EQ(StopwatchDuration(1), "Dauer:44.195T  00:00:00,00");
  EXPECT_EQ(DiffText(), "00.00.121 00:00:00,00");
}

TEST_F(StopwatchTest, NumbersAboveTheTableTouchNoStopwatch) {
  SetClock(2021, 1, 13, 12, 0, 0, 0);
  StopwatchStart(10);
  SetClock(2021, 1, 13, 12, 0, 5, 0);
  StopwatchStop(10);
  SetClock(2021, 1, 13, 13, 0, 0, 0);
  StopwatchStart(11);
  StopwatchStart(60000);
  SetClock(2021, 1, 13, 13, 0, 1, 0);
  StopwatchStop(60000);
  EXPECT_EQ(StopwatchDuration(60000), "Dauer:00:00:01,00");
  EXPECT_EQ(StopwatchDuration(10), "Dauer:00:00:05,00");
}

TEST_F(StopwatchTest, RunningSum) {
  EXPECT_EQ(SumText(), "");
  ResetDiffSum();
  EXPECT_EQ(SumText(), "00.00.0000 00:00:00,00");
  EXPECT_EQ(SumHoursText(), "00:00:00,00");
  const struct {
    Instant start, stop;
    const char* sum;
    const char* sum_hours;
  } steps[] = {
      {{2021, 1, 13, 12, 0, 0, 60},
       {2021, 1, 13, 12, 0, 41, 20},
       "00.00.0000 00:00:40,60",
       "00:00:40,60"},
      {{2021, 1, 13, 12, 0, 0, 0},
       {2021, 1, 13, 12, 0, 30, 50},
       "00.00.0000 00:01:11,10",
       "00:01:11,10"},
      {{2021, 1, 1, 0, 0, 0, 0},
       {2021, 1, 21, 23, 0, 0, 0},
       "20.00.0000 23:01:11,10",
       "503:01:11,10"},
      {{2021, 1, 1, 0, 0, 0, 0},
       {2021, 1, 16, 1, 0, 0, 0},
       "05.01.0000 00:01:11,10",
       "120:01:11,10"},
      {{2021, 1, 1, 0, 0, 0, 0},
       {2022, 12, 1, 0, 0, 0, 0},
       "05.00.0002 00:01:11,10",
       "120:01:11,10"},
  };
  for (const auto& s : steps) {
    const Instant& a = s.start;
    const Instant& b = s.stop;
    SetClock(a.year, a.month, a.day, a.hour, a.minute, a.second, a.hundredths);
    StopwatchStart(6);
    SetClock(b.year, b.month, b.day, b.hour, b.minute, b.second, b.hundredths);
    StopwatchStop(6);
    StopwatchDuration(6);
    AccumulateDiff();
    EXPECT_EQ(SumText(), s.sum);
    EXPECT_EQ(SumHoursText(), s.sum_hours);
  }
  ResetDiffSum();
  EXPECT_EQ(SumText(), "00.00.0000 00:00:00,00");
  EXPECT_EQ(DiffSum().Years, 0);
}

TEST_F(StopwatchTest, DifferenceTextsFollowTheLastDifference) {
  SetClock(2021, 1, 13, 12, 0, 0, 0);
  StopwatchStart(2);
  SetClock(2021, 1, 13, 12, 0, 1, 0);
  StopwatchStop(2);
  StopwatchDuration(2);
  EXPECT_EQ(DiffText(), "00.00.00 00:00:01,00");
  SetClock(2021, 1, 13, 12, 0, 3, 0);
  StopwatchStop(2);
  StopwatchDuration(2);
  EXPECT_EQ(DiffText(), "00.00.00 00:00:03,00");
  EXPECT_EQ(TotalSecondsText(), "3,00 s");
}

#ifdef KORV_COUNT_ALLOCATIONS
TEST_F(StopwatchTest, PerFileCallsDoNotAllocate) {
  // Warm up every path once: short, over a day, negative.
  std::string text;
  SetClock(2021, 1, 13, 12, 0, 0, 0);
  StopwatchStart(2, &text);
  SetClock(2021, 1, 15, 12, 0, 0, 0);
  StopwatchStop(2, &text);
  StopwatchDuration(2);
  SetClock(2021, 1, 14, 12, 0, 0, 0);
  StopwatchStart(2, &text);
  SetClock(2021, 1, 13, 12, 0, 0, 0);
  StopwatchStop(2, &text);
  StopwatchDuration(2);
  long before = g_allocations;
  size_t total = 0;
  for (int i = 0; i < 1000; ++i) {
    SetClock(2021, 1, 13 + i % 3, i % 24, i % 60, (i * 7) % 60, i % 100);
    StopwatchStart(2, &text);
    total += text.size();
    SetClock(2021, 1, 13 + (i + 1) % 3, (i + 5) % 24, i % 60, 0, 0);
    StopwatchStop(2, &text);
    total += text.size();
    total += StopwatchDuration(2).size();
    total += StampText().size() + FileStampText().size();
    total += static_cast<size_t>(LastDiff().TotalSeconds != 0);
  }
  EXPECT_EQ(g_allocations - before, 0);
  EXPECT_GT(total, 0u);
}
#endif

}  // namespace
}  // namespace korv
