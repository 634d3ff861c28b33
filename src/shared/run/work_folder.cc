#include "shared/run/work_folder.h"

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/run_platform.h"
#include "shared/run/run_state.h"

namespace korv {
namespace {

std::string g_home_path;
std::string g_start_folder;
int g_home_status = -1;

// The data folder held open and locked for the run; -1 while none is.
int g_data_folder_fd = -1;
bool g_data_folder_exclusive = false;
// Its device as it was held, and the path whose device must stay the same
// for the folder to be in place: the data folder, or the current folder
// by its full path.
int64_t g_data_folder_device = -1;
std::string g_data_folder_check;

bool IsFolderSeparator(char c) { return c == '\\' || c == '/'; }

// Looks for home path + word and creates it when it is missing. The
// existence test is a stat, not a change of the current folder, so the
// program never leaves the folder it was started in.
void HomeFolderCheck(const std::string& word) {
  if (!g_home_path.empty()) g_home_path.push_back(kHomeSeparator);
  g_home_path += word;
  int result = FolderExists(g_home_path) ? 0 : -1;
  if (result != 0) result = MakeFolder(g_home_path);
  // Another run that started at the same moment may have created it
  // between the look and the creation.
  if (result != 0 && FolderExists(g_home_path)) result = 0;
  if (result == 0) g_home_status = 0;
  g_home_path.push_back(kHomeSeparator);
}

}  // namespace

void HomeFolderLookup(const std::string& word) {
  g_start_folder = CurrentFolder();
  g_home_path.clear();
  g_home_status = -1;
  for (int n = 1; n <= 3 && g_home_status != 0; ++n) {
    g_home_path = HomeCandidate(n);
    if (!g_home_path.empty()) HomeFolderCheck(word);
  }
  if (g_home_status != 0) {
    g_home_path.clear();
    HomeFolderCheck(word);
  }
}

const std::string& HomePath() { return g_home_path; }

const std::string& StartFolder() { return g_start_folder; }

const std::string& RereadStartFolder() {
  g_start_folder = CurrentFolder();
  return g_start_folder;
}

int HomeStatus() { return g_home_status; }

std::string FolderTextToPath(const std::string& folder_text) {
  // The system's own separator: "/" on Linux; Windows keeps the "\\".
  std::string path = folder_text;
  for (char& c : path) {
    if (c == '\\') c = kHomeSeparator;
  }
  return path;
}

std::string NormalFolderText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsFolderSeparator(text[i])) ++i;
  const std::string_view prefix = text.substr(0, i);
  // Each level kept, with the separator that followed it in the text.
  struct Level {
    std::string_view name;
    char separator;
  };
  std::vector<Level> levels;
  while (i < text.size()) {
    size_t end = i;
    while (end < text.size() && !IsFolderSeparator(text[end])) ++end;
    const std::string_view name = text.substr(i, end - i);
    const char separator = end < text.size() ? text[end] : '\0';
    while (end < text.size() && IsFolderSeparator(text[end])) ++end;
    i = end;
    if (name == ".") continue;
    if (name == "..") {
      // A root's parent is the root itself; a relative text climbs above
      // where it starts.
      const bool at_drive =
          levels.size() == 1 && prefix.empty() && levels[0].name.back() == ':';
      if (at_drive || (levels.empty() && !prefix.empty())) continue;
      if (!levels.empty() && levels.back().name != "..") {
        levels.pop_back();
        continue;
      }
    }
    levels.push_back({name, separator});
  }
  std::string normal(prefix);
  const bool trailing = !text.empty() && IsFolderSeparator(text.back());
  for (size_t k = 0; k < levels.size(); ++k) {
    normal += levels[k].name;
    if (k + 1 < levels.size() || trailing) {
      normal.push_back(levels[k].separator != '\0' ? levels[k].separator
                                                   : '\\');
    }
  }
  return normal;
}

bool DataFolderText(std::string_view argument, std::string* folder) {
  std::string text = NormalFolderText(argument);
  if (!text.empty() && text.back() != '\\') {
    // Without its separator the last level would run into the data-file
    // names (".../zzzN0000000.KVL"), a file beside the folder.
    if (text.size() >= kMaxTextLength) {
      if (!IsFolderSeparator(text.back())) return false;
    } else {
      text.push_back('\\');
    }
  }
  *folder = std::move(text);
  return true;
}

int HoldDataFolder(bool exclusive, int* err) {
  const std::string path = g_run.verzeichnis.empty()
                               ? std::string(".")
                               : FolderTextToPath(g_run.verzeichnis);
  *err = 0;
  // Held already (the writer locks a folder that exists before its
  // protocol starts, and again once it has made it): a second handle
  // would find the first one's lock in its way.
  if (g_data_folder_fd >= 0 && g_data_folder_exclusive == exclusive &&
      HandleNamesFolder(g_data_folder_fd, path)) {
    return g_data_folder_fd;
  }
  if (g_data_folder_fd >= 0) CloseRawFile(g_data_folder_fd);
  g_data_folder_exclusive = exclusive;
  g_data_folder_fd = OpenFolderHandle(path);
  if (g_data_folder_fd < 0) {
    *err = CheckFolderReadable(path);
    if (*err == 0) *err = EIO;
    return -1;
  }
  if (LockFolder(g_data_folder_fd, exclusive) == FolderLock::kBusy) {
    FatalLine("Verzeichnis in Benutzung durch einen anderen Lauf: " +
                  EscapedText(path),
              kFolderBusyExitStatus);
  }
  g_data_folder_device = DeviceOfFd(g_data_folder_fd);
  g_data_folder_check = g_run.verzeichnis.empty() ? CurrentFolder() : path;
  return g_data_folder_fd;
}

int HeldDataFolder() { return g_data_folder_fd; }

void ReleaseDataFolder() {
  if (g_data_folder_fd >= 0) CloseRawFile(g_data_folder_fd);
  g_data_folder_fd = -1;
}

void CheckDataFolderInPlace() {
  if (g_data_folder_fd < 0 || g_data_folder_check.empty()) return;
  if (DeviceOfPath(g_data_folder_check) == g_data_folder_device) return;
  FatalLine("Datentraeger entfernt oder gewechselt: " +
                EscapedText(g_data_folder_check),
            kFolderGoneExitStatus);
}

int FolderCreation(const std::string& folder_text, const std::string& done,
                   std::string* failed_level) {
  // One level per pass; the levels are few (one per separator), so a loop
  // does what a recursion would without its stack.
  std::string rest = folder_text;
  std::string level = done;
  int first_error = 0;
  for (;;) {
    size_t p = 0;
    while (p < rest.size() && !IsFolderSeparator(rest[p])) ++p;
    if (p == rest.size()) {
      // The last level has no separator of its own: it gets the one the
      // user's folder texts end with.
      level += rest;
      level.push_back('\\');
      rest.clear();
    } else {
      level.append(rest, 0, p + 1);
      rest.erase(0, p + 1);
    }
    // Existing levels, a root and levels we may not create fail silently;
    // the first level that is still missing after its failure is what
    // keeps the folder from being made.
    const std::string path = FolderTextToPath(level);
    const int err = MakeFolder(path);
    if (err == 0) {
      Out("Verzeichnis: ");
      Out(EscapedText(level));
      OutLine(" angelegt");
    } else if (first_error == 0 && !FolderExists(path)) {
      first_error = err;
      if (failed_level != nullptr) *failed_level = path;
    }
    if (rest.empty()) break;
  }
  return first_error;
}

void FolderRemoval(const std::string& folder_text) {
  // The walk stays on the data folder's own file system: it never takes a
  // mount point, a folder of another file system or one right under "/".
  // That file system is the one of the folder held during the run, not
  // the one its path leads to now: a card pulled meanwhile leaves the path
  // on the system disk.
  const int64_t device = g_data_folder_device >= 0
                             ? g_data_folder_device
                             : DeviceOfPath(FolderTextToPath(folder_text));
  std::string text = folder_text;
  while (!text.empty()) {
    // The last separator before the final character: a trailing one
    // belongs to the level itself.
    size_t p = std::string::npos;
    for (size_t i = text.size() - 1; i-- > 0;) {
      if (IsFolderSeparator(text[i])) {
        p = i;
        break;
      }
    }
    std::string dir = text;
    if (p == std::string::npos) {
      text.clear();
    } else {
      text.resize(p);
    }
    // Only an empty folder goes; a level that still holds something stays,
    // and the walk goes on upward regardless.
    const std::string path = FolderTextToPath(dir);
    if (device >= 0 && FolderMayBeRemoved(path, device) &&
        RemoveFolderOnDevice(path, device) == 0) {
      Out("Verzeichnis: ");
      Out(EscapedText(dir));
      OutLine(" geloescht");
    }
  }
}

}  // namespace korv
