#include "shared/platform/helpers.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <new>

namespace korv {
namespace {

// What a new thread is to run, handed over through its one pointer.
struct HelperStart {
  void (*body)(int);
  int arg;
};

void* RunHelper(void* start) {
  const HelperStart what = *static_cast<HelperStart*>(start);
  delete static_cast<HelperStart*>(start);
  what.body(what.arg);
  return nullptr;
}

}  // namespace

int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

bool StartHelperThread(void (*body)(int), int arg) {
  HelperStart* start = new (std::nothrow) HelperStart{body, arg};
  if (start == nullptr) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete start;
    return false;
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // A new thread inherits the signal mask of the one that starts it.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, RunHelper, start);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) delete start;
  return rc == 0;
}

}  // namespace korv
