// Cost of the per-block progress display and the per-file completion step,
// with the heap allocations each makes once warmed up.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <string>

#include "shared/platform/console.h"
#include "shared/run/protocol.h"
#include "shared/run/run_state.h"
#include "shared/run/work_folder.h"
#include "shared/time/stopwatch.h"
#include "testing/test_process.h"

namespace {
long long g_allocations = 0;
}  // namespace

// The counting operator new hands out malloc'ed memory, so free is the
// matching release; the compiler cannot see that pairing.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace korv {
namespace {

// Output goes to a string that is emptied (keeping its room) now and then.
std::string g_sink;

void DrainSink() {
  if (g_sink.size() > (1 << 20)) g_sink.clear();
}

void BM_ProgressDisplay(benchmark::State& state) {
  ResetRunState();
  g_sink.reserve(2 << 20);
  TEST_CaptureOutput(&g_sink);
  for (int i = 0; i < 1000; ++i) {  // warm up the buffers
    g_run.progress_bytes += 32768;
    ProgressDisplay();
  }
  long long before = g_allocations;
  for (auto _ : state) {
    g_run.progress_bytes += 32768;
    ProgressDisplay();
    DrainSink();
  }
  state.counters["allocs_per_op"] =
      benchmark::Counter(static_cast<double>(g_allocations - before) /
                         static_cast<double>(state.iterations()));
  TEST_CaptureOutput(nullptr);
}
BENCHMARK(BM_ProgressDisplay);

// One finished file per iteration; state.range(0) is 1 with the protocol
// on (sampled out, as almost every file of a long run is), 0 without.
void BM_FileCompletionStep(benchmark::State& state) {
  const bool with_protocol = state.range(0) == 1;
  const std::string dir = MakeTempFolder();
  setenv("HOME", dir.c_str(), 1);
  ResetRunState();
  TEST_ResetProtocol();
  HomeFolderLookup("korvamel");
  g_sink.reserve(2 << 20);
  TEST_CaptureOutput(&g_sink);
  g_run.protocol_active = with_protocol;
  g_run.run_total = 10000000;
  g_run.protocol_step = 10000000;
  g_run.protocol_minimum = 20480;
  if (with_protocol) {
    MakeProtocolFileName("korvbench");
    CreateProtocolFile();
    StopwatchStart(3);
    StopwatchStart(4);
  }
  g_run.current_index = 0;
  for (int i = 0; i < 100; ++i) {  // past the ten lines always written
    StopwatchStart(2);
    FileCompletionStep();
    ++g_run.current_index;
  }
  long long before = g_allocations;
  for (auto _ : state) {
    StopwatchStart(2);
    FileCompletionStep();
    g_run.current_index = (g_run.current_index + 1) % 9000000 + 100;
    DrainSink();
  }
  state.counters["allocs_per_op"] =
      benchmark::Counter(static_cast<double>(g_allocations - before) /
                         static_cast<double>(state.iterations()));
  TEST_CaptureOutput(nullptr);
  CloseProtocolFile();
  TEST_ResetProtocol();
  RemoveTree(dir);
}
BENCHMARK(BM_FileCompletionStep)->Arg(0)->Arg(1);

}  // namespace
}  // namespace korv

BENCHMARK_MAIN();
