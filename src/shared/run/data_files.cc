#include "shared/run/data_files.h"

#include <string>
#include <string_view>

#include "shared/format/format.h"
#include "shared/lists/keyed_list.h"
#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/run/run_platform.h"
#include "shared/run/run_state.h"
#include "shared/run/work_folder.h"

namespace korv {
namespace {

// A data file's name: the letter, the index in kIndexDigits digits, the
// extension. Names are made and recognised from these; the search pattern
// spells the same letter and extension.
constexpr char kNameLetter[] = "N";
constexpr int kIndexDigits = 7;
constexpr char kNameExtension[] = ".KVL";
constexpr char kDataFilePattern[] = "N*.KVL";
constexpr size_t kNameLength =
    sizeof kNameLetter - 1 + kIndexDigits + sizeof kNameExtension - 1;

// The first failed deletion of the run; 0 while none failed.
int g_deletion_error = 0;

// Returns the index of a data-file name, -1 for any other name. Only the
// names the writer makes count: "N", seven digits, ".KVL". A user's
// NOTES.KVL or N0000005-backup.KVL is no data file and is never deleted.
int32_t IndexOfName(const std::string& name) {
  constexpr size_t kDigitsAt = sizeof kNameLetter - 1;
  constexpr size_t kDigitsEnd = kDigitsAt + kIndexDigits;
  const std::string_view view = name;
  if (name.size() != kNameLength ||
      !SameNamePart(view.substr(0, kDigitsAt), kNameLetter) ||
      !SameNamePart(view.substr(kDigitsEnd), kNameExtension)) {
    return -1;
  }
  int32_t value = 0;
  for (size_t i = kDigitsAt; i < kDigitsEnd; ++i) {
    const char c = name[i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool InRange(int32_t index) {
  return index >= 0 && g_run.beginn <= index && index <= g_run.last_index;
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
  // The name comes from the folder, which may be a stranger's card.
  Out(EscapedText(name));
  if (InRange(g_run.current_index) ||
      (g_run.loeschen == 'A' && g_run.current_index >= 0)) {
    // The card may be pulled between two deletions: its mount point's path
    // then leads to the system disk, whose files of the same names are not
    // the run's. Each deletion looks first and goes through the folder held
    // since the start.
    CheckDataFolderInPlace();
    // Only regular files: a link or a FIFO that happens to match the pattern
    // is skipped, a folder reported; neither is removed, nor what a link
    // points to.
    bool skipped = false;
    const int err = DeleteDataFileIn(HeldDataFolder(), folder, name, &skipped);
    if (err == 0 && skipped) {
      OutLine(" uebersprungen");
    } else if (err == 0) {
      OutLine(" geloescht");
    } else {
      OutLine(" Fehler!!!");
      ReportError(err, folder + name);
      if (g_deletion_error == 0) g_deletion_error = err;
    }
  } else {
    OutLine(" uebersprungen");
  }
}

}  // namespace

void AppendDataFileName(std::string* text, int32_t index) {
  text->append(kNameLetter);
  AppendZeroPadded(text, index, kIndexDigits);
  text->append(kNameExtension);
}

std::string DataFileName(int32_t index) {
  std::string name;
  AppendDataFileName(&name, index);
  return name;
}

std::string DataFilePath(int32_t index) {
  std::string path = FolderTextToPath(g_run.verzeichnis);
  AppendDataFileName(&path, index);
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
  // A folder that fails part way must not pass for one that ended there:
  // the files behind the failure would go unchecked, or undeleted while
  // the run reports success.
  if (search.error != 0) Fatal(search.error, folder.empty() ? "." : folder);
}

void CountingScan() {
  g_run.candidate_count = 0;
  DataFolderScan(kScanCounting);
}

int DeletionError() { return g_deletion_error; }

void DeletionStep() {
  // The key that stopped the run is still unread: an interrupted run never
  // deletes.
  g_deletion_error = 0;
  if (g_run.loeschen == 'N' || KeyPending()) return;
  OutLine();
  Out("Weiter mit beliebiger Taste, zum Loeschen der Dateien >");
  if (g_run.pausing) ReadKeyCode();
  OutLine();
  // The card may have been pulled while the prompt waited: the files of a
  // folder of the same name elsewhere are not the run's.
  CheckDataFolderInPlace();
  DataFolderScan(kScanDeleting);
  ReleaseDataFolder();
  if (!g_run.verzeichnis.empty()) FolderRemoval(g_run.verzeichnis);
}

}  // namespace korv
