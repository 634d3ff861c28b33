// Several tasks at once, each in a process of its own, their output
// brought back line by line as it comes (several cards checked side by
// side).
#ifndef KORV_SHARED_PLATFORM_SIDE_BY_SIDE_H_
#define KORV_SHARED_PLATFORM_SIDE_BY_SIDE_H_

#include <string>
#include <vector>

namespace korv {

// Runs task(i) for every i below count at once, each in a child process
// whose standard output and error come back through line(i, text), one
// call a line, in the order they arrive; the child ends with the status
// task returns. Returns false when the tasks cannot be started apart
// (Windows, no process left): the caller then runs them one by one.
// (*statuses)[i] gets each child's exit status, 128 + n for a death by
// signal n.
bool RunSideBySide(int count, int (*task)(int index),
                   void (*line)(int index, const std::string& text),
                   std::vector<int>* statuses);

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_SIDE_BY_SIDE_H_
