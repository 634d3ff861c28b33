// Cost of the writer's per-block and per-file work: block preparation, the
// checks around a block write, and whole fill loops on a tmpfs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/run_state.h"
#include "testing/test_process.h"
#include "writer/fill_loop.h"

namespace korv {
namespace {

// A tmpfs folder when there is one, so the figures show the CPU side.
std::string ScratchFolder() {
  const char* base = FolderExists("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string folder = std::string(base) + "/korv_fill_bench";
  MakeFolder(folder);  // fails harmlessly when it is there
  return folder;
}

// Constant fill: the block is prepared once per run; shown per block for
// comparison with random fill.
void BM_PrepareBlockConstant(benchmark::State& state) {
  for (auto _ : state) {
    PrepareFillBlock(kFillBlockSize, 'A');
    benchmark::DoNotOptimize(FillBlock()[100]);
  }
  state.SetBytesProcessed(state.iterations() * kFillBlockSize);
}
BENCHMARK(BM_PrepareBlockConstant);

// Random fill: fresh xoshiro256+ bytes for every 32 KiB block, with
// AVX-512 where the processor has it (wide:1) and without (wide:0).
void BM_PrepareBlockRandom(benchmark::State& state) {
  TEST_ForceNarrowRandom(state.range(0) == 0);
  SeedRandomFill(42);
  for (auto _ : state) {
    RandomizeFillBlock(kFillBlockSize);
    benchmark::DoNotOptimize(FillBlock()[100]);
  }
  TEST_ForceNarrowRandom(false);
  state.SetBytesProcessed(state.iterations() * kFillBlockSize);
}
BENCHMARK(BM_PrepareBlockRandom)->ArgName("wide")->Arg(1)->Arg(0);

// For scale: a byte-by-byte standard generator, as a naive fill would do.
void BM_PrepareBlockMt19937PerByte(benchmark::State& state) {
  std::mt19937 engine(42);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> block(kFillBlockSize);
  for (auto _ : state) {
    for (uint8_t& b : block) b = static_cast<uint8_t>(byte(engine));
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(state.iterations() * kFillBlockSize);
}
BENCHMARK(BM_PrepareBlockMt19937PerByte);

// One 32 KiB block write to a tmpfs file, bare (arg 0) and with what the
// loop asks around it (arg 1): two free-space questions on the open file
// and one key poll.
void BM_WriteBlock(benchmark::State& state) {
  const bool checked = state.range(0) != 0;
  const std::string path = ScratchFolder() + "/block.bin";
  constexpr int64_t kBlocksPerFile = 2048;  // 64 MiB, then start again
  PrepareFillBlock(kFillBlockSize, 'A');
  int fd = -1;
  CreateRawFile(path, &fd);
  int64_t blocks = 0;
  int64_t free_sum = 0;
  for (auto _ : state) {
    if (blocks == kBlocksPerFile) {
      state.PauseTiming();
      CloseRawFile(fd);
      CreateRawFile(path, &fd);
      blocks = 0;
      state.ResumeTiming();
    }
    if (checked) free_sum += FreeBytesOfFd(fd);
    size_t stored = 0;
    WriteRawBlock(fd, FillBlock(), kFillBlockSize, &stored);
    if (checked) {
      free_sum += FreeBytesOfFd(fd);
      free_sum += KeyPending() ? 1 : 0;
    }
    ++blocks;
  }
  benchmark::DoNotOptimize(free_sum);
  CloseRawFile(fd);
  RemoveTree(ScratchFolder());
  state.SetBytesProcessed(state.iterations() * kFillBlockSize);
}
BENCHMARK(BM_WriteBlock)->Arg(0)->Arg(1);

// Runs the whole fill loop into the scratch folder, its console output
// captured and thrown away.
void RunFill(int64_t size, int32_t count, bool random) {
  ResetRunState();
  g_run.groesse = size;
  g_run.zeichen = 'A';
  g_run.random_fill = random;
  g_run.beginn = 0;
  g_run.anzahl = count;
  g_run.last_index = count - 1;
  g_run.verzeichnis = ScratchFolder() + "/daten\\";
  g_run.protocol_active = false;
  g_run.candidate_count = count;
  static std::string sink;
  sink.clear();
  TEST_CaptureOutput(&sink);
  FillLoop();
  TEST_CaptureOutput(nullptr);
}

// One data file of 64 MiB, constant (arg 0) or random (arg 1) fill.
void BM_FillLoopOneBigFile(benchmark::State& state) {
  constexpr int64_t kSize = 64 * 1048576;
  SeedRandomFill(7);
  for (auto _ : state) RunFill(kSize, 1, state.range(0) != 0);
  state.SetBytesProcessed(state.iterations() * kSize);
  RemoveTree(ScratchFolder());
}
BENCHMARK(BM_FillLoopOneBigFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Many one-byte files: the cost per file (create, write, completion line,
// close).
void BM_FillLoopPerFile(benchmark::State& state) {
  const int32_t count = static_cast<int32_t>(state.range(0));
  for (auto _ : state) RunFill(1, count, false);
  state.SetItemsProcessed(state.iterations() * count);
  RemoveTree(ScratchFolder());
}
BENCHMARK(BM_FillLoopPerFile)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korv

BENCHMARK_MAIN();
