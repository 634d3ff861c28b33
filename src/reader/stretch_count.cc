#include "reader/stretch_count.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "shared/platform/vector_units.h"
#include "shared/stamp/stamp.h"

namespace korv {
namespace {

// The 32-bit sub-histograms are folded into the 64-bit file histogram before
// any of their counters could pass 2^32 (each counter is at most the bytes
// counted since the last fold).
constexpr int64_t kFoldLimit = INT64_C(1) << 31;

void CountMixedBlock(uint32_t (*sub)[256], const uint8_t* data, size_t length) {
  size_t i = 0;
  for (; i + kSubTables <= length; i += kSubTables) {
    for (int t = 0; t < kSubTables; ++t) ++sub[t][data[i + t]];
  }
  for (; i < length; ++i) ++sub[0][data[i]];
}

// Counts length bytes (a multiple of 8) into the pair table: the pair of
// data[i] and data[i + 1] has the index data[i] + 256 * data[i + 1].
void CountPairs(uint16_t* pairs, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    if constexpr (std::endian::native == std::endian::big) {
      word = __builtin_bswap64(word);
    }
    ++pairs[word & 0xFFFF];
    ++pairs[(word >> 16) & 0xFFFF];
    ++pairs[(word >> 32) & 0xFFFF];
    ++pairs[word >> 48];
  }
}

// Returns true when a block looks like one byte value with a few others
// (a damaged constant file): its pairs are mostly the same one, whose
// counter every other increment would have to wait for, so the eight byte
// tables count it faster. Random bytes almost never repeat a byte here.
bool MostlyOneValue(const uint8_t* data) {
  int repeats = 0;
  for (int i = 0; i < 64; ++i) repeats += data[i] == data[i + 1];
  return repeats >= 16;
}

// Adds the pair table to the byte counts (each pair counts for its first
// and its second byte) and clears it, in one pass. Returns the sum of its
// counters, which falls short of the pairs counted when one wrapped.
KORV_CLONES("arch=x86-64-v4", "avx2", "default")
int64_t FoldPairs(uint16_t* pairs, int64_t* counts) {
  uint32_t firsts[256] = {};
  int64_t total = 0;
  for (int second = 0; second < 256; ++second) {
    uint16_t* row = pairs + second * 256;
    uint32_t sum = 0;
    for (int first = 0; first < 256; ++first) {
      sum += row[first];
      firsts[first] += row[first];
      row[first] = 0;
    }
    counts[second] += sum;
    total += sum;
  }
  for (int v = 0; v < 256; ++v) counts[v] += firsts[v];
  return total;
}

}  // namespace

void ClearHistogram(ByteHistogram* histogram) {
  std::memset(histogram->counts, 0, sizeof histogram->counts);
  histogram->total = 0;
  if (histogram->sub_dirty) {
    std::memset(histogram->sub, 0, sizeof histogram->sub);
    histogram->sub_dirty = false;
    histogram->sub_bytes = 0;
  }
}

void CountBytes(const uint8_t* data, size_t length, ByteHistogram* histogram) {
  if (length == 0) return;
  histogram->total += static_cast<int64_t>(length);
  if (IsOneByteBlock(data, length)) {
    histogram->counts[data[0]] += static_cast<int64_t>(length);
    return;
  }
  if (histogram->sub_bytes + static_cast<int64_t>(length) >= kFoldLimit) {
    FoldHistogram(histogram);
  }
  CountMixedBlock(histogram->sub, data, length);
  histogram->sub_dirty = true;
  histogram->sub_bytes += static_cast<int64_t>(length);
}

void FoldHistogram(ByteHistogram* histogram) {
  if (!histogram->sub_dirty) return;
  for (int v = 0; v < 256; ++v) {
    int64_t sum = 0;
    for (int t = 0; t < kSubTables; ++t) sum += histogram->sub[t][v];
    histogram->counts[v] += sum;
  }
  std::memset(histogram->sub, 0, sizeof histogram->sub);
  histogram->sub_dirty = false;
  histogram->sub_bytes = 0;
}

void TEST_LoadSubCounts(uint8_t v, uint32_t count, int64_t bytes,
                        ByteHistogram* histogram) {
  FoldHistogram(histogram);
  for (int t = 0; t < kSubTables; ++t) histogram->sub[t][v] = count;
  histogram->sub_bytes = bytes;
  histogram->sub_dirty = true;
  histogram->total += int64_t{count} * kSubTables;
}

void StartFileCount(const StampCheck& stamp, FileCount* file) {
  file->stamp = stamp;
  ClearHistogram(&file->bytes);
  file->tally = StampTally();
  file->offset = 0;
}

void CountStretch(const uint8_t* data, size_t length, FileCount* file) {
  CountBytes(data, length, &file->bytes);
  if (file->stamp.on) {
    CheckStamped(data, length, file->stamp.tag,
                 StampPosition(file->stamp.index, file->offset), &file->tally);
  }
  file->offset += static_cast<int64_t>(length);
}

void PassStretch(int64_t length, FileCount* file) {
  if (file->stamp.on) {
    TallyUnread(StampPosition(file->stamp.index, file->offset), length,
                &file->tally);
  }
  file->offset += length;
}

void StartShareCount(ShareCount* count) {
  std::memset(count->counts, 0, sizeof count->counts);
  count->tally = StampTally();
  count->pairs = 0;
  count->sub_used = false;
}

void CountSharePiece(const uint8_t* data, size_t length, int64_t offset,
                     bool with_pairs, const StampCheck& stamp,
                     ShareTables* tables, ShareCount* count) {
  for (size_t b = 0; b < length; b += kReadBlockSize) {
    const uint8_t* block = data + b;
    if (IsOneByteBlock(block, kReadBlockSize)) {
      count->counts[block[0]] += static_cast<int64_t>(kReadBlockSize);
    } else if (with_pairs && !MostlyOneValue(block)) {
      CountPairs(tables->pairs, block, kReadBlockSize);
      count->pairs += static_cast<int64_t>(kReadBlockSize / 2);
    } else {
      if (!count->sub_used) std::memset(tables->sub, 0, sizeof tables->sub);
      CountMixedBlock(tables->sub, block, kReadBlockSize);
      count->sub_used = true;
    }
  }
  if (stamp.on) {
    CheckStamped(data, length, stamp.tag, StampPosition(stamp.index, offset),
                 &count->tally);
  }
}

bool EndShareCount(ShareTables* tables, ShareCount* count) {
  if (count->sub_used) {
    for (int t = 0; t < kSubTables; ++t) {
      for (int v = 0; v < 256; ++v) count->counts[v] += tables->sub[t][v];
    }
  }
  return count->pairs == 0 ||
         FoldPairs(tables->pairs, count->counts) == count->pairs;
}

void AddShareCount(const ShareCount& share, int64_t bytes, FileCount* file) {
  file->bytes.total += bytes;
  for (int v = 0; v < 256; ++v) file->bytes.counts[v] += share.counts[v];
  if (file->stamp.on) AppendTally(share.tally, &file->tally);
  file->offset += bytes;
}

}  // namespace korv
