// What the stamped pattern costs per 32 KiB block, next to a plain memset.
#include <benchmark/benchmark.h>

#include <cstring>

#include "shared/stamp/stamp.h"

namespace korv {
namespace {

constexpr size_t kBlock = 32768;
constexpr uint64_t kTag = 0x5f00aa11c0ffee42ULL;
alignas(64) uint8_t g_block[kBlock];

void BM_ConstantBlock(benchmark::State& state) {
  for (auto _ : state) {
    std::memset(g_block, 'A', kBlock);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_ConstantBlock);

void BM_FillStamped(benchmark::State& state) {
  TEST_ForceNarrowStamp(state.range(0) == 0);
  uint64_t position = 0;
  for (auto _ : state) {
    FillStamped(g_block, kBlock, kTag, position);
    position += kBlock;
    benchmark::ClobberMemory();
  }
  TEST_ForceNarrowStamp(false);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_FillStamped)->Arg(1)->Arg(0)->ArgName("wide");

void BM_CheckStamped(benchmark::State& state) {
  TEST_ForceNarrowStamp(state.range(0) == 0);
  FillStamped(g_block, kBlock, kTag, 0);
  StampTally tally;
  for (auto _ : state) {
    benchmark::DoNotOptimize(CheckStamped(g_block, kBlock, kTag, 0, &tally));
  }
  TEST_ForceNarrowStamp(false);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_CheckStamped)->Arg(1)->Arg(0)->ArgName("wide");

}  // namespace
}  // namespace korv

BENCHMARK_MAIN();
