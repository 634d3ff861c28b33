#include "shared/platform/heap.h"

#include <malloc.h>

namespace korv {
namespace {

int64_t g_max_used = 0;
int64_t g_max_size = 0;

}  // namespace

HeapFigures ReadHeapFigures() {
  struct mallinfo2 mi = mallinfo2();
  HeapFigures h;
  // Memory handed out by mmap counts as heap too: large blocks live there.
  h.size_now = static_cast<int64_t>(mi.arena + mi.hblkhd);
  h.used_now = static_cast<int64_t>(mi.uordblks + mi.hblkhd);
  h.free_now = static_cast<int64_t>(mi.fordblks);
  if (h.used_now > g_max_used) g_max_used = h.used_now;
  if (h.size_now > g_max_size) g_max_size = h.size_now;
  h.max_used = g_max_used;
  h.max_size = g_max_size;
  return h;
}

}  // namespace korv
