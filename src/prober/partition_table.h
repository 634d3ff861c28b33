// A new MBR partition table for a card whose real memory ends early: one
// FAT32 partition from 1 MiB up to where the memory still holds.
#ifndef KORV_PROBER_PARTITION_TABLE_H_
#define KORV_PROBER_PARTITION_TABLE_H_

#include <cstdint>
#include <string>

namespace korv {

inline constexpr int64_t kMbrBytes = 512;

// Where the partition starts: 1 MiB, as partitioning tools align it.
inline constexpr int64_t kPartitionStart = int64_t{1} << 20;

// Fills mbr (kMbrBytes) with a table of one partition of type 0x0C (FAT32,
// addressed by LBA) over the bytes [kPartitionStart, end) of a device with
// sectors of sector_bytes, end rounded down to a whole MiB; disk_id becomes
// the disk signature. Returns false (mbr untouched) when less than 1 MiB
// would be left or the sectors do not fit the table's 32-bit fields.
bool BuildMbr(int64_t end, int64_t sector_bytes, uint32_t disk_id,
              uint8_t* mbr);

// The first partition's device: "/dev/sdb1", or "/dev/mmcblk0p1" where the
// device's name ends in a digit.
std::string FirstPartitionPath(const std::string& device);

}  // namespace korv

#endif  // KORV_PROBER_PARTITION_TABLE_H_
