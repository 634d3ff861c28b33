#include "shared/platform/side_by_side.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shared/platform/console.h"

namespace korv {

bool RunSideBySide(int count, int (*task)(int index),
                   void (*line)(int index, const std::string& text),
                   std::vector<int>* statuses) {
  statuses->assign(static_cast<size_t>(count), 0);
  std::vector<pid_t> children;
  std::vector<int> pipes;
  std::vector<std::string> pending(static_cast<size_t>(count));
  OutFlush();
  for (int i = 0; i < count; ++i) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) {
      close(fds[0]);
      close(fds[1]);
      // Those started already are waited for; the rest run here.
      return false;
    }
    if (pid == 0) {
      close(fds[0]);
      for (int fd : pipes) close(fd);
      dup2(fds[1], STDOUT_FILENO);
      dup2(fds[1], STDERR_FILENO);
      close(fds[1]);
      RedetectStreams();
      ExitProgram(task(i));
    }
    close(fds[1]);
    children.push_back(pid);
    pipes.push_back(fds[0]);
  }
  size_t open_pipes = pipes.size();
  char buffer[4096];
  while (open_pipes > 0) {
    std::vector<struct pollfd> polls;
    for (int fd : pipes) polls.push_back({fd, POLLIN, 0});
    if (poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = 0; i < polls.size(); ++i) {
      if (pipes[i] < 0 || polls[i].revents == 0) continue;
      const ssize_t n = read(pipes[i], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (!pending[i].empty()) line(static_cast<int>(i), pending[i]);
        pending[i].clear();
        close(pipes[i]);
        pipes[i] = -1;
        --open_pipes;
        continue;
      }
      pending[i].append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending[i].find('\n')) != std::string::npos;) {
        line(static_cast<int>(i), pending[i].substr(0, end));
        pending[i].erase(0, end + 1);
      }
    }
  }
  for (size_t i = 0; i < children.size(); ++i) {
    int status = 0;
    while (waitpid(children[i], &status, 0) < 0 && errno == EINTR) {
    }
    (*statuses)[i] = WIFEXITED(status)     ? WEXITSTATUS(status)
                     : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                           : 1;
  }
  return true;
}

}  // namespace korv
