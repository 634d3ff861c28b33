#include "shared/platform/entropy.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace korv {

uint32_t RandomBits32() {
  uint32_t bits = 0;
  for (;;) {
    ssize_t got = getrandom(&bits, sizeof bits, 0);
    if (got == static_cast<ssize_t>(sizeof bits)) return bits;
    if (got < 0 && errno == EINTR) continue;
    break;
  }
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^
               (static_cast<uint64_t>(ts.tv_sec) << 20) ^
               (static_cast<uint64_t>(getpid()) << 40);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return static_cast<uint32_t>(x);
}

}  // namespace korv
