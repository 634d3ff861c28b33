#include "prober/partition_table.h"

#include <cstring>

namespace korv {
namespace {

constexpr int kEntry = 446;  // the first of the four partition entries
constexpr uint8_t kFat32Lba = 0x0C;

void PutLittle32(uint32_t value, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Cylinder-head-sector addresses no system reads any more; the value for
// "beyond what they can name" keeps old tools from trusting them.
void PutBeyondChs(uint8_t* out) {
  out[0] = 0xFE;
  out[1] = 0xFF;
  out[2] = 0xFF;
}

}  // namespace

bool BuildMbr(int64_t end, int64_t sector_bytes, uint32_t disk_id,
              uint8_t* mbr) {
  const int64_t aligned_end = end / kPartitionStart * kPartitionStart;
  if (sector_bytes <= 0 || aligned_end < 2 * kPartitionStart) return false;
  const int64_t first = kPartitionStart / sector_bytes;
  const int64_t count = aligned_end / sector_bytes - first;
  if (first + count > int64_t{0xFFFFFFFF}) return false;
  std::memset(mbr, 0, kMbrBytes);
  PutLittle32(disk_id, mbr + 440);
  uint8_t* entry = mbr + kEntry;
  entry[0] = 0x00;  // not marked bootable
  PutBeyondChs(entry + 1);
  entry[4] = kFat32Lba;
  PutBeyondChs(entry + 5);
  PutLittle32(static_cast<uint32_t>(first), entry + 8);
  PutLittle32(static_cast<uint32_t>(count), entry + 12);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  return true;
}

std::string FirstPartitionPath(const std::string& device) {
  const bool digit =
      !device.empty() && device.back() >= '0' && device.back() <= '9';
  return device + (digit ? "p1" : "1");
}

}  // namespace korv
