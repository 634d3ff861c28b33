// Heap figures on Windows, from a walk over the C runtime's heap.
#include <malloc.h>

#include "shared/platform/heap.h"

namespace korv {
namespace {

int64_t g_max_used = 0;
int64_t g_max_size = 0;

}  // namespace

HeapFigures ReadHeapFigures() {
  HeapFigures h;
  _HEAPINFO entry = {};
  while (_heapwalk(&entry) == _HEAPOK) {
    const int64_t size = static_cast<int64_t>(entry._size);
    h.size_now += size;
    if (entry._useflag == _USEDENTRY) {
      h.used_now += size;
    } else {
      h.free_now += size;
    }
  }
  if (h.used_now > g_max_used) g_max_used = h.used_now;
  if (h.size_now > g_max_size) g_max_size = h.size_now;
  h.max_used = g_max_used;
  h.max_size = g_max_size;
  return h;
}

}  // namespace korv
