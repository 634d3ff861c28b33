// The local wall clock and a millisecond tick on Windows.
#include <windows.h>

#include "shared/platform/clock.h"

namespace korv {
namespace {

LocalClock (*g_clock_source)() = nullptr;

// 100-nanosecond steps from 1601 (the system's count) to 1970.
constexpr uint64_t kEpochIn1601Steps = 116444736000000000u;
constexpr uint64_t kStepsPerSecond = 10000000u;

uint64_t SystemTimeSteps() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

LocalClock FromSystemTime(const SYSTEMTIME& st) {
  LocalClock c;
  c.year = st.wYear;
  c.month = st.wMonth;
  c.day = st.wDay;
  c.weekday = st.wDayOfWeek;
  c.hour = st.wHour;
  c.minute = st.wMinute;
  c.second = st.wSecond > 59 ? 59 : st.wSecond;
  return c;
}

}  // namespace

LocalClock ReadLocalClock() {
  if (g_clock_source != nullptr) return g_clock_source();
  SYSTEMTIME st;
  GetLocalTime(&st);
  LocalClock c = FromSystemTime(st);
  c.hundredths = st.wMilliseconds / 10;
  return c;
}

uint64_t MillisecondTick() { return SystemTimeSteps() / 10000u; }

uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

int64_t EpochSeconds() {
  return static_cast<int64_t>((SystemTimeSteps() - kEpochIn1601Steps) /
                              kStepsPerSecond);
}

LocalClock LocalClockAt(int64_t epoch_seconds) {
  if (epoch_seconds < 0) return LocalClock();
  const uint64_t steps = static_cast<uint64_t>(epoch_seconds) *
                             kStepsPerSecond + kEpochIn1601Steps;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(steps);
  ft.dwHighDateTime = static_cast<DWORD>(steps >> 32);
  SYSTEMTIME utc;
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&ft, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &st)) {
    return LocalClock();
  }
  return FromSystemTime(st);
}

void TEST_SetClock(LocalClock (*source)()) { g_clock_source = source; }

}  // namespace korv
