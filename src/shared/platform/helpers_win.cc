#include "shared/platform/helpers.h"

#include <windows.h>

#include <bit>
#include <new>

namespace korv {
namespace {

// What a new thread is to run, handed over through its one pointer.
struct HelperStart {
  void (*body)(int);
  int arg;
};

DWORD WINAPI RunHelper(void* start) {
  const HelperStart what = *static_cast<HelperStart*>(start);
  delete static_cast<HelperStart*>(start);
  what.body(what.arg);
  return 0;
}

}  // namespace

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
bool StartHelperThread(void (*body)(int), int arg) {
  HelperStart* start = new (std::nothrow) HelperStart{body, arg};
  if (start == nullptr) return false;
  HANDLE thread = CreateThread(nullptr, 0, RunHelper, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);
  return true;
}

}  // namespace korv
