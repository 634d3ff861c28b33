// Test tool: a counterfeit memory card as a FUSE file system holding one image
// file.
//
// fake_card_fs [OPTION...] MOUNTPOINT ANNOUNCED REAL [ALIAS_TO [EIO_FROM]]
//
// Serves MOUNTPOINT/card.img, which announces ANNOUNCED bytes but keeps only
// REAL bytes in memory: a byte at offset x >= REAL is stored at
// ALIAS_TO + (x - REAL) (wrapping within [ALIAS_TO, REAL)), as the cheap
// cards with a faked capacity do; ALIAS_TO "-" or left out: the region just
// before the real end. With EIO_FROM, reads and writes at or past that
// offset fail with EIO. Attach the image with losetup to get a block device.
// The tool goes into the background once the file system is mounted;
// unmounting ends it.
//
// Options, anywhere after the program name:
//   --cache=BYTES   a write cache of BYTES inside the card, as cheap cards
//                   have: written 512-byte sectors stay there, where reads
//                   find them, until newer writes push the least recently
//                   written one into the memory (aliased as any write);
//                   flushes leave the cache as it is.
//   --fill=SEED     the memory starts with pseudo-random bytes from SEED,
//                   the user data a card holds before a test, not zeros.
//   --delay-ms=N    every write request takes N ms longer (a slow card).
#define FUSE_USE_VERSION 31

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace {

constexpr char kImageName[] = "card.img";
constexpr char kImagePath[] = "/card.img";
constexpr int64_t kSector = 512;

int64_t g_announced = 0;
int64_t g_real = 0;
int64_t g_alias_to = -1;  // the tool's choice while negative
int64_t g_eio_from = -1;  // no failing region while negative
int g_delay_ms = 0;
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

// Copies size bytes between buffer and the memory behind the card's
// offsets from x on (within the announced size).
void MoveMemory(uint8_t* buffer, int64_t x, int64_t size, bool write) {
  int64_t done = 0;
  while (done < size) {
    int64_t run = 0;
    const int64_t at = StoredAt(x + done, size - done, &run);
    if (write) {
      memcpy(g_memory + at, buffer + done, static_cast<size_t>(run));
    } else {
      memcpy(buffer + done, g_memory + at, static_cast<size_t>(run));
    }
    done += run;
  }
}

// Memory for the card or its cache, zeros until written. Huge pages, all
// taken at once with populate: in 4 KiB pages faulted in one by one,
// filling 1 GiB took 3 s here, thirty times the fill itself. A kernel that
// offers neither still gives zeroed memory, only slower.
uint8_t* AllocateMemory(int64_t size, bool populate) {
  void* memory =
      mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  madvise(memory, static_cast<size_t>(size), MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
  if (populate) {
    madvise(memory, static_cast<size_t>(size), MADV_POPULATE_WRITE);
  }
#endif
  return static_cast<uint8_t*>(memory);
}

// The card's write cache: whole sectors by their announced number, in slots
// of one buffer allocated up front, chained from the oldest write to the
// newest so that the next one to go into the memory is found at once.
class SectorCache {
 public:
  bool Allocate(int64_t bytes) {
    const int64_t slots = bytes / kSector;
    if (slots <= 0) return true;
    if (slots > INT32_MAX) return false;
    capacity_ = static_cast<int32_t>(slots);
    data_ = AllocateMemory(slots * kSector, true);
    if (data_ == nullptr) return false;
    sector_.resize(static_cast<size_t>(slots));
    older_.resize(static_cast<size_t>(slots));
    newer_.resize(static_cast<size_t>(slots));
    slot_of_.reserve(static_cast<size_t>(slots));
    return true;
  }

  bool empty() const { return slot_of_.empty(); }

  // The cached sector's bytes, or nullptr.
  const uint8_t* Find(int64_t sector) const {
    const auto it = slot_of_.find(sector);
    return it == slot_of_.end() ? nullptr : Bytes(it->second);
  }

  // The sector's bytes to write into, as the newest one; a sector not yet
  // cached takes a free slot or the oldest one's, which goes into the
  // memory first, and starts with what the memory holds for it, since a
  // write may cover only part of it.
  uint8_t* Write(int64_t sector) {
    const auto it = slot_of_.find(sector);
    if (it != slot_of_.end()) {
      Unlink(it->second);
      Append(it->second);
      return Bytes(it->second);
    }
    int32_t slot;
    if (used_ < capacity_) {
      slot = used_++;
    } else {
      slot = oldest_;
      Unlink(slot);
      SectorToMemory(sector_[slot], Bytes(slot), true);
      slot_of_.erase(sector_[slot]);
    }
    sector_[slot] = sector;
    slot_of_.emplace(sector, slot);
    Append(slot);
    SectorToMemory(sector, Bytes(slot), false);
    return Bytes(slot);
  }

 private:
  uint8_t* Bytes(int32_t slot) const {
    return data_ + static_cast<int64_t>(slot) * kSector;
  }

  // A last sector cut by the announced size moves only the bytes the
  // card has.
  static void SectorToMemory(int64_t sector, uint8_t* bytes, bool write) {
    const int64_t x = sector * kSector;
    const int64_t size = std::min(kSector, g_announced - x);
    if (!write) memset(bytes + size, 0, static_cast<size_t>(kSector - size));
    MoveMemory(bytes, x, size, write);
  }

  void Unlink(int32_t slot) {
    const int32_t older = older_[slot];
    const int32_t newer = newer_[slot];
    if (older >= 0) {
      newer_[older] = newer;
    } else {
      oldest_ = newer;
    }
    if (newer >= 0) {
      older_[newer] = older;
    } else {
      newest_ = older;
    }
  }

  void Append(int32_t slot) {
    older_[slot] = newest_;
    newer_[slot] = -1;
    if (newest_ >= 0) {
      newer_[newest_] = slot;
    } else {
      oldest_ = slot;
    }
    newest_ = slot;
  }

  int32_t capacity_ = 0;
  int32_t used_ = 0;
  int32_t oldest_ = -1;
  int32_t newest_ = -1;
  uint8_t* data_ = nullptr;
  std::vector<int64_t> sector_;
  std::vector<int32_t> older_;
  std::vector<int32_t> newer_;
  std::unordered_map<int64_t, int32_t> slot_of_;
};

SectorCache g_cache;
bool g_cached = false;

// Copies between the caller's buffer and the card; returns the bytes
// moved or -EIO.
int Transfer(char* buffer, size_t size, off_t offset, bool write) {
  if (offset < 0) return -EINVAL;
  const int64_t x = offset;
  const int64_t left = std::min<int64_t>(static_cast<int64_t>(size),
                                         std::max<int64_t>(0, g_announced - x));
  if (g_eio_from >= 0 && x + left > g_eio_from) return -EIO;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(buffer);
  if (!g_cached || (!write && g_cache.empty())) {
    MoveMemory(bytes, x, left, write);
    return static_cast<int>(left);
  }
  for (int64_t at = x; at < x + left;) {
    const int64_t sector = at / kSector;
    const int64_t within = at - sector * kSector;
    const int64_t run = std::min(kSector - within, x + left - at);
    uint8_t* here = bytes + (at - x);
    if (write) {
      memcpy(g_cache.Write(sector) + within, here, static_cast<size_t>(run));
    } else if (const uint8_t* cached = g_cache.Find(sector)) {
      memcpy(here, cached + within, static_cast<size_t>(run));
    } else {
      MoveMemory(here, at, run, false);
    }
    at += run;
  }
  return static_cast<int>(left);
}

// splitmix64: fast, and every seed gives a different fill.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void Fill(uint64_t seed) {
  uint64_t state = seed;
  int64_t at = 0;
  for (; at + 8 <= g_real; at += 8) {
    const uint64_t z = NextRandom(&state);
    memcpy(g_memory + at, &z, 8);
  }
  const uint64_t z = NextRandom(&state);
  memcpy(g_memory + at, &z, static_cast<size_t>(g_real - at));
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
  if (g_delay_ms > 0) {
    struct timespec delay = {g_delay_ms / 1000, (g_delay_ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
  }
  return Transfer(const_cast<char*>(buf), size, offset, true);
}

// The image keeps its size; truncation and flushes are taken as done. A
// flush leaves the cache as it is: the cards copied here claim to have
// stored what they still hold back.
int CardTruncate(const char*, off_t, struct fuse_file_info*) { return 0; }
int CardFsync(const char*, int, struct fuse_file_info*) { return 0; }

bool ParseBytes(const char* text, int64_t* value) {
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || v < 0) return false;
  int shift = 0;
  switch (*end) {
    case 'K':
      shift = 10;
      break;
    case 'M':
      shift = 20;
      break;
    case 'G':
      shift = 30;
      break;
    default:
      break;
  }
  if (shift > 0) {
    if (v > (INT64_MAX >> shift)) return false;
    v <<= shift;
    ++end;
  }
  if (*end != '\0') return false;
  *value = v;
  return true;
}

bool ParseNumber(const char* text, uint64_t limit, uint64_t* value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' ||
      v > limit) {
    return false;
  }
  *value = v;
  return true;
}

// The text after "name=" when arg is that option, else nullptr.
const char* OptionValue(const char* arg, const char* name) {
  const size_t n = strlen(name);
  return strncmp(arg, name, n) == 0 && arg[n] == '=' ? arg + n + 1 : nullptr;
}

void Usage(const char* program) {
  fprintf(stderr,
          "usage: %s [--cache=BYTES] [--fill=SEED] [--delay-ms=N] MOUNTPOINT "
          "ANNOUNCED REAL [ALIAS_TO|- [EIO_FROM]]\n"
          "(byte counts, K, M or G allowed; ALIAS_TO < REAL <= ANNOUNCED)\n",
          program);
}

}  // namespace

int main(int argc, char** argv) {
  int64_t cache_bytes = 0;
  bool fill = false;
  uint64_t seed = 0;
  std::vector<char*> positional;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    uint64_t number = 0;
    bool fine = true;
    if (const char* v = OptionValue(arg, "--cache")) {
      fine = ParseBytes(v, &cache_bytes);
    } else if (const char* f = OptionValue(arg, "--fill")) {
      fine = ParseNumber(f, UINT64_MAX, &seed);
      fill = true;
    } else if (const char* d = OptionValue(arg, "--delay-ms")) {
      fine = ParseNumber(d, 3600000, &number);
      g_delay_ms = static_cast<int>(number);
    } else if (strncmp(arg, "--", 2) == 0) {
      fine = false;
    } else {
      positional.push_back(argv[i]);
    }
    if (!fine) {
      Usage(argv[0]);
      return 2;
    }
  }
  const size_t count = positional.size();
  if (count < 3 || count > 5 || !ParseBytes(positional[1], &g_announced) ||
      !ParseBytes(positional[2], &g_real) ||
      (count > 3 && strcmp(positional[3], "-") != 0 &&
       !ParseBytes(positional[3], &g_alias_to)) ||
      (count > 4 && !ParseBytes(positional[4], &g_eio_from)) || g_real <= 0 ||
      g_real > g_announced || g_alias_to >= g_real) {
    Usage(argv[0]);
    return 2;
  }
  if (g_alias_to < 0)
    g_alias_to = std::max<int64_t>(0, 2 * g_real - g_announced);
  g_memory = AllocateMemory(g_real, fill);
  if (g_memory == nullptr || !g_cache.Allocate(cache_bytes)) {
    perror("fake_card_fs");
    return 1;
  }
  g_cached = cache_bytes >= kSector;
  if (fill) Fill(seed);
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
  char* fuse_argv[] = {argv[0], positional[0], single, nullptr};
  return fuse_main(3, fuse_argv, &ops, nullptr);
}
