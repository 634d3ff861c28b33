#include "shared/time/stopwatch.h"

#include <cmath>

#include "shared/format/format.h"
#include "shared/time/moment.h"

namespace korv {
namespace {

struct Stopwatch {
  Moment start;
  Moment last;  // instant of the last start or stop
};

// Slot 0 is the save area of the durations; the slot behind the numbered
// ones takes every number above kLastStopwatch, so no number reaches
// outside the table.
constexpr uint16_t kSpareSlot = kLastStopwatch + 1;
Stopwatch g_watches[kSpareSlot + 1];

DiffMoment g_diff;
DiffMoment g_sum;

// Results of the label, duration and hours operations, each valid until
// the next call of the same operation; their room is kept, so the per-file
// calls allocate nothing after the first file. (Start and stop write their
// texts into the caller's string: the run keeps its start text.)
std::string g_label_result;
std::string g_duration_result;
std::string g_hours_result;
std::string g_scratch;

// Difference texts, built from g_diff when first asked for: the per-file
// durations never read them.
bool g_diff_texts_stale = false;
std::string g_diff_text;
std::string g_diff_hours_text;
std::string g_diff_words_text;
std::string g_diff_totals_text;
std::string g_total_years_text;
std::string g_total_months_text;
std::string g_total_weeks_text;
std::string g_total_days_text;
std::string g_total_hours_text;
std::string g_total_minutes_text;
std::string g_total_seconds_text;

std::string g_sum_text;
std::string g_sum_hours_text;

Stopwatch& Watch(uint16_t i) {
  return g_watches[i <= kLastStopwatch ? i : kSpareSlot];
}

void CutText(std::string* text) {
  if (text->size() > kMaxTextLength) text->resize(kMaxTextLength);
}

// Reads the clock into the current moment and refreshes the moment texts;
// writes label + StampText into out when given.
void Stamp(std::string_view label, std::string* out) {
  if (label == ":") label = "StopUhr:";
  TakeNow();
  FormatMoment(CurrentMoment());
  if (out == nullptr) return;
  out->assign(label);
  out->append(StampText());
  CutText(out);
}

void AppendZ2(std::string* out, int64_t value) {
  AppendZeroPadded(out, value, 2);
}

// Hours with the day component counted in (months and years are not).
int64_t DayHours(const DiffMoment& d) {
  return static_cast<int64_t>(d.Days) * 24 + d.Hours;
}

// Writes a value of 0..99 as two digits.
void PutTwoDigits(char* p, int32_t v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

// The two forms of the difference texts: zero-padded components with
// ".", ":" and "," when the difference is positive, grouped components with
// "/" everywhere when it is negative.
struct DiffForm {
  void (*part)(std::string*, int64_t);
  char date;
  char time;
  char hundredths;
};
constexpr DiffForm kPositiveForm = {AppendZ2, '.', ':', ','};
constexpr DiffForm kNegativeForm = {AppendGrouped, '/', '/', '/'};

// Appends hours, minutes, seconds and hundredths, starting with `hours`.
void AppendTimePart(std::string* out, const DiffMoment& d, int64_t hours,
                    const DiffForm& f) {
  f.part(out, hours);
  out->push_back(f.time);
  f.part(out, d.Minutes);
  out->push_back(f.time);
  f.part(out, d.Seconds);
  out->push_back(f.hundredths);
  f.part(out, d.Hundredths);
}

// DiffText: Days, Months, Years, then the time part.
void BuildDiffText(const DiffMoment& d, const DiffForm& f, std::string* out) {
  out->clear();
  f.part(out, d.Days);
  out->push_back(f.date);
  f.part(out, d.Months);
  out->push_back(f.date);
  f.part(out, d.Years);
  out->push_back(' ');
  AppendTimePart(out, d, d.Hours, f);
  CutText(out);
}

void BuildTotalText(double total, int16_t decimals, const char* suffix,
                    std::string* out) {
  out->clear();
  AppendRealCutGrouped(out, total, decimals);
  out->append(suffix);
  CutText(out);
}

void BuildDiffTexts() {
  if (!g_diff_texts_stale) return;
  g_diff_texts_stale = false;
  const DiffMoment& d = g_diff;
  const DiffForm& f = d.TotalSeconds >= 0 ? kPositiveForm : kNegativeForm;
  BuildDiffText(d, f, &g_diff_text);
  g_diff_hours_text.clear();
  AppendTimePart(&g_diff_hours_text, d, DayHours(d), f);
  g_diff_words_text.clear();
  f.part(&g_diff_words_text, d.Years);
  g_diff_words_text.append(" Jahre ");
  f.part(&g_diff_words_text, d.Months);
  g_diff_words_text.append(" Monate ");
  f.part(&g_diff_words_text, d.Days);
  g_diff_words_text.append(" Tage, ");
  AppendTimePart(&g_diff_words_text, d, d.Hours, f);
  CutText(&g_diff_text);
  CutText(&g_diff_hours_text);
  CutText(&g_diff_words_text);
  BuildTotalText(d.TotalSeconds, 2, " s", &g_total_seconds_text);
  BuildTotalText(d.TotalYears, 3, " Jahre", &g_total_years_text);
  BuildTotalText(d.TotalMonths, 3, " Monate", &g_total_months_text);
  BuildTotalText(d.TotalWeeks, 3, " Wochen", &g_total_weeks_text);
  BuildTotalText(d.TotalDays, 3, " Tage", &g_total_days_text);
  BuildTotalText(d.TotalHours, 3, " h", &g_total_hours_text);
  BuildTotalText(d.TotalMinutes, 3, " min", &g_total_minutes_text);
  g_diff_totals_text.clear();
  for (const std::string* t :
       {&g_total_years_text, &g_total_months_text, &g_total_weeks_text,
        &g_total_days_text, &g_total_hours_text, &g_total_minutes_text,
        &g_total_seconds_text}) {
    if (!g_diff_totals_text.empty()) g_diff_totals_text.append(" / ");
    g_diff_totals_text.append(*t);
  }
  CutText(&g_diff_totals_text);
}

// Makes stopwatch i's start and last the reference and current moments,
// saving the caller's pair in slot 0.
void SwapInStopwatch(uint16_t i) {
  g_watches[0].last = CurrentMoment();
  g_watches[0].start = ReferenceMoment();
  CurrentMoment() = Watch(i).last;
  ReferenceMoment() = Watch(i).start;
}

void RestoreMoments() {
  CurrentMoment() = g_watches[0].last;
  ReferenceMoment() = g_watches[0].start;
}

// Carries value > limit into *next by steps of base (limit + 1 for all but
// days, whose step is 31 above a limit of 30).
void CarryAbove(int32_t* value, int64_t limit, int64_t base, int32_t* next) {
  if (*value <= limit) return;
  int64_t n = (*value - limit - 1) / base + 1;
  *value = static_cast<int32_t>(*value - n * base);
  *next = static_cast<int32_t>(*next + n);
}

void BuildSumTexts() {
  const DiffMoment& s = g_sum;
  g_sum_text.clear();
  AppendZ2(&g_sum_text, s.Days);
  g_sum_text.push_back('.');
  AppendZ2(&g_sum_text, s.Months);
  g_sum_text.push_back('.');
  AppendZeroPadded(&g_sum_text, s.Years, 4);
  g_sum_text.push_back(' ');
  AppendTimePart(&g_sum_text, s, s.Hours, kPositiveForm);
  CutText(&g_sum_text);
  g_sum_hours_text.clear();
  AppendTimePart(&g_sum_hours_text, s, DayHours(s), kPositiveForm);
  CutText(&g_sum_hours_text);
}

}  // namespace

const DiffMoment& LastDiff() { return g_diff; }

const std::string& StampedLabel(std::string_view label) {
  Stamp(label, &g_label_result);
  return g_label_result;
}

void StopwatchStart(uint16_t i, std::string* text) {
  Stamp("Start:", text);
  Watch(i).last = CurrentMoment();
  Watch(i).start = CurrentMoment();
}

void StopwatchStop(uint16_t i, std::string* text) {
  Stamp("Stop: ", text);
  Watch(i).last = CurrentMoment();
  ReferenceMoment() = Watch(i).start;
}

const std::string& StopwatchDuration(uint16_t i) {
  SwapInStopwatch(i);
  DiffMoments();
  g_duration_result.assign("Dauer:");
  if (g_diff.TotalDays >= 1) {
    AppendGrouped(&g_duration_result, static_cast<int64_t>(g_diff.TotalDays));
    g_duration_result.append("T ");
  }
  if (g_diff.TotalSeconds >= 0) {
    // The body is the difference text from its tenth character on: the
    // time part, unless a date component took more than two characters.
    const DiffMoment& d = g_diff;
    if (d.Days <= 99 && d.Months <= 99 && d.Years <= 99 && d.Hours <= 99 &&
        d.Minutes <= 99 && d.Seconds <= 99 && d.Hundredths <= 99 &&
        d.Days >= 0 && d.Months >= 0 && d.Years >= 0 && d.Hours >= 0 &&
        d.Minutes >= 0 && d.Seconds >= 0 && d.Hundredths >= 0) {
      // Every component has two digits: the body is HH:MM:SS,hh.
      char body[11];
      PutTwoDigits(body, d.Hours);
      body[2] = ':';
      PutTwoDigits(body + 3, d.Minutes);
      body[5] = ':';
      PutTwoDigits(body + 6, d.Seconds);
      body[8] = ',';
      PutTwoDigits(body + 9, d.Hundredths);
      g_duration_result.append(body, sizeof body);
    } else {
      BuildDiffText(g_diff, kPositiveForm, &g_scratch);
      if (g_scratch.size() > 9) {
        g_duration_result.append(g_scratch, 9, std::string::npos);
      }
    }
  } else {
    g_duration_result.append("Negativ??? :-)");
  }
  CutText(&g_duration_result);
  RestoreMoments();
  return g_duration_result;
}

const std::string& StopwatchHours(uint16_t i) {
  SwapInStopwatch(i);
  DiffMoments();
  RestoreMoments();
  g_hours_result = DiffHoursText();
  return g_hours_result;
}

double StopwatchSeconds(uint16_t i) {
  SwapInStopwatch(i);
  DiffMoments();
  RestoreMoments();
  return g_diff.TotalSeconds;
}

bool CurrentIsLater() {
  ComputeDerived(&ReferenceMoment());
  ComputeDerived(&CurrentMoment());
  return ReferenceMoment().StampHundredths < CurrentMoment().StampHundredths;
}

void DiffMoments() {
  bool later = CurrentIsLater();
  const Moment& current = CurrentMoment();
  const Moment& reference = ReferenceMoment();
  const Moment& e = later ? reference : current;
  const Moment& l_moment = later ? current : reference;
  bool negative = !later;
  // The later instant's fields take the borrows; 64 bits keep any field
  // values free of overflow.
  int64_t l_year = l_moment.Year;
  int64_t l_month = l_moment.Month;
  int64_t l_day = l_moment.Day;
  int64_t l_hour = l_moment.Hour;
  int64_t l_minute = l_moment.Minute;
  int64_t l_second = l_moment.Second;
  int64_t l_hundredths = l_moment.Hundredths;
  auto component = [](int64_t later_value, int64_t earlier_value, int64_t base,
                      int64_t* borrow_from) {
    if (later_value >= earlier_value) return later_value - earlier_value;
    *borrow_from -= 1;
    return later_value - earlier_value + base;
  };
  int64_t hundredths = component(l_hundredths, e.Hundredths, 100, &l_second);
  int64_t seconds = component(l_second, e.Second, 60, &l_minute);
  int64_t minutes = component(l_minute, e.Minute, 60, &l_hour);
  int64_t hours = component(l_hour, e.Hour, 24, &l_day);
  SetFebruaryFor(e.Year);
  int64_t days;
  if (l_day >= e.Day) {
    days = l_day - e.Day;
  } else {
    // Borrow the month before the later month; for a negative difference
    // the earlier month (as the clock set back would have it).
    int64_t n = negative ? MonthDaysEntry(e.Month)
                         : MonthDaysEntry(static_cast<int32_t>(l_month - 1));
    days = l_day - e.Day + n;
    l_month -= 1;
  }
  int64_t months = component(l_month, e.Month, 12, &l_year);
  int64_t years = l_year - e.Year;
  int64_t sign = negative ? -1 : 1;
  g_diff.Years = static_cast<int32_t>(sign * years);
  g_diff.Months = static_cast<int32_t>(sign * months);
  g_diff.Days = static_cast<int32_t>(sign * days);
  g_diff.Hours = static_cast<int32_t>(sign * hours);
  g_diff.Minutes = static_cast<int32_t>(sign * minutes);
  g_diff.Seconds = static_cast<int32_t>(sign * seconds);
  g_diff.Hundredths = static_cast<int32_t>(sign * hundredths);
  g_diff.TotalSeconds =
      (current.StampHundredths - reference.StampHundredths) / 100.0;
  g_diff.TotalMinutes = g_diff.TotalSeconds / 60.0;
  g_diff.TotalHours = g_diff.TotalMinutes / 60.0;
  g_diff.TotalDays = g_diff.TotalHours / 24.0;
  // Years per day are divided in extended precision, then kept as a double.
  g_diff.TotalYears =
      static_cast<double>(static_cast<long double>(g_diff.TotalDays) / 365.22L);
  g_diff.TotalMonths = g_diff.TotalYears * 12.0;
  g_diff.TotalWeeks = g_diff.TotalDays / 7.0;
  g_diff_texts_stale = true;
}

void AccumulateDiff() {
  // Sums wrap like 32-bit fields instead of overflowing.
  auto add = [](int32_t* sum, int32_t value) {
    *sum = static_cast<int32_t>(static_cast<int64_t>(*sum) + value);
  };
  add(&g_sum.Years, g_diff.Years);
  add(&g_sum.Months, g_diff.Months);
  add(&g_sum.Days, g_diff.Days);
  add(&g_sum.Hours, g_diff.Hours);
  add(&g_sum.Minutes, g_diff.Minutes);
  add(&g_sum.Seconds, g_diff.Seconds);
  add(&g_sum.Hundredths, g_diff.Hundredths);
  CarryAbove(&g_sum.Hundredths, 99, 100, &g_sum.Seconds);
  CarryAbove(&g_sum.Seconds, 59, 60, &g_sum.Minutes);
  CarryAbove(&g_sum.Minutes, 59, 60, &g_sum.Hours);
  CarryAbove(&g_sum.Hours, 23, 24, &g_sum.Days);
  CarryAbove(&g_sum.Days, 30, 31, &g_sum.Months);
  CarryAbove(&g_sum.Months, 11, 12, &g_sum.Years);
  g_sum.TotalYears += g_diff.TotalYears;
  g_sum.TotalMonths += g_diff.TotalMonths;
  g_sum.TotalWeeks += g_diff.TotalWeeks;
  g_sum.TotalDays += g_diff.TotalDays;
  g_sum.TotalHours += g_diff.TotalHours;
  g_sum.TotalMinutes += g_diff.TotalMinutes;
  g_sum.TotalSeconds += g_diff.TotalSeconds;
  BuildSumTexts();
}

void ResetDiffSum() {
  g_sum = DiffMoment();
  g_sum_text = "00.00.0000 00:00:00,00";
  g_sum_hours_text = "00:00:00,00";
}

const DiffMoment& DiffSum() { return g_sum; }

const std::string& DiffText() {
  BuildDiffTexts();
  return g_diff_text;
}
const std::string& DiffHoursText() {
  BuildDiffTexts();
  return g_diff_hours_text;
}
const std::string& DiffWordsText() {
  BuildDiffTexts();
  return g_diff_words_text;
}
const std::string& DiffTotalsText() {
  BuildDiffTexts();
  return g_diff_totals_text;
}
const std::string& TotalYearsText() {
  BuildDiffTexts();
  return g_total_years_text;
}
const std::string& TotalMonthsText() {
  BuildDiffTexts();
  return g_total_months_text;
}
const std::string& TotalWeeksText() {
  BuildDiffTexts();
  return g_total_weeks_text;
}
const std::string& TotalDaysText() {
  BuildDiffTexts();
  return g_total_days_text;
}
const std::string& TotalHoursText() {
  BuildDiffTexts();
  return g_total_hours_text;
}
const std::string& TotalMinutesText() {
  BuildDiffTexts();
  return g_total_minutes_text;
}
const std::string& TotalSecondsText() {
  BuildDiffTexts();
  return g_total_seconds_text;
}
const std::string& SumText() { return g_sum_text; }
const std::string& SumHoursText() { return g_sum_hours_text; }

void TEST_ResetStopwatches() {
  for (Stopwatch& w : g_watches) w = Stopwatch();
  g_diff = DiffMoment();
  g_sum = DiffMoment();
  g_diff_texts_stale = false;
  for (std::string* t :
       {&g_label_result, &g_duration_result, &g_hours_result, &g_diff_text,
        &g_diff_hours_text, &g_diff_words_text, &g_diff_totals_text,
        &g_total_years_text, &g_total_months_text, &g_total_weeks_text,
        &g_total_days_text, &g_total_hours_text, &g_total_minutes_text,
        &g_total_seconds_text, &g_sum_text, &g_sum_hours_text}) {
    t->clear();
  }
  TEST_ResetMoments();
}

}  // namespace korv
