// Speed of the number texts on the per-file and per-block paths.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "shared/format/format.h"

namespace korv {
namespace {

void BM_ZeroPadded7(benchmark::State& state) {
  int32_t index = 0;
  for (auto _ : state) {
    std::string t = ZeroPadded(index, 7);
    benchmark::DoNotOptimize(t);
    index = (index + 1) % 10000000;
  }
}
BENCHMARK(BM_ZeroPadded7);

void BM_AppendZeroPadded7(benchmark::State& state) {
  std::string name;
  name.reserve(64);
  int64_t index = 0;
  for (auto _ : state) {
    name.clear();
    name.push_back('N');
    AppendZeroPadded(&name, index, 7);
    name.append(".KVL");
    benchmark::DoNotOptimize(name);
    index = (index + 1) % 10000000;
  }
}
BENCHMARK(BM_AppendZeroPadded7);

void BM_SizeText(benchmark::State& state) {
  const int64_t sizes[] = {512, 50000, 1048575, 1073741824, 5368709120};
  size_t i = 0;
  for (auto _ : state) {
    std::string t = SizeText(sizes[i]);
    benchmark::DoNotOptimize(t);
    i = (i + 1) % 5;
  }
}
BENCHMARK(BM_SizeText);

void BM_RealCutGrouped(benchmark::State& state) {
  double x = 1234567.891;
  for (auto _ : state) {
    std::string t = RealCutGrouped(x, 3);
    benchmark::DoNotOptimize(t);
    x += 1.25;
  }
}
BENCHMARK(BM_RealCutGrouped);

}  // namespace
}  // namespace korv

BENCHMARK_MAIN();
