// Helper threads that share a task with the main thread on the other cores.
#ifndef KORV_SHARED_PLATFORM_HELPERS_H_
#define KORV_SHARED_PLATFORM_HELPERS_H_

namespace korv {

// Returns how many processors this process may run on (its affinity, as
// taskset or a container sets it), at least 1.
int UsableProcessors();

// Starts a thread that runs body(arg) until the program ends. It never
// takes a signal: the main thread alone handles signals, prints and reads
// keys.
void StartHelperThread(void (*body)(int), int arg);

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_HELPERS_H_
