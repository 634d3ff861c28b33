// The local wall clock and a millisecond tick.
#ifndef KORV_SHARED_PLATFORM_CLOCK_H_
#define KORV_SHARED_PLATFORM_CLOCK_H_

#include <cstdint>

namespace korv {

// One reading of the local clock.
struct LocalClock {
  int year = 0;
  int month = 0;       // 1..12
  int day = 0;         // 1..31
  int weekday = 0;     // 0 = Sunday .. 6 = Saturday
  int hour = 0;
  int minute = 0;
  int second = 0;
  int hundredths = 0;  // 0..99
};

// Reads the local date and time (clock_gettime + localtime_r).
LocalClock ReadLocalClock();

// Returns a millisecond tick of the system clock, for seeding.
uint64_t MillisecondTick();

// Returns milliseconds of a clock that only goes forward (for speeds).
uint64_t MonotonicMilliseconds();

// Returns the seconds since 1 January 1970 (UTC) of the system clock.
int64_t EpochSeconds();

// Returns the local date and time of an instant given in seconds since
// 1 January 1970 (hundredths 0).
LocalClock LocalClockAt(int64_t epoch_seconds);

// Test hook: while set, ReadLocalClock returns what the function gives.
// nullptr switches back to the real clock.
void TEST_SetClock(LocalClock (*source)());

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_CLOCK_H_
