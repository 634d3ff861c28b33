// Test tool: a FUSE file system that passes a folder through and fails chosen calls.
//
//   fault_fs [--fail-open=NAME] [--fail-flush=NAME] [--fail-fsync=NAME]
//            [--fail-read=NAME[:OFFSET[:LENGTH]]] [--fail-statfs]
//            BACKING MOUNTPOINT
//
// Every call is passed on to the folder BACKING, except that opening a file
// named NAME fails with EIO (--fail-open), or closing a file named NAME
// fails with EIO (--fail-flush), as a network or failing USB file system
// reports a lost write-back, or a read of a file named NAME that touches
// the LENGTH bytes (default 1) from OFFSET (default 0) on fails with EIO
// (--fail-read), as a bad area of a card does, or flushing a file named
// NAME to the disk fails with EIO (--fail-fsync), and the free-space
// question fails with EIO (--fail-statfs). A file named for reads is read
// without the kernel's cache, so each read a program asks for fails or
// succeeds as a whole. Runs in the foreground until unmounted.
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_backing = -1;
std::string g_fail_open;
std::string g_fail_flush;
std::string g_fail_read;
std::string g_fail_fsync;
off_t g_bad_from = 0;
off_t g_bad_length = 1;
bool g_fail_statfs = false;  // every free-space question fails with EIO

// The backing-relative name of a FUSE path ("/a/b" -> "a/b", "/" -> ".").
std::string Rel(const char* path) {
  while (*path == '/') ++path;
  return *path == '\0' ? std::string(".") : std::string(path);
}

bool NameIs(const char* path, const std::string& name) {
  if (name.empty()) return false;
  const char* slash = std::strrchr(path, '/');
  return name == (slash != nullptr ? slash + 1 : path);
}

int Result(int rc) { return rc < 0 ? -errno : rc; }

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  if (fi != nullptr) return Result(fstat(static_cast<int>(fi->fh), st));
  return Result(fstatat(g_backing, Rel(path).c_str(), st, AT_SYMLINK_NOFOLLOW));
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t,
            fuse_file_info*, fuse_readdir_flags) {
  int fd = openat(g_backing, Rel(path).c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -errno;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return -errno;
  }
  while (dirent* e = readdir(dir)) fill(buf, e->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  closedir(dir);
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (NameIs(path, g_fail_open)) return -EIO;
  int fd = openat(g_backing, Rel(path).c_str(), fi->flags & ~O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  if (NameIs(path, g_fail_read)) fi->direct_io = 1;
  return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  if (NameIs(path, g_fail_open)) return -EIO;
  int fd = openat(g_backing, Rel(path).c_str(), fi->flags | O_CREAT, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Read(const char* path, char* buf, size_t size, off_t off,
         fuse_file_info* fi) {
  if (NameIs(path, g_fail_read) && off < g_bad_from + g_bad_length &&
      g_bad_from < off + static_cast<off_t>(size)) {
    return -EIO;
  }
  return Result(static_cast<int>(pread(static_cast<int>(fi->fh), buf, size, off)));
}

int Write(const char*, const char* buf, size_t size, off_t off,
          fuse_file_info* fi) {
  return Result(
      static_cast<int>(pwrite(static_cast<int>(fi->fh), buf, size, off)));
}

int Flush(const char* path, fuse_file_info*) {
  return NameIs(path, g_fail_flush) ? -EIO : 0;
}

int Release(const char*, fuse_file_info* fi) {
  close(static_cast<int>(fi->fh));
  return 0;
}

int Fsync(const char* path, int, fuse_file_info* fi) {
  if (NameIs(path, g_fail_fsync)) return -EIO;
  return Result(fdatasync(static_cast<int>(fi->fh)));
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  if (fi != nullptr) return Result(ftruncate(static_cast<int>(fi->fh), size));
  int fd = openat(g_backing, Rel(path).c_str(), O_WRONLY);
  if (fd < 0) return -errno;
  int rc = Result(ftruncate(fd, size));
  close(fd);
  return rc;
}

int Unlink(const char* path) {
  return Result(unlinkat(g_backing, Rel(path).c_str(), 0));
}

int MkDir(const char* path, mode_t mode) {
  return Result(mkdirat(g_backing, Rel(path).c_str(), mode));
}

int RmDir(const char* path) {
  return Result(unlinkat(g_backing, Rel(path).c_str(), AT_REMOVEDIR));
}

int StatFs(const char*, struct statvfs* st) {
  if (g_fail_statfs) return -EIO;
  return Result(fstatvfs(g_backing, st));
}

int Utimens(const char* path, const timespec tv[2], fuse_file_info*) {
  return Result(utimensat(g_backing, Rel(path).c_str(), tv, AT_SYMLINK_NOFOLLOW));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--fail-open=", 0) == 0) {
      g_fail_open = a.substr(12);
    } else if (a.rfind("--fail-flush=", 0) == 0) {
      g_fail_flush = a.substr(13);
    } else if (a.rfind("--fail-fsync=", 0) == 0) {
      g_fail_fsync = a.substr(13);
    } else if (a.rfind("--fail-read=", 0) == 0) {
      // NAME[:OFFSET[:LENGTH]]
      std::string spec = a.substr(12);
      const size_t colon = spec.find(':');
      g_fail_read = spec.substr(0, colon);
      if (colon != std::string::npos) {
        char* end = nullptr;
        g_bad_from = std::strtoll(spec.c_str() + colon + 1, &end, 10);
        if (*end == ':') g_bad_length = std::strtoll(end + 1, nullptr, 10);
      }
    } else if (a == "--fail-statfs") {
      g_fail_statfs = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (rest.size() != 2) {
    std::fprintf(stderr, "usage: fault_fs [--fail-open=NAME] "
                         "[--fail-flush=NAME] [--fail-fsync=NAME] "
                         "[--fail-read=NAME[:OFFSET[:LENGTH]]] "
                         "[--fail-statfs] BACKING MOUNTPOINT\n");
    return 2;
  }
  g_backing = open(rest[0], O_RDONLY | O_DIRECTORY);
  if (g_backing < 0) {
    std::perror(rest[0]);
    return 1;
  }
  fuse_operations ops = {};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.flush = Flush;
  ops.release = Release;
  ops.fsync = Fsync;
  ops.truncate = Truncate;
  ops.unlink = Unlink;
  ops.mkdir = MkDir;
  ops.rmdir = RmDir;
  ops.statfs = StatFs;
  ops.utimens = Utimens;
  char name[] = "fault_fs";
  char foreground[] = "-f";
  char single[] = "-s";
  char* fuse_argv[] = {name, foreground, single, rest[1], nullptr};
  return fuse_main(4, fuse_argv, &ops, nullptr);
}
