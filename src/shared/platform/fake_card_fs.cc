// Test tool: a counterfeit memory card as a FUSE file system holding one image file.
//
// fake_card_fs MOUNTPOINT ANNOUNCED REAL [ALIAS_TO [EIO_FROM]]
//
// Serves MOUNTPOINT/card.img, which announces ANNOUNCED bytes but keeps only
// REAL bytes in memory: a byte at offset x >= REAL is stored at
// ALIAS_TO + (x - REAL) (wrapping within [ALIAS_TO, REAL)), as the cheap
// cards with a faked capacity do. With EIO_FROM, reads and writes at or
// past that offset fail with EIO. Attach the image with losetup to get a
// block device. The tool goes into the background once the file system is
// mounted; unmounting ends it.
#define FUSE_USE_VERSION 31

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr char kImageName[] = "card.img";
constexpr char kImagePath[] = "/card.img";

int64_t g_announced = 0;
int64_t g_real = 0;
int64_t g_alias_to = 0;
int64_t g_eio_from = -1;  // no failing region while negative
uint8_t* g_memory = nullptr;

// Where the byte at offset x is stored, and how many bytes from there on
// are stored contiguously (at most want).
int64_t StoredAt(int64_t x, int64_t want, int64_t* run) {
  if (x < g_real) {
    *run = std::min(want, g_real - x);
    return x;
  }
  const int64_t span = g_real - g_alias_to;
  const int64_t at = g_alias_to + (x - g_real) % span;
  *run = std::min(want, g_real - at);
  return at;
}

// Copies between the caller's buffer and the memory; returns the bytes
// moved or -EIO.
int Transfer(char* buffer, size_t size, off_t offset, bool write) {
  if (offset < 0) return -EINVAL;
  int64_t x = offset;
  int64_t left = std::min<int64_t>(static_cast<int64_t>(size),
                                   std::max<int64_t>(0, g_announced - x));
  if (g_eio_from >= 0 && x + left > g_eio_from) return -EIO;
  int64_t done = 0;
  while (left > 0) {
    int64_t run = 0;
    const int64_t at = StoredAt(x, left, &run);
    if (write) {
      memcpy(g_memory + at, buffer + done, static_cast<size_t>(run));
    } else {
      memcpy(buffer + done, g_memory + at, static_cast<size_t>(run));
    }
    done += run;
    x += run;
    left -= run;
  }
  return static_cast<int>(done);
}

int CardGetattr(const char* path, struct stat* st, struct fuse_file_info*) {
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (strcmp(path, kImagePath) == 0) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = g_announced;
    return 0;
  }
  return -ENOENT;
}

int CardReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t,
                struct fuse_file_info*, enum fuse_readdir_flags) {
  if (strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, kImageName, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int CardOpen(const char* path, struct fuse_file_info* fi) {
  if (strcmp(path, kImagePath) != 0) return -ENOENT;
  // No page cache for the image: every read must see what the card holds
  // now, also at offsets that another offset has overwritten.
  fi->direct_io = 1;
  return 0;
}

int CardRead(const char* path, char* buf, size_t size, off_t offset,
             struct fuse_file_info*) {
  if (strcmp(path, kImagePath) != 0) return -ENOENT;
  return Transfer(buf, size, offset, false);
}

int CardWrite(const char* path, const char* buf, size_t size, off_t offset,
              struct fuse_file_info*) {
  if (strcmp(path, kImagePath) != 0) return -ENOENT;
  return Transfer(const_cast<char*>(buf), size, offset, true);
}

// The image keeps its size; truncation and flushes are taken as done.
int CardTruncate(const char*, off_t, struct fuse_file_info*) { return 0; }
int CardFsync(const char*, int, struct fuse_file_info*) { return 0; }

bool ParseBytes(const char* text, int64_t* value) {
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text) return false;
  switch (*end) {
    case 'K':
      v <<= 10;
      ++end;
      break;
    case 'M':
      v <<= 20;
      ++end;
      break;
    default:
      break;
  }
  if (*end != '\0' || v < 0) return false;
  *value = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || !ParseBytes(argv[2], &g_announced) ||
      !ParseBytes(argv[3], &g_real) ||
      (argc > 4 && !ParseBytes(argv[4], &g_alias_to)) ||
      (argc > 5 && !ParseBytes(argv[5], &g_eio_from)) || g_real <= 0 ||
      g_real > g_announced || g_alias_to >= g_real) {
    fprintf(stderr,
            "usage: %s MOUNTPOINT ANNOUNCED REAL [ALIAS_TO [EIO_FROM]]\n"
            "(byte counts, K or M allowed; ALIAS_TO < REAL <= ANNOUNCED)\n",
            argv[0]);
    return 2;
  }
  if (argc <= 4) g_alias_to = std::max<int64_t>(0, 2 * g_real - g_announced);
  g_memory = static_cast<uint8_t*>(calloc(static_cast<size_t>(g_real), 1));
  if (g_memory == nullptr) {
    perror("fake_card_fs");
    return 1;
  }
  struct fuse_operations ops;
  memset(&ops, 0, sizeof ops);
  ops.getattr = CardGetattr;
  ops.readdir = CardReaddir;
  ops.open = CardOpen;
  ops.read = CardRead;
  ops.write = CardWrite;
  ops.truncate = CardTruncate;
  ops.fsync = CardFsync;
  // Single-threaded, in the background once mounted.
  char single[] = "-s";
  char* fuse_argv[] = {argv[0], argv[1], single, nullptr};
  return fuse_main(3, fuse_argv, &ops, nullptr);
}
