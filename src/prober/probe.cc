#include "prober/probe.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <utility>

#include "shared/platform/block_device.h"
#include "shared/platform/console.h"
#include "shared/stamp/stamp.h"

namespace korv {
namespace {

constexpr int64_t kBlock = kProbeBlock;
constexpr int64_t kFirstGridStep = kMiB;
constexpr int64_t kMostGridPoints = 4096;
// Each finer round splits the interval left into this many parts.
constexpr int kSplit = 64;
constexpr int64_t kChunk = kMiB;
constexpr int64_t kFirstFlush = kMiB;

enum Verdict { kGood, kBad, kUnclear };

const std::vector<FileExtent>* g_extents = nullptr;
const ProbeAccess* g_access = nullptr;
uint64_t g_tag = 0;
uint8_t* g_buffer = nullptr;  // kChunk bytes, aligned for uncached access
uint8_t g_expected[kBlock];

// What the latest round that looked at a device position found there.
std::map<int64_t, Verdict> g_verdict;
// For a bad position: the lower position its write landed on.
std::map<int64_t, int64_t> g_landed_on;
// The round a position was last tested in, and the device ranges written
// in each round (which other writes could have shown a moved one).
std::map<int64_t, int> g_tested_in;
std::vector<std::vector<std::pair<int64_t, int64_t>>> g_written;
// Positions whose write or read failed with a medium error.
std::set<int64_t> g_failed;
// Where the round's cache flush goes on (device position).
int64_t g_flush_at = 0;
ProbeOutcome* g_outcome = nullptr;

uint64_t RoundTag(int round) { return g_tag + static_cast<uint64_t>(round); }

int64_t ExtentEnd(const FileExtent& e) { return e.device_byte + e.length; }

// File offset of the block at device position dev, -1 when the block is not
// wholly in the probe file.
int64_t FileOffsetOf(int64_t dev) {
  const auto& ex = *g_extents;
  auto it = std::upper_bound(
      ex.begin(), ex.end(), dev,
      [](int64_t d, const FileExtent& e) { return d < e.device_byte; });
  if (it == ex.begin()) return -1;
  --it;
  if (dev < it->device_byte || dev + kBlock > ExtentEnd(*it)) return -1;
  return it->file_offset + (dev - it->device_byte);
}

// The first block of the probe file at or after device position dev and
// before limit (block-aligned on the device), -1 when there is none.
int64_t FirstBlockFrom(int64_t dev, int64_t limit) {
  for (const FileExtent& e : *g_extents) {
    if (ExtentEnd(e) <= dev) continue;
    int64_t start = std::max(dev, e.device_byte);
    start = (start + kBlock - 1) / kBlock * kBlock;
    if (start >= limit) return -1;
    if (start + kBlock <= ExtentEnd(e)) return start;
  }
  return -1;
}

// A failed write or read at dev: a finding when the card says it cannot
// keep the data there, else the end of the search.
int Failure(int err, int64_t dev) {
  if (!IsMediumError(err)) return err;
  g_failed.insert(dev);
  return 0;
}

// Saves what the device ranges hold before they are written.
int Keep(const std::vector<std::pair<int64_t, int64_t>>& device_ranges) {
  if (g_access->keep == nullptr || device_ranges.empty()) return 0;
  std::vector<std::pair<int64_t, int64_t>> file_ranges;
  for (const auto& [from, to] : device_ranges) {
    const int64_t at = FileOffsetOf(from);
    file_ranges.push_back({at, at + (to - from)});
  }
  return g_access->keep(file_ranges);
}

int WriteStamped(int64_t dev, int64_t length, int round) {
  FillStamped(g_buffer, static_cast<size_t>(length), RoundTag(round),
              static_cast<uint64_t>(dev));
  const int err =
      g_access->write(FileOffsetOf(dev), g_buffer, static_cast<size_t>(length));
  g_outcome->bytes_written += length;
  g_written[round].push_back({dev, dev + length});
  return err == 0 ? 0 : Failure(err, dev);
}

// The next pieces of the stamped data that push the round's probes out of
// any cache of the card, `bytes` of them: from the low end of the probe
// file on, around the probes, going on where the last call stopped.
void PlanCacheFlush(const std::set<int64_t>& probes, int64_t bytes,
                    std::vector<std::pair<int64_t, int64_t>>* pieces) {
  int64_t left = bytes;
  for (const FileExtent& e : *g_extents) {
    int64_t at = std::max(g_flush_at, e.device_byte);
    at = (at + kBlock - 1) / kBlock * kBlock;
    const int64_t end = ExtentEnd(e) / kBlock * kBlock;
    while (left > 0 && at < end) {
      int64_t stop = std::min({end, at + kChunk, at + left});
      auto next = probes.lower_bound(at);
      if (next != probes.end() && *next < stop) stop = *next;
      if (stop > at) {
        // Pieces of an extent are contiguous in the file too.
        pieces->push_back({at, stop});
        left -= stop - at;
      }
      at = stop;
      if (next != probes.end() && *next == at) at += kBlock;
    }
    g_flush_at = at;
    if (left <= 0) break;
  }
}

int WriteCacheFlush(const std::set<int64_t>& probes, int64_t bytes, int round) {
  std::vector<std::pair<int64_t, int64_t>> pieces;
  PlanCacheFlush(probes, bytes, &pieces);
  int err = Keep(pieces);
  for (const auto& [from, to] : pieces) {
    if (err != 0) break;
    if (SignalPending()) return kProbeStopped;
    err = WriteStamped(from, to - from, round);
  }
  return err;
}

// What a block read back at dev holds: its own stamp, the stamp of another
// position of this round (*from), something partly its own, or neither.
enum Found { kOwn, kMoved, kPartly, kLost };

Found Classify(const uint8_t* data, int64_t dev, int round, int64_t* from) {
  const uint64_t tag = RoundTag(round);
  FillStamped(g_expected, kBlock, tag, static_cast<uint64_t>(dev));
  if (std::memcmp(data, g_expected, kBlock) == 0) return kOwn;
  uint64_t position = 0, found_tag = 0;
  std::memcpy(&position, data, 8);  // little-endian, as stamped
  std::memcpy(&found_tag, data + 8, 8);
  if (found_tag == tag && position % kSectorSize == 0) {
    FillStamped(g_expected, kBlock, tag, position);
    if (std::memcmp(data, g_expected, kBlock) == 0) {
      *from = static_cast<int64_t>(position);
      return kMoved;
    }
  }
  // A sector of its own beside foreign ones: something else (the file
  // system's own records) was written over part of it, not the card.
  for (int64_t s = 0; s < kBlock; s += static_cast<int64_t>(kSectorSize)) {
    FillStamped(g_expected, kSectorSize, tag, static_cast<uint64_t>(dev + s));
    if (std::memcmp(data + s, g_expected, kSectorSize) == 0) return kPartly;
  }
  return kLost;
}

// Reads every position of the round back and judges it; returns 0 or the
// error that ends the search, and the number of bad positions in *bad.
int ReadAndJudge(const std::set<int64_t>& all, int round, int64_t* bad) {
  std::vector<std::pair<int64_t, int64_t>> moved;  // (place, stamp found)
  for (int64_t dev : all) {
    if (SignalPending()) return kProbeStopped;
    g_tested_in[dev] = round;
    g_landed_on.erase(dev);
    if (g_failed.count(dev) != 0) {
      g_verdict[dev] = kBad;
      continue;
    }
    const int err = g_access->read(FileOffsetOf(dev), g_buffer, kBlock);
    if (err != 0) {
      if (Failure(err, dev) != 0) return err;
      g_verdict[dev] = kBad;
      continue;
    }
    int64_t from = -1;
    const Found found = Classify(g_buffer, dev, round, &from);
    g_verdict[dev] = found == kOwn ? kGood : found == kLost ? kBad : kUnclear;
    if (found == kMoved) moved.push_back({dev, from});
  }
  // Two places that show one stamp share their memory; the real memory is
  // the lower one, so the write to the higher one is the one that did not
  // land where it was meant to (whichever of the two was written last).
  for (const auto& [place, from] : moved) {
    const int64_t high = std::max(place, from);
    const int64_t low = std::min(place, from);
    if (low == place) g_verdict[place] = kGood;
    g_verdict[high] = kBad;
    g_landed_on[high] = low;
    g_tested_in[high] = round;
  }
  *bad = 0;
  for (int64_t dev : all) *bad += g_verdict[dev] == kBad ? 1 : 0;
  return 0;
}

// One round: sentinels, then probes from the highest down, stamped; then
// the cache flush in `flush_steps` (cumulative bytes), everything read back
// and judged after each, until a fault shows. Sentinels are written first
// so that a probe whose write lands on its sentinel shows there; the probes
// go downwards so that of several positions that share memory the lowest,
// the real one, is written last and the others show its stamp.
int Round(int round, const std::set<int64_t>& probes,
          const std::set<int64_t>& sentinels,
          const std::vector<int64_t>& flush_steps) {
  g_written.resize(static_cast<size_t>(round) + 1);
  std::set<int64_t> all = probes;
  all.insert(sentinels.begin(), sentinels.end());
  // Nothing is ever written outside the probe file.
  for (auto it = all.begin(); it != all.end();) {
    it = FileOffsetOf(*it) < 0 ? all.erase(it) : std::next(it);
  }
  std::vector<int64_t> order;
  for (int64_t dev : sentinels) {
    if (all.count(dev) != 0) order.push_back(dev);
  }
  for (auto it = probes.rbegin(); it != probes.rend(); ++it) {
    if (all.count(*it) != 0 && sentinels.count(*it) == 0) order.push_back(*it);
  }
  std::vector<std::pair<int64_t, int64_t>> blocks;
  for (int64_t dev : all) blocks.push_back({dev, dev + kBlock});
  int err = Keep(blocks);
  if (err != 0) return err;
  for (int64_t dev : order) {
    if (SignalPending()) return kProbeStopped;
    err = WriteStamped(dev, kBlock, round);
    if (err != 0) return err;
  }
  g_flush_at = 0;
  int64_t flushed = 0;
  int64_t bad = 0;
  for (size_t step = 0; step < flush_steps.size(); ++step) {
    err = WriteCacheFlush(all, flush_steps[step] - flushed, round);
    if (err != 0) return err;
    err = g_access->flush();
    // A flush that fails after writes that did is no news.
    if (err != 0 && !(IsMediumError(err) && !g_failed.empty())) return err;
    err = ReadAndJudge(all, round, &bad);
    if (err != 0) return err;
    if (round == 0) {
      if (bad > 0) {
        g_outcome->cache_low = step == 0 ? 0 : flushed;
        g_outcome->cache_high = flush_steps[step];
      } else {
        g_outcome->cache_ruled_out = flush_steps[step];
      }
    }
    flushed = flush_steps[step];
    if (bad > 0) break;
  }
  g_outcome->places += static_cast<int64_t>(probes.size());
  g_outcome->rounds = round + 1;
  if (g_access->round_done != nullptr) {
    g_access->round_done(round + 1, static_cast<int64_t>(all.size()), bad);
  }
  return 0;
}

bool WrittenIn(int round, int64_t dev) {
  for (const auto& [from, to] : g_written[static_cast<size_t>(round)]) {
    if (dev < to && dev + kBlock > from) return true;
  }
  return false;
}

// The state of the search: the lowest bad position, the shift by which its
// write moved (0 when it just did not stay), and the highest good position
// below it that is trusted.
struct Bounds {
  int64_t bad = -1;
  int64_t shift = 0;
  int64_t good = -1;
};

Bounds CurrentBounds() {
  Bounds b;
  for (const auto& [dev, verdict] : g_verdict) {
    if (verdict == kBad) {
      b.bad = dev;
      break;
    }
  }
  if (b.bad < 0) return b;
  for (const auto& [dev, verdict] : g_verdict) {
    if (verdict == kBad && g_landed_on.count(dev) != 0) {
      b.shift = dev - g_landed_on[dev];
      break;
    }
  }
  for (const auto& [dev, verdict] : g_verdict) {
    if (dev >= b.bad) break;
    if (verdict != kGood) continue;
    // A good reading is trusted where a write moved by the shift would have
    // shown: its target was written in the same round (or lies before the
    // device's start).
    const int64_t target = dev - b.shift;
    if (b.shift == 0 || target < 0 || WrittenIn(g_tested_in[dev], target)) {
      b.good = dev;
    }
  }
  return b;
}

void Reset(const std::vector<FileExtent>& extents, uint64_t tag,
           const ProbeAccess& access, ProbeOutcome* outcome) {
  g_extents = &extents;
  g_access = &access;
  g_tag = tag;
  g_outcome = outcome;
  g_verdict.clear();
  g_landed_on.clear();
  g_tested_in.clear();
  g_written.clear();
  g_failed.clear();
}

int64_t RoundDown(int64_t bytes) { return bytes / kBlock * kBlock; }

}  // namespace

int64_t GridStep(int64_t announced) {
  int64_t step = kFirstGridStep;
  while (announced / step > kMostGridPoints) step *= 2;
  return step;
}

std::vector<int64_t> CacheFlushSteps(int64_t announced, int64_t room) {
  // The probes of the first round take a block per grid step.
  const int64_t probes = (announced / GridStep(announced) + 1) * kBlock;
  const int64_t most = RoundDown(std::min(
      {kCacheToRuleOut + kMiB, room, announced / 4 - probes - kBlock}));
  std::vector<int64_t> steps;
  for (int64_t bytes = kFirstFlush; bytes < most; bytes *= 4) {
    steps.push_back(bytes);
  }
  if (most > 0) steps.push_back(most);
  return steps;
}

int RunProbe(const std::vector<FileExtent>& extents, int64_t announced,
             uint64_t tag, const ProbeAccess& access, ProbeOutcome* outcome) {
  *outcome = ProbeOutcome();
  if (extents.empty()) return 0;
  Reset(extents, tag, access, outcome);
  g_buffer = static_cast<uint8_t*>(AllocateProbeBuffer(kChunk));
  if (g_buffer == nullptr) return 12;  // ENOMEM

  const int64_t step = GridStep(announced);
  const int64_t top = ExtentEnd(extents.back());
  std::set<int64_t> grid;
  int64_t room = 0;
  for (const FileExtent& e : extents) room += RoundDown(e.length);
  for (int64_t at = 0; at < top; at += step) {
    const int64_t block = FirstBlockFrom(at, at + step);
    if (block >= 0) grid.insert(block);
  }
  room -= static_cast<int64_t>(grid.size()) * kBlock;
  int err = Round(0, grid, {}, CacheFlushSteps(announced, room));
  // Every finer round writes as much behind its probes as the first needed
  // before the fault showed.
  const std::vector<int64_t> flush = {outcome->cache_high};
  for (int round = 1; err == 0 && round < kMostProbeRounds; ++round) {
    // The probe writes a small part of the card, never a quarter of it.
    if (outcome->bytes_written + outcome->cache_high + kSplit * 2 * kBlock >
        announced / 4) {
      break;
    }
    const Bounds b = CurrentBounds();
    if (b.bad < 0) break;
    const int64_t low = b.good >= 0 ? b.good + kBlock : 0;
    if (b.bad <= low) break;
    std::set<int64_t> probes, sentinels;
    for (int i = 1; i < kSplit; ++i) {
      const int64_t at = (low + (b.bad - low) * i / kSplit) / kBlock * kBlock;
      const int64_t block = FirstBlockFrom(std::max(at, low), b.bad);
      if (block < 0) continue;
      if (b.shift > 0 && block - b.shift >= 0) {
        // Only where the place its write would move to is in the probe
        // file, below the trusted part, can a moved write show.
        const int64_t sentinel = block - b.shift;
        if (FileOffsetOf(sentinel) < 0 || (b.good >= 0 && sentinel >= low)) {
          continue;
        }
        sentinels.insert(sentinel);
      }
      probes.insert(block);
    }
    if (probes.empty()) break;
    // The bad position is looked at again: a block that something else
    // overwrote once is not taken for the end of the memory.
    probes.insert(b.bad);
    if (b.shift > 0 && g_landed_on.count(b.bad) != 0 &&
        FileOffsetOf(g_landed_on[b.bad]) >= 0) {
      sentinels.insert(g_landed_on[b.bad]);
    }
    for (int64_t s : sentinels) probes.erase(s);
    err = Round(round, probes, sentinels, flush);
  }
  FreeProbeBuffer(g_buffer);
  g_buffer = nullptr;
  if (err != 0) return err;

  outcome->checked_from = g_verdict.empty() ? 0 : g_verdict.begin()->first;
  outcome->checked_to =
      g_verdict.empty() ? 0 : g_verdict.rbegin()->first + kBlock;
  if (!g_failed.empty()) {
    outcome->error_found = true;
    outcome->error_from = *g_failed.begin();
  }
  const Bounds b = CurrentBounds();
  if (b.bad < 0) return 0;
  outcome->fault_found = true;
  outcome->end_high = b.bad;
  outcome->end_low = b.good >= 0 ? b.good + kBlock : 0;
  // A write that moves down by the shift cannot come from below it: the
  // real memory reaches at least that far.
  if (b.shift > 0) outcome->end_low = std::max(outcome->end_low, b.shift);
  outcome->end_low = std::min(outcome->end_low, outcome->end_high);
  outcome->start_overwritten =
      b.shift > 0 && outcome->end_low - b.shift < extents.front().device_byte;
  return 0;
}

}  // namespace korv
