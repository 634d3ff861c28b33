// What the Windows files of the platform layer share: Linux error numbers
// and texts for Windows error codes, and the write-out of open text files.
#ifndef KORV_SHARED_PLATFORM_WIN_INTERNAL_H_
#define KORV_SHARED_PLATFORM_WIN_INTERNAL_H_

#include <string>

namespace korv {

// The Linux error numbers the Windows layer reports, so that exit statuses
// and error lines read the same on both systems.
inline constexpr int kErrNoEntry = 2;      // ENOENT
inline constexpr int kErrIo = 5;           // EIO
inline constexpr int kErrBadHandle = 9;    // EBADF
inline constexpr int kErrAccess = 13;      // EACCES
inline constexpr int kErrBusy = 16;        // EBUSY
inline constexpr int kErrExists = 17;      // EEXIST
inline constexpr int kErrNotFolder = 20;   // ENOTDIR
inline constexpr int kErrIsFolder = 21;    // EISDIR
inline constexpr int kErrInvalid = 22;     // EINVAL
inline constexpr int kErrNoSpace = 28;     // ENOSPC
inline constexpr int kErrReadOnly = 30;    // EROFS
inline constexpr int kErrLinks = 31;       // EMLINK
inline constexpr int kErrPipe = 32;        // EPIPE
inline constexpr int kErrNameLong = 36;    // ENAMETOOLONG
inline constexpr int kErrNotEmpty = 39;    // ENOTEMPTY
inline constexpr int kErrLoop = 40;        // ELOOP
inline constexpr int kErrQuota = 122;      // EDQUOT

// Returns the Linux error number for a Windows error code (EIO for codes
// without a counterpart).
int ErrnoOfWindowsError(unsigned long code);

// Returns the Linux description of a Linux error number.
std::string ErrorText(int err);

// Writes the buffered text of every text file open for writing to the
// system (before the program ends on Ctrl-C).
void FlushOpenTextFiles();

// Test hook: each read of a data file past the system's cache asks for at
// most bytes (0: the usual chunk), as a system that hands out less than
// was asked for.
void TEST_LimitUncachedReads(unsigned long bytes);

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_WIN_INTERNAL_H_
