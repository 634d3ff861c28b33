// Helper threads that share a task with the main thread on the other cores.
#ifndef KORV_SHARED_PLATFORM_HELPERS_H_
#define KORV_SHARED_PLATFORM_HELPERS_H_

#include <atomic>
#include <cstdint>

namespace korv {

// Returns how many processors this process may run on (its affinity, as
// taskset or a container sets it), at least 1.
int UsableProcessors();

// Starts a thread that runs body(arg) until the program ends. It never
// takes a signal: the main thread alone handles signals, prints and reads
// keys. Returns false when the system refuses another thread (a limit on
// the user's processes, no memory left): the caller then does the work with
// the threads it has, which is slower but no error.
bool StartHelperThread(void (*body)(int), int arg);

// Returns once value differs from seen. It spins for a short while first:
// the other side of a batch usually answers within microseconds, and a
// processor that went to sleep takes far longer to wake (tens of
// microseconds on a virtual machine), which the batches would add up.
inline void WaitForChange(const std::atomic<uint32_t>& value, uint32_t seen) {
  // About 50 microseconds on current processors.
  constexpr int kSpinRounds = 2000;
  for (int i = 0; i < kSpinRounds; ++i) {
    if (value.load(std::memory_order_acquire) != seen) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  while (value.load(std::memory_order_acquire) == seen) value.wait(seen);
}

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_HELPERS_H_
