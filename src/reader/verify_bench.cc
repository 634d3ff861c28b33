// Counting rate of the reader per core, for blocks of 32 KiB: one repeated
// byte, random bytes, and mostly one byte with a few others (a damaged
// file). The reference kernels beside it show what the sub-histograms buy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "reader/stretch_count.h"
#include "reader/verify.h"

namespace korv {
namespace {

enum Content { kConstant, kRandom, kMostlyOne };

std::vector<uint8_t> MakeBlock(Content content) {
  std::vector<uint8_t> block(kReadBlockSize, 'A');
  std::mt19937 gen(42);
  for (uint8_t& b : block) {
    if (content == kRandom) b = static_cast<uint8_t>(gen());
    if (content == kMostlyOne && gen() % 64 == 0) {
      b = static_cast<uint8_t>(gen());
    }
  }
  return block;
}

void SetRate(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(kReadBlockSize));
}

void CountRate(benchmark::State& state, Content content) {
  const std::vector<uint8_t> block = MakeBlock(content);
  ClearCharacterCounts();
  for (auto _ : state) {
    CountBlock(block.data(), block.size());
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(CharacterCount('A'));
  SetRate(state);
}

void BM_CountConstantBlock(benchmark::State& state) {
  CountRate(state, kConstant);
}
void BM_CountRandomBlock(benchmark::State& state) { CountRate(state, kRandom); }
void BM_CountMostlyOneBlock(benchmark::State& state) {
  CountRate(state, kMostlyOne);
}
BENCHMARK(BM_CountConstantBlock);
BENCHMARK(BM_CountRandomBlock);
BENCHMARK(BM_CountMostlyOneBlock);

// References: memcmp against a prepared block of the first byte, and the
// plain byte histogram with one, four and eight tables.
void BM_MemcmpConstant(benchmark::State& state) {
  const std::vector<uint8_t> block = MakeBlock(kConstant);
  const std::vector<uint8_t> prepared(kReadBlockSize, block[0]);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        std::memcmp(block.data(), prepared.data(), block.size()));
  }
  SetRate(state);
}
BENCHMARK(BM_MemcmpConstant);

alignas(64) uint32_t g_tables[8][256];

template <int kTables>
void CountWithTables(const uint8_t* data, size_t length) {
  size_t i = 0;
  for (; i + kTables <= length; i += kTables) {
    for (int t = 0; t < kTables; ++t) ++g_tables[t][data[i + t]];
  }
  for (; i < length; ++i) ++g_tables[0][data[i]];
}

template <int kTables>
void BM_Tables(benchmark::State& state) {
  const std::vector<uint8_t> block =
      MakeBlock(static_cast<Content>(state.range(0)));
  for (auto _ : state) {
    CountWithTables<kTables>(block.data(), block.size());
    benchmark::ClobberMemory();
  }
  SetRate(state);
}
// Argument 1: random bytes, 2: mostly one byte.
BENCHMARK_TEMPLATE(BM_Tables, 1)->Arg(kRandom)->Arg(kMostlyOne);
BENCHMARK_TEMPLATE(BM_Tables, 4)->Arg(kRandom)->Arg(kMostlyOne);
BENCHMARK_TEMPLATE(BM_Tables, 8)->Arg(kRandom)->Arg(kMostlyOne);

// The count of the reader's shares: one increment per byte pair in a table
// of all 65536 pairs, against the eight byte tables; on one block that stays
// in the nearest cache (argument 2: 0) and on fresh blocks walked through
// 64 MiB, as a read of a file hands them over (1).
alignas(64) uint16_t g_pairs[65536];  // 16-bit counters, as the shares have

void CountPairs(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    ++g_pairs[word & 0xFFFF];
    ++g_pairs[(word >> 16) & 0xFFFF];
    ++g_pairs[(word >> 32) & 0xFFFF];
    ++g_pairs[word >> 48];
  }
}

template <bool kPairs>
void BM_CountFreshOrCached(benchmark::State& state) {
  const bool fresh = state.range(1) != 0;
  const std::vector<uint8_t> block =
      MakeBlock(static_cast<Content>(state.range(0)));
  std::vector<uint8_t> area(fresh ? (64 << 20) : block.size());
  for (size_t at = 0; at < area.size(); at += block.size()) {
    std::memcpy(area.data() + at, block.data(), block.size());
  }
  size_t at = 0;
  for (auto _ : state) {
    if (kPairs) {
      CountPairs(area.data() + at, kReadBlockSize);
    } else {
      CountWithTables<8>(area.data() + at, kReadBlockSize);
    }
    benchmark::ClobberMemory();
    at += kReadBlockSize;
    if (at >= area.size()) at = 0;
  }
  SetRate(state);
}
BENCHMARK_TEMPLATE(BM_CountFreshOrCached, false)
    ->Args({kRandom, 0})->Args({kRandom, 1})->Args({kMostlyOne, 1});
BENCHMARK_TEMPLATE(BM_CountFreshOrCached, true)
    ->Args({kRandom, 0})->Args({kRandom, 1})->Args({kMostlyOne, 1});

}  // namespace
}  // namespace korv

BENCHMARK_MAIN();
