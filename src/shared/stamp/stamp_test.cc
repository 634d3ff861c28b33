#include "shared/stamp/stamp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korv {
namespace {

constexpr uint64_t kTag = 0x5f00aa11c0ffee42ULL;

uint64_t Word(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The stream written out the slow way, one word at a time, as a second
// opinion on the vector code.
uint64_t MixOne(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}
uint64_t ExpectedWord(uint64_t tag, uint64_t position, int k) {
  if (k == 0) return position;
  if (k == 1) return tag;
  const uint64_t seed = MixOne(tag ^ MixOne(position ^ 0x6a09e667f3bcc909ULL));
  uint64_t z = seed + static_cast<uint64_t>(k) * 0x9e3779b97f4a7c15ULL;
  z ^= ((z << 23) | (z >> 41)) ^ ((z << 41) | (z >> 23));
  z += z << 13;
  return z ^ (z >> 29);
}

std::vector<uint8_t> Stamped(size_t length, uint64_t tag, uint64_t position) {
  std::vector<uint8_t> data(length);
  FillStamped(data.data(), length, tag, position);
  return data;
}

TEST(StampTest, EverySectorHoldsPositionTagAndItsStreamInBothVectorWidths) {
  const uint64_t base = StampPosition(-3, 4096);
  EXPECT_EQ(base, static_cast<uint64_t>(-3LL * (1LL << 30) + 4096));
  for (bool narrow : {false, true}) {
    TEST_ForceNarrowStamp(narrow);
    const size_t length = 3 * kSectorSize + 100;
    std::vector<uint8_t> data = Stamped(length, kTag, base);
    for (size_t s = 0; s * kSectorSize < length; ++s) {
      const uint64_t position = base + s * kSectorSize;
      for (int k = 0; k < 64 && s * kSectorSize + 8 * k + 8 <= length; ++k) {
        ASSERT_EQ(Word(&data[s * kSectorSize + 8 * k]),
                  ExpectedWord(kTag, position, k))
            << "narrow " << narrow << " sector " << s << " word " << k;
      }
    }
    // Counter-based: a fill that starts later gives the same bytes.
    std::vector<uint8_t> tail = Stamped(length - kSectorSize, kTag,
                                        base + kSectorSize);
    EXPECT_EQ(0, std::memcmp(tail.data(), data.data() + kSectorSize,
                             tail.size()));
    uint64_t tag = 0;
    EXPECT_TRUE(FindStampTag(data.data(), length, &tag));
    EXPECT_EQ(tag, kTag);
    StampTally tally;
    EXPECT_EQ(CheckStamped(data.data(), length, kTag, base, &tally), 0);
    EXPECT_EQ(tally.sectors[kSectorOk], 4);
    EXPECT_EQ(tally.bytes[kSectorOk], static_cast<int64_t>(length));
  }
  TEST_ForceNarrowStamp(false);
}

TEST(StampTest, SectorsAreClassedByWhatTheyHold) {
  const uint64_t at = StampPosition(7, 8 * kSectorSize);
  const uint64_t older = kTag - (100ULL << 32);
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
    SectorClass expected;
  };
  std::vector<uint8_t> good = Stamped(kSectorSize, kTag, at);
  std::vector<uint8_t> one_bit = good;
  one_bit[300] ^= 0x10;
  std::vector<uint8_t> seven_bits = good;
  seven_bits[20] ^= 0x7F;
  std::vector<uint8_t> eight_bits = good;
  eight_bits[20] ^= 0xFF;
  std::vector<uint8_t> bad_header = good;
  std::memset(bad_header.data() + 4, 0x55, 4);
  std::vector<uint8_t> garbage(kSectorSize);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37);
  const std::vector<Case> cases = {
      {"ok", good, kSectorOk},
      {"one bit", one_bit, kSectorChanged},
      {"seven bits", seven_bits, kSectorChanged},
      {"eight bits", eight_bits, kSectorCorrupted},
      {"header destroyed", bad_header, kSectorCorrupted},
      {"garbage", garbage, kSectorCorrupted},
      {"zeros", std::vector<uint8_t>(kSectorSize, 0x00), kSectorBlank},
      {"ones", std::vector<uint8_t>(kSectorSize, 0xFF), kSectorBlank},
      {"one repeated byte", std::vector<uint8_t>(kSectorSize, 'A'),
       kSectorCorrupted},
      {"another position", Stamped(kSectorSize, kTag, at - kSectorSize),
       kSectorMoved},
      {"another file", Stamped(kSectorSize, kTag, StampPosition(2, 0)),
       kSectorMoved},
      {"older run", Stamped(kSectorSize, older, at), kSectorStale},
  };
  for (const Case& c : cases) {
    uint64_t found = 0;
    EXPECT_EQ(ClassifySector(c.data.data(), c.data.size(), kTag, at, &found),
              c.expected)
        << c.what;
    if (c.expected == kSectorStale) {
      EXPECT_EQ(found, older);
    }
  }
  // A short last sector is compared as far as it goes.
  std::vector<uint8_t> short_good = Stamped(9, kTag, at);
  uint64_t found = 0;
  EXPECT_EQ(ClassifySector(short_good.data(), 9, kTag, at, &found), kSectorOk);
  short_good[8] ^= 1;
  EXPECT_EQ(ClassifySector(short_good.data(), 9, kTag, at, &found),
            kSectorChanged);
}

TEST(StampTest, CheckCountsSectorsAndBytesAndKeepsTheFirstBadPosition) {
  const uint64_t base = StampPosition(1, 0);
  const uint64_t older = kTag - (1ULL << 32);
  const size_t length = 64 * kSectorSize + 200;
  std::vector<uint8_t> data = Stamped(length, kTag, base);
  std::memset(&data[10 * kSectorSize], 0, kSectorSize);                 // blank
  FillStamped(&data[20 * kSectorSize], kSectorSize, older,
              base + 20 * kSectorSize);                                 // stale
  FillStamped(&data[30 * kSectorSize], kSectorSize, kTag, base);        // moved
  data[47 * kSectorSize + 511] ^= 0x80;                                 // changed
  data[64 * kSectorSize + 150] ^= 4;                                    // changed
  for (bool narrow : {false, true}) {
    TEST_ForceNarrowStamp(narrow);
    StampTally tally;
    EXPECT_EQ(CheckStamped(data.data(), length, kTag, base, &tally), 5);
    EXPECT_EQ(tally.sectors[kSectorOk], 60);
    EXPECT_EQ(tally.bytes[kSectorOk], 60 * 512);
    EXPECT_EQ(tally.sectors[kSectorBlank], 1);
    EXPECT_EQ(tally.sectors[kSectorStale], 1);
    EXPECT_EQ(tally.sectors[kSectorMoved], 1);
    EXPECT_EQ(tally.sectors[kSectorChanged], 2);
    EXPECT_EQ(tally.bytes[kSectorChanged], 512 + 200);
    EXPECT_TRUE(tally.bad_seen);
    EXPECT_EQ(tally.first_bad_position, base + 10 * kSectorSize);
    EXPECT_TRUE(tally.stale_seen);
    EXPECT_EQ(tally.stale_tag, older);
  }
  TEST_ForceNarrowStamp(false);
}

TEST(StampTest, TagCarriesItsStartTime) {
  const uint64_t tag = MakeStampTag(1700000000, 0x1a2b3c4d);
  EXPECT_EQ(StampTagSeconds(tag), 1700000000);
  const std::string text = StampTagText(tag);
  ASSERT_EQ(text.size(), 30u) << text;
  EXPECT_EQ(text.substr(19), " / 1a2b3c4d");
  EXPECT_EQ(text[2], '.');
  EXPECT_EQ(text[13], ':');
}

}  // namespace
}  // namespace korv
