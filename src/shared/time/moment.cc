#include "shared/time/moment.h"

#include <cmath>
#include <cstring>

#include "shared/format/format.h"
#include "shared/platform/clock.h"
#include "shared/platform/console.h"

namespace korv {
namespace {

constexpr int16_t kInitialMonthDays[13] = {31, 31, 28, 31, 30, 31, 30,
                                           31, 31, 30, 31, 30, 31};

// Days of the months before month k + 1 in a common year (k = 0..12).
constexpr int64_t kDaysBeforeMonthEnd[13] = {0,   31,  59,  90,  120, 151, 181,
                                             212, 243, 273, 304, 334, 365};

// Days in 400 Gregorian years: any 4800 consecutive months hold this many.
constexpr int64_t kDaysPer400Years = 146097;

constexpr double kHundredthsPerDay = 8640000.0;

// Each name sits in a fixed slot; only the name itself is shown.
const char* const kWeekdayNames[8] = {"Sonntag",   "Montag",     "Dienstag",
                                      "Mittwoch",  "Donnerstag", "Freitag",
                                      "Sonnabend", "Sonntag"};
// March is written with the console code-page byte for a-umlaut.
const char* const kMonthNames[13] = {
    "",     "Januar", "Februar",   "M\x84rz", "April",    "Mai",     "Juni",
    "Juli", "August", "September", "Oktober", "November", "Dezember"};

int16_t g_month_days[13] = {31, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

Moment g_current;
Moment g_reference;

// The moment of the last FormatMoment, with its clock fields refreshed.
Moment g_formatted;

std::string g_stamp_text;
std::string g_file_stamp_text;

// Texts built on demand from g_formatted.
bool g_other_texts_stale = false;
std::string g_weekday_text;
std::string g_date_short_text;
std::string g_date_text;
std::string g_iso_date_text;
std::string g_time_text;
std::string g_time_hs_text;
std::string g_long_date_text;
std::string g_day_number_text;
std::string g_hundredths_text;
std::string g_compact_stamp_text;
std::string g_compact_date_text;

int64_t MonthLength(int64_t index) {
  return index >= 0 && index <= 12 ? g_month_days[index] : 31;
}

// Appends Z(v, w): the 16-bit clock field shown as a signed 16-bit value.
void AppendZ(std::string* out, uint16_t v, int w) {
  AppendZeroPadded(out, static_cast<int16_t>(v), w);
}

void CutText(std::string* text) {
  if (text->size() > kMaxTextLength) text->resize(kMaxTextLength);
}

void BuildDateText(const Moment& m, std::string* out) {
  out->clear();
  AppendZ(out, m.ClockDay, 2);
  out->push_back('.');
  AppendZ(out, m.ClockMonth, 2);
  out->push_back('.');
  AppendZ(out, m.ClockYear, 4);
}

void BuildTimeText(const Moment& m, std::string* out) {
  out->clear();
  AppendZ(out, m.ClockHour, 2);
  out->push_back(':');
  AppendZ(out, m.ClockMinute, 2);
  out->push_back(':');
  AppendZ(out, m.ClockSecond, 2);
}

// Appends year, month and day as Z(year,4) Z(month,2) Z(day,2).
void AppendCompactDate(const Moment& m, std::string* out) {
  AppendZ(out, m.ClockYear, 4);
  AppendZ(out, m.ClockMonth, 2);
  AppendZ(out, m.ClockDay, 2);
}

void AppendCompactTime(const Moment& m, std::string* out) {
  AppendZ(out, m.ClockHour, 2);
  AppendZ(out, m.ClockMinute, 2);
  AppendZ(out, m.ClockSecond, 2);
  AppendZ(out, m.ClockHundredths, 2);
}

// True when every field fits its width without a longer text, so the
// stamp texts have their fixed layout.
bool FitsFixedLayout(const Moment& m) {
  return m.ClockYear <= 9999 && m.ClockMonth <= 99 && m.ClockDay <= 99 &&
         m.ClockHour <= 99 && m.ClockMinute <= 99 && m.ClockSecond <= 99 &&
         m.ClockHundredths <= 99;
}

// Writes v as exactly width digits.
char* PutDigits(char* p, unsigned v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + width;
}

// Builds StampText and FileStampText of a moment that FitsFixedLayout, in
// one piece each: twice per data file, so it is kept cheap.
void WriteStampTexts(const Moment& m) {
  char stamp[22];  // DD.MM.YYYY HH:MM:SS,hh
  char* p = PutDigits(stamp, m.ClockDay, 2);
  *p++ = '.';
  p = PutDigits(p, m.ClockMonth, 2);
  *p++ = '.';
  p = PutDigits(p, m.ClockYear, 4);
  *p++ = ' ';
  p = PutDigits(p, m.ClockHour, 2);
  *p++ = ':';
  p = PutDigits(p, m.ClockMinute, 2);
  *p++ = ':';
  p = PutDigits(p, m.ClockSecond, 2);
  *p++ = ',';
  PutDigits(p, m.ClockHundredths, 2);
  g_stamp_text.assign(stamp, sizeof stamp);
  char file[19];  // dYYYYMMDD_tHHMMSShh
  p = file;
  *p++ = 'd';
  p = PutDigits(p, m.ClockYear, 4);
  p = PutDigits(p, m.ClockMonth, 2);
  p = PutDigits(p, m.ClockDay, 2);
  *p++ = '_';
  *p++ = 't';
  p = PutDigits(p, m.ClockHour, 2);
  p = PutDigits(p, m.ClockMinute, 2);
  p = PutDigits(p, m.ClockSecond, 2);
  PutDigits(p, m.ClockHundredths, 2);
  g_file_stamp_text.assign(file, sizeof file);
}

void BuildOtherTexts() {
  if (!g_other_texts_stale) return;
  g_other_texts_stale = false;
  const Moment& m = g_formatted;
  g_weekday_text = m.ClockWeekday <= 7 ? kWeekdayNames[m.ClockWeekday] : "";
  g_date_short_text.clear();
  AppendZ(&g_date_short_text, m.ClockDay, 2);
  g_date_short_text.push_back('.');
  AppendZ(&g_date_short_text, m.ClockMonth, 2);
  g_date_short_text.push_back('.');
  AppendZ(&g_date_short_text, static_cast<uint16_t>(m.ClockYear % 100), 2);
  BuildDateText(m, &g_date_text);
  g_iso_date_text.clear();
  AppendZ(&g_iso_date_text, m.ClockYear, 4);
  g_iso_date_text.push_back('-');
  AppendZ(&g_iso_date_text, m.ClockMonth, 2);
  g_iso_date_text.push_back('-');
  AppendZ(&g_iso_date_text, m.ClockDay, 2);
  BuildTimeText(m, &g_time_text);
  g_time_hs_text = g_time_text;
  g_time_hs_text.push_back(',');
  AppendZ(&g_time_hs_text, m.ClockHundredths, 2);
  g_long_date_text = g_weekday_text;
  g_long_date_text.append(", ");
  AppendZ(&g_long_date_text, m.ClockDay, 2);
  g_long_date_text.push_back('.');
  g_long_date_text.append(m.ClockMonth <= 12 ? kMonthNames[m.ClockMonth] : "");
  g_long_date_text.push_back(' ');
  AppendZ(&g_long_date_text, m.ClockYear, 4);
  g_long_date_text.append(", ");
  g_long_date_text.append(g_time_text);
  CutText(&g_long_date_text);
  g_day_number_text = Grouped(m.DayNumber);
  g_hundredths_text = RealCutGrouped(m.StampHundredths, 0);
  g_compact_stamp_text.clear();
  g_compact_stamp_text.push_back('D');
  AppendCompactDate(m, &g_compact_stamp_text);
  g_compact_stamp_text.push_back('T');
  AppendCompactTime(m, &g_compact_stamp_text);
  g_compact_date_text.clear();
  g_compact_date_text.push_back('D');
  AppendCompactDate(m, &g_compact_date_text);
}

// Reads a field of a stamp text: characters first..first+count-1 (counted
// from 1) as a decimal number, 0 when it is not one.
int32_t StampField(std::string_view text, size_t first, size_t count) {
  if (first - 1 >= text.size()) return 0;
  std::string_view field = text.substr(first - 1, count);
  size_t p = 0;
  while (p < field.size() && field[p] == ' ') ++p;
  bool negative = false;
  if (p < field.size() && (field[p] == '-' || field[p] == '+')) {
    negative = field[p] == '-';
    ++p;
  }
  if (p == field.size()) return 0;
  int32_t value = 0;
  for (; p < field.size(); ++p) {
    if (field[p] < '0' || field[p] > '9') return 0;
    value = value * 10 + (field[p] - '0');
  }
  return negative ? -value : value;
}

}  // namespace

int32_t IsLeapYear(int32_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0) ? 1 : 0;
}

int16_t MonthDaysEntry(int32_t index) {
  return static_cast<int16_t>(MonthLength(index));
}

void SetFebruaryFor(int32_t year) {
  g_month_days[2] = static_cast<int16_t>(28 + IsLeapYear(year));
}

void TakeNow() {
  LocalClock c = ReadLocalClock();
  Moment& m = g_current;
  m.ClockYear = static_cast<uint16_t>(c.year);
  m.ClockMonth = static_cast<uint16_t>(c.month);
  m.ClockDay = static_cast<uint16_t>(c.day);
  m.ClockWeekday = static_cast<uint16_t>(c.weekday);
  m.ClockHour = static_cast<uint16_t>(c.hour);
  m.ClockMinute = static_cast<uint16_t>(c.minute);
  m.ClockSecond = static_cast<uint16_t>(c.second);
  m.ClockHundredths = static_cast<uint16_t>(c.hundredths);
  m.Year = m.ClockYear;
  m.Month = m.ClockMonth;
  m.Day = m.ClockDay;
  m.Hour = m.ClockHour;
  m.Minute = m.ClockMinute;
  m.Second = m.ClockSecond;
  m.Hundredths = m.ClockHundredths;
  m.Weekday = m.ClockWeekday;
  ComputeDerived(&m);
}

void ComputeDerived(Moment* m) {
  // Several calls per data file: the days of the months and years before
  // the date are counted in closed form instead of one by one.
  int64_t days = static_cast<int64_t>(m->Day) - 1;
  SetFebruaryFor(m->Year);
  int64_t months_before = static_cast<int64_t>(m->Month) - 1;
  if (months_before >= 1) {
    int64_t in_table = months_before < 12 ? months_before : 12;
    days += kDaysBeforeMonthEnd[in_table];
    if (in_table >= 2) days += IsLeapYear(m->Year);
    // Entries past December count 31 days, as MonthDaysEntry says.
    days += (months_before - in_table) * 31;
  }
  if (m->Year >= 2) {
    int64_t y = static_cast<int64_t>(m->Year) - 1;
    days += y * 365 + y / 4 - y / 100 + y / 400;
  }
  m->DayNumber = static_cast<int32_t>(days);
  m->StampHundredths = static_cast<double>(m->DayNumber) * kHundredthsPerDay +
                       static_cast<double>(m->Hour) * 360000.0 +
                       static_cast<double>(m->Minute) * 6000.0 +
                       static_cast<double>(m->Second) * 100.0 +
                       static_cast<double>(m->Hundredths);
  m->StampSeconds = std::trunc(m->StampHundredths / 100.0);
  m->Weekday = m->DayNumber % 7 + 1;
}

void FormatMoment(Moment m) {
  m.ClockYear = static_cast<uint16_t>(m.Year);
  m.ClockMonth = static_cast<uint16_t>(m.Month);
  m.ClockDay = static_cast<uint16_t>(m.Day);
  m.ClockHour = static_cast<uint16_t>(m.Hour);
  m.ClockMinute = static_cast<uint16_t>(m.Minute);
  m.ClockSecond = static_cast<uint16_t>(m.Second);
  m.ClockHundredths = static_cast<uint16_t>(m.Hundredths);
  m.ClockWeekday = static_cast<uint16_t>(m.Weekday);
  std::memcpy(&g_formatted, &m, sizeof m);
  // The stamp texts are read on the per-file path and built here into
  // buffers that keep their room; the rest waits until asked for.
  if (FitsFixedLayout(m)) {
    WriteStampTexts(m);
  } else {
    BuildDateText(m, &g_stamp_text);
    g_stamp_text.push_back(' ');
    AppendZ(&g_stamp_text, m.ClockHour, 2);
    g_stamp_text.push_back(':');
    AppendZ(&g_stamp_text, m.ClockMinute, 2);
    g_stamp_text.push_back(':');
    AppendZ(&g_stamp_text, m.ClockSecond, 2);
    g_stamp_text.push_back(',');
    AppendZ(&g_stamp_text, m.ClockHundredths, 2);
    g_file_stamp_text.clear();
    g_file_stamp_text.push_back('d');
    AppendCompactDate(m, &g_file_stamp_text);
    g_file_stamp_text.append("_t");
    AppendCompactTime(m, &g_file_stamp_text);
  }
  g_other_texts_stale = true;
}

void PrintMomentDump() {
  OutLine("Wochentag     = " + WeekdayText());
  OutLine("TT.MM.JJ      = " + DateShortText());
  OutLine("TT.MM.JJJJ    = " + DateText());
  OutLine("JJJJ-MM-TT    = " + IsoDateText());
  OutLine("HH:MM:SS      = " + TimeText());
  OutLine("HH:MM:SS,MS   = " + TimeHsText());
  OutLine("Timestamp     = " + StampText());
  OutLine("Datum/Zeit    = " + LongDateText());
  OutLine("absolute Zeit = " + DayNumberText() +
          " Tage == " + HundredthsText() + " HS");
}

void NormalizeMoment(Moment* m) {
  if (m->Year < 1) return;
  int64_t year = m->Year;
  int64_t month = m->Month;
  int64_t day = m->Day;
  int64_t hour = m->Hour;
  int64_t minute = m->Minute;
  int64_t second = m->Second;
  int64_t hundredths = m->Hundredths;
  auto store = [&] {
    m->Year = static_cast<int32_t>(year);
    m->Month = static_cast<int32_t>(month);
    m->Day = static_cast<int32_t>(day);
    m->Hour = static_cast<int32_t>(hour);
    m->Minute = static_cast<int32_t>(minute);
    m->Second = static_cast<int32_t>(second);
    m->Hundredths = static_cast<int32_t>(hundredths);
  };
  // Borrow upwards: as many whole units as it takes to reach 0 or more.
  auto borrow = [](int64_t* value, int64_t base, int64_t* from) {
    if (*value >= 0) return;
    int64_t n = (-*value + base - 1) / base;
    *value += n * base;
    *from -= n;
  };
  borrow(&hundredths, 100, &second);
  borrow(&second, 60, &minute);
  borrow(&minute, 60, &hour);
  borrow(&hour, 24, &day);
  if (month < 1) {
    int64_t n = (12 - month) / 12;  // steps of 12 months to reach 1
    if (n >= year) {
      month += 12 * year;
      year = 0;
      store();
      return;
    }
    month += 12 * n;
    year -= n;
  }
  while (day < 1) {
    // 4800 months back always hold 400 years of days.
    if (day < -kDaysPer400Years && month >= 1 && month <= 12 && year > 400) {
      day += kDaysPer400Years;
      year -= 400;
      continue;
    }
    SetFebruaryFor(static_cast<int32_t>(year));
    day += MonthLength(month - 1);
    --month;
    if (month == 0) {
      month = 12;
      --year;
      if (year < 1) {
        store();
        return;
      }
    }
  }
  second += hundredths / 100;
  hundredths %= 100;
  minute += second / 60;
  second %= 60;
  hour += minute / 60;
  minute %= 60;
  day += hour / 24;
  hour %= 24;
  int64_t a = month;
  month = a % 12;
  if (month == 0) month = 12;
  year += (a - month) / 12;
  for (;;) {
    if (day > kDaysPer400Years && month >= 1 && month <= 12) {
      day -= kDaysPer400Years;
      year += 400;
      continue;
    }
    SetFebruaryFor(static_cast<int32_t>(year));
    int64_t length = MonthLength(month);
    if (day <= length) break;
    day -= length;
    if (month == 12) {
      month = 1;
      ++year;
    } else {
      ++month;
    }
  }
  store();
  ComputeDerived(m);
}

void SetMoment(Moment* m, int32_t year, int32_t month, int32_t day,
               int32_t hour, int32_t minute, int32_t second,
               int32_t hundredths) {
  m->Year = year;
  m->Month = month;
  m->Day = day;
  m->Hour = hour;
  m->Minute = minute;
  m->Second = second;
  m->Hundredths = hundredths;
  NormalizeMoment(m);
}

void AddToMoment(Moment* m, int32_t years, int32_t months, int32_t days,
                 int32_t hours, int32_t minutes, int32_t seconds,
                 int32_t hundredths) {
  // Sums wrap like the 32-bit fields instead of overflowing.
  auto add = [](int32_t* field, int32_t amount) {
    if (amount != 0) {
      *field = static_cast<int32_t>(static_cast<int64_t>(*field) + amount);
    }
  };
  add(&m->Year, years);
  add(&m->Month, months);
  add(&m->Day, days);
  add(&m->Hour, hours);
  add(&m->Minute, minutes);
  add(&m->Second, seconds);
  add(&m->Hundredths, hundredths);
  NormalizeMoment(m);
}

void MomentFromHundredths(Moment* m) {
  double s = m->StampHundredths;
  if (!std::isfinite(s)) s = 0;
  auto take = [&s](double divisor) {
    double quotient = s / divisor;
    double remainder = std::round((quotient - std::trunc(quotient)) * divisor);
    s = (s - remainder) / divisor;
    return static_cast<int32_t>(remainder);
  };
  m->Hundredths = take(100);
  m->Second = take(60);
  m->Minute = take(60);
  m->Hour = take(24);
  int64_t days = std::fabs(s) < 9e18 ? static_cast<int64_t>(s) : 0;
  int64_t year = 1;
  int64_t month = 1;
  if (days > 0) {
    year += days / kDaysPer400Years * 400;
    days %= kDaysPer400Years;
  }
  for (;;) {
    SetFebruaryFor(static_cast<int32_t>(year));
    int64_t length = MonthLength(month);
    if (days < length) break;
    days -= length;
    if (month == 12) {
      month = 1;
      ++year;
    } else {
      ++month;
    }
  }
  m->Year = static_cast<int32_t>(year);
  m->Month = static_cast<int32_t>(month);
  m->Day = static_cast<int32_t>(1 + (days > 0 ? days : 0));
  ComputeDerived(m);
}

bool IsValidMoment(int32_t year, int32_t month, int32_t day, int32_t hour,
                   int32_t minute, int32_t second, int32_t hundredths) {
  if (year <= 0 || month < 1 || month > 12) return false;
  SetFebruaryFor(year);
  return day >= 1 && day <= g_month_days[month] && hour >= 0 && hour <= 23 &&
         minute >= 0 && minute <= 59 && second >= 0 && second <= 59 &&
         hundredths >= 0 && hundredths <= 99;
}

bool IsValidMoment(const Moment& m) {
  return IsValidMoment(m.Year, m.Month, m.Day, m.Hour, m.Minute, m.Second,
                       m.Hundredths);
}

void ParseStampText(std::string_view text) {
  SetMoment(&g_current, StampField(text, 7, 4), StampField(text, 4, 2),
            StampField(text, 1, 2), StampField(text, 12, 2),
            StampField(text, 15, 2), StampField(text, 18, 2),
            StampField(text, 21, 2));
  FormatMoment(g_current);
}

Moment& CurrentMoment() { return g_current; }
Moment& ReferenceMoment() { return g_reference; }

const std::string& WeekdayText() {
  BuildOtherTexts();
  return g_weekday_text;
}
const std::string& DateShortText() {
  BuildOtherTexts();
  return g_date_short_text;
}
const std::string& DateText() {
  BuildOtherTexts();
  return g_date_text;
}
const std::string& IsoDateText() {
  BuildOtherTexts();
  return g_iso_date_text;
}
const std::string& TimeText() {
  BuildOtherTexts();
  return g_time_text;
}
const std::string& TimeHsText() {
  BuildOtherTexts();
  return g_time_hs_text;
}
const std::string& StampText() { return g_stamp_text; }
const std::string& LongDateText() {
  BuildOtherTexts();
  return g_long_date_text;
}
const std::string& DayNumberText() {
  BuildOtherTexts();
  return g_day_number_text;
}
const std::string& HundredthsText() {
  BuildOtherTexts();
  return g_hundredths_text;
}
const std::string& FileStampText() { return g_file_stamp_text; }
const std::string& CompactStampText() {
  BuildOtherTexts();
  return g_compact_stamp_text;
}
const std::string& CompactDateText() {
  BuildOtherTexts();
  return g_compact_date_text;
}

void TEST_ResetMoments() {
  std::memcpy(g_month_days, kInitialMonthDays, sizeof g_month_days);
  g_current = Moment();
  g_reference = Moment();
  g_formatted = Moment();
  g_other_texts_stale = false;
  for (std::string* t :
       {&g_stamp_text, &g_file_stamp_text, &g_weekday_text, &g_date_short_text,
        &g_date_text, &g_iso_date_text, &g_time_text, &g_time_hs_text,
        &g_long_date_text, &g_day_number_text, &g_hundredths_text,
        &g_compact_stamp_text, &g_compact_date_text}) {
    t->clear();
  }
}

}  // namespace korv
