// The reader's file ordering with list 0 at a million files and more.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "shared/lists/keyed_list.h"
#include "shared/platform/files.h"
#include "shared/platform/heap.h"

namespace korv {
namespace {

// Distinct data-file indices in the order an unsorted folder listing gives.
std::vector<int32_t> ShuffledIndices(int32_t n) {
  std::vector<int32_t> keys(static_cast<size_t>(n));
  std::iota(keys.begin(), keys.end(), 0);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(20240601));
  return keys;
}

// Returns a figure in kB from /proc/self/status ("VmHWM" is the largest
// resident size the process ever had), or -1.
int64_t ProcessStatusKb(const std::string& name) {
  TextFile* file = nullptr;
  if (TextOpenRead("/proc/self/status", &file) != 0) return -1;
  int64_t kb = -1;
  std::string line;
  bool eof = false;
  while (TextReadLine(file, &line, &eof) == 0 && !eof) {
    if (line.rfind(name + ":", 0) == 0) {
      kb = std::strtoll(line.c_str() + name.size() + 1, nullptr, 10);
      break;
    }
  }
  TextClose(file);
  return kb;
}

// Set for each file in listing order, renumber, then find by value 1 ... n:
// what the reader does before and during its file loop.
void BM_OrderFiles(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  std::vector<int32_t> keys = ShuffledIndices(n);
  ListClear0();
  for (auto _ : state) {
    for (int32_t i = 0; i < n; ++i)
      ListSet0(keys[static_cast<size_t>(i)], i + 1);
    ListRenumber0();
    int64_t sum = 0;
    for (int32_t v = 1; v <= n; ++v) {
      int32_t key = 0;
      ListFindByValue0(v, &key);
      sum += key;
    }
    benchmark::DoNotOptimize(sum);
    state.PauseTiming();
    ListClear0();
    state.ResumeTiming();
  }
  state.counters["files"] = n;
  state.counters["ns_per_file"] = benchmark::Counter(
      static_cast<double>(n) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OrderFiles)
    ->Arg(1000000)
    ->Arg(4000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

// Heap the list needs for n entries (keys in random order, renumbered).
void BM_MemoryForEntries(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  std::vector<int32_t> keys = ShuffledIndices(n);
  ListClear0();
  int64_t before = 0;
  int64_t after = 0;
  int64_t peak = 0;
  for (auto _ : state) {
    before = ReadHeapFigures().used_now;
    for (int32_t i = 0; i < n; ++i)
      ListSet0(keys[static_cast<size_t>(i)], i + 1);
    ListRenumber0();
    HeapFigures heap = ReadHeapFigures();
    after = heap.used_now;
    peak = heap.max_used;
    state.PauseTiming();
    ListClear0();
    state.ResumeTiming();
  }
  const double used = static_cast<double>(after - before);
  state.counters["entries"] = n;
  state.counters["list_MiB"] = used / (1024.0 * 1024.0);
  state.counters["bytes_per_entry"] = used / n;
  state.counters["heap_peak_MiB"] =
      static_cast<double>(peak) / (1024.0 * 1024.0);
  // The resident peak covers the moment the collected inserts are sorted,
  // which the heap figures, read before and after, do not see (it also
  // holds the benchmark's own key vector and whatever ran before in this
  // process: run this benchmark alone for the list's own figure).
  state.counters["process_peak_MiB"] =
      static_cast<double>(ProcessStatusKb("VmHWM")) / 1024.0;
}
BENCHMARK(BM_MemoryForEntries)
    ->Arg(10000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
}  // namespace korv

BENCHMARK_MAIN();
