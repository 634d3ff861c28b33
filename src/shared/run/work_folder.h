// The protocol folder below the home folder, and data-folder creation and removal.
#ifndef KORV_SHARED_RUN_WORK_FOLDER_H_
#define KORV_SHARED_RUN_WORK_FOLDER_H_

#include <string>

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
// is the text already handled (empty at the first call).
void FolderCreation(const std::string& folder_text, const std::string& done);

// Removes the folder and then its parents while they are empty, printing
// "Verzeichnis: <level> geloescht" for each one removed. Only levels on the
// folder's own file system go: never a mount point or a folder right under
// "/".
void FolderRemoval(const std::string& folder_text);

// Turns a folder text (with "\" separators) into a file-system path.
std::string FolderTextToPath(const std::string& folder_text);

}  // namespace korv

#endif  // KORV_SHARED_RUN_WORK_FOLDER_H_
