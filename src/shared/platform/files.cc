#include "shared/platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/capability.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "shared/platform/console.h"
#include "shared/platform/extent_place.h"

namespace korv {

struct TextFile {
  FILE* stream = nullptr;
  int64_t held_end = 0;  // room allocated up to here by TextHoldRoom
};

namespace {

int ErrnoOr(int fallback) { return errno != 0 ? errno : fallback; }

int OpenText(const std::string& path, int flags, const char* mode,
             TextFile** file) {
  *file = nullptr;
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return ErrnoOr(EIO);
  FILE* stream = fdopen(fd, mode);
  if (stream == nullptr) {
    int err = ErrnoOr(EIO);
    close(fd);
    return err;
  }
  *file = new TextFile{stream};
  return 0;
}

// True when the kernel lets this process write into the blocks a file
// system keeps back for the system: ext4 lets in CAP_SYS_RESOURCE and, by
// its default reserved uid, uid 0 also without the capability (a
// container's root). A few clusters that even they may not write are met
// as "no space left", which ends a fill like the space test does.
bool MayUseReservedBlocks() {
  static const bool may = [] {
    if (geteuid() == 0) return true;
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
    return ((data[CAP_SYS_RESOURCE / 32].effective >>
             (CAP_SYS_RESOURCE % 32)) & 1u) != 0;
  }();
  return may;
}

int64_t FreeOf(const struct statvfs& vfs) {
  // A wipe run with the right to use the reserved blocks overwrites them
  // too (f_bfree); everybody else is told what they may write (f_bavail),
  // so that no run of theirs meets "no space left".
  const uint64_t blocks = MayUseReservedBlocks() ? vfs.f_bfree : vfs.f_bavail;
  return static_cast<int64_t>(blocks) * static_cast<int64_t>(vfs.f_frsize);
}

}  // namespace

int CreateRawFile(const std::string& path, int* fd) {
  return CreateRawFileIn(-1, path, fd);
}

int CreateRawFileIn(int folder_fd, const std::string& path, int* fd) {
  *fd = -1;
  int dir = AT_FDCWD;
  std::string name = path;
  if (folder_fd >= 0) {
    dir = folder_fd;
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
  }
  // Whatever stands under the name is looked at before it is opened: even
  // an open refused afterwards would reach a device (a tape rewinds, a
  // FIFO's reader is let go).
  for (int look_again = 0; look_again < 2; ++look_again) {
    struct stat seen;
    if (fstatat(dir, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return ErrnoOr(EIO);
      *fd = openat(dir, name.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (*fd >= 0) return 0;
      // Made by somebody else since the look: looked at again.
      if (errno != EEXIST) return ErrnoOr(EIO);
      continue;
    }
    if (S_ISLNK(seen.st_mode)) return ELOOP;
    if (S_ISDIR(seen.st_mode)) return EISDIR;
    // A device node, a FIFO, a socket or a second name of another file
    // holds data that is not ours: it is refused untouched.
    if (!S_ISREG(seen.st_mode) || seen.st_nlink != 1) return EEXIST;
    // O_NONBLOCK: should a FIFO take the file's place after the look, the
    // open still cannot hang.
    *fd = openat(dir, name.c_str(),
                 O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) return ErrnoOr(EIO);
    struct stat st;
    int err = fstat(*fd, &st) != 0 ? ErrnoOr(EIO) : 0;
    // Only the file looked at is written: one swapped in since is not.
    if (err == 0 && (st.st_dev != seen.st_dev || st.st_ino != seen.st_ino ||
                     !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
      err = EEXIST;
    }
    if (err == 0 && st.st_size != 0 && ftruncate(*fd, 0) != 0) {
      err = ErrnoOr(EIO);
    }
    if (err == 0) {
      int flags = fcntl(*fd, F_GETFL);
      if (flags >= 0) fcntl(*fd, F_SETFL, flags & ~O_NONBLOCK);
      return 0;
    }
    close(*fd);
    *fd = -1;
    return err;
  }
  return EEXIST;
}

int WriteRawBlock(int fd, const void* data, size_t length, size_t* stored) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  // A short write is continued: it means a signal or a full disk, and the
  // second write tells which. A write that stores nothing without saying
  // why is tried once more; a full disk says ENOSPC, so a second one is a
  // fault of the file system, never the normal end of a fill.
  bool nothing_before = false;
  while (done < length) {
    ssize_t n = write(fd, p + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *stored = done;
      return ErrnoOr(EIO);
    }
    if (n == 0) {
      if (!nothing_before) {
        nothing_before = true;
        continue;
      }
      *stored = done;
      return EIO;
    }
    nothing_before = false;
    done += static_cast<size_t>(n);
  }
  *stored = done;
  return 0;
}

int TruncateRawFile(int fd, int64_t length) {
  if (ftruncate(fd, static_cast<off_t>(length)) != 0) return ErrnoOr(EIO);
  return lseek(fd, static_cast<off_t>(length), SEEK_SET) < 0 ? ErrnoOr(EIO) : 0;
}

int OpenRawFileForReading(const std::string& path, int* fd) {
  *fd = -1;
  // Looked at before it is opened, so that nothing but a regular file is
  // ever opened; a link is passed over rather than followed.
  struct stat seen;
  if (fstatat(AT_FDCWD, path.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
    return ErrnoOr(EIO);
  }
  if (S_ISLNK(seen.st_mode)) return ELOOP;
  if (S_ISDIR(seen.st_mode)) return EISDIR;
  if (!S_ISREG(seen.st_mode)) return EINVAL;
  // O_NONBLOCK: a FIFO put in its place since the look cannot hang the open.
  *fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (*fd < 0) return ErrnoOr(EIO);
  struct stat st;
  int stat_rc = fstat(*fd, &st);
  if (stat_rc != 0 || !S_ISREG(st.st_mode) || st.st_dev != seen.st_dev ||
      st.st_ino != seen.st_ino) {
    int err = stat_rc != 0 ? ErrnoOr(EIO) : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(*fd);
    *fd = -1;
    return err;
  }
  int flags = fcntl(*fd, F_GETFL);
  if (flags >= 0) fcntl(*fd, F_SETFL, flags & ~O_NONBLOCK);
  // Verify the media, not memory: pages still waiting are written back
  // first (DONTNEED skips dirty pages), then the cached pages are dropped.
  fdatasync(*fd);
  posix_fadvise(*fd, 0, 0, POSIX_FADV_DONTNEED);
  posix_fadvise(*fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return 0;
}

namespace {

// Reads until length bytes, the end of the file or an error: at offset, or
// at the file's own position when offset is negative.
int ReadFully(int fd, int64_t offset, void* data, size_t length, size_t* got) {
  char* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n =
        offset < 0 ? read(fd, p + done, length - done)
                   : pread(fd, p + done, length - done,
                           static_cast<off_t>(offset +
                                              static_cast<int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      *got = done;
      return ErrnoOr(EIO);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *got = done;
  return 0;
}

}  // namespace

int ReadRawBlock(int fd, void* data, size_t length, size_t* got) {
  return ReadFully(fd, -1, data, length, got);
}

int ReadRawBlockAt(int fd, int64_t offset, void* data, size_t length,
                   size_t* got) {
  return ReadFully(fd, offset, data, length, got);
}

int RawFileSize(int fd, int64_t* size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ErrnoOr(EIO);
  *size = static_cast<int64_t>(st.st_size);
  return 0;
}

int SeekRawFile(int fd, int64_t offset) {
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? ErrnoOr(EIO) : 0;
}

void AdviseReadAhead(int fd, int64_t offset, int64_t length) {
  posix_fadvise(fd, offset, length, POSIX_FADV_WILLNEED);
}

int CloseRawFile(int fd) { return close(fd) != 0 ? ErrnoOr(EIO) : 0; }

int SyncFileData(int fd) { return fdatasync(fd) != 0 ? ErrnoOr(EIO) : 0; }

int SyncFileSystem(int fd) { return syncfs(fd) != 0 ? ErrnoOr(EIO) : 0; }

int TextCreate(const std::string& path, TextFile** file) {
  return OpenText(path, O_WRONLY | O_CREAT | O_EXCL, "w", file);
}

int TextOpenAppend(const std::string& path, TextFile** file) {
  return OpenText(path, O_WRONLY | O_CREAT | O_APPEND, "a", file);
}

int TextOpenRead(const std::string& path, TextFile** file) {
  return OpenText(path, O_RDONLY, "r", file);
}

int TextWrite(TextFile* file, const std::string& text) {
  if (text.empty()) return 0;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file->stream) != text.size())
    return ErrnoOr(EIO);
  return 0;
}

int TextWriteLine(TextFile* file, const std::string& text) {
  int err = TextWrite(file, text);
  if (err != 0) return err;
  errno = 0;
  if (std::fputc('\n', file->stream) == EOF) return ErrnoOr(EIO);
  return 0;
}

int TextReadLine(TextFile* file, std::string* line, bool* eof) {
  line->clear();
  *eof = false;
  int c;
  bool any = false;
  errno = 0;
  while ((c = std::fgetc(file->stream)) != EOF) {
    any = true;
    if (c == '\n') return 0;
    line->push_back(static_cast<char>(c));
  }
  if (std::ferror(file->stream)) return ErrnoOr(EIO);
  if (!any) *eof = true;
  return 0;
}

bool TextAtEnd(TextFile* file) {
  int c = std::fgetc(file->stream);
  if (c == EOF) return true;
  std::ungetc(c, file->stream);
  return false;
}

int TextClose(TextFile* file) {
  if (file == nullptr) return 0;
  errno = 0;
  int err = std::fflush(file->stream) != 0 ? ErrnoOr(EIO) : 0;
  struct stat st;
  const int fd = fileno(file->stream);
  if (err == 0 && file->held_end > 0 && fstat(fd, &st) == 0 &&
      st.st_size < file->held_end) {
    // The room held past the end is given back, or every run would leave
    // it allocated behind its protocol: cutting a file to its own size
    // frees what is allocated past it (ext4, xfs and btrfs alike).
    if (ftruncate(fd, st.st_size) != 0) err = ErrnoOr(EIO);
  }
  errno = 0;
  if (std::fclose(file->stream) != 0 && err == 0) err = ErrnoOr(EIO);
  delete file;
  return err;
}

int TextHoldRoom(TextFile* file, int64_t bytes) {
  if (fallocate(fileno(file->stream), FALLOC_FL_KEEP_SIZE, 0,
                static_cast<off_t>(bytes)) != 0) {
    return ErrnoOr(EIO);
  }
  if (bytes > file->held_end) file->held_end = bytes;
  return 0;
}

int DeleteFile(const std::string& path) {
  return unlink(path.c_str()) != 0 ? ErrnoOr(EIO) : 0;
}

int DeleteDataFileIn(int folder_fd, const std::string& folder,
                     const std::string& name, bool* skipped) {
  *skipped = false;
  const int dir = folder_fd >= 0 ? folder_fd : AT_FDCWD;
  const std::string at = folder_fd >= 0 ? name : folder + name;
  struct stat st;
  if (fstatat(dir, at.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return ErrnoOr(EIO);
  }
  // A folder is tried, and fails with its reason.
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    *skipped = true;
    return 0;
  }
  return unlinkat(dir, at.c_str(), 0) != 0 ? ErrnoOr(EIO) : 0;
}

int MakeFolder(const std::string& path) {
  return mkdir(path.c_str(), 0777) != 0 ? ErrnoOr(EIO) : 0;
}

int RemoveFolder(const std::string& path) {
  return rmdir(path.c_str()) != 0 ? ErrnoOr(EIO) : 0;
}

bool FolderExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string CurrentFolder() {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return std::string();
  return std::string(buffer);
}

std::string EnvValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

bool FolderSearchFirst(const std::string& folder, const std::string& pattern,
                       FolderSearch* search, std::string* name) {
  search->dir = opendir(folder.empty() ? "." : folder.c_str());
  search->pattern = pattern;
  search->error = 0;
  if (search->dir == nullptr) {
    if (errno != ENOENT) search->error = ErrnoOr(EIO);
    return false;
  }
  return FolderSearchNext(search, name);
}

bool FolderSearchNext(FolderSearch* search, std::string* name) {
  // A scan of millions of names prints nothing; Ctrl-C must still end it.
  HandlePendingSignal();
  if (search->dir == nullptr) return false;
  DIR* dir = static_cast<DIR*>(search->dir);
  // readdir tells its end from a failure only by errno.
  errno = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (fnmatch(search->pattern.c_str(), entry->d_name, 0) == 0) {
      name->assign(entry->d_name);
      return true;
    }
    errno = 0;
  }
  if (errno != 0) search->error = errno;
  return false;
}

void FolderSearchEnd(FolderSearch* search) {
  if (search->dir != nullptr) closedir(static_cast<DIR*>(search->dir));
  search->dir = nullptr;
}

int64_t FreeBytesOfPath(const std::string& path) {
  struct statvfs vfs;
  if (statvfs(path.empty() ? "." : path.c_str(), &vfs) != 0) return -1;
  return FreeOf(vfs);
}

int64_t FreeBytesOfFd(int fd, int* err) {
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) != 0) {
    if (err != nullptr) *err = ErrnoOr(EIO);
    return -1;
  }
  return FreeOf(vfs);
}

int64_t FreeBytesOfDrive(int drive) {
  return drive == 0 ? FreeBytesOfPath(".") : -1;
}

int64_t FileSizeOfPath(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int CheckFolderReadable(const std::string& path) {
  DIR* dir = opendir(path.empty() ? "." : path.c_str());
  if (dir == nullptr) return ErrnoOr(EIO);
  closedir(dir);
  return 0;
}

bool FolderMayBeRemoved(const std::string& path, int64_t device) {
  struct stat st, parent, root;
  const std::string up = (path.empty() ? std::string(".") : path) + "/..";
  if (lstat(path.empty() ? "." : path.c_str(), &st) != 0 ||
      !S_ISDIR(st.st_mode) || stat(up.c_str(), &parent) != 0 ||
      stat("/", &root) != 0) {
    return false;
  }
  // A mount point has another device than its parent (the root is its own
  // parent); a folder right under "/" is part of the system's layout.
  const bool mount_point =
      st.st_dev != parent.st_dev || st.st_ino == parent.st_ino;
  const bool under_root =
      parent.st_dev == root.st_dev && parent.st_ino == root.st_ino;
  return static_cast<int64_t>(st.st_dev) == device && !mount_point &&
         !under_root;
}

int RemoveFolderOnDevice(const std::string& path, int64_t device) {
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const size_t slash = folder.rfind('/');
  std::string parent = ".";
  if (slash != std::string::npos) {
    parent = slash == 0 ? "/" : folder.substr(0, slash);
  }
  const std::string name =
      slash == std::string::npos ? folder : folder.substr(slash + 1);
  const int parent_fd =
      open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent_fd < 0) return ErrnoOr(EIO);
  struct stat up, st;
  int err = 0;
  if (fstat(parent_fd, &up) != 0 ||
      fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    err = ErrnoOr(EIO);
  } else if (static_cast<int64_t>(up.st_dev) != device ||
             static_cast<int64_t>(st.st_dev) != device ||
             !S_ISDIR(st.st_mode)) {
    err = EXDEV;
  } else if (unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) {
    err = ErrnoOr(EIO);
  }
  close(parent_fd);
  return err;
}

int64_t DeviceOfPath(const std::string& path) {
  struct stat st;
  if (stat(path.empty() ? "." : path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_dev);
}

int64_t DeviceOfFd(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_dev);
}

int OpenFolderHandle(const std::string& path) {
  return open(path.empty() ? "." : path.c_str(),
              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool HandleNamesFolder(int folder_fd, const std::string& path) {
  struct stat held, named;
  return fstat(folder_fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

FolderLock LockFolder(int folder_fd, bool exclusive) {
  for (;;) {
    if (flock(folder_fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) {
      return FolderLock::kHeld;
    }
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? FolderLock::kBusy : FolderLock::kUnsupported;
  }
}

std::string NearestExistingFolder(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  for (;;) {
    if (p.empty()) return ".";
    struct stat st;
    if (stat(p.c_str(), &st) == 0) return p;
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    p.resize(slash);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
  }
}

FileSystemFacts FileSystemOf(const std::string& path) {
  FileSystemFacts facts;
  const char* p = path.empty() ? "." : path.c_str();
  struct statvfs vfs;
  if (statvfs(p, &vfs) == 0) {
    facts.bytes = static_cast<int64_t>(vfs.f_blocks) *
                  static_cast<int64_t>(vfs.f_frsize);
  }
  struct stat st;
  if (stat(p, &st) != 0) return facts;
  // The mount table names the device and type of each file system by its
  // device number: "36 25 7:3 / /media/karte rw - ext4 /dev/loop3 rw".
  std::ifstream table("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(st.st_dev)) + ":" +
                             std::to_string(minor(st.st_dev));
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    fields >> id >> parent >> numbers;
    if (numbers != wanted) continue;
    std::string field;
    while (fields >> field && field != "-") {
    }
    // A later mount over the same device wins, as it does for the path.
    fields >> facts.type >> facts.device;
  }
  return facts;
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::string absolute = CurrentFolder();
  std::string rest = path;
  while (rest.rfind("./", 0) == 0) rest.erase(0, 2);
  if (rest == ".") rest.clear();
  if (rest.empty()) return absolute;
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  return absolute + rest;
}

bool FileIdentityOf(const std::string& path, FileIdentity* identity) {
  struct stat st;
  if (stat(path.empty() ? "." : path.c_str(), &st) != 0) return false;
  identity->device = static_cast<int64_t>(st.st_dev);
  identity->inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool HoldingFolderIdentityOf(const std::string& path,
                             FileIdentity* identity) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return FileIdentityOf(".", identity);
  return FileIdentityOf(slash == 0 ? "/" : path.substr(0, slash), identity);
}

std::string PlainAbsolutePath(const std::string& path, std::string* folder,
                              std::string* name) {
  const std::string absolute =
      !path.empty() && path[0] == '/' ? path : CurrentFolder() + "/" + path;
  std::vector<std::string_view> levels;
  const std::string_view text = absolute;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('/', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view level = text.substr(at, end - at);
    if (level == "..") {
      // Above the root is the root.
      if (!levels.empty()) levels.pop_back();
    } else if (!level.empty() && level != ".") {
      levels.push_back(level);
    }
    at = end + 1;
  }
  if (levels.empty()) {
    if (folder != nullptr) folder->assign(1, '/');
    if (name != nullptr) name->clear();
    return std::string(1, '/');
  }
  std::string plain;
  for (const std::string_view level : levels) {
    plain += '/';
    plain.append(level);
  }
  if (folder != nullptr) {
    const size_t end = plain.size() - levels.back().size() - 1;
    folder->assign(end == 0 ? std::string(1, '/') : plain.substr(0, end));
  }
  if (name != nullptr) name->assign(levels.back());
  return plain;
}

int StandardErrorFd() { return STDERR_FILENO; }


namespace {

// The byte on the file system's device where a file's byte lies: FIEMAP,
// or FIBMAP where the file system has no extent map (root only); -1 when
// neither tells.
int64_t FileSystemByteOf(int fd, int64_t offset) {
  alignas(struct fiemap) char buffer[sizeof(struct fiemap) +
                                     sizeof(struct fiemap_extent)] = {};
  auto* map = reinterpret_cast<struct fiemap*>(buffer);
  map->fm_start = static_cast<uint64_t>(offset);
  map->fm_length = 1;
  map->fm_extent_count = 1;
  if (ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
    if (map->fm_mapped_extents != 1) return -1;
    const struct fiemap_extent& e = map->fm_extents[0];
    // A bad byte is read from where the extent lies, shared or not.
    const uint64_t at = static_cast<uint64_t>(offset);
    if ((e.fe_flags & kExtentWithoutPlace) != 0 || at < e.fe_logical ||
        at - e.fe_logical >= e.fe_length) {
      return -1;
    }
    return static_cast<int64_t>(e.fe_physical + (at - e.fe_logical));
  }
  int block_size = 0;
  if (ioctl(fd, FIGETBSZ, &block_size) != 0 || block_size <= 0) return -1;
  if (offset / block_size > INT_MAX) return -1;
  int block = static_cast<int>(offset / block_size);
  if (ioctl(fd, FIBMAP, &block) != 0 || block <= 0) return -1;
  return static_cast<int64_t>(block) * block_size + offset % block_size;
}

}  // namespace

bool DevicePlaceOfFileByte(const std::string& path, int64_t offset,
                           DevicePlace* place) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  int64_t byte = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    byte = FileSystemByteOf(fd, offset);
  }
  close(fd);
  if (byte < 0) return false;
  WholeDevice whole;
  if (!WholeDeviceOf(static_cast<int64_t>(st.st_dev), &whole)) return false;
  place->device = whole.device;
  place->byte = byte + whole.start_byte;
  return true;
}

bool WholeDeviceOf(int64_t fs_device, WholeDevice* whole) {
  // The block device of the file system, as the kernel lists it: a
  // partition has its start (in 512-byte sectors) and sits in the folder of
  // its whole device. A file system of several devices (btrfs) has no such
  // entry.
  const dev_t dev = static_cast<dev_t>(fs_device);
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(dev),
                minor(dev));
  char real[PATH_MAX];
  if (realpath(link, real) == nullptr) return false;
  std::string device = real;
  long long start = 0;
  FILE* start_file = std::fopen((device + "/start").c_str(), "r");
  if (start_file != nullptr) {
    const bool read = std::fscanf(start_file, "%lld", &start) == 1;
    std::fclose(start_file);
    if (!read) return false;
    device.resize(device.rfind('/'));
  }
  long long sectors = 0;
  FILE* size_file = std::fopen((device + "/size").c_str(), "r");
  if (size_file == nullptr) return false;
  const bool read = std::fscanf(size_file, "%lld", &sectors) == 1;
  std::fclose(size_file);
  if (!read) return false;
  whole->device = "/dev/" + device.substr(device.rfind('/') + 1);
  whole->start_byte = static_cast<int64_t>(start) * 512;
  whole->size = static_cast<int64_t>(sectors) * 512;
  return true;
}

}  // namespace korv
