#include "shared/platform/probe_file.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "shared/platform/block_device.h"
#include "shared/platform/extent_place.h"
#include "shared/platform/files.h"

namespace korv {
namespace {

constexpr long kExt4Magic = 0xEF53;  // also ext2 and ext3
constexpr long kXfsMagic = 0x58465342;

int ErrnoOr(int fallback) { return errno != 0 ? errno : fallback; }

// Only where a block reserved for a file is later written in place, at the
// position the file system named, does a probe land where it is expected:
// ext2/3/4 and xfs. Copy-on-write and log-structured file systems (btrfs,
// f2fs) write elsewhere, and btrfs names positions of its own address
// space; FUSE, network file systems and tmpfs have no device at all.
bool WritesInPlace(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  const long type = static_cast<long>(fs.f_type);
  return type == kExt4Magic || type == kXfsMagic;
}

// Opens a file of the folder that has no name: it goes with its room when
// the last descriptor closes, also when the program is killed or the
// computer stops. Where the file system has no such files, a named one is
// made and its name removed at once.
int OpenNamelessFile(const std::string& folder, int flags, int* fd) {
  const std::string dir = folder.empty() ? "." : folder;
  *fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC | flags, 0600);
  if (*fd >= 0) return 0;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return ErrnoOr(EIO);
  }
  const std::string path = dir + "/KORVPROV.TMP";
  *fd = open(path.c_str(),
             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | flags, 0600);
  if (*fd < 0) return ErrnoOr(EIO);
  unlink(path.c_str());
  return 0;
}

// Lists where the file's bytes lie on its file system's device (FIEMAP).
// False when the file system cannot tell, or holds a part somewhere it
// cannot be written in place.
bool ReadExtentMap(int fd, int64_t size, int64_t start_byte,
                   std::vector<FileExtent>* extents) {
  constexpr uint32_t kBatch = 256;
  std::vector<char> buffer(sizeof(struct fiemap) +
                           kBatch * sizeof(struct fiemap_extent));
  auto* map = reinterpret_cast<struct fiemap*>(buffer.data());
  // The probe writes: a shared extent would be copied elsewhere first.
  const uint32_t unplaced = kExtentWithoutPlace | FIEMAP_EXTENT_SHARED;
  uint64_t next = 0;
  while (next < static_cast<uint64_t>(size)) {
    std::fill(buffer.begin(), buffer.end(), 0);
    map->fm_start = next;
    map->fm_length = static_cast<uint64_t>(size) - next;
    map->fm_extent_count = kBatch;
    if (ioctl(fd, FS_IOC_FIEMAP, map) != 0) return false;
    if (map->fm_mapped_extents == 0) break;
    for (uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
      const struct fiemap_extent& e = map->fm_extents[i];
      if ((e.fe_flags & unplaced) != 0) return false;
      FileExtent x;
      x.file_offset = static_cast<int64_t>(e.fe_logical);
      x.device_byte = static_cast<int64_t>(e.fe_physical) + start_byte;
      x.length = static_cast<int64_t>(e.fe_length);
      if (x.file_offset + x.length > size) x.length = size - x.file_offset;
      if (x.length > 0) extents->push_back(x);
      next = e.fe_logical + e.fe_length;
      if ((e.fe_flags & FIEMAP_EXTENT_LAST) != 0) next = size;
    }
  }
  std::sort(extents->begin(), extents->end(),
            [](const FileExtent& a, const FileExtent& b) {
              return a.device_byte < b.device_byte;
            });
  return !extents->empty();
}

// The mount point and the options of the file system on device number dev.
bool MountOf(dev_t dev, std::string* mount_point, std::string* options) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point;
    fields >> id >> parent >> numbers >> root >> point;
    unsigned major_number = 0, minor_number = 0;
    if (std::sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) !=
            2 ||
        makedev(major_number, minor_number) != dev) {
      continue;
    }
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type, source;
    rest >> type >> source >> *options;
    *mount_point = point;  // blanks stay \040: no folder of ours has them
    return true;
  }
  return false;
}

int64_t g_file_bytes = 0;

int CountFileBytes(const char*, const struct stat* st, int type, struct FTW*) {
  if (type == FTW_F && S_ISREG(st->st_mode)) {
    g_file_bytes += static_cast<int64_t>(st->st_blocks) * 512;
  }
  return g_file_bytes > 0 ? 1 : 0;  // the first file with data is enough
}

// True when a file on the file system mounted at mount_point holds data.
bool FilesWithData(const std::string& mount_point) {
  g_file_bytes = 0;
  nftw(mount_point.c_str(), CountFileBytes, 16, FTW_PHYS | FTW_MOUNT);
  return g_file_bytes > 0;
}

}  // namespace

int CreateProbeFile(const std::string& folder, int64_t bytes,
                    ProbeFile* probe) {
  probe->extents.clear();
  int fd = -1;
  // Uncached: a write goes to the device before it returns, and a read
  // comes from the device, not from a page kept in memory.
  int err = OpenNamelessFile(folder, O_DIRECT, &fd);
  if (err == EINVAL) return kProbeNoPlaceMap;  // no uncached access here
  if (err != 0) return err;
  struct stat st;
  WholeDevice whole;
  if (!WritesInPlace(fd) || fstat(fd, &st) != 0 ||
      !WholeDeviceOf(static_cast<int64_t>(st.st_dev), &whole)) {
    close(fd);
    return kProbeNoPlaceMap;
  }
  probe->device = whole.device;
  std::string mount_point, options;
  if (MountOf(st.st_dev, &mount_point, &options)) {
    if (("," + options + ",").find(",data=journal,") != std::string::npos) {
      close(fd);
      return kProbeNotDirect;
    }
    // Only the file system's own records may lie beside the probe.
    if (FilesWithData(mount_point)) {
      close(fd);
      return kProbeFilesOnCard;
    }
  }
  // The system call itself, not posix_fallocate: the C library's fallback
  // would write every byte, which is the full fill this check avoids.
  // A disk that filled meanwhile, or whose file system keeps back more
  // than it said, gets a smaller probe file.
  for (int attempt = 0;; ++attempt) {
    if (fallocate(fd, 0, 0, static_cast<off_t>(bytes)) == 0) break;
    err = ErrnoOr(EIO);
    if (IsDiskFullError(err) && attempt < 3 && bytes >= 2 * kProbeBlock) {
      bytes = bytes / 8 * 7 / kProbeBlock * kProbeBlock;
      continue;
    }
    close(fd);
    return err == EOPNOTSUPP ? kProbeNoAllocation : err;
  }
  if (!ReadExtentMap(fd, bytes, whole.start_byte, &probe->extents)) {
    close(fd);
    probe->extents.clear();
    return kProbeNoPlaceMap;
  }
  probe->fd = fd;
  probe->device = whole.device;
  probe->device_size = whole.size;
  probe->file_size = bytes;
  return 0;
}

int WriteProbeFile(const ProbeFile& probe, int64_t file_offset,
                   const void* data, size_t length) {
  return WriteFullyAt(probe.fd, file_offset, data, length);
}

int ReadProbeFile(const ProbeFile& probe, int64_t file_offset, void* data,
                  size_t length) {
  // At the end: the file is shorter than it was made.
  return ReadFullyAt(probe.fd, file_offset, data, length, EIO);
}

int SyncProbeFile(const ProbeFile& probe) {
  return fdatasync(probe.fd) != 0 ? ErrnoOr(EIO) : 0;
}

void CloseProbeFile(ProbeFile* probe) {
  if (probe->fd >= 0) close(probe->fd);
  probe->fd = -1;
}

void* AllocateProbeBuffer(size_t bytes) {
  void* buffer = nullptr;
  if (posix_memalign(&buffer, static_cast<size_t>(kProbeBlock), bytes) != 0) {
    return nullptr;
  }
  return buffer;
}

void FreeProbeBuffer(void* buffer) { std::free(buffer); }

}  // namespace korv
