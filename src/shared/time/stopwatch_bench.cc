// Cost of timing one data file: start, stop and duration of a stopwatch.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

#include "shared/platform/clock.h"
#include "shared/time/moment.h"
#include "shared/time/stopwatch.h"

namespace korv {
namespace {

// One file's timing with the real local clock, as the programs do it.
void BM_StartStopDuration(benchmark::State& state) {
  size_t total = 0;
  std::string text;
  for (auto _ : state) {
    StopwatchStart(2, &text);
    total += text.size();
    StopwatchStop(2, &text);
    total += text.size();
    total += StopwatchDuration(2).size();
  }
  benchmark::DoNotOptimize(total);
}
BENCHMARK(BM_StartStopDuration);

LocalClock g_fixed_clock = {2021, 1, 13, 3, 12, 34, 56, 78};
LocalClock FixedClock() { return g_fixed_clock; }

// The same without the cost of reading the system clock.
void BM_StartStopDurationFixedClock(benchmark::State& state) {
  TEST_SetClock(FixedClock);
  size_t total = 0;
  std::string text;
  for (auto _ : state) {
    g_fixed_clock.hundredths = (g_fixed_clock.hundredths + 1) % 100;
    StopwatchStart(2, &text);
    total += text.size();
    g_fixed_clock.second = (g_fixed_clock.second + 1) % 60;
    StopwatchStop(2, &text);
    total += text.size();
    total += StopwatchDuration(2).size();
  }
  TEST_SetClock(nullptr);
  benchmark::DoNotOptimize(total);
}
BENCHMARK(BM_StartStopDurationFixedClock);

// Reading the local clock alone, for comparison.
void BM_ReadLocalClock(benchmark::State& state) {
  for (auto _ : state) {
    LocalClock c = ReadLocalClock();
    benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(BM_ReadLocalClock);

void BM_ComputeDerived(benchmark::State& state) {
  Moment m;
  m.Year = 2021;
  m.Month = 1;
  m.Day = 13;
  for (auto _ : state) {
    m.Day = 1 + (m.Day % 28);
    ComputeDerived(&m);
    benchmark::DoNotOptimize(m.StampHundredths);
  }
}
BENCHMARK(BM_ComputeDerived);

}  // namespace
}  // namespace korv

BENCHMARK_MAIN();
