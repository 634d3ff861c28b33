#include "testing/test_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace korv {
namespace {

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

// Writes as much of data as the pipe takes without waiting; returns the
// number of bytes written.
size_t WriteWhatFits(int fd, const std::string& data) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(n);
  }
  fcntl(fd, F_SETFL, flags);
  return done;
}

[[noreturn]] void ExecChild(const std::string& program,
                            const std::vector<std::string>& args,
                            const ProcessOptions& options) {
  for (const auto& name : options.unset_env) unsetenv(name.c_str());
  for (const auto& [name, value] : options.env)
    setenv(name.c_str(), value.c_str(), 1);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

}  // namespace

ProcessResult RunProgram(const std::string& program,
                         const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  ProcessResult result;
  int out_fd = -1;   // where the child's output arrives
  int key_fd = -1;   // where keys are sent
  pid_t pid;
  if (options.input == ProcessOptions::kPty) {
    int master;
    int slave;
    struct winsize ws = {40, 100, 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) return result;
    // The mode before the run is read before the child exists: read after
    // the fork, it could already be the child's key mode.
    struct termios t;
    if (tcgetattr(slave, &t) == 0) result.lflag_before = t.c_lflag;
    if (options.key_first) {
      WriteAll(master, options.key);
      // The terminal takes what is typed in the background: the key is held
      // back only once its echo shows, and a loaded machine may otherwise
      // start the program first, which then writes blocks before the key
      // arrives.
      std::string echo;
      const int64_t until = NowMs() + 5000;
      while (echo.size() < options.key.size() && NowMs() < until) {
        struct pollfd pfd = {master, POLLIN, 0};
        char c[64];
        if (poll(&pfd, 1, 50) <= 0) continue;
        const ssize_t n = read(master, c, sizeof c);
        if (n > 0) echo.append(c, static_cast<size_t>(n));
      }
      result.output += echo;
    }
    pid = fork();
    if (pid < 0) {
      close(master);
      close(slave);
      return result;
    }
    if (pid == 0) {
      close(master);
      if (login_tty(slave) != 0) _exit(126);
      ExecChild(program, args, options);
    }
    close(slave);
    out_fd = master;
    key_fd = master;
  } else {
    int out_pipe[2];
    int in_pipe[2] = {-1, -1};
    if (pipe(out_pipe) != 0) return result;
    if (options.input != ProcessOptions::kDevNull && pipe(in_pipe) != 0)
      return result;
    // The text goes into the pipe before the child exists, so that the
    // child finds all of it waiting from its first look on (what does not
    // fit into the pipe follows after the fork).
    size_t text_written = 0;
    if (options.input == ProcessOptions::kText) {
      text_written = WriteWhatFits(in_pipe[1], options.stdin_text);
    } else if (options.input == ProcessOptions::kOpenPipe &&
               options.key_first) {
      WriteAll(in_pipe[1], options.key);
    }
    pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
      if (options.input == ProcessOptions::kDevNull) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
      } else {
        dup2(in_pipe[0], 0);
        close(in_pipe[1]);
      }
      dup2(out_pipe[1], 1);
      dup2(out_pipe[1], 2);
      close(out_pipe[0]);
      // Only 1 and 2 may hold the pipe: a tool that leaves a process
      // behind (a daemon) would otherwise keep it open and the run waiting.
      if (out_pipe[1] > 2) close(out_pipe[1]);
      if (in_pipe[0] > 2) close(in_pipe[0]);
      ExecChild(program, args, options);
    }
    close(out_pipe[1]);
    out_fd = out_pipe[0];
    if (in_pipe[0] >= 0) {
      close(in_pipe[0]);
      if (options.input == ProcessOptions::kText) {
        WriteAll(in_pipe[1], options.stdin_text.substr(text_written));
        close(in_pipe[1]);
      } else {
        key_fd = in_pipe[1];
      }
    }
  }

  signal(SIGPIPE, SIG_IGN);
  int64_t start = NowMs();
  int64_t key_due = -1;
  bool key_sent = options.key.empty() || options.key_first;
  bool signal_sent = options.signal == 0;
  size_t prompts_answered = 0;
  char buffer[65536];
  for (;;) {
    int64_t now = NowMs();
    if (now - start > options.timeout_ms) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    int wait_ms = 50;
    struct pollfd pfd = {out_fd, POLLIN, 0};
    int ready = poll(&pfd, 1, wait_ms);
    if (ready > 0) {
      ssize_t n = read(out_fd, buffer, sizeof buffer);
      if (n > 0) {
        result.output.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        break;  // pipe closed, or EIO from a pty whose child has gone
      }
    }
    now = NowMs();
    if ((!key_sent && key_fd >= 0) || !signal_sent) {
      if (key_due < 0 && result.output.find(options.key_after) !=
                             std::string::npos) {
        key_due = now + options.key_delay_ms;
      }
      if (key_due >= 0 && now >= key_due) {
        if (!key_sent && key_fd >= 0) WriteAll(key_fd, options.key);
        key_sent = true;
        if (!signal_sent) kill(pid, options.signal);
        signal_sent = true;
      }
    }
    if (options.answer_prompts && key_fd >= 0) {
      size_t count = 0;
      for (size_t p = result.output.find("Weiter mit"); p != std::string::npos;
           p = result.output.find("Weiter mit", p + 1))
        ++count;
      while (prompts_answered < count) {
        WriteAll(key_fd, " ");
        ++prompts_answered;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (options.input == ProcessOptions::kPty) {
    struct termios t;
    if (tcgetattr(out_fd, &t) == 0) result.lflag_after = t.c_lflag;
  }
  close(out_fd);
  if (key_fd >= 0 && key_fd != out_fd) close(key_fd);
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.status = 128 + WTERMSIG(status);
  }
  return result;
}

std::string BuiltProgram(const std::string& name) {
  const char* dir = getenv("KORV_BUILD_DIR");
  std::string base = dir != nullptr ? dir : "build";
  return base + "/" + name;
}

std::string MakeTempFolder() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") +
                        "/korv_test_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return std::string();
  return std::string(buf.data());
}

void RemoveTree(const std::string& path) {
  if (path.empty() || path == "/") return;
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

bool IsRoot() { return geteuid() == 0; }

namespace {

// The first of the usual places that holds an executable tool.
std::string FindTool(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    std::string path = std::string(dir) + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return std::string();
}

bool RunTool(const std::string& name, const std::vector<std::string>& args,
             std::string* output, std::string* why) {
  const std::string tool = FindTool(name);
  if (tool.empty()) {
    *why = name + " not found";
    return false;
  }
  ProcessOptions options;
  options.timeout_ms = 120000;
  ProcessResult r = RunProgram(tool, args, options);
  if (output != nullptr) *output = r.output;
  if (r.status != 0) {
    *why = name + " failed (" + std::to_string(r.status) + "): " + r.output;
    return false;
  }
  return true;
}

// Attaches the image and, for a card with a file system (a mount_path),
// formats (format) and mounts it.
bool AttachAndMount(FakeCard* card, bool format, std::string* why) {
  std::string out;
  // Buffered, said rather than left to losetup's default: the tests count
  // on a loop device with its own page cache in front of the card.
  if (!RunTool("losetup",
               {"--find", "--show", "--direct-io=off",
                card->fuse_folder + "/card.img"},
               &out, why)) {
    return false;
  }
  card->device = out.substr(0, out.find('\n'));
  if (card->mount_path.empty()) return true;
  if (format &&
      !RunTool("mkfs.ext4", {"-q", "-F", "-O", "^has_journal", "-E",
                             "nodiscard,lazy_itable_init=0", card->device},
               nullptr, why)) {
    return false;
  }
  if (mount(card->device.c_str(), card->mount_path.c_str(), "ext4", 0,
            nullptr) != 0) {
    *why = std::string("mount of the fake card failed: ") + strerror(errno);
    return false;
  }
  return true;
}

void UnmountAndDetach(FakeCard* card) {
  if (!card->mount_path.empty()) umount2(card->mount_path.c_str(), 0);
  if (!card->device.empty()) {
    std::string why;
    RunTool("losetup", {"-d", card->device}, nullptr, &why);
    card->device.clear();
  }
}

}  // namespace

bool MakeFakeCard(const std::string& root, long long announced,
                  long long real, FakeCard* card, std::string* why,
                  long long alias_to) {
  FakeCardOptions options;
  options.alias_to = alias_to;
  return MakeFakeCardWith(root, announced, real, options, card, why);
}

bool MakeFakeCardWith(const std::string& root, long long announced,
                      long long real, const FakeCardOptions& options,
                      FakeCard* card, std::string* why) {
  if (!IsRoot()) {
    *why = "needs root for FUSE, loop devices and mounts";
    return false;
  }
  const std::string tool = BuiltProgram("tests/fake_card_fs");
  if (access(tool.c_str(), X_OK) != 0) {
    *why = "fake_card_fs not built (libfuse3-dev missing)";
    return false;
  }
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    *why = "no /dev/fuse";
    return false;
  }
  card->fuse_folder = root + "/fuse";
  card->mount_path.clear();
  mkdir(card->fuse_folder.c_str(), 0700);
  if (options.format) {
    card->mount_path = root + "/karte";
    mkdir(card->mount_path.c_str(), 0755);
  }
  std::vector<std::string> args;
  if (options.cache > 0) {
    args.push_back("--cache=" + std::to_string(options.cache));
  }
  if (options.fill) {
    args.push_back("--fill=" + std::to_string(options.fill_seed));
  }
  if (options.delay_ms > 0) {
    args.push_back("--delay-ms=" + std::to_string(options.delay_ms));
  }
  args.insert(args.end(), {card->fuse_folder, std::to_string(announced),
                           std::to_string(real)});
  if (options.alias_to >= 0 || options.eio_from >= 0) {
    args.push_back(options.alias_to >= 0 ? std::to_string(options.alias_to)
                                         : "-");
  }
  if (options.eio_from >= 0) args.push_back(std::to_string(options.eio_from));
  ProcessResult r = RunProgram(tool, args, ProcessOptions());
  if (r.status != 0) {
    *why = "fake_card_fs failed: " + r.output;
    return false;
  }
  if (!AttachAndMount(card, true, why)) {
    RemoveFakeCard(card);
    return false;
  }
  return true;
}

bool RemountFakeCard(FakeCard* card, std::string* why) {
  UnmountAndDetach(card);
  return AttachAndMount(card, false, why);
}

void RemoveFakeCard(FakeCard* card) {
  UnmountAndDetach(card);
  // Lazily: the loop driver may still hold the image for a moment; the
  // tool ends once it lets go.
  if (!card->fuse_folder.empty()) umount2(card->fuse_folder.c_str(), MNT_DETACH);
}

std::string FakeCardChecksum(const FakeCard& card) {
  const int fd = open((card.fuse_folder + "/card.img").c_str(), O_RDONLY);
  if (fd < 0) return std::string();
  struct stat st = {};
  std::vector<uint64_t> words(1 << 17);
  uint64_t hash = 0xCBF29CE484222325ull;
  long long total = 0;
  bool sound = fstat(fd, &st) == 0;
  // Word by word, each step rotating the sum before mixing the next word
  // in: fast enough for a GiB through FUSE, and a change anywhere, or a
  // block in another place, changes all of it.
  while (sound) {
    const size_t want = words.size() * sizeof(uint64_t);
    size_t got = 0;
    while (got < want) {
      const ssize_t n =
          read(fd, reinterpret_cast<char*>(words.data()) + got, want - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) sound = false;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got == 0) break;
    // A short last piece is taken with zeros after it; the length is part
    // of the sum.
    memset(reinterpret_cast<char*>(words.data()) + got, 0,
           (sizeof(uint64_t) - got % sizeof(uint64_t)) % sizeof(uint64_t));
    for (size_t i = 0; i < (got + sizeof(uint64_t) - 1) / sizeof(uint64_t);
         ++i) {
      hash = ((hash << 29 | hash >> 35) ^ words[i]) * 0x9E3779B97F4A7C15ull;
    }
    total += static_cast<long long>(got);
  }
  close(fd);
  if (!sound || total != st.st_size) return std::string();
  hash = ((hash << 29 | hash >> 35) ^ static_cast<uint64_t>(total)) *
         0x9E3779B97F4A7C15ull;
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

long long DeviceWriteSectors(const std::string& device) {
  const std::string name = device.substr(device.rfind('/') + 1);
  std::string stat;
  if (name.empty() ||
      !ReadWholeFile("/sys/class/block/" + name + "/stat", &stat)) {
    return -1;
  }
  // Reads: ios, merges, sectors, ms; then writes: ios, merges, sectors.
  std::istringstream fields(stat);
  long long value = -1;
  for (int i = 0; i < 7; ++i) {
    if (!(fields >> value)) return -1;
  }
  return value;
}

bool MountTmpfs(const std::string& path, long long size_bytes,
                std::string* why) {
  if (!IsRoot()) {
    *why = "needs root to mount a tmpfs";
    return false;
  }
  std::string data = "size=" + std::to_string(size_bytes);
  if (mount("tmpfs", path.c_str(), "tmpfs", 0, data.c_str()) != 0) {
    *why = std::string("mount of a tmpfs failed: ") + strerror(errno);
    return false;
  }
  return true;
}

void Unmount(const std::string& path) { umount2(path.c_str(), MNT_DETACH); }

bool MountFaultFs(const std::string& backing, const std::string& path,
                  const std::vector<std::string>& faults, std::string* why) {
  const std::string tool = BuiltProgram("tests/fault_fs");
  if (!IsRoot()) {
    *why = "needs root to mount a FUSE file system";
    return false;
  }
  if (access(tool.c_str(), X_OK) != 0 || access("/dev/fuse", R_OK) != 0) {
    *why = "no fault_fs (libfuse3-dev) or no /dev/fuse";
    return false;
  }
  struct stat before;
  if (stat(path.c_str(), &before) != 0) {
    *why = "no mount point " + path;
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<std::string> args = {tool};
    args.insert(args.end(), faults.begin(), faults.end());
    args.push_back(backing);
    args.push_back(path);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  // Mounted once the folder's device changes; the tool serves until the
  // unmount, then ends by itself.
  for (int i = 0; i < 500; ++i) {
    struct stat now;
    if (stat(path.c_str(), &now) == 0 && now.st_dev != before.st_dev) {
      return true;
    }
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  *why = "fault_fs did not mount";
  return false;
}

bool ReadWholeFile(const std::string& path, std::string* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *data = ss.str();
  return true;
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool FitsShape(const std::string& text, size_t pos, std::string_view shape) {
  if (pos + shape.size() > text.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const char c = text[pos + i];
    if (shape[i] == '9' ? !IsDigit(c) : c != shape[i]) return false;
  }
  return true;
}

std::string NormalizeTranscript(const std::string& text) {
  constexpr std::string_view kStamp = "99.99.9999 99:99:99,99";
  constexpr std::string_view kTime = "99:99:99,99";
  constexpr std::string_view kAverage = "Durchschnittlich: ";
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, 2, "\r\n") == 0) {
      out += '\n';
      i += 2;
      continue;
    }
    if (text.compare(i, 7, "\x1b[H\x1b[2J") == 0) {
      i += 7;
      continue;
    }
    // The window title a terminal run shows and gives back.
    if (text.compare(i, 7, "\x1b[22;0t") == 0 ||
        text.compare(i, 7, "\x1b[23;0t") == 0) {
      i += 7;
      continue;
    }
    if (text.compare(i, 4, "\x1b]2;") == 0) {
      const size_t end = text.find('\a', i);
      i = end == std::string::npos ? text.size() : end + 1;
      continue;
    }
    if (FitsShape(text, i, kStamp)) {
      out += "<Zeit>";
      i += kStamp.size();
      continue;
    }
    if (text.compare(i, 6, "Dauer:") == 0) {
      size_t j = i + 6;
      while (j < text.size() && IsDigit(text[j])) ++j;
      // Durations of a day or more begin with the days: "1T 02:03:04,05".
      j = j > i + 6 && text.compare(j, 2, "T ") == 0 ? j + 2 : i + 6;
      if (FitsShape(text, j, kTime)) {
        out += "Dauer:<d>";
        i = j + kTime.size();
        continue;
      }
    }
    if (text.compare(i, kAverage.size(), kAverage) == 0) {
      size_t j = i + kAverage.size();
      while (j < text.size() && text[j] == ' ') ++j;
      const size_t digits = j;
      while (j < text.size() && IsDigit(text[j])) ++j;
      if (j > digits && FitsShape(text, j, ".99 ")) {
        out += "Durchschnittlich: <s> ";
        i = j + 4;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* e = readdir(dir)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace korv
