// The protocol folder below the home folder, and data-folder creation and removal.
#ifndef KORV_SHARED_RUN_WORK_FOLDER_H_
#define KORV_SHARED_RUN_WORK_FOLDER_H_

#include <string>
#include <string_view>

namespace korv {

// Finds or creates the folder <home>/<word>/ from the candidates HOME, temp,
// tmp and the current folder, in that order, and sets the home path. The
// current folder is the same afterwards.
void HomeFolderLookup(const std::string& word);

// Returns the protocol folder, ending in "/" after the lookup.
const std::string& HomePath();

// Returns the current folder as read by the lookup (or the last re-read).
const std::string& StartFolder();

// Reads the current folder again into the start folder and returns it.
const std::string& RereadStartFolder();

// Returns 0 once a candidate folder could be entered or created, else -1.
int HomeStatus();

// Creates each missing level of a folder text (split at "\" and "/"),
// printing "Verzeichnis: <level> angelegt" for each level created. `done`
// is the text already handled (empty at the first call). Returns 0, or the
// error of the first level that could not be made and is missing (its path
// in *failed_level when given).
int FolderCreation(const std::string& folder_text, const std::string& done,
                   std::string* failed_level = nullptr);

// Removes the folder and then its parents while they are empty, printing
// "Verzeichnis: <level> geloescht" for each one removed. Only levels on the
// folder's own file system go: never a mount point or a folder right under
// "/".
void FolderRemoval(const std::string& folder_text);

// Returns the folder text with its "." levels dropped and each ".." taking
// the level before it off (at the start of a relative text it stays, at a
// root or a drive such as "E:" it goes); runs of separators become one, a
// leading run stays as it is. The folder named is then the folder the
// levels lead to, and its parents are its real ones, not folders the text
// only passes through.
std::string NormalFolderText(std::string_view text);

// Sets *folder to the data folder of a folder argument: normalised, and
// ending in "\" (or in its own separator where "\" would pass the longest
// text); empty for the current folder. Returns false, folder untouched,
// when the text has no room for its separator.
bool DataFolderText(std::string_view argument, std::string* folder);

// Opens the data folder of the run and locks it until the program ends:
// exclusive for the writer, shared for readers, so that no reader reads
// and no second writer writes the files a writer is writing. A folder held
// by another run ends this one at once (kFolderBusyExitStatus); where the
// file system cannot lock, the run goes on without. Returns the folder's
// handle (the one held already when it is the same folder, else a folder
// held before is let go), or -1 with *err set when the folder cannot be
// opened.
int HoldDataFolder(bool exclusive, int* err);

// Returns the handle of the data folder held since HoldDataFolder, -1 when
// none is held.
int HeldDataFolder();

// Lets the data folder go (and its lock with it): a folder held open on
// Windows would only be marked for removal, and keep its parents.
void ReleaseDataFolder();

// Ends the run (kFolderGoneExitStatus, with its line) when the held data
// folder's path now leads to another file system: a card pulled out or
// unmounted leaves its mount point bare, and the path may then name a
// folder of the system disk, which must be neither filled nor cleared.
void CheckDataFolderInPlace();

// Turns a folder text (with "\" separators) into a file-system path.
std::string FolderTextToPath(const std::string& folder_text);

}  // namespace korv

#endif  // KORV_SHARED_RUN_WORK_FOLDER_H_
