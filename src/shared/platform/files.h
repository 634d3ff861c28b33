// Files, folders, free space and the environment: the thin POSIX layer.
#ifndef KORV_SHARED_PLATFORM_FILES_H_
#define KORV_SHARED_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace korv {

// ---- Raw data files. Every function returns 0 or an errno value. ----

// Creates (truncating) a file for raw writing. Only a regular file with a
// single name is taken: a symbolic link in the last component is never
// followed (ELOOP), a folder is refused (EISDIR), and a device node, FIFO,
// socket or hard link to another file is refused (EEXIST) untouched: it is
// looked at, never opened.
int CreateRawFile(const std::string& path, int* fd);

// Creates (truncating) the data file path names, inside the folder held
// open as folder_fd (OpenFolderHandle; -1 takes path as it is): the file
// is made in that folder even when its path has come to lead elsewhere (a
// card pulled and its mount point bare). The same rules as CreateRawFile;
// whatever stands under the name is looked at before anything opens it.
int CreateRawFileIn(int folder_fd, const std::string& path, int* fd);

// Writes one block; *stored gets the bytes stored. A file system that
// stores nothing twice without an error gives EIO: only ENOSPC and EDQUOT
// mean a full disk.
int WriteRawBlock(int fd, const void* data, size_t length, size_t* stored);

// Cuts a file opened for writing back to length bytes (its write position
// moves there too).
int TruncateRawFile(int fd, int64_t length);

// True for the errors that mean the disk (or this user's quota of it) is
// full: ENOSPC and EDQUOT, which both systems' layers report under their
// Linux numbers.
inline bool IsDiskFullError(int err) { return err == 28 || err == 122; }

// Opens a data file for reading. Only regular files are opened: anything
// else is looked at, never opened, and gives a failure (ELOOP for a link,
// EISDIR, EINVAL) without a byte read. Before returning, pages
// still waiting are written back and the file's cached pages are dropped,
// so the read that follows comes from the media.
int OpenRawFileForReading(const std::string& path, int* fd);

// Reads up to length bytes; *got = 0 means end of file.
int ReadRawBlock(int fd, void* data, size_t length, size_t* got);

// Reads up to length bytes at offset (a multiple of 4096, data aligned to
// 4096) without moving the file's read position; several threads may read
// one file this way at once. *got < length only at the end of the file.
int ReadRawBlockAt(int fd, int64_t offset, void* data, size_t length,
                   size_t* got);

// Gives the size of an open file.
int RawFileSize(int fd, int64_t* size);

// Makes the next read of an open file start at offset (a multiple of 4096),
// so that a read can go on behind a stretch that could not be read.
int SeekRawFile(int fd, int64_t offset);

// Asks the kernel to start reading [offset, offset + length) of a file in
// the background (POSIX_FADV_WILLNEED), without waiting for it.
void AdviseReadAhead(int fd, int64_t offset, int64_t length);

// Closes a file descriptor. Windows, which cannot flush a whole volume
// without an administrator, flushes a file created by CreateRawFile to the
// disk first (where Linux flushes with SyncFileSystem at the run's end).
int CloseRawFile(int fd);

// Flushes a file's data to the disk (fdatasync).
int SyncFileData(int fd);

// Flushes the whole file system that holds fd (syncfs).
int SyncFileSystem(int fd);

// ---- Text files (the run protocol). ----

struct TextFile;

// Creates a new text file for writing; an existing name fails with EEXIST
// (and a link is never followed).
int TextCreate(const std::string& path, TextFile** file);
// Opens an existing text file for appending.
int TextOpenAppend(const std::string& path, TextFile** file);
// Opens a text file for reading.
int TextOpenRead(const std::string& path, TextFile** file);
// Writes text without a line end.
int TextWrite(TextFile* file, const std::string& text);
// Writes text and a line end.
int TextWriteLine(TextFile* file, const std::string& text);
// Reads one line without its line end into *line; *eof is set when no
// line could be read. A last line without line end still counts.
int TextReadLine(TextFile* file, std::string* line, bool* eof);
// Returns true when no further line can be read.
bool TextAtEnd(TextFile* file);
// Closes the file (writing buffered text out) and frees the handle; room
// held past its end by TextHoldRoom is given back.
int TextClose(TextFile* file);
// Allocates the file's first `bytes` bytes on the disk without changing its
// size, so that text written later up to there cannot meet a full disk.
// Returns 0, or an error number where the file system cannot (nothing held
// then).
int TextHoldRoom(TextFile* file, int64_t bytes);

// ---- Folders and names. ----

// Deletes a file (unlink): a folder of that name fails.
int DeleteFile(const std::string& path);

// Deletes the data file name of the folder held open as folder_fd
// (OpenFolderHandle; folder is its path, for systems that delete by path),
// so that the file goes from that folder even when its path has come to
// lead elsewhere. Only a regular file goes: a link (not what it points
// to), a FIFO or a device node under the name stays, and *skipped is set;
// a folder fails (EISDIR).
int DeleteDataFileIn(int folder_fd, const std::string& folder,
                     const std::string& name, bool* skipped);
// Creates one folder level.
int MakeFolder(const std::string& path);
// Removes one empty folder.
int RemoveFolder(const std::string& path);
// Returns 0 when the folder ("" = current) can be opened for a search,
// else the error number (ENOENT for a folder that does not exist).
int CheckFolderReadable(const std::string& path);
// Returns the size of the file at path (a link is not followed), -1 when it
// cannot be asked.
int64_t FileSizeOfPath(const std::string& path);
// Returns true when path names an existing folder.
bool FolderExists(const std::string& path);
// Returns the current folder, empty when it cannot be read.
std::string CurrentFolder();
// Returns the value of an environment variable, empty when not set.
std::string EnvValue(const char* name);

// A folder search over the entries whose names match a pattern.
struct FolderSearch {
  void* dir = nullptr;
  std::string pattern;
  // Set when the search ended by a failure (a folder that cannot be read,
  // a bad folder block) rather than at the folder's end; a folder that does
  // not exist is no failure, it holds nothing.
  int error = 0;
};

// Starts a search of folder ("" = current) for names matching pattern
// (fnmatch, case-sensitive; every kind of entry matches). Returns true and
// the first name, or false when the folder holds none or the search failed
// (search->error).
bool FolderSearchFirst(const std::string& folder, const std::string& pattern,
                       FolderSearch* search, std::string* name);
// Returns the next matching name, false at the end or on a failure
// (search->error).
bool FolderSearchNext(FolderSearch* search, std::string* name);
// Releases what the search holds.
void FolderSearchEnd(FolderSearch* search);

// ---- Free space and file systems. ----

// Free bytes this process may still write on the file system that holds
// path: f_bfree * f_frsize for uid 0 or with CAP_SYS_RESOURCE (the users a
// file system lets into its reserved blocks), else f_bavail * f_frsize; -1
// when the query fails.
int64_t FreeBytesOfPath(const std::string& path);
// The same for the file system of an open descriptor (cheaper per call);
// when the query fails, *err (if given) gets its error number.
int64_t FreeBytesOfFd(int fd, int* err = nullptr);
// Returns true when path is a folder (not a link) on the given device that
// is neither a mount point nor the root nor a folder right under "/".
bool FolderMayBeRemoved(const std::string& path, int64_t device);
// Removes the empty folder path through a handle of its parent, and only
// while both still lie on device (a card pulled in the meantime leaves its
// mount point bare: the path then leads to another file system, whose
// folders stay). Returns 0 or an error number.
int RemoveFolderOnDevice(const std::string& path, int64_t device);
// Device number (st_dev) of path, -1 when it cannot be read.
int64_t DeviceOfPath(const std::string& path);
// Device number of an open descriptor, -1 on failure.
int64_t DeviceOfFd(int fd);
// Opens a folder read-only to query its file system later; -1 on failure.
int OpenFolderHandle(const std::string& path);

// Returns true when the folder held open as folder_fd is the folder path
// names now (false where the system cannot tell).
bool HandleNamesFolder(int folder_fd, const std::string& path);

// Answers of LockFolder.
enum class FolderLock {
  kHeld,         // the lock is ours until the handle is closed
  kBusy,         // another process holds a lock that excludes ours
  kUnsupported,  // the file system (or the system) cannot lock
};

// Takes an advisory lock on a folder held open by OpenFolderHandle, shared
// or exclusive, without waiting.
FolderLock LockFolder(int folder_fd, bool exclusive);
// Free bytes of drive number drive: 0 is the current drive, 1 to 26 the
// drive letters A to Z; -1 when there is no such drive (Linux knows drive 0
// only, the file system of the current folder).
int64_t FreeBytesOfDrive(int drive);
// What a run record tells of the file system that holds a folder.
struct FileSystemFacts {
  std::string type;    // "ext4", "tmpfs", "fuseblk", "NTFS"; empty if unknown
  std::string device;  // "/dev/sdb1", "E:\"; empty if unknown
  int64_t bytes = -1;  // its size, -1 if unknown
};

// Describes the file system of path, which must exist.
FileSystemFacts FileSystemOf(const std::string& path);

// Returns path ("" = the current folder) made absolute against the current
// folder; links are not resolved.
std::string AbsolutePath(const std::string& path);

// Which file a path leads to: two paths with the same identity name one
// file (one folder), whatever their spellings, links and hard links.
struct FileIdentity {
  int64_t device = -1;  // st_dev; the volume's serial number on Windows
  uint64_t inode = 0;   // st_ino; the file index on Windows
};

inline bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode;
}

// Finds the identity of the file or folder path leads to (links
// followed); false when nothing is there or the system will not say.
bool FileIdentityOf(const std::string& path, FileIdentity* identity);

// The same for the folder that holds path's last level, as the system
// finds it on the way to it.
bool HoldingFolderIdentityOf(const std::string& path, FileIdentity* identity);

// Returns path ("" = the current folder) made absolute against the current
// folder, with its "." levels dropped, each ".." taking the level before
// it off and runs of separators made one, without a separator at the end
// but a root's; links are not resolved. *folder and *name, when given, get
// the folder that holds it (in the same form) and its last level.
std::string PlainAbsolutePath(const std::string& path,
                              std::string* folder = nullptr,
                              std::string* name = nullptr);

// A descriptor for standard error that the raw writes above take (it is
// never to be closed).
int StandardErrorFd();

// Where a byte of a file lies on the whole device that holds it.
struct DevicePlace {
  std::string device;  // the whole device, "/dev/sdb"
  int64_t byte = 0;    // offset from its start (a partition's start added)
};

// Finds where byte offset of the file at path lies on its device, from the
// file system's own map of the file. False where that cannot be told (a
// FUSE or network file system, one spread over several devices, no
// permission).
bool DevicePlaceOfFileByte(const std::string& path, int64_t offset,
                           DevicePlace* place);

// The whole device under a file system, as the kernel lists it.
struct WholeDevice {
  std::string device;      // "/dev/sdb"
  int64_t start_byte = 0;  // where the file system's partition starts
  int64_t size = 0;        // the bytes the whole device announces
};

// Finds the whole device under the file system with device number
// fs_device (st_dev). False where there is no single one (FUSE, network,
// tmpfs, btrfs over several devices).
bool WholeDeviceOf(int64_t fs_device, WholeDevice* whole);

// Returns path if it exists, else its nearest existing parent ("." for a
// relative path without one).
std::string NearestExistingFolder(const std::string& path);

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_FILES_H_
