// Test tool: a FUSE file system that passes a folder through and fails chosen
// calls.
//
//   fault_fs [--fail-open=NAME] [--fail-flush=NAME] [--fail-fsync=NAME]
//            [--fail-read=NAME[:OFFSET[:LENGTH]]] [--fail-statfs]
//            [--fail-readdir-after=K] [--errno=E] [--fsync-log=FILE]
//            [--entry-timeout=SECONDS] [--slow-unlink=MS]
//            [--zero-write=NAME[:OFFSET]] BACKING MOUNTPOINT
//
// Every call is passed on to the folder BACKING, except that opening a file
// named NAME fails (--fail-open), closing a file named NAME fails
// (--fail-flush), as a network or failing USB file system reports a lost
// write-back, a read of a file named NAME that touches the LENGTH bytes
// (default 1) from OFFSET (default 0) on fails (--fail-read), as a bad area
// of a card does, flushing a file named NAME to the disk fails
// (--fail-fsync), the free-space question fails (--fail-statfs), or reading
// a folder fails once K of its entries ("." and ".." included) have been
// handed out (--fail-readdir-after), as a bad folder block does. The
// failures are EIO, or error number E (--errno). A file named for reads is
// read without the kernel's cache, so each read a program asks for fails or
// succeeds as a whole. With --fsync-log every flush of a file's data to the
// disk (fsync, fdatasync) appends the file's path as a line to FILE.
// --entry-timeout lets the kernel trust the names it has looked up for that
// long (a test can then take a folder away in BACKING behind a name the
// kernel still knows). --slow-unlink makes each deletion wait MS
// milliseconds (a test can pull the card in the middle of a deletion).
// --zero-write makes writes to a file named NAME from OFFSET (default 0)
// on store nothing and say so (0 bytes), without an error. Runs in the
// foreground until unmounted.
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
long g_fail_readdir_after = -1;
int g_errno = EIO;
bool g_fail_statfs = false;  // every free-space question fails
int g_fsync_log = -1;
std::string g_entry_timeout;
int g_unlink_delay_ms = 0;
std::string g_zero_write;  // writes to this file from g_zero_from on store 0
long long g_zero_from = 0;  // each deletion waits this long, as on a slow card
std::string g_fail_read;
std::string g_fail_fsync;
off_t g_bad_from = 0;
off_t g_bad_length = 1;

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

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
            fuse_file_info*, fuse_readdir_flags) {
  int fd = openat(g_backing, Rel(path).c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -errno;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return -errno;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) names.push_back(e->d_name);
  closedir(dir);
  // Entries are handed out by position, so that a request can start after
  // those already given and the failure falls between two requests.
  for (size_t i = static_cast<size_t>(offset); i < names.size(); ++i) {
    if (g_fail_readdir_after >= 0 &&
        i >= static_cast<size_t>(g_fail_readdir_after)) {
      return i == static_cast<size_t>(offset) ? -g_errno : 0;
    }
    if (fill(buf, names[i].c_str(), nullptr, static_cast<off_t>(i + 1),
             static_cast<fuse_fill_dir_flags>(0)) != 0) {
      break;
    }
  }
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (NameIs(path, g_fail_open)) return -g_errno;
  int fd = openat(g_backing, Rel(path).c_str(), fi->flags & ~O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  if (NameIs(path, g_fail_read) || NameIs(path, g_zero_write)) {
    fi->direct_io = 1;
  }
  return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  if (NameIs(path, g_fail_open)) return -g_errno;
  int fd = openat(g_backing, Rel(path).c_str(), fi->flags | O_CREAT, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  // Uncached, so that the write the program makes is the one that stores
  // nothing.
  if (NameIs(path, g_zero_write)) fi->direct_io = 1;
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

int Write(const char* path, const char* buf, size_t size, off_t off,
          fuse_file_info* fi) {
  if (NameIs(path, g_zero_write) && off >= g_zero_from) return 0;
  return Result(
      static_cast<int>(pwrite(static_cast<int>(fi->fh), buf, size, off)));
}

int Flush(const char* path, fuse_file_info*) {
  return NameIs(path, g_fail_flush) ? -g_errno : 0;
}

int Release(const char*, fuse_file_info* fi) {
  close(static_cast<int>(fi->fh));
  return 0;
}

int Fsync(const char* path, int, fuse_file_info* fi) {
  if (g_fsync_log >= 0 && path != nullptr) {
    const std::string line = std::string(path) + "\n";
    if (write(g_fsync_log, line.data(), line.size()) < 0) return -EIO;
  }
  if (NameIs(path, g_fail_fsync)) return -g_errno;
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
  if (g_unlink_delay_ms > 0) {
    usleep(static_cast<useconds_t>(g_unlink_delay_ms) * 1000);
  }
  return Result(unlinkat(g_backing, Rel(path).c_str(), 0));
}

int MkDir(const char* path, mode_t mode) {
  return Result(mkdirat(g_backing, Rel(path).c_str(), mode));
}

int RmDir(const char* path) {
  return Result(unlinkat(g_backing, Rel(path).c_str(), AT_REMOVEDIR));
}

int StatFs(const char*, struct statvfs* st) {
  if (g_fail_statfs) return -g_errno;
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
    } else if (a.rfind("--fail-readdir-after=", 0) == 0) {
      g_fail_readdir_after = std::stol(a.substr(21));
    } else if (a.rfind("--errno=", 0) == 0) {
      g_errno = std::stoi(a.substr(8));
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
    } else if (a.rfind("--zero-write=", 0) == 0) {
      const std::string spec = a.substr(13);
      const size_t colon = spec.find(':');
      g_zero_write = spec.substr(0, colon);
      if (colon != std::string::npos) {
        g_zero_from = std::strtoll(spec.c_str() + colon + 1, nullptr, 10);
      }
    } else if (a.rfind("--slow-unlink=", 0) == 0) {
      g_unlink_delay_ms = std::atoi(a.c_str() + 14);
    } else if (a.rfind("--entry-timeout=", 0) == 0) {
      g_entry_timeout = "entry_timeout=" + a.substr(16);
    } else if (a.rfind("--fsync-log=", 0) == 0) {
      g_fsync_log = open(a.substr(12).c_str(),
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (g_fsync_log < 0) {
        std::perror(argv[i]);
        return 1;
      }
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (rest.size() != 2) {
    std::fprintf(stderr,
                 "usage: fault_fs [--fail-open=NAME] [--fail-flush=NAME] "
                 "[--fail-fsync=NAME] [--fail-read=NAME[:OFFSET[:LENGTH]]] "
                 "[--fail-statfs] [--fail-readdir-after=K] [--errno=E] "
                 "[--fsync-log=FILE] [--entry-timeout=SECONDS] "
                 "[--slow-unlink=MS] [--zero-write=NAME[:OFFSET]] BACKING "
                 "MOUNTPOINT\n");
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
  char option[] = "-o";
  std::vector<char*> fuse_argv = {name, foreground, single, rest[1]};
  if (!g_entry_timeout.empty()) {
    fuse_argv.push_back(option);
    fuse_argv.push_back(g_entry_timeout.data());
  }
  fuse_argv.push_back(nullptr);
  return fuse_main(static_cast<int>(fuse_argv.size()) - 1, fuse_argv.data(),
                   &ops, nullptr);
}
