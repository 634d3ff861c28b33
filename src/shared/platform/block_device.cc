#include "shared/platform/block_device.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace korv {
namespace {

int ErrnoOr(int fallback) { return errno != 0 ? errno : fallback; }

// The device's folder in /sys ("/sys/devices/.../block/sdb/sdb1"), empty
// when the kernel lists none.
std::string SysfsFolderOf(dev_t dev) {
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(dev),
                minor(dev));
  char real[PATH_MAX];
  if (realpath(link, real) == nullptr) return std::string();
  return real;
}

std::string FirstLineOf(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) {
    line.pop_back();
  }
  return line;
}

// True when the device in folder `other` is `mine` or lies on it (a
// partition of it), or is the whole device that `mine` is a partition of.
bool SameCard(const std::string& mine, const std::string& other) {
  if (other.empty() || mine.empty()) return false;
  if (other == mine) return true;
  if (other.compare(0, mine.size() + 1, mine + "/") == 0) return true;
  return mine.compare(0, other.size() + 1, other + "/") == 0;
}

// Mount points are written with their blanks and the like as \ooo.
std::string UnescapedMountPoint(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string digits = text.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// Where the card or one of its partitions is in use: a mount point, the
// swap, or another device built on it (a mapper, a RAID).
bool InUseAt(const std::string& mine, std::string* where) {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, mount_point;
    fields >> id >> parent >> numbers >> root >> mount_point;
    unsigned major_number = 0, minor_number = 0;
    if (std::sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) !=
        2) {
      continue;
    }
    if (major_number == 0) continue;  // no block device behind it
    if (SameCard(mine, SysfsFolderOf(makedev(major_number, minor_number)))) {
      *where = UnescapedMountPoint(mount_point);
      return true;
    }
  }
  std::ifstream swaps("/proc/swaps");
  std::getline(swaps, line);  // the heading
  while (std::getline(swaps, line)) {
    const std::string path = line.substr(0, line.find_first_of(" \t"));
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
        SameCard(mine, SysfsFolderOf(st.st_rdev))) {
      *where = "swap " + path;
      return true;
    }
  }
  return false;
}

}  // namespace

bool IsBlockDevicePath(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

int OpenBlockDevice(const std::string& path, BlockDevice* device,
                    std::string* in_use_at) {
  in_use_at->clear();
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return ErrnoOr(ENOENT);
  if (!S_ISBLK(st.st_mode)) return ENOTBLK;
  const std::string sysfs = SysfsFolderOf(st.st_rdev);
  // Looked at before the device is opened for writing: a mounted card is
  // never written, not even by a check that would only restore it.
  if (InUseAt(sysfs, in_use_at)) return kDeviceInUse;
  // Exclusive: the kernel refuses it while the device, or for a whole
  // device any partition on it, is mounted, and refuses mounts while we
  // hold it.
  const int fd = open(path.c_str(), O_RDWR | O_DIRECT | O_EXCL | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? kDeviceInUse : ErrnoOr(EIO);
  uint64_t bytes = 0;
  int sector = 512;
  if (ioctl(fd, BLKGETSIZE64, &bytes) != 0 ||
      ioctl(fd, BLKSSZGET, &sector) != 0) {
    const int err = ErrnoOr(EIO);
    close(fd);
    return err;
  }
  device->fd = fd;
  device->path = path;
  device->name = sysfs.empty() ? path : sysfs.substr(sysfs.rfind('/') + 1);
  device->size = static_cast<int64_t>(bytes);
  device->sector = sector;
  device->whole = access((sysfs + "/partition").c_str(), F_OK) != 0;
  std::string card = sysfs;
  if (!device->whole) card.resize(card.rfind('/'));
  device->serial = FirstLineOf(card + "/device/serial");
  if (device->serial.empty())
    device->serial = FirstLineOf(card + "/device/wwid");
  if (device->serial.empty()) {
    device->serial = FirstLineOf(card + "/loop/backing_file");
  }
  return 0;
}

int ReadFullyAt(int fd, int64_t offset, void* data, size_t length,
                int at_end_error) {
  char* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n =
        pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoOr(EIO);
    }
    if (n == 0) return at_end_error;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int WriteFullyAt(int fd, int64_t offset, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n =
        pwrite(fd, p + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoOr(EIO);
    }
    if (n == 0) return ENOSPC;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int ReadBlockDevice(const BlockDevice& device, int64_t offset, void* data,
                    size_t length) {
  // Past the end: the device shrank.
  return ReadFullyAt(device.fd, offset, data, length, ENXIO);
}

int WriteBlockDevice(const BlockDevice& device, int64_t offset,
                     const void* data, size_t length) {
  return WriteFullyAt(device.fd, offset, data, length);
}

int SyncBlockDevice(const BlockDevice& device) {
  return fsync(device.fd) != 0 ? ErrnoOr(EIO) : 0;
}

int RereadPartitionTable(const BlockDevice& device) {
  return ioctl(device.fd, BLKRRPART) != 0 ? ErrnoOr(EIO) : 0;
}

void CloseBlockDevice(BlockDevice* device) {
  if (device->fd >= 0) close(device->fd);
  device->fd = -1;
}

bool IsMediumError(int err) {
  return err == EIO || err == ENODATA || err == EBADMSG || err == EILSEQ ||
         err == EREMOTEIO;
}

}  // namespace korv
