#include "shared/run/data_files.h"

#include <string>
#include <string_view>

#include "shared/format/format.h"
#include "shared/lists/keyed_list.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/run_state.h"
#include "shared/run/work_folder.h"

namespace korv {
namespace {

constexpr char kDataFilePattern[] = "N*.KVL";

// Reads the index out of a found name: the seven characters after the "N"
// (fewer when the name is shorter). Anything but an optionally signed run
// of digits gives 0, without a word about it.
int32_t IndexOfName(const std::string& name) {
  if (name.empty()) return 0;
  std::string_view digits = std::string_view(name).substr(1, 7);
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return 0;
  int32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

bool InRange(int32_t index) {
  return g_run.beginn <= index && index <= g_run.last_index;
}

// The listing scan is the only one that can stop before the folder's end.
bool ScanGoesOn(int mode) {
  switch (mode) {
    case kScanListing:
      return g_run.position <= g_run.run_total;
    case kScanCounting:
    case kScanDeleting:
      return true;
    default:
      return false;
  }
}

void DeleteFoundEntry(const std::string& folder, const std::string& name) {
  Out(name);
  if (InRange(g_run.current_index) || g_run.loeschen == 'A') {
    // unlink, so a folder that happens to match the pattern is reported,
    // never removed with what it holds.
    if (DeleteFile(folder + name) == 0) {
      OutLine(" geloescht");
    } else {
      OutLine(" Fehler!!!");
    }
  } else {
    OutLine(" uebersprungen");
  }
}

}  // namespace

std::string DataFileName(int32_t index) {
  std::string name = "N";
  AppendZeroPadded(&name, index, 7);
  name += ".KVL";
  return name;
}

std::string DataFilePath(int32_t index) {
  std::string path = FolderTextToPath(g_run.verzeichnis);
  path += 'N';
  AppendZeroPadded(&path, index, 7);
  path += ".KVL";
  return path;
}

void DataFolderScan(int mode) {
  const std::string folder = FolderTextToPath(g_run.verzeichnis);
  FolderSearch search;
  std::string name;
  bool found = FolderSearchFirst(folder, kDataFilePattern, &search, &name);
  while (found && ScanGoesOn(mode)) {
    g_run.current_index = IndexOfName(name);
    switch (mode) {
      case kScanListing:
        if (InRange(g_run.current_index)) {
          ListSet0(g_run.current_index, static_cast<int32_t>(g_run.position));
          ++g_run.position;
        }
        break;
      case kScanCounting:
        if (InRange(g_run.current_index)) ++g_run.candidate_count;
        break;
      case kScanDeleting:
        DeleteFoundEntry(folder, name);
        break;
    }
    found = FolderSearchNext(&search, &name);
  }
  FolderSearchEnd(&search);
}

void CountingScan() {
  g_run.candidate_count = 0;
  DataFolderScan(kScanCounting);
}

void DeletionStep() {
  // The key that stopped the run is still unread: an interrupted run never
  // deletes.
  if (g_run.loeschen == 'N' || KeyPending()) return;
  OutLine();
  Out("Weiter mit beliebiger Taste, zum Loeschen der Dateien >");
  if (g_run.pausing) ReadKeyCode();
  OutLine();
  DataFolderScan(kScanDeleting);
  if (!g_run.verzeichnis.empty()) FolderRemoval(g_run.verzeichnis);
}

}  // namespace korv
