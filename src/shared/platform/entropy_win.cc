// Random bits on Windows, from the system's random number generator.
#include <windows.h>

#include "shared/platform/entropy.h"

namespace korv {
namespace {

using RandomFunction = BOOLEAN(WINAPI*)(void*, ULONG);

}  // namespace

uint32_t RandomBits32() {
  uint32_t bits = 0;
  // RtlGenRandom (exported as SystemFunction036) needs no provider handle.
  static RandomFunction generate = [] {
    HMODULE advapi = LoadLibraryA("advapi32.dll");
    return advapi != nullptr ? reinterpret_cast<RandomFunction>(
                                   reinterpret_cast<void*>(GetProcAddress(
                                       advapi, "SystemFunction036")))
                             : nullptr;
  }();
  if (generate != nullptr && generate(&bits, sizeof bits)) return bits;
  // Without it: the performance counter and the process id, so that two
  // runs in one second still differ.
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  uint64_t x = static_cast<uint64_t>(counter.QuadPart) ^
               (static_cast<uint64_t>(GetCurrentProcessId()) << 40);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return static_cast<uint32_t>(x);
}

}  // namespace korv
