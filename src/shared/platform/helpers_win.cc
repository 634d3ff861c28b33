#include "shared/platform/helpers.h"

#include <windows.h>

#include <bit>
#include <thread>

namespace korv {

int UsableProcessors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    return 1;
  }
  const int count = std::popcount(static_cast<unsigned long long>(process));
  return count > 0 ? count : 1;
}

// Console events (Ctrl-C, closing the window) arrive in a thread of their
// own, so a helper needs no protection from them.
void StartHelperThread(void (*body)(int), int arg) {
  std::thread(body, arg).detach();
}

}  // namespace korv
