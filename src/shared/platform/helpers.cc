#include "shared/platform/helpers.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <thread>

namespace korv {

int UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

void StartHelperThread(void (*body)(int), int arg) {
  // A new thread inherits the signal mask of the one that starts it.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  std::thread(body, arg).detach();
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace korv
