// Calendar instants: the local clock, day numbers from 1 January of year 1, and
// fixed German date texts.
#ifndef KORV_SHARED_TIME_MOMENT_H_
#define KORV_SHARED_TIME_MOMENT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

// A calendar instant. The Clock* fields hold what the clock gave (or what
// FormatMoment shows); all arithmetic uses the 32-bit working fields.
struct Moment {
  uint16_t ClockYear = 0;
  uint16_t ClockMonth = 0;
  uint16_t ClockDay = 0;
  uint16_t ClockHour = 0;
  uint16_t ClockMinute = 0;
  uint16_t ClockSecond = 0;
  uint16_t ClockHundredths = 0;
  uint16_t ClockWeekday = 0;  // 0 = Sunday .. 6 = Saturday
  int32_t Year = 0;
  int32_t Month = 0;
  int32_t Day = 0;
  int32_t Hour = 0;
  int32_t Minute = 0;
  int32_t Second = 0;
  int32_t Hundredths = 0;
  int32_t Weekday = 0;         // 1 = Monday .. 7 = Sunday, from DayNumber
  int32_t DayNumber = 0;       // days since 1 January of year 1 (that day is 0)
  double StampSeconds = 0;     // StampHundredths / 100, truncated
  double StampHundredths = 0;  // DayNumber * 8640000 + time in hundredths
  int16_t Spare = 0;           // reserved
  char Notes[5][31] = {};      // reserved: five texts of up to 30 characters
};

// Returns 1 for a Gregorian leap year, else 0.
int32_t IsLeapYear(int32_t year);

// Returns entry index (0..12) of the month lengths; entry 0 is the December
// before January, entry 2 holds February of the year last concerned. Indices
// outside the table count as months of 31 days.
int16_t MonthDaysEntry(int32_t index);

// Writes February's entry of the month lengths for year (28 or 29).
void SetFebruaryFor(int32_t year);

// Fills the current moment from the local clock and derives the rest.
void TakeNow();

// Sets DayNumber, StampHundredths, StampSeconds and Weekday from the 32-bit
// fields (and February's entry for m->Year).
void ComputeDerived(Moment* m);

// Rebuilds all moment texts from a copy of m.
void FormatMoment(Moment m);

// Prints nine labelled moment texts of the last FormatMoment.
void PrintMomentDump();

// Carries and borrows the 32-bit fields into their ranges, then derives the
// rest; a year below 1 (before or during the borrows) stops it.
void NormalizeMoment(Moment* m);

// Sets the 32-bit date and time fields, then normalizes.
void SetMoment(Moment* m, int32_t year, int32_t month, int32_t day,
               int32_t hour, int32_t minute, int32_t second,
               int32_t hundredths);

// Adds each non-zero amount to its field, then normalizes.
void AddToMoment(Moment* m, int32_t years, int32_t months, int32_t days,
                 int32_t hours, int32_t minutes, int32_t seconds,
                 int32_t hundredths);

// Rebuilds the date and time fields from StampHundredths, then derives the
// rest. A stamp that is not finite or lies beyond any 64-bit day count
// counts as 0.
void MomentFromHundredths(Moment* m);

// Returns true when every field lies in its range (February by the year).
bool IsValidMoment(int32_t year, int32_t month, int32_t day, int32_t hour,
                   int32_t minute, int32_t second, int32_t hundredths);
bool IsValidMoment(const Moment& m);

// Sets the current moment from a text laid out like StampText
// ("13.01.2021 12:34:56,78") and rebuilds the moment texts. A field that is
// missing or not a decimal number (leading blanks and a sign are allowed)
// reads as 0.
void ParseStampText(std::string_view text);

// Returns the module's current and reference moments.
Moment& CurrentMoment();
Moment& ReferenceMoment();

// Return the moment texts of the last FormatMoment. StampText and
// FileStampText are built by FormatMoment itself; the others when first
// asked for after it (the per-file path never reads them).
const std::string& WeekdayText();       // Mittwoch
const std::string& DateShortText();     // 13.01.21
const std::string& DateText();          // 13.01.2021
const std::string& IsoDateText();       // 2021-01-13
const std::string& TimeText();          // 12:34:56
const std::string& TimeHsText();        // 12:34:56,78
const std::string& StampText();         // 13.01.2021 12:34:56,78
const std::string& LongDateText();      // Mittwoch, 13.Januar 2021, 12:34:56
const std::string& DayNumberText();     // 737.802
const std::string& HundredthsText();    // 6.374.613.809.678
const std::string& FileStampText();     // d20210113_t12345678
const std::string& CompactStampText();  // D20210113T12345678
const std::string& CompactDateText();   // D20210113

// Test hook: puts moments, texts and month lengths back to program start.
void TEST_ResetMoments();

}  // namespace korv

#endif  // KORV_SHARED_TIME_MOMENT_H_
