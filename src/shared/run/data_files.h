// Data-file names, the data-folder scan in its three modes, and the deletion step.
#ifndef KORV_SHARED_RUN_DATA_FILES_H_
#define KORV_SHARED_RUN_DATA_FILES_H_

#include <cstdint>
#include <string>

namespace korv {

enum ScanMode { kScanListing = 1, kScanCounting = 2, kScanDeleting = 3 };

// Appends "N" + the index as seven zero-padded digits + ".KVL": the one
// place where a data file's name is made.
void AppendDataFileName(std::string* text, int32_t index);

// Returns the data file's name (AppendDataFileName to an empty text).
std::string DataFileName(int32_t index);

// Returns the file-system path of a data file: the data folder (with "\"
// turned into "/") followed by the name.
std::string DataFilePath(int32_t index);

// Walks the data files of the data folder in the given mode (listing into
// list 0, counting into the candidate count, or deleting with its lines).
void DataFolderScan(int mode);

// Sets the candidate count to 0 and runs the counting scan.
void CountingScan();

// Returns the error number of the first deletion that failed, 0 if none.
int DeletionError();

// The end-of-run deletion: prompt, deleting scan, removal of the emptied
// data folder. Does nothing for mode "N" or while a key is still pending.
void DeletionStep();

}  // namespace korv

#endif  // KORV_SHARED_RUN_DATA_FILES_H_
