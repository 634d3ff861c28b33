#include "shared/platform/win_internal.h"

#include <windows.h>

namespace korv {
namespace {

// ERROR_DISK_QUOTA_EXCEEDED, which mingw's headers lack: a user's quota of
// a volume is that user's disk, so it counts as a full disk.
constexpr unsigned long kDiskQuotaExceeded = 1295;

}  // namespace

int ErrnoOfWindowsError(unsigned long code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return kErrNoEntry;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_CURRENT_DIRECTORY:
      return kErrAccess;
    case ERROR_INVALID_HANDLE:
      return kErrBadHandle;
    case ERROR_BUSY:
      return kErrBusy;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return kErrExists;
    case ERROR_DIRECTORY:
      return kErrNotFolder;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return kErrInvalid;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return kErrNoSpace;
    case kDiskQuotaExceeded:
      return kErrQuota;
    case ERROR_WRITE_PROTECT:
      return kErrReadOnly;
    case ERROR_FILENAME_EXCED_RANGE:
      return kErrNameLong;
    case ERROR_DIR_NOT_EMPTY:
      return kErrNotEmpty;
    case ERROR_CANT_RESOLVE_FILENAME:
      return kErrLoop;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:  // the reading end of a pipe was closed
      return kErrPipe;
    default:
      return kErrIo;
  }
}

std::string ErrorText(int err) {
  switch (err) {
    case kErrNoEntry: return "No such file or directory";
    case kErrIo: return "Input/output error";
    case kErrBadHandle: return "Bad file descriptor";
    case kErrAccess: return "Permission denied";
    case kErrBusy: return "Device or resource busy";
    case kErrExists: return "File exists";
    case kErrNotFolder: return "Not a directory";
    case kErrIsFolder: return "Is a directory";
    case kErrInvalid: return "Invalid argument";
    case kErrNoSpace: return "No space left on device";
    case kErrReadOnly: return "Read-only file system";
    case kErrLinks: return "Too many links";
    case kErrPipe: return "Broken pipe";
    case kErrNameLong: return "File name too long";
    case kErrNotEmpty: return "Directory not empty";
    case kErrLoop: return "Too many levels of symbolic links";
    case kErrQuota: return "Disk quota exceeded";
    default: return "Unknown error " + std::to_string(err);
  }
}

}  // namespace korv
