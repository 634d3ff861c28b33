// The search on simulated cards: sound, aliasing onto a region before the
// real end or onto the very start (also several times over a whole
// device), dropping writes past the end, failing past it, hiding its
// writes in a cache, a probe file in pieces.
#include "prober/probe.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <list>
#include <unordered_map>
#include <vector>

namespace korv {
namespace {

constexpr int64_t kSector = 512;

// A card of `announced` bytes that keeps `real`: a byte at x >= real is
// stored at alias_to + (x - real) modulo (real - alias_to), or, for a card
// that drops, not at all (it reads back as zeros).
struct SimCard {
  int64_t announced;
  int64_t real;
  int64_t alias_to;
  bool drops;
  int64_t cache = 0;      // bytes of the latest sectors written kept apart
  int64_t eio_from = -1;  // writes and reads fail from here on
};

SimCard g_card;
std::vector<FileExtent> g_extents;
std::unordered_map<int64_t, std::array<uint8_t, kSector>> g_memory;

int64_t StoredAt(int64_t x) {
  if (x < g_card.real) return x;
  if (g_card.drops) return -1;
  return g_card.alias_to + (x - g_card.real) % (g_card.real - g_card.alias_to);
}

int64_t DeviceOf(int64_t file_offset) {
  for (const FileExtent& e : g_extents) {
    if (file_offset >= e.file_offset &&
        file_offset < e.file_offset + e.length) {
      return e.device_byte + (file_offset - e.file_offset);
    }
  }
  ADD_FAILURE() << "access outside the probe file at " << file_offset;
  return -1;
}

// The card's cache: the latest sectors written, by their announced
// position, oldest first; a sector that falls out goes to the memory.
std::list<std::pair<int64_t, std::array<uint8_t, kSector>>> g_cache;
std::unordered_map<int64_t, decltype(g_cache)::iterator> g_cached;

void Store(int64_t dev, const uint8_t* data) {
  const int64_t at = StoredAt(dev);
  if (at >= 0) std::memcpy(g_memory[at].data(), data, kSector);
}

bool Fails(int64_t file_offset, size_t length) {
  return g_card.eio_from >= 0 &&
         DeviceOf(file_offset) + static_cast<int64_t>(length) > g_card.eio_from;
}

int SimWrite(int64_t file_offset, const uint8_t* data, size_t length) {
  if (Fails(file_offset, length)) return EIO;
  for (size_t i = 0; i < length; i += kSector) {
    const int64_t dev = DeviceOf(file_offset + static_cast<int64_t>(i));
    if (g_card.cache == 0) {
      Store(dev, data + i);
      continue;
    }
    auto found = g_cached.find(dev);
    if (found != g_cached.end()) g_cache.erase(found->second);
    g_cache.push_back({dev, {}});
    std::memcpy(g_cache.back().second.data(), data + i, kSector);
    g_cached[dev] = std::prev(g_cache.end());
    if (static_cast<int64_t>(g_cache.size()) * kSector > g_card.cache) {
      Store(g_cache.front().first, g_cache.front().second.data());
      g_cached.erase(g_cache.front().first);
      g_cache.pop_front();
    }
  }
  return 0;
}

int SimRead(int64_t file_offset, uint8_t* data, size_t length) {
  if (Fails(file_offset, length)) return EIO;
  for (size_t i = 0; i < length; i += kSector) {
    const int64_t dev = DeviceOf(file_offset + static_cast<int64_t>(i));
    auto cached = g_cached.find(dev);
    if (cached != g_cached.end()) {
      std::memcpy(data + i, cached->second->second.data(), kSector);
      continue;
    }
    const int64_t at = StoredAt(dev);
    auto it = at >= 0 ? g_memory.find(at) : g_memory.end();
    if (it == g_memory.end()) {
      std::memset(data + i, 0, kSector);
    } else {
      std::memcpy(data + i, it->second.data(), kSector);
    }
  }
  return 0;
}

int SimFlush() { return 0; }

// The probe file as device ranges, laid end to end in the file.
std::vector<FileExtent> Extents(
    const std::vector<std::pair<int64_t, int64_t>>& ranges) {
  std::vector<FileExtent> extents;
  int64_t offset = 0;
  for (const auto& [from, to] : ranges) {
    extents.push_back({offset, from, to - from});
    offset += to - from;
  }
  return extents;
}

TEST(ProbeTest, FindsWhereTheRealMemoryEnds) {
  struct Case {
    const char* name;
    SimCard card;
    std::vector<std::pair<int64_t, int64_t>> file;
    bool fault;
    // How far apart the bounds of the real end may be: one block, or, where
    // the writes past the end land before the probe file, as far as the
    // probe file starts and 1 MiB (no write there shows in the file).
    int64_t widest;
    bool start_overwritten;
    // A fault seen only after more than this was written behind the probes
    // (a cache), or no cache this large ruled out on a sound card.
    int64_t cache = 0;
  };
  const int64_t whole = 0;  // a probe "file" that is the whole device
  const int64_t odd_end = 50 * kMiB + 12 * 1024;
  const int64_t big_end = 600 * kMiB + 12 * 1024;
  const Case cases[] = {
      {"sound",
       {96 * kMiB, 96 * kMiB, 0, false},
       {{10 * kMiB, 96 * kMiB}},
       false,
       0,
       false},
      {"aliased onto the region before the end",
       {96 * kMiB, 72 * kMiB, 48 * kMiB, false},
       {{10 * kMiB, 40 * kMiB}, {41 * kMiB + 4096, 95 * kMiB}},
       true,
       0,
       false},
      {"aliased onto the very start",
       {96 * kMiB, 64 * kMiB, 0, false},
       {{4 * kMiB, 96 * kMiB}},
       true,
       5 * kMiB,
       true},
      {"writes past the end dropped",
       {96 * kMiB, odd_end, 0, true},
       {{10 * kMiB, 96 * kMiB}},
       true,
       0,
       false},
      {"a larger card wrapping at an odd size",
       {1024 * kMiB, big_end, 0, false},
       {{16 * kMiB, 1024 * kMiB}},
       true,
       17 * kMiB,
       true},
      {"the whole device of a card wrapping thrice onto its start",
       {4096 * kMiB, 1024 * kMiB, 0, false},
       {{whole, 4096 * kMiB}},
       true,
       0,
       false},
      {"the whole device of a card failing past its end",
       {96 * kMiB, 72 * kMiB, 0, false, 0, 72 * kMiB},
       {{whole, 96 * kMiB}},
       true,
       0,
       false},
      {"a 64 MiB cache in front of a card aliasing before its end",
       {1024 * kMiB, 600 * kMiB, 30 * kMiB, false, 64 * kMiB},
       {{whole, 1024 * kMiB}},
       true,
       0,
       false,
       16 * kMiB},
      {"a 16 MiB cache on a small card, written past within a quarter",
       {96 * kMiB, 72 * kMiB, 30 * kMiB, false, 16 * kMiB},
       {{whole, 96 * kMiB}},
       true,
       kMiB,
       false,
       4 * kMiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_card = c.card;
    g_extents = Extents(c.file);
    g_memory.clear();
    g_cache.clear();
    g_cached.clear();
    ProbeAccess access = {SimWrite, SimRead, SimFlush, nullptr};
    ProbeOutcome out;
    ASSERT_EQ(RunProbe(g_extents, c.card.announced, 0x1234567800000001ull,
                       access, &out),
              0);
    EXPECT_EQ(out.fault_found, c.fault);
    EXPECT_EQ(out.error_found, c.card.eio_from >= 0);
    if (out.error_found) {
      EXPECT_EQ(out.error_from, c.card.eio_from);
    }
    if (c.card.cache > 0) {
      EXPECT_GE(out.cache_low, c.cache);
      EXPECT_GE(out.cache_high, c.card.cache);
    }
    // A small part of the card is written, never half of it.
    EXPECT_LE(out.bytes_written, c.card.announced / 4);
    EXPECT_GT(out.places, 0);
    if (!c.fault) continue;
    // The real end lies between the bounds; where the writes past it
    // land in the probe file it is pinned to the block.
    EXPECT_LE(out.end_low, c.card.real);
    EXPECT_GE(out.end_high, c.card.real);
    EXPECT_LE(out.end_high - out.end_low, c.widest);
    if (c.widest == 0) {
      EXPECT_EQ(out.end_low, c.card.real);
    }
    EXPECT_EQ(out.start_overwritten, c.start_overwritten);
  }
}

}  // namespace
}  // namespace korv
