// The local wall clock and a millisecond tick on Windows.
#include <windows.h>

#include "shared/platform/clock.h"

namespace korv {
namespace {

LocalClock (*g_clock_source)() = nullptr;

}  // namespace

LocalClock ReadLocalClock() {
  if (g_clock_source != nullptr) return g_clock_source();
  SYSTEMTIME st;
  GetLocalTime(&st);
  LocalClock c;
  c.year = st.wYear;
  c.month = st.wMonth;
  c.day = st.wDay;
  c.weekday = st.wDayOfWeek;
  c.hour = st.wHour;
  c.minute = st.wMinute;
  c.second = st.wSecond > 59 ? 59 : st.wSecond;
  c.hundredths = st.wMilliseconds / 10;
  return c;
}

uint64_t MillisecondTick() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                         ft.dwLowDateTime;
  return ticks / 10000u;  // 100-nanosecond steps
}

void TEST_SetClock(LocalClock (*source)()) { g_clock_source = source; }

}  // namespace korv
