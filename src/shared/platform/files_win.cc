// Files, folders, free space and the environment on Windows. A file
// descriptor here is a Windows handle; 64-bit Windows keeps handle values
// within 32 bits, so they fit the int of the interface.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
// The layer's own DeleteFile, not the system's macro of that name.
#undef DeleteFile

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/platform/console.h"
#include "shared/platform/files.h"
#include "shared/platform/win_internal.h"

namespace korv {

struct TextFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool writing = false;
  std::string buffer;  // text waiting to be written, or read ahead
  size_t read_pos = 0;
  bool at_end = false;
  int error = 0;  // first failed write, reported by the close
};

namespace {

constexpr size_t kTextBufferSize = 1 << 14;

int LastErrno() { return ErrnoOfWindowsError(GetLastError()); }

// Reads what the handle names into *info; returns the error of a name that
// is a reparse point (a link or junction, opened as itself) or a folder,
// and 0 for anything else.
int LinkOrFolderError(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
  if (!GetFileInformationByHandle(h, info)) return LastErrno();
  if (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return kErrLoop;
  if (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return kErrIsFolder;
  return 0;
}

HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

int FdOf(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The folder each open handle was opened in, so that free space and the
// volume can be asked for a handle as on Linux.
struct OpenFolderOf {
  int fd;
  std::string folder;
  bool written;  // a data file created for writing
};
std::vector<OpenFolderOf> g_open_folders;

std::string FolderPart(const std::string& path) {
  size_t p = path.find_last_of("\\/");
  if (p == std::string::npos) {
    // "D:name" lies in the current folder of drive D.
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return ".";
  }
  return path.substr(0, p + 1);
}

void Remember(int fd, const std::string& folder, bool written) {
  g_open_folders.push_back({fd, folder, written});
}

// Forgets fd; returns true when it was a data file created for writing.
bool Forget(int fd) {
  for (size_t i = 0; i < g_open_folders.size(); ++i) {
    if (g_open_folders[i].fd == fd) {
      const bool written = g_open_folders[i].written;
      g_open_folders.erase(g_open_folders.begin() + static_cast<long>(i));
      return written;
    }
  }
  return false;
}

// The data file being read without the system's cache: its reads go
// straight to the media in chunks the sector size divides, into a buffer
// of their own, and are handed out from there block by block.
constexpr DWORD kUncachedChunk = 1 << 20;
struct UncachedRead {
  int fd = -1;
  char* buffer = nullptr;
  DWORD filled = 0;
  DWORD pos = 0;
  bool at_end = false;
  int64_t size = 0;  // the file's size when it was opened
  int64_t next = 0;  // where the next chunk is read from
};
UncachedRead g_uncached;
DWORD g_uncached_ask = kUncachedChunk;

// Reads from the uncached file into data; the same contract as
// ReadRawBlock.
int ReadUncached(void* data, size_t length, size_t* got) {
  char* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    if (g_uncached.pos == g_uncached.filled) {
      if (g_uncached.at_end) break;
      DWORD n = 0;
      if (!ReadFile(HandleOf(g_uncached.fd), g_uncached.buffer,
                    g_uncached_ask, &n, nullptr)) {
        *got = done;
        return LastErrno();
      }
      g_uncached.filled = n;
      g_uncached.pos = 0;
      g_uncached.next += n;
      // The file ends where its size says (the system never reads the
      // last sector past it); a read that comes back short before that
      // is no end, only nothing more at that moment (a file that
      // shrank meanwhile ends with an empty read).
      if (n == 0 || g_uncached.next >= g_uncached.size) {
        g_uncached.at_end = true;
      }
      if (n == 0) break;
    }
    const size_t take = std::min<size_t>(length - done,
                                         g_uncached.filled - g_uncached.pos);
    std::memcpy(p + done, g_uncached.buffer + g_uncached.pos, take);
    g_uncached.pos += static_cast<DWORD>(take);
    done += take;
  }
  *got = done;
  return 0;
}

// The text files open for writing, so that Ctrl-C can write them out.
std::vector<TextFile*> g_open_text_files;

const std::string* FolderOfFd(int fd) {
  for (const OpenFolderOf& entry : g_open_folders) {
    if (entry.fd == fd) return &entry.folder;
  }
  return nullptr;
}

// Opens path for writing without following a reparse point (a symbolic
// link or a junction named like the file is opened as itself, ELOOP), and
// keeps it only when it is an ordinary file with one name (else EEXIST,
// untouched); then empties it.
int OpenForWritingNoFollow(const std::string& path, HANDLE* out) {
  *out = INVALID_HANDLE_VALUE;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // A folder of that name cannot be opened without backup semantics.
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return kErrLoop;
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) return kErrIsFolder;
      if (attributes & FILE_ATTRIBUTE_DEVICE) return kErrExists;
    }
    return LastErrno();
  }
  BY_HANDLE_FILE_INFORMATION info;
  int err = LinkOrFolderError(h, &info);
  if (err == 0 &&
      (info.nNumberOfLinks > 1 || GetFileType(h) != FILE_TYPE_DISK)) {
    err = kErrExists;
  }
  // The pointer is at 0: this truncates.
  if (err == 0 && !SetEndOfFile(h)) err = LastErrno();
  if (err != 0) {
    CloseHandle(h);
    return err;
  }
  *out = h;
  return 0;
}

int OpenText(const std::string& path, bool writing, bool append,
             TextFile** file) {
  *file = nullptr;
  HANDLE h = INVALID_HANDLE_VALUE;
  if (writing && !append) {
    // A new name only: an existing file, link or folder fails (EEXIST),
    // so two runs never share one protocol and no link is followed.
    h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastErrno();
  } else {
    h = CreateFileA(path.c_str(), writing ? GENERIC_WRITE : GENERIC_READ,
                    FILE_SHARE_READ | (writing ? 0 : FILE_SHARE_WRITE),
                    nullptr, writing ? OPEN_ALWAYS : OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastErrno();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      CloseHandle(h);
      return kErrLoop;
    }
    if (append) {
      LARGE_INTEGER zero = {};
      SetFilePointerEx(h, zero, nullptr, FILE_END);
    }
  }
  *file = new TextFile;
  (*file)->handle = h;
  (*file)->writing = writing;
  if (writing) g_open_text_files.push_back(*file);
  return 0;
}

int FlushText(TextFile* file) {
  size_t done = 0;
  while (done < file->buffer.size()) {
    DWORD written = 0;
    if (!WriteFile(file->handle, file->buffer.data() + done,
                   static_cast<DWORD>(file->buffer.size() - done), &written,
                   nullptr) ||
        written == 0) {
      int err = written == 0 && GetLastError() == 0 ? kErrNoSpace : LastErrno();
      file->buffer.clear();
      return err;
    }
    done += written;
  }
  file->buffer.clear();
  return 0;
}

// Makes sure unread text is in the buffer; false at the end of the file.
bool FillText(TextFile* file) {
  if (file->read_pos < file->buffer.size()) return true;
  if (file->at_end) return false;
  file->buffer.resize(kTextBufferSize);
  DWORD got = 0;
  if (!ReadFile(file->handle, file->buffer.data(),
                static_cast<DWORD>(file->buffer.size()), &got, nullptr) ||
      got == 0) {
    file->buffer.clear();
    file->read_pos = 0;
    file->at_end = true;
    return false;
  }
  file->buffer.resize(got);
  file->read_pos = 0;
  return true;
}

// Returns the function name of a loaded system module, nullptr when the
// system has none.
template <typename Function>
Function LookUp(const char* module, const char* name) {
  HMODULE handle = GetModuleHandleA(module);
  if (handle == nullptr) return nullptr;
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

using FreeSpaceExFunction = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER,
                                          PULARGE_INTEGER, PULARGE_INTEGER);

// GetDiskFreeSpaceExA is looked up once, so that a system without it is
// still answered through GetDiskFreeSpaceA.
FreeSpaceExFunction FreeSpaceEx() {
  static const FreeSpaceExFunction function =
      LookUp<FreeSpaceExFunction>("kernel32.dll", "GetDiskFreeSpaceExA");
  return function;
}

// Free bytes of the volume that holds folder (nullptr: the current drive).
// The bytes this user may still write count, so that a disk quota is met
// as a full disk.
int64_t FreeBytesOfFolder(const char* folder) {
  if (FreeSpaceExFunction ex = FreeSpaceEx()) {
    ULARGE_INTEGER caller = {};
    ULARGE_INTEGER total = {};
    ULARGE_INTEGER free_total = {};
    if (!ex(folder, &caller, &total, &free_total)) return -1;
    return caller.QuadPart > INT64_MAX ? INT64_MAX
                                       : static_cast<int64_t>(caller.QuadPart);
  }
  // The old call only takes a root folder.
  char root[4] = {};
  if (folder != nullptr && folder[0] != '\0' && folder[1] == ':') {
    root[0] = folder[0];
    root[1] = ':';
    root[2] = '\\';
  }
  DWORD sectors_per_cluster = 0;
  DWORD bytes_per_sector = 0;
  DWORD free_clusters = 0;
  DWORD clusters = 0;
  if (!GetDiskFreeSpaceA(root[0] == '\0' ? nullptr : root,
                         &sectors_per_cluster, &bytes_per_sector,
                         &free_clusters, &clusters)) {
    return -1;
  }
  return static_cast<int64_t>(free_clusters) * sectors_per_cluster *
         bytes_per_sector;
}

// The volume's free space through an open handle: one system call, where
// asking by path opens the folder anew each time (the writer asks twice a
// block). The same figure as GetDiskFreeSpaceExA's caller bytes.
struct VolumeFullSize {
  LARGE_INTEGER total_units;
  LARGE_INTEGER caller_available_units;
  LARGE_INTEGER actual_available_units;
  ULONG sectors_per_unit;
  ULONG bytes_per_sector;
};
struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};
constexpr int kFsFullSizeInformation = 7;
using QueryVolumeFunction = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG,
                                          int);

QueryVolumeFunction QueryVolume() {
  static const QueryVolumeFunction function =
      LookUp<QueryVolumeFunction>("ntdll.dll", "NtQueryVolumeInformationFile");
  return function;
}

// Free bytes of the volume of an open handle; -1 when it cannot be asked.
int64_t FreeBytesOfHandle(HANDLE handle) {
  QueryVolumeFunction query = QueryVolume();
  if (query == nullptr) return -1;
  VolumeFullSize size = {};
  IoStatus io = {};
  if (query(handle, &io, &size, sizeof size, kFsFullSizeInformation) < 0) {
    return -1;
  }
  return size.caller_available_units.QuadPart *
         static_cast<int64_t>(size.sectors_per_unit) *
         static_cast<int64_t>(size.bytes_per_sector);
}

std::string WithSeparator(const std::string& folder) {
  std::string f = folder.empty() ? "." : folder;
  if (!IsSeparator(f.back())) f += '\\';
  return f;
}

}  // namespace

int CreateRawFile(const std::string& path, int* fd) {
  HANDLE h = INVALID_HANDLE_VALUE;
  int err = OpenForWritingNoFollow(path, &h);
  *fd = err == 0 ? FdOf(h) : -1;
  if (err == 0) Remember(*fd, FolderPart(path), true);
  return err;
}

// Windows has no folder handles to make files in: the path decides.
int CreateRawFileIn(int, const std::string& path, int* fd) {
  return CreateRawFile(path, fd);
}

int WriteRawBlock(int fd, const void* data, size_t length, size_t* stored) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  // A write that stores nothing without an error is tried once more; a
  // second one is a fault, not a full disk (which Windows reports).
  bool nothing_before = false;
  while (done < length) {
    DWORD written = 0;
    if (!WriteFile(HandleOf(fd), p + done, static_cast<DWORD>(length - done),
                   &written, nullptr)) {
      *stored = done;
      return LastErrno();
    }
    if (written == 0) {
      if (!nothing_before) {
        nothing_before = true;
        continue;
      }
      *stored = done;
      return 5;  // EIO, under its Linux number
    }
    nothing_before = false;
    done += written;
  }
  *stored = done;
  return 0;
}

int TruncateRawFile(int fd, int64_t length) {
  LARGE_INTEGER at;
  at.QuadPart = length;
  if (!SetFilePointerEx(HandleOf(fd), at, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(HandleOf(fd))) {
    return LastErrno();
  }
  return 0;
}

int OpenRawFileForReading(const std::string& path, int* fd) {
  // Opened as itself, never through a link or junction; only an ordinary
  // file is read. The media is verified, not memory: the file is read
  // past the system's cache (which writes back what it still holds of the
  // file first); where the file system cannot do that, it is read as usual.
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN;
  if (g_uncached.buffer == nullptr) {
    g_uncached.buffer = static_cast<char*>(VirtualAlloc(
        nullptr, kUncachedChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
  const bool may_bypass = g_uncached.fd < 0 && g_uncached.buffer != nullptr;
  HANDLE h = INVALID_HANDLE_VALUE;
  if (may_bypass) {
    h = CreateFileA(path.c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    flags | FILE_FLAG_NO_BUFFERING, nullptr);
  }
  const bool bypassed = h != INVALID_HANDLE_VALUE;
  if (!bypassed) {
    h = CreateFileA(path.c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    flags, nullptr);
  }
  *fd = -1;
  if (h == INVALID_HANDLE_VALUE) return LastErrno();
  BY_HANDLE_FILE_INFORMATION info;
  const int err = LinkOrFolderError(h, &info);
  if (err != 0) {
    CloseHandle(h);
    return err;
  }
  *fd = FdOf(h);
  if (bypassed) {
    g_uncached.fd = *fd;
    g_uncached.filled = 0;
    g_uncached.pos = 0;
    g_uncached.at_end = false;
    g_uncached.next = 0;
    g_uncached.size =
        (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }
  return 0;
}

int ReadRawBlock(int fd, void* data, size_t length, size_t* got) {
  if (fd == g_uncached.fd) return ReadUncached(data, length, got);
  char* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    DWORD n = 0;
    if (!ReadFile(HandleOf(fd), p + done, static_cast<DWORD>(length - done),
                  &n, nullptr)) {
      *got = done;
      return LastErrno();
    }
    if (n == 0) break;
    done += n;
  }
  *got = done;
  return 0;
}

void TEST_LimitUncachedReads(unsigned long bytes) {
  g_uncached_ask = bytes == 0 || bytes > kUncachedChunk
                       ? kUncachedChunk
                       : static_cast<DWORD>(bytes);
}

int RawFileSize(int fd, int64_t* size) {
  LARGE_INTEGER bytes = {};
  if (!GetFileSizeEx(HandleOf(fd), &bytes)) return LastErrno();
  *size = bytes.QuadPart;
  return 0;
}

int ReadRawBlockAt(int fd, int64_t offset, void* data, size_t length,
                   size_t* got) {
  // A positioned read of a synchronous handle: the offset travels in the
  // OVERLAPPED structure, so threads reading one file do not share a file
  // position. Offset, length and buffer suit an uncached handle too.
  char* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    OVERLAPPED at = {};
    const uint64_t where = static_cast<uint64_t>(offset) + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD n = 0;
    if (!ReadFile(HandleOf(fd), p + done, static_cast<DWORD>(length - done),
                  &n, &at)) {
      const DWORD code = GetLastError();
      if (code == ERROR_HANDLE_EOF) break;
      *got = done;
      return ErrnoOfWindowsError(code);
    }
    if (n == 0) break;
    done += n;
  }
  *got = done;
  return 0;
}

int SeekRawFile(int fd, int64_t offset) {
  LARGE_INTEGER to = {};
  to.QuadPart = offset;
  if (!SetFilePointerEx(HandleOf(fd), to, nullptr, FILE_BEGIN)) {
    return LastErrno();
  }
  if (fd == g_uncached.fd) {
    g_uncached.filled = 0;
    g_uncached.pos = 0;
    g_uncached.next = offset;
    g_uncached.at_end = offset >= g_uncached.size;
  }
  return 0;
}

// The sequential-scan hint given at the open and the large chunks of an
// uncached read keep the drive busy.
void AdviseReadAhead(int, int64_t, int64_t) {}

int CloseRawFile(int fd) {
  // The volume cannot be flushed as a whole without an administrator's
  // rights, so each data file goes to the disk before its close counts:
  // a file reported ok is on the disk, as on Linux after the run's flush.
  int err = 0;
  if (Forget(fd) && !FlushFileBuffers(HandleOf(fd))) err = LastErrno();
  if (fd == g_uncached.fd) g_uncached.fd = -1;
  if (!CloseHandle(HandleOf(fd)) && err == 0) err = LastErrno();
  return err;
}

int SyncFileData(int fd) {
  return FlushFileBuffers(HandleOf(fd)) ? 0 : LastErrno();
}

// A volume can only be flushed as a whole by an administrator; every data
// file was flushed as it was closed.
int SyncFileSystem(int) { return 0; }

int TextCreate(const std::string& path, TextFile** file) {
  return OpenText(path, true, false, file);
}

int TextOpenAppend(const std::string& path, TextFile** file) {
  return OpenText(path, true, true, file);
}

int TextOpenRead(const std::string& path, TextFile** file) {
  return OpenText(path, false, false, file);
}

int TextWrite(TextFile* file, const std::string& text) {
  file->buffer += text;
  if (file->buffer.size() >= kTextBufferSize) {
    int err = FlushText(file);
    if (err != 0 && file->error == 0) file->error = err;
    return err;
  }
  return 0;
}

int TextWriteLine(TextFile* file, const std::string& text) {
  int err = TextWrite(file, text);
  if (err != 0) return err;
  // Line ends as on Linux, so the protocol files read alike on both.
  return TextWrite(file, "\n");
}

int TextReadLine(TextFile* file, std::string* line, bool* eof) {
  line->clear();
  *eof = false;
  bool any = false;
  while (FillText(file)) {
    any = true;
    const size_t start = file->read_pos;
    const size_t nl = file->buffer.find('\n', start);
    if (nl != std::string::npos) {
      line->append(file->buffer, start, nl - start);
      file->read_pos = nl + 1;
      return 0;
    }
    line->append(file->buffer, start, std::string::npos);
    file->read_pos = file->buffer.size();
  }
  if (!any) *eof = true;
  return 0;
}

bool TextAtEnd(TextFile* file) { return !FillText(file); }

// The console-era reserve stays free space on Windows: a protocol holds no
// room of its own there.
int TextHoldRoom(TextFile*, int64_t) { return kErrInvalid; }

int TextClose(TextFile* file) {
  if (file == nullptr) return 0;
  for (size_t i = 0; i < g_open_text_files.size(); ++i) {
    if (g_open_text_files[i] == file) {
      g_open_text_files.erase(g_open_text_files.begin() +
                              static_cast<long>(i));
      break;
    }
  }
  int err = file->error;
  if (file->writing) {
    int flush = FlushText(file);
    if (err == 0) err = flush;
  }
  if (!CloseHandle(file->handle) && err == 0) err = LastErrno();
  delete file;
  return err;
}

int DeleteFile(const std::string& path) {
  // A link named like a data file is removed itself, never its target.
  return ::DeleteFileA(path.c_str()) ? 0 : LastErrno();
}

int DeleteDataFileIn(int, const std::string& folder, const std::string& name,
                     bool* skipped) {
  // Windows has no deletion through a folder's handle; the run looks at
  // the folder's volume before each deletion instead.
  const std::string path = folder + name;
  *skipped = false;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
  if (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) {
    *skipped = true;
    return 0;
  }
  return ::DeleteFileA(path.c_str()) ? 0 : LastErrno();
}

int MakeFolder(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) ? 0 : LastErrno();
}

int RemoveFolder(const std::string& path) {
  return RemoveDirectoryA(path.c_str()) ? 0 : LastErrno();
}

int64_t FileSizeOfPath(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    return -1;
  }
  return static_cast<int64_t>(
      (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

int CheckFolderReadable(const std::string& path) {
  const std::string spec = WithSeparator(path) + "*";
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(spec.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    // An empty folder (not even "." in a drive root) is readable too.
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : LastErrno();
  }
  FindClose(h);
  return 0;
}

int RemoveFolderOnDevice(const std::string& path, int64_t device) {
  if (!FolderMayBeRemoved(path, device)) return 18;  // EXDEV
  return RemoveFolder(path);
}

bool FolderMayBeRemoved(const std::string& path, int64_t device) {
  // Never a drive ("D:" names the current folder of drive D), a root, a
  // link, a junction or a mounted volume, nor a folder of another volume.
  std::string p = path;
  while (p.size() > 1 && IsSeparator(p.back())) p.pop_back();
  if (p.empty() || (p.size() == 1 && IsSeparator(p[0]))) return false;
  if (p.size() == 2 && p[1] == ':') return false;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  return DeviceOfPath(path) == device;
}

bool FolderExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string CurrentFolder() {
  char buffer[MAX_PATH + 1];
  DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
  if (n == 0 || n >= sizeof buffer) return std::string();
  return std::string(buffer, n);
}

std::string EnvValue(const char* name) {
  // The Windows environment finds a name in any case: "temp" finds TEMP.
  char buffer[32768];
  DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return std::string();
  return std::string(buffer, n);
}

bool FolderSearchFirst(const std::string& folder, const std::string& pattern,
                       FolderSearch* search, std::string* name) {
  search->pattern = pattern;
  std::string spec = folder.empty() ? std::string() : WithSeparator(folder);
  spec += pattern;
  WIN32_FIND_DATAA data;
  // Every kind of entry is found (read-only, hidden, system, folders ...);
  // the system's own wildcards decide, without regard to case.
  search->error = 0;
  HANDLE h = FindFirstFileA(spec.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    search->dir = nullptr;
    const DWORD code = GetLastError();
    // No matching name, or no such folder: nothing to find.
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      search->error = ErrnoOfWindowsError(code);
    }
    return false;
  }
  search->dir = h;
  name->assign(data.cFileName);
  return true;
}

bool FolderSearchNext(FolderSearch* search, std::string* name) {
  // A scan of millions of names prints nothing; Ctrl-C must still end it.
  HandlePendingSignal();
  if (search->dir == nullptr) return false;
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(static_cast<HANDLE>(search->dir), &data)) {
    const DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) search->error = ErrnoOfWindowsError(code);
    return false;
  }
  name->assign(data.cFileName);
  return true;
}

void FolderSearchEnd(FolderSearch* search) {
  if (search->dir != nullptr) FindClose(static_cast<HANDLE>(search->dir));
  search->dir = nullptr;
}

int64_t FreeBytesOfPath(const std::string& path) {
  const std::string folder = WithSeparator(path);
  return FreeBytesOfFolder(folder.c_str());
}

int64_t FreeBytesOfFd(int fd, int* err) {
  int64_t free_bytes = FreeBytesOfHandle(HandleOf(fd));
  if (free_bytes >= 0) return free_bytes;
  const std::string* folder = FolderOfFd(fd);
  free_bytes = folder != nullptr ? FreeBytesOfPath(*folder) : -1;
  if (free_bytes < 0 && err != nullptr) {
    *err = folder != nullptr ? LastErrno() : kErrBadHandle;
    if (*err == 0) *err = kErrIo;
  }
  return free_bytes;
}

int64_t FreeBytesOfDrive(int drive) {
  if (drive == 0) return FreeBytesOfFolder(nullptr);
  if (drive < 0 || drive > 26) return -1;
  const char root[] = {static_cast<char>('A' + drive - 1), ':', '\\', '\0'};
  return FreeBytesOfFolder(root);
}

int64_t DeviceOfPath(const std::string& path) {
  // The volume is named by the root it is mounted at ("D:\", a mounted
  // folder, "\\server\share\"), compared without regard to case.
  char full[MAX_PATH + 1];
  DWORD n = GetFullPathNameA(path.empty() ? "." : path.c_str(), sizeof full,
                             full, nullptr);
  if (n == 0 || n >= sizeof full) return -1;
  if (GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES) return -1;
  char root[MAX_PATH + 1];
  std::string volume;
  if (GetVolumePathNameA(full, root, sizeof root)) {
    volume = root;
  } else {
    volume.assign(full, n < 3 ? n : 3);
  }
  uint64_t hash = 1469598103934665603u;  // FNV-1a
  for (char c : volume) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '/') c = '\\';
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  }
  return static_cast<int64_t>(hash >> 1);
}

int64_t DeviceOfFd(int fd) {
  const std::string* folder = FolderOfFd(fd);
  return folder != nullptr ? DeviceOfPath(*folder) : -1;
}

int OpenFolderHandle(const std::string& path) {
  const std::string folder = path.empty() ? "." : path;
  HANDLE h = CreateFileA(folder.c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE |
                             FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  const int fd = FdOf(h);
  Remember(fd, folder, false);
  return fd;
}

bool HandleNamesFolder(int, const std::string&) { return false; }

// Windows cannot lock a folder: runs on one folder are not kept apart.
FolderLock LockFolder(int, bool) { return FolderLock::kUnsupported; }

std::string NearestExistingFolder(const std::string& path) {
  std::string p = path;
  // A root keeps its separator: "D:\" and "\" are folders, "D:" is not.
  auto is_root = [](const std::string& s) {
    return (s.size() == 3 && s[1] == ':' && IsSeparator(s[2])) ||
           (s.size() == 1 && IsSeparator(s[0]));
  };
  while (p.size() > 1 && IsSeparator(p.back()) && !is_root(p)) p.pop_back();
  for (;;) {
    if (p.empty()) return ".";
    if (GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES) return p;
    if (is_root(p)) return p;
    size_t sep = p.find_last_of("\\/");
    if (sep == std::string::npos) {
      return p.size() >= 2 && p[1] == ':' ? p.substr(0, 2) : ".";
    }
    p.resize(sep + 1);
    if (!is_root(p)) {
      while (p.size() > 1 && IsSeparator(p.back()) && !is_root(p)) {
        p.pop_back();
      }
    }
  }
}

FileSystemFacts FileSystemOf(const std::string& path) {
  FileSystemFacts facts;
  char full[MAX_PATH + 1];
  DWORD n = GetFullPathNameA(path.empty() ? "." : path.c_str(), sizeof full,
                             full, nullptr);
  if (n == 0 || n >= sizeof full) return facts;
  char root[MAX_PATH + 1];
  if (!GetVolumePathNameA(full, root, sizeof root)) return facts;
  facts.device = root;
  char type[MAX_PATH + 1];
  if (GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, type,
                            sizeof type)) {
    facts.type = type;
  }
  ULARGE_INTEGER caller = {};
  ULARGE_INTEGER total = {};
  ULARGE_INTEGER free_total = {};
  if (FreeSpaceExFunction ex = FreeSpaceEx()) {
    if (ex(root, &caller, &total, &free_total)) {
      facts.bytes = static_cast<int64_t>(total.QuadPart);
    }
  }
  return facts;
}

std::string AbsolutePath(const std::string& path) {
  char full[MAX_PATH + 1];
  DWORD n = GetFullPathNameA(path.empty() ? "." : path.c_str(), sizeof full,
                             full, nullptr);
  if (n == 0 || n >= sizeof full) return path;
  return std::string(full, n);
}

bool FileIdentityOf(const std::string& path, FileIdentity* identity) {
  // No access asked for: the file's facts only, also of a folder (backup
  // semantics) and of a file another program holds open.
  HANDLE handle = CreateFileA(
      path.empty() ? "." : path.c_str(), 0,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL known = GetFileInformationByHandle(handle, &info);
  CloseHandle(handle);
  if (!known) return false;
  identity->device = static_cast<int64_t>(info.dwVolumeSerialNumber);
  identity->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) |
                    info.nFileIndexLow;
  return true;
}

bool HoldingFolderIdentityOf(const std::string& path,
                             FileIdentity* identity) {
  const size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) {
    // "E:x" lies in drive E's current folder.
    return FileIdentityOf(path.size() >= 2 && path[1] == ':'
                              ? path.substr(0, 2)
                              : std::string("."),
                          identity);
  }
  // A root keeps its separator: "E:" alone names a current folder.
  const bool root = separator == 0 || (separator == 2 && path[1] == ':');
  return FileIdentityOf(path.substr(0, root ? separator + 1 : separator),
                        identity);
}

std::string PlainAbsolutePath(const std::string& path, std::string* folder,
                              std::string* name) {
  // The system's full path is plain already: "." and ".." taken, every
  // "/" made a backslash.
  std::string plain = AbsolutePath(path);
  const auto is_separator = [](char c) { return c == '\\' || c == '/'; };
  const auto is_root = [](const std::string& text) {
    return text.size() <= 3 && text.size() >= 2 && text[1] == ':';
  };
  while (plain.size() > 1 && is_separator(plain.back()) && !is_root(plain)) {
    plain.pop_back();
  }
  size_t last = plain.size();
  while (last > 0 && !is_separator(plain[last - 1])) --last;
  if (folder != nullptr) {
    *folder = plain.substr(0, last);
    if (!is_root(*folder)) {
      while (folder->size() > 1 && is_separator(folder->back())) {
        folder->pop_back();
      }
    }
  }
  if (name != nullptr) *name = plain.substr(last);
  return plain;
}

int StandardErrorFd() { return FdOf(GetStdHandle(STD_ERROR_HANDLE)); }

void FlushOpenTextFiles() {
  for (TextFile* file : g_open_text_files) FlushText(file);
}

bool DevicePlaceOfFileByte(const std::string& path, int64_t offset,
                           DevicePlace* place) {
  // The cluster of the byte from the file's retrieval pointers, the
  // volume's start on its disk from the volume's extents; both can be asked
  // without administrator rights. A volume over several disks, or a file
  // system that keeps no clusters (network), has no single place.
  char full[MAX_PATH + 1];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  char root[MAX_PATH + 1];
  if (n == 0 || n >= sizeof full ||
      !GetVolumePathNameA(full, root, sizeof root)) {
    return false;
  }
  DWORD sectors = 0, bytes_per_sector = 0, free_clusters = 0, clusters = 0;
  if (!GetDiskFreeSpaceA(root, &sectors, &bytes_per_sector, &free_clusters,
                         &clusters)) {
    return false;
  }
  const int64_t cluster = static_cast<int64_t>(sectors) * bytes_per_sector;
  if (cluster <= 0) return false;
  HANDLE file = CreateFileA(full, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  STARTING_VCN_INPUT_BUFFER in = {};
  in.StartingVcn.QuadPart = offset / cluster;
  alignas(8) char buffer[sizeof(RETRIEVAL_POINTERS_BUFFER)] = {};
  auto* pointers = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(buffer);
  DWORD got = 0;
  const BOOL mapped =
      DeviceIoControl(file, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in,
                      pointers, sizeof buffer, &got, nullptr) ||
      GetLastError() == ERROR_MORE_DATA;
  CloseHandle(file);
  // The first run holds the byte's cluster: it starts at or before it.
  if (!mapped || pointers->ExtentCount < 1 ||
      pointers->Extents[0].Lcn.QuadPart < 0 ||
      pointers->StartingVcn.QuadPart > in.StartingVcn.QuadPart ||
      pointers->Extents[0].NextVcn.QuadPart <= in.StartingVcn.QuadPart) {
    return false;
  }
  const int64_t lcn = pointers->Extents[0].Lcn.QuadPart +
                      (in.StartingVcn.QuadPart - pointers->StartingVcn.QuadPart);
  std::string volume = "\\\\.\\";
  volume += std::string(root, 2);  // "C:"
  if (root[1] != ':') return false;  // a folder mount or a network share
  HANDLE disk_volume = CreateFileA(volume.c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  if (disk_volume == INVALID_HANDLE_VALUE) return false;
  VOLUME_DISK_EXTENTS extents = {};
  const BOOL located =
      DeviceIoControl(disk_volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS,
                      nullptr, 0, &extents, sizeof extents, &got, nullptr);
  CloseHandle(disk_volume);
  if (!located || extents.NumberOfDiskExtents != 1) return false;
  place->device =
      "\\\\.\\PhysicalDrive" +
      std::to_string(extents.Extents[0].DiskNumber);
  place->byte = extents.Extents[0].StartingOffset.QuadPart + lcn * cluster +
                offset % cluster;
  return true;
}

}  // namespace korv
