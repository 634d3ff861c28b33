// The quick card check's probe file: allocated over a disk's free space
// without being written, with the map of where its bytes lie on the device.
#ifndef KORV_SHARED_PLATFORM_PROBE_FILE_H_
#define KORV_SHARED_PLATFORM_PROBE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korv {

// The probe's reads and writes are whole blocks of this many bytes, at file
// offsets and device positions that are multiples of it.
inline constexpr int64_t kProbeBlock = 4096;

// A piece of the probe file that lies in one run on the device: the bytes
// [file_offset, file_offset + length) are the device's bytes
// [device_byte, device_byte + length), counted from the start of the whole
// device (a partition's start added).
struct FileExtent {
  int64_t file_offset = 0;
  int64_t device_byte = 0;
  int64_t length = 0;
};

struct ProbeFile {
  int fd = -1;
  std::string device;       // the whole device, "/dev/sdb"
  int64_t device_size = 0;  // the bytes the whole device announces
  int64_t file_size = 0;
  std::vector<FileExtent> extents;  // ascending device positions
};

// Results of CreateProbeFile besides 0 and an error number (all negative,
// so that no error number is taken for one of them):
// the file system cannot reserve room without writing it;
inline constexpr int kProbeNoAllocation = -1;
// the file system cannot tell where a file lies on the device, or does not
// write a reserved block where it said (FUSE, network, tmpfs, btrfs, ...);
inline constexpr int kProbeNoPlaceMap = -2;
// this system has no quick check (Windows);
inline constexpr int kProbeNotOnThisSystem = -3;
// the file system takes uncached writes into the computer's memory first
// (ext4 with data=journal), so a read would see them there, not on the card;
inline constexpr int kProbeNotDirect = -4;
// files lie on the file system: a write past the card's real end could
// land on them. For both, probe->device names the whole device.
inline constexpr int kProbeFilesOnCard = -5;

// Creates a file without a name in folder, so that nothing is left behind
// however the program ends, reserves `bytes` for it on the disk without
// writing them (a little less where the disk has less room by then; the
// size is in probe->file_size), and maps where its bytes lie. Reads and writes of the probe
// bypass the computer's caches. Returns 0, one of the results above (no
// file is kept then) or an error number.
int CreateProbeFile(const std::string& folder, int64_t bytes, ProbeFile* probe);

// Writes or reads length bytes (a multiple of kProbeBlock, from an aligned
// buffer of AllocateProbeBuffer) at a file offset. Returns 0 or an error
// number.
int WriteProbeFile(const ProbeFile& probe, int64_t file_offset,
                   const void* data, size_t length);
int ReadProbeFile(const ProbeFile& probe, int64_t file_offset, void* data,
                  size_t length);

// Waits until everything written to the probe file is on the device.
int SyncProbeFile(const ProbeFile& probe);

// Gives the file and its room back to the file system.
void CloseProbeFile(ProbeFile* probe);

// A buffer aligned for the uncached reads and writes; FreeProbeBuffer
// gives it back.
void* AllocateProbeBuffer(size_t bytes);
void FreeProbeBuffer(void* buffer);

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_PROBE_FILE_H_
