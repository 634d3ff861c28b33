// Heap figures of the running program, for the heap report.
#ifndef KORV_SHARED_PLATFORM_HEAP_H_
#define KORV_SHARED_PLATFORM_HEAP_H_

#include <cstdint>

namespace korv {

struct HeapFigures {
  int64_t max_used = 0;   // largest heap memory ever in use
  int64_t max_size = 0;   // largest size the heap ever had
  int64_t free_now = 0;   // heap memory free now
  int64_t size_now = 0;   // heap size now
  int64_t used_now = 0;   // heap memory in use now
};

// Reads the heap figures (glibc's mallinfo2; the largest values are the
// largest seen by earlier calls and this one).
HeapFigures ReadHeapFigures();

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_HEAP_H_
