#include "shared/stamp/stamp.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "shared/format/format.h"
#include "shared/platform/clock.h"
#include "shared/platform/vector_units.h"

namespace korv {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the sector header is stored as the machine's words");

constexpr size_t kSectorWords = kSectorSize / 8;
constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
// Keeps the positions apart from the tags before both are mixed.
constexpr uint64_t kPositionSalt = 0x6a09e667f3bcc909ULL;

// The stream is worked out in vectors as wide as the processor's own: one
// AVX-512 vector of eight words, or four words for AVX2 (the plain build
// splits those in two). A vector wider than the registers would be split by
// the compiler through the stack, at a fifth of the speed.
typedef uint64_t Words8 __attribute__((vector_size(64)));
typedef uint64_t Words4 __attribute__((vector_size(32)));

template <typename V>
constexpr size_t kLanes = sizeof(V) / sizeof(uint64_t);

// The splitmix64 finaliser: a bijection of 64-bit words whose every output
// bit depends on every input bit; once per sector, for its seed.
inline uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// The stream's mix: three steps that are each a bijection (an odd number
// of rotations xored, a multiply by 1 + 2^13 as shift and add, an xor with
// a shift), so distinct counters give distinct words. Only shifts, adds and
// xors: every vector unit has them in one step, and checking a sector costs
// little next to counting its bytes.
template <typename V>
__attribute__((always_inline)) inline void StreamMix(V& z) {
  z ^= ((z << 23) | (z >> 41)) ^ ((z << 41) | (z >> 23));
  z += z << 13;
  z ^= z >> 29;
}

// The seed of a sector's stream. Mixing the position first and the tag
// after keeps the seeds of one run apart (Mix is a bijection).
inline uint64_t SectorSeed(uint64_t tag, uint64_t position) {
  return Mix(tag ^ Mix(position ^ kPositionSalt));
}

// Sets *header to a sector's header as the first vector of its words
// (position and tag, the other lanes 0) and *step to what turns it into the
// next sector's, so that a run of sectors builds each header in one step.
template <typename V>
__attribute__((always_inline)) inline void SetSectorHeader(uint64_t tag,
                                                           uint64_t position,
                                                           V* header,
                                                           V* step) {
  *header = V{};
  (*header)[0] = position;
  (*header)[1] = tag;
  *step = V{};
  (*step)[0] = kSectorSize;
}

// Works through one sector's words, a vector at a time: word k is
// StreamMix(seed + k * golden) for k >= 2, words 0 and 1 the header. With
// kFill the words are stored to out; otherwise they are compared with in,
// and every bit that differs is set in *diff.
template <typename V, bool kFill>
__attribute__((always_inline)) inline void SectorPass(uint8_t* out,
                                                      const uint8_t* in,
                                                      const V& header,
                                                      uint64_t seed, V* diff) {
  constexpr size_t kLaneCount = kLanes<V>;
  V lane_steps;
  V keep_stream;
  for (size_t l = 0; l < kLaneCount; ++l) {
    lane_steps[l] = l * kGolden;
    keep_stream[l] = l < 2 ? 0 : ~0ULL;
  }
  V k = lane_steps + seed;
  for (size_t j = 0; j < kSectorWords / kLaneCount; ++j) {
    V v = k;
    StreamMix(v);
    if (j == 0) v = (v & keep_stream) | header;
    if constexpr (kFill) {
      std::memcpy(out + j * sizeof v, &v, sizeof v);
    } else {
      V got;
      std::memcpy(&got, in + j * sizeof got, sizeof got);
      *diff |= got ^ v;
    }
    k += kLaneCount * kGolden;
  }
}

template <typename V>
__attribute__((always_inline)) inline bool AllZero(const V& v) {
  uint64_t any = 0;
  for (size_t l = 0; l < kLanes<V>; ++l) any |= v[l];
  return any == 0;
}

// The seeds of up to kSeedBatch sectors are worked out before their
// streams: each seed is a chain of multiplies that waits on itself, while
// the seeds of neighbouring sectors do not wait on each other.
constexpr size_t kSeedBatch = 16;

__attribute__((always_inline)) inline void SectorSeeds(uint64_t* seeds,
                                                       size_t count,
                                                       uint64_t tag,
                                                       uint64_t position) {
  for (size_t s = 0; s < count; ++s) {
    seeds[s] = SectorSeed(tag, position + s * kSectorSize);
  }
}

template <typename V>
__attribute__((always_inline)) inline void FillSectorsBody(uint8_t* data,
                                                           size_t sectors,
                                                           uint64_t tag,
                                                           uint64_t position) {
  uint64_t seeds[kSeedBatch];
  V header;
  V step;
  SetSectorHeader(tag, position, &header, &step);
  for (size_t first = 0; first < sectors; first += kSeedBatch) {
    const size_t count = std::min(kSeedBatch, sectors - first);
    SectorSeeds(seeds, count, tag, position + first * kSectorSize);
    for (size_t s = 0; s < count; ++s) {
      SectorPass<V, true>(data + (first + s) * kSectorSize, nullptr, header,
                          seeds[s], nullptr);
      header += step;
    }
  }
}

// Returns the number of whole sectors from the start that match their
// stamps exactly. The differences of a batch's sectors are gathered and
// looked at once per batch (gathering a vector into one word costs as much
// as a fifth of a sector's stream); only a batch with a difference is gone
// through again sector by sector to find the first one.
template <typename V>
__attribute__((always_inline)) inline size_t MatchingSectorsBody(
    const uint8_t* data, size_t sectors, uint64_t tag, uint64_t position) {
  uint64_t seeds[kSeedBatch];
  for (size_t first = 0; first < sectors; first += kSeedBatch) {
    const size_t count = std::min(kSeedBatch, sectors - first);
    SectorSeeds(seeds, count, tag, position + first * kSectorSize);
    V header;
    V step;
    SetSectorHeader(tag, position + first * kSectorSize, &header, &step);
    V diff = {};
    for (size_t s = 0; s < count; ++s) {
      SectorPass<V, false>(nullptr, data + (first + s) * kSectorSize, header,
                           seeds[s], &diff);
      header += step;
    }
    if (AllZero(diff)) continue;
    SetSectorHeader(tag, position + first * kSectorSize, &header, &step);
    for (size_t s = 0;; ++s) {
      V one = {};
      SectorPass<V, false>(nullptr, data + (first + s) * kSectorSize, header,
                           seeds[s], &one);
      if (!AllZero(one)) return first + s;
      header += step;
    }
  }
  return sectors;
}

// Narrow: AVX2 where the processor has it, else SSE2 (chosen when the
// program is loaded); the compiler splits the eight words into the vectors
// there are.
KORV_CLONES("avx2", "default")
void FillSectorsNarrow(uint8_t* data, size_t sectors, uint64_t tag,
                       uint64_t position) {
  FillSectorsBody<Words4>(data, sectors, tag, position);
}

KORV_CLONES("avx2", "default")
size_t MatchingSectorsNarrow(const uint8_t* data, size_t sectors, uint64_t tag,
                             uint64_t position) {
  return MatchingSectorsBody<Words4>(data, sectors, tag, position);
}

#ifdef KORV_VECTOR_CLONES
// Wide: the eight words in one AVX-512 vector, which also rotates them in
// one step.
KORV_WIDE_VECTORS void FillSectorsWide(uint8_t* data, size_t sectors,
                                       uint64_t tag, uint64_t position) {
  FillSectorsBody<Words8>(data, sectors, tag, position);
}

KORV_WIDE_VECTORS size_t MatchingSectorsWide(const uint8_t* data,
                                             size_t sectors, uint64_t tag,
                                             uint64_t position) {
  return MatchingSectorsBody<Words8>(data, sectors, tag, position);
}

#endif

void FillSectors(uint8_t* data, size_t sectors, uint64_t tag,
                 uint64_t position) {
#ifdef KORV_VECTOR_CLONES
  if (HasWideVectors()) return FillSectorsWide(data, sectors, tag, position);
#endif
  FillSectorsNarrow(data, sectors, tag, position);
}

size_t MatchingSectors(const uint8_t* data, size_t sectors, uint64_t tag,
                       uint64_t position) {
#ifdef KORV_VECTOR_CLONES
  if (HasWideVectors()) {
    return MatchingSectorsWide(data, sectors, tag, position);
  }
#endif
  return MatchingSectorsNarrow(data, sectors, tag, position);
}

uint64_t LoadWord(const uint8_t* data) {
  uint64_t w;
  std::memcpy(&w, data, sizeof w);
  return w;
}

// Counts the bits in which a and b differ over length bytes.
int64_t DifferentBits(const uint8_t* a, const uint8_t* b, size_t length) {
  int64_t bits = 0;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    bits += std::popcount(LoadWord(a + i) ^ LoadWord(b + i));
  }
  for (; i < length; ++i) {
    bits += std::popcount(static_cast<unsigned>(a[i] ^ b[i]));
  }
  return bits;
}

bool IsBlank(const uint8_t* data, size_t length) {
  return (data[0] == 0x00 || data[0] == 0xFF) && IsOneByteBlock(data, length);
}

// Whether data is, within the changed-bits limit, the stamp of the run and
// position its own header names.
bool CarriesOwnStamp(const uint8_t* data, size_t length, uint64_t* tag,
                     uint64_t* position) {
  if (length < kStampHeaderSize) return false;
  *position = LoadWord(data);
  *tag = LoadWord(data + 8);
  alignas(64) uint8_t expected[kSectorSize];
  FillStamped(expected, length, *tag, *position);
  return DifferentBits(data, expected, length) <= kChangedBitsLimit;
}

void AddToTally(SectorClass c, const uint8_t* data, size_t length,
                uint64_t position, uint64_t found_tag, StampTally* tally) {
  tally->sectors[c] += 1;
  tally->bytes[c] += static_cast<int64_t>(length);
  if (c == kSectorOk) return;
  // A moved sector names the run position whose write landed here.
  if (c == kSectorMoved) {
    tally->lowest_moved_target =
        std::min(tally->lowest_moved_target, LoadWord(data));
  }
  if (!tally->bad_seen) {
    tally->bad_seen = true;
    tally->first_bad_position = position;
  }
  if (c == kSectorStale && !tally->stale_seen) {
    tally->stale_seen = true;
    tally->stale_tag = found_tag;
  }
}

void AppendTwoDigits(std::string* out, int value) {
  AppendZeroPadded(out, value, 2);
}

}  // namespace

uint64_t MakeStampTag(int64_t epoch_seconds, uint32_t random_bits) {
  return (static_cast<uint64_t>(epoch_seconds) << 32) | random_bits;
}

int64_t StampTagSeconds(uint64_t tag) {
  return static_cast<int64_t>(tag >> 32);
}

uint64_t StampPosition(int32_t index, int64_t offset) {
  return (static_cast<uint64_t>(static_cast<int64_t>(index))
          << kFilePositionShift) +
         static_cast<uint64_t>(offset);
}

void FillStamped(uint8_t* data, size_t length, uint64_t tag,
                 uint64_t position) {
  const size_t whole = length / kSectorSize;
  FillSectors(data, whole, tag, position);
  const size_t rest = length - whole * kSectorSize;
  if (rest == 0) return;
  alignas(64) uint8_t last[kSectorSize];
  FillSectors(last, 1, tag, position + whole * kSectorSize);
  std::memcpy(data + whole * kSectorSize, last, rest);
}

int64_t CheckStamped(const uint8_t* data, size_t length, uint64_t tag,
                     uint64_t position, StampTally* tally) {
  const size_t whole = length / kSectorSize;
  int64_t bad = 0;
  size_t s = 0;
  while (s < whole) {
    const size_t ok = MatchingSectors(data + s * kSectorSize, whole - s, tag,
                                      position + s * kSectorSize);
    tally->sectors[kSectorOk] += static_cast<int64_t>(ok);
    tally->bytes[kSectorOk] += static_cast<int64_t>(ok * kSectorSize);
    s += ok;
    if (s == whole) break;
    const uint64_t at = position + s * kSectorSize;
    uint64_t found_tag = 0;
    SectorClass c = ClassifySector(data + s * kSectorSize, kSectorSize, tag,
                                   at, &found_tag);
    AddToTally(c, data + s * kSectorSize, kSectorSize, at, found_tag, tally);
    ++bad;
    ++s;
  }
  const size_t rest = length - whole * kSectorSize;
  if (rest > 0) {
    const uint64_t at = position + whole * kSectorSize;
    uint64_t found_tag = 0;
    SectorClass c = ClassifySector(data + whole * kSectorSize, rest, tag, at,
                                   &found_tag);
    AddToTally(c, data + whole * kSectorSize, rest, at, found_tag, tally);
    if (c != kSectorOk) ++bad;
  }
  return bad;
}

void AppendTally(const StampTally& later, StampTally* tally) {
  for (int c = 0; c < kSectorClassCount; ++c) {
    tally->sectors[c] += later.sectors[c];
    tally->bytes[c] += later.bytes[c];
  }
  if (later.bad_seen && !tally->bad_seen) {
    tally->bad_seen = true;
    tally->first_bad_position = later.first_bad_position;
  }
  if (later.stale_seen && !tally->stale_seen) {
    tally->stale_seen = true;
    tally->stale_tag = later.stale_tag;
  }
  tally->lowest_moved_target =
      std::min(tally->lowest_moved_target, later.lowest_moved_target);
}

void TallyUnread(uint64_t position, int64_t length, StampTally* tally) {
  if (length <= 0) return;
  const int64_t sectors =
      (length + static_cast<int64_t>(kSectorSize) - 1) / kSectorSize;
  AddToTally(kSectorCorrupted, nullptr, 0, position, 0, tally);
  tally->sectors[kSectorCorrupted] += sectors - 1;
  tally->bytes[kSectorCorrupted] += length;
}

SectorClass ClassifySector(const uint8_t* data, size_t length, uint64_t tag,
                           uint64_t position, uint64_t* found_tag) {
  length = std::min(length, kSectorSize);
  if (length == 0) return kSectorOk;
  alignas(64) uint8_t expected[kSectorSize];
  FillStamped(expected, length, tag, position);
  const int64_t bits = DifferentBits(data, expected, length);
  if (bits == 0) return kSectorOk;
  if (bits <= kChangedBitsLimit) return kSectorChanged;
  // The right header with much else wrong is this sector, damaged.
  if (length >= kStampHeaderSize &&
      std::memcmp(data, expected, kStampHeaderSize) == 0) {
    return kSectorCorrupted;
  }
  if (IsBlank(data, length)) return kSectorBlank;
  uint64_t other_tag = 0;
  uint64_t other_position = 0;
  if (CarriesOwnStamp(data, length, &other_tag, &other_position)) {
    if (other_tag == tag) return kSectorMoved;
    *found_tag = other_tag;
    return kSectorStale;
  }
  return kSectorCorrupted;
}

bool FindStampTag(const uint8_t* data, size_t length, uint64_t* tag) {
  if (length < kStampHeaderSize) return false;
  length = std::min(length, kSectorSize);
  const uint64_t position = LoadWord(data);
  const uint64_t found = LoadWord(data + 8);
  alignas(64) uint8_t expected[kSectorSize];
  FillStamped(expected, length, found, position);
  if (std::memcmp(data, expected, length) != 0) return false;
  *tag = found;
  return true;
}

bool FindShortStamp(const uint8_t* data, size_t length, uint64_t position,
                    uint64_t* tag) {
  if (length == 0 || length >= kStampHeaderSize) return false;
  uint8_t header[kStampHeaderSize] = {};
  std::memcpy(header, &position, sizeof position);
  if (std::memcmp(data, header, std::min(length, sizeof position)) != 0) {
    return false;
  }
  bool one_value = true;
  for (size_t i = 1; i < length; ++i) {
    if (data[i] != data[0]) one_value = false;
  }
  if (one_value) return false;
  std::memcpy(header + sizeof position, data + sizeof position,
              length > sizeof position ? length - sizeof position : 0);
  *tag = LoadWord(header + sizeof position);
  return true;
}

bool FindStampHeader(const uint8_t* data, size_t length, uint64_t position,
                     uint64_t* tag) {
  if (length < kStampHeaderSize || LoadWord(data) != position) return false;
  const uint64_t found = LoadWord(data + 8);
  // Zero bytes (the zero fill at position 0) name no run.
  if (StampTagSeconds(found) == 0) return false;
  *tag = found;
  return true;
}

std::string StampTagText(uint64_t tag) {
  const LocalClock c = LocalClockAt(StampTagSeconds(tag));
  std::string text;
  AppendTwoDigits(&text, c.day);
  text += '.';
  AppendTwoDigits(&text, c.month);
  text += '.';
  AppendZeroPadded(&text, c.year, 4);
  text += ' ';
  AppendTwoDigits(&text, c.hour);
  text += ':';
  AppendTwoDigits(&text, c.minute);
  text += ':';
  AppendTwoDigits(&text, c.second);
  text += " / ";
  static const char kHex[] = "0123456789abcdef";
  for (int shift = 28; shift >= 0; shift -= 4) {
    text += kHex[(tag >> shift) & 0xF];
  }
  return text;
}

// The words of each 256-byte stretch are compared without a branch (the compiler turns them
// into vector compares), so a block of one byte is recognised at memory
// speed, and a block of random bytes is given up after its first stretch.
KORV_CLONES("arch=x86-64-v4", "avx2", "default")
bool IsOneByteBlock(const uint8_t* data, size_t length) {
  const uint64_t pattern = UINT64_C(0x0101010101010101) * data[0];
  size_t i = 0;
  for (; i + 256 <= length; i += 256) {
    uint64_t diff = 0;
    for (int k = 0; k < 32; ++k) {
      uint64_t word;
      std::memcpy(&word, data + i + 8 * k, 8);
      diff |= word ^ pattern;
    }
    if (diff != 0) return false;
  }
  for (; i < length; ++i) {
    if (data[i] != data[0]) return false;
  }
  return true;
}

void TEST_ForceNarrowStamp(bool on) { TEST_ForceNarrowVectors(on); }

}  // namespace korv
