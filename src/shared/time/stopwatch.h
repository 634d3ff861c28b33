// Numbered stopwatches, calendar differences of two moments and the German
// duration texts.
#ifndef KORV_SHARED_TIME_STOPWATCH_H_
#define KORV_SHARED_TIME_STOPWATCH_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

// Difference of the current moment minus the reference moment: calendar
// components (all negated when the current moment is not the later one) and
// totals (negative when it is the earlier one).
struct DiffMoment {
  int32_t Years = 0;
  int32_t Months = 0;
  int32_t Days = 0;
  int32_t Hours = 0;
  int32_t Minutes = 0;
  int32_t Seconds = 0;
  int32_t Hundredths = 0;
  double TotalYears = 0;
  double TotalMonths = 0;
  double TotalWeeks = 0;
  double TotalDays = 0;
  double TotalHours = 0;
  double TotalMinutes = 0;
  double TotalSeconds = 0;
};

// Highest stopwatch number; 0 is the duration operations' save area.
inline constexpr uint16_t kLastStopwatch = 10;

// Returns the last difference (left by DiffMoments and the durations).
const DiffMoment& LastDiff();

// Reads the clock and sets start and last of stopwatch i to now; *text, when
// given, gets "Start:" + the stamp text. Numbers above kLastStopwatch share
// one spare stopwatch that is none of the numbered ones.
void StopwatchStart(uint16_t i, std::string* text = nullptr);

// Reads the clock, sets last of stopwatch i to now and makes its start the
// reference moment; *text, when given, gets "Stop: " + the stamp text.
void StopwatchStop(uint16_t i, std::string* text = nullptr);

// Returns "Dauer:" + the time from start to last of stopwatch i
// ("Dauer:00:01:23,45", "Dauer:1T 02:03:04,05", "Dauer:Negativ??? :-)") and
// leaves that difference in LastDiff and the difference texts. The current
// and reference moments are unchanged.
const std::string& StopwatchDuration(uint16_t i);

// Returns DiffHoursText of stopwatch i, leaving the difference as above.
const std::string& StopwatchHours(uint16_t i);

// Returns the seconds from start to last of stopwatch i (the TotalSeconds
// of its duration), leaving the difference as above.
double StopwatchSeconds(uint16_t i);

// Reads the clock into the current moment, refreshes the moment texts and
// returns label + StampText ("StopUhr:" for the label ":").
const std::string& StampedLabel(std::string_view label);

// Computes current moment minus reference moment into LastDiff; the
// difference texts follow from it.
void DiffMoments();

// Returns true when the current moment is strictly later than the reference
// moment (deriving both first).
bool CurrentIsLater();

// Adds the components and totals of LastDiff to the running sum, carrying
// into the larger units, and rebuilds SumText and SumHoursText.
void AccumulateDiff();

// Sets the running sum to zero.
void ResetDiffSum();

// Returns the running sum of AccumulateDiff.
const DiffMoment& DiffSum();

// Return the texts of the last difference, built when first asked for.
const std::string& DiffText();        // 00.00.00 00:01:23,45
const std::string& DiffHoursText();   // 00:01:23,45 (days counted as hours)
const std::string& DiffWordsText();   // 00 Jahre 00 Monate 00 Tage, 00:01:23,45
const std::string& DiffTotalsText();  // the seven totals joined by " / "
const std::string& TotalYearsText();  // 0,000 Jahre
const std::string& TotalMonthsText();   // 0,000 Monate
const std::string& TotalWeeksText();    // 0,000 Wochen
const std::string& TotalDaysText();     // 0,000 Tage
const std::string& TotalHoursText();    // 0,023 h
const std::string& TotalMinutesText();  // 1,390 min
const std::string& TotalSecondsText();  // 83,45 s

// Return the texts of the running sum.
const std::string& SumText();       // 00.00.0000 00:00:00,00
const std::string& SumHoursText();  // 00:00:00,00

// Test hook: puts stopwatches, moments, differences and all their texts back
// to program start.
void TEST_ResetStopwatches();

}  // namespace korv

#endif  // KORV_SHARED_TIME_STOPWATCH_H_
