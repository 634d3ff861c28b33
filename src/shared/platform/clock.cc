#include "shared/platform/clock.h"

#include <time.h>

namespace korv {
namespace {

LocalClock (*g_clock_source)() = nullptr;

LocalClock FromCalendar(const struct tm& tm) {
  LocalClock c;
  c.year = tm.tm_year + 1900;
  c.month = tm.tm_mon + 1;
  c.day = tm.tm_mday;
  c.weekday = tm.tm_wday;
  c.hour = tm.tm_hour;
  c.minute = tm.tm_min;
  c.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second stays in range
  return c;
}

}  // namespace

LocalClock ReadLocalClock() {
  if (g_clock_source != nullptr) return g_clock_source();
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  LocalClock c = FromCalendar(tm);
  c.hundredths = static_cast<int>(ts.tv_nsec / 10000000);
  return c;
}

uint64_t MillisecondTick() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u +
         static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

uint64_t MonotonicMilliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u +
         static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

int64_t EpochSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

LocalClock LocalClockAt(int64_t epoch_seconds) {
  const time_t t = static_cast<time_t>(epoch_seconds);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return LocalClock();
  return FromCalendar(tm);
}

void TEST_SetClock(LocalClock (*source)()) { g_clock_source = source; }

}  // namespace korv
