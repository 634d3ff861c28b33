#include "shared/run/work_folder.h"

#include <string>

#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/run_platform.h"

namespace korv {
namespace {

std::string g_home_path;
std::string g_start_folder;
int g_home_status = -1;

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

void FolderCreation(const std::string& folder_text, const std::string& done) {
  // One level per pass; the levels are few (one per separator), so a loop
  // does what a recursion would without its stack.
  std::string rest = folder_text;
  std::string level = done;
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
    // Existing levels, a root and levels we may not create fail silently.
    if (MakeFolder(FolderTextToPath(level)) == 0) {
      Out("Verzeichnis: ");
      Out(level);
      OutLine(" angelegt");
    }
    if (rest.empty()) break;
  }
}

void FolderRemoval(const std::string& folder_text) {
  // The walk stays on the data folder's own file system: it never takes a
  // mount point, a folder of another file system or one right under "/".
  const int64_t device = DeviceOfPath(FolderTextToPath(folder_text));
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
        RemoveFolder(path) == 0) {
      Out("Verzeichnis: ");
      Out(dir);
      OutLine(" geloescht");
    }
  }
}

}  // namespace korv
