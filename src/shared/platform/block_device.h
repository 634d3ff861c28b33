// A whole card or one of its partitions as a block device: opened for the
// card check alone, read and written in place, past every cache of the
// computer.
#ifndef KORV_SHARED_PLATFORM_BLOCK_DEVICE_H_
#define KORV_SHARED_PLATFORM_BLOCK_DEVICE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace korv {

struct BlockDevice {
  int fd = -1;
  std::string path;      // as named on the command line
  std::string name;      // the kernel's name, "sdb", "loop3", "sdb1"
  int64_t size = 0;      // the bytes the device announces
  int64_t sector = 512;  // its logical sector
  bool whole = false;    // a whole device, not a partition
  // What tells this card from another of the same size when it comes
  // back under another name: the serial number where the device has one.
  std::string serial;
};

// Returns true when path names a block device (following a symbolic link,
// as /dev/disk/by-id/... are).
bool IsBlockDevicePath(const std::string& path);

// Results of OpenBlockDevice besides 0 and an error number: the device or a
// partition on it is in use by a mounted file system or as swap
// (*in_use_at names the mount point), or held open exclusively by another
// program (*in_use_at empty).
inline constexpr int kDeviceInUse = -1;
// this system cannot check a device (Windows).
inline constexpr int kDeviceNotOnThisSystem = -2;

// Opens the device for reading and writing, uncached and exclusively, so
// that nothing mounts it while the check runs. Nothing is written.
int OpenBlockDevice(const std::string& path, BlockDevice* device,
                    std::string* in_use_at);

// Reads or writes length bytes (multiples of the sector, from a buffer of
// AllocateProbeBuffer) at offset. Returns 0 or an error number.
int ReadBlockDevice(const BlockDevice& device, int64_t offset, void* data,
                    size_t length);
int WriteBlockDevice(const BlockDevice& device, int64_t offset,
                     const void* data, size_t length);

// Waits until everything written is on the card.
int SyncBlockDevice(const BlockDevice& device);

// Asks the system to read the device's partition table again (after it
// was written). Returns 0 or an error number.
int RereadPartitionTable(const BlockDevice& device);

void CloseBlockDevice(BlockDevice* device);

// Reads or writes exactly length bytes at offset of an open descriptor,
// going on after signals and short transfers. A read that meets the end
// gives at_end_error, a write that stores nothing ENOSPC. Returns 0 or an
// error number.
int ReadFullyAt(int fd, int64_t offset, void* data, size_t length,
                int at_end_error);
int WriteFullyAt(int fd, int64_t offset, const void* data, size_t length);

// True for the errors by which a card says that it cannot keep or give
// back data at a position; any other error (the device gone, no right)
// ends the check.
bool IsMediumError(int err);

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_BLOCK_DEVICE_H_
