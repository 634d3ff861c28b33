// Console services on Windows: the console API for keys and the screen,
// plain byte output so that pipes and files get what Linux writes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shared/platform/console.h"
#include "shared/platform/console_internal.h"
#include "shared/platform/win_internal.h"

namespace korv {
namespace {

// The texts are single bytes of the German DOS code page: the month name
// "M\x84rz" shows its a-umlaut there.
constexpr UINT kTextCodePage = 850;
constexpr DWORD kKeyWaitSliceMs = 100;

// kPipeReader: a pipe that cannot be peeked at (wine's pipes from Linux);
// a thread reads it ahead instead.
enum class InputKind { kNone, kConsole, kPipe, kPipeReader, kFile };

bool g_initialised = false;
HANDLE g_in = INVALID_HANDLE_VALUE;
HANDLE g_out_handle = INVALID_HANDLE_VALUE;
HANDLE g_err_handle = INVALID_HANDLE_VALUE;
InputKind g_in_kind = InputKind::kNone;
bool g_stdout_console = false;

bool g_modes_saved = false;
DWORD g_saved_in_mode = 0;
UINT g_saved_output_cp = 0;

bool g_out_broken = false;

// Bytes of a console key already translated but not yet handed out (the
// rest of an escape sequence or of a UTF-8 character).
std::string g_key_bytes;


// The window's own title while the run shows its progress there.
std::string g_saved_title;
bool g_title_saved = false;

void RestoreModes() {
  if (g_title_saved) {
    g_title_saved = false;
    SetConsoleTitleA(g_saved_title.c_str());
  }
  if (!g_modes_saved) return;
  g_modes_saved = false;
  if (g_in_kind == InputKind::kConsole) SetConsoleMode(g_in, g_saved_in_mode);
  if (g_stdout_console && g_saved_output_cp != 0) {
    SetConsoleOutputCP(g_saved_output_cp);
  }
}

// Set by the console's control thread when Ctrl-C, Ctrl-Break or the
// closing window asked the run to end; the run ends at its next output,
// key poll or folder entry, where writing out what it printed is safe.
volatile LONG g_pending_control = 0;
// While set, a Ctrl-C waits until the card under check has its data back.
bool g_signal_death_deferred = false;
volatile LONG g_dying = 0;

// Milliseconds the orderly end may take before the control thread ends
// the program itself (a pipe nobody reads must not keep it alive).
constexpr DWORD kWriteOutMs = 3000;

// Ends the program as Windows ends one on Ctrl-C.
[[noreturn]] void DieByControl() {
  RestoreModes();
  ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

BOOL WINAPI OnConsoleControl(DWORD) {
  // A second request ends the run at once.
  if (InterlockedExchange(&g_pending_control, 1) != 0) DieByControl();
  Sleep(kWriteOutMs);
  DieByControl();
}

void WriteAll(HANDLE handle, const char* data, size_t size) {
  while (size > 0 && !g_out_broken) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) {
      int err = ErrnoOfWindowsError(GetLastError());
      // Dying anyway: what cannot be written is given up.
      if (g_dying) return;
      g_out_broken = true;
      RestoreModes();
      WriteStderr(IoErrorLine(err, "Konsolenausgabe") + "\n");
      ExitProcess(static_cast<UINT>(ExitStatusOfError(err)));
    }
    data += written;
    size -= written;
  }
}

// Writes out what was printed and the protocol lines so far, then ends.
[[noreturn]] void WriteOutAndDie() {
  g_dying = 1;
  if (CaptureSink() == nullptr) OutFlush();
  FlushOpenTextFiles();
  ObservedWriteOut();  // the run record's held lines
  DieByControl();
}

bool IsModifierOnly(WORD vk) {
  switch (vk) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
      return true;
    default:
      return false;
  }
}

// The byte sequence a Linux terminal sends for a key, so that the key read
// above the console decodes both alike: characters as UTF-8, the cursor and
// function keys as escape sequences, unknown keys as nothing.
std::string KeyBytes(const KEY_EVENT_RECORD& key) {
  const wchar_t ch = key.uChar.UnicodeChar;
  if (ch != 0) {
    char utf8[8];
    int n = WideCharToMultiByte(CP_UTF8, 0, &ch, 1, utf8, sizeof utf8,
                                nullptr, nullptr);
    return n > 0 ? std::string(utf8, static_cast<size_t>(n)) : std::string();
  }
  switch (key.wVirtualKeyCode) {
    case VK_UP: return "\x1b[A";
    case VK_DOWN: return "\x1b[B";
    case VK_RIGHT: return "\x1b[C";
    case VK_LEFT: return "\x1b[D";
    case VK_HOME: return "\x1b[1~";
    case VK_INSERT: return "\x1b[2~";
    case VK_DELETE: return "\x1b[3~";
    case VK_END: return "\x1b[4~";
    case VK_PRIOR: return "\x1b[5~";
    case VK_NEXT: return "\x1b[6~";
    case VK_F1: return "\x1b[11~";
    case VK_F2: return "\x1b[12~";
    case VK_F3: return "\x1b[13~";
    case VK_F4: return "\x1b[14~";
    case VK_F5: return "\x1b[15~";
    case VK_F6: return "\x1b[17~";
    case VK_F7: return "\x1b[18~";
    case VK_F8: return "\x1b[19~";
    case VK_F9: return "\x1b[20~";
    case VK_F10: return "\x1b[21~";
    case VK_F11: return "\x1b[23~";
    case VK_F12: return "\x1b[24~";
    default: return std::string();
  }
}

bool IsKeyPress(const INPUT_RECORD& record) {
  return record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
         !IsModifierOnly(record.Event.KeyEvent.wVirtualKeyCode);
}

// Drops the console events in front that are no key press (mouse, focus,
// key releases, a modifier alone), so that a pending key is seen without
// consuming it.
bool ConsoleKeyWaiting() {
  for (;;) {
    INPUT_RECORD record;
    DWORD n = 0;
    if (!PeekConsoleInputW(g_in, &record, 1, &n) || n == 0) return false;
    if (IsKeyPress(record)) return true;
    if (!ReadConsoleInputW(g_in, &record, 1, &n)) return false;
  }
}

// Waits for a console key press and queues its bytes; false on timeout.
bool ReadConsoleKey(int timeout_ms) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    // Waited for in slices, so that Ctrl-C is seen while waiting.
    DWORD wait = kKeyWaitSliceMs;
    if (timeout_ms >= 0) {
      ULONGLONG spent = GetTickCount64() - start;
      if (spent >= static_cast<ULONGLONG>(timeout_ms)) return false;
      if (timeout_ms - spent < wait) wait = static_cast<DWORD>(timeout_ms - spent);
    }
    HandlePendingSignal();
    DWORD result = WaitForSingleObject(g_in, wait);
    if (result == WAIT_TIMEOUT) continue;
    if (result != WAIT_OBJECT_0) return false;
    INPUT_RECORD record;
    DWORD n = 0;
    if (!ReadConsoleInputW(g_in, &record, 1, &n) || n == 0) return false;
    if (!IsKeyPress(record)) continue;
    std::string bytes = KeyBytes(record.Event.KeyEvent);
    if (bytes.empty()) continue;
    WORD repeat = record.Event.KeyEvent.wRepeatCount;
    for (WORD i = 0; i < (repeat > 0 ? repeat : 1); ++i) g_key_bytes += bytes;
    return true;
  }
}

// Bytes waiting in a pipe; -1 once the writer has closed it and it is empty.
int64_t PipeBytesWaiting() {
  DWORD available = 0;
  if (!PeekNamedPipe(g_in, nullptr, 0, nullptr, &available, nullptr)) {
    return -1;
  }
  return available;
}

// The read-ahead of a pipe that cannot be peeked at: a thread takes each
// byte as it comes and keeps it until the run asks for a key.
SRWLOCK g_reader_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_reader_changed = CONDITION_VARIABLE_INIT;
// Never freed: the thread may still be in a read while the program ends.
std::string& g_reader_bytes = *new std::string;
bool g_reader_started = false;
bool g_reader_tried = false;  // the first read has come back
bool g_reader_ended = false;
// How long the first key poll waits for the first read to come back, so
// that a byte already in the pipe counts from the first poll on.
constexpr DWORD kFirstReadWaitMs = 50;

DWORD WINAPI PipeReader(void*) {
  for (;;) {
    char c = 0;
    DWORD got = 0;
    const bool ok = ReadFile(g_in, &c, 1, &got, nullptr) && got == 1;
    AcquireSRWLockExclusive(&g_reader_lock);
    g_reader_tried = true;
    if (ok) {
      g_reader_bytes.push_back(c);
    } else {
      g_reader_ended = true;
    }
    ReleaseSRWLockExclusive(&g_reader_lock);
    WakeAllConditionVariable(&g_reader_changed);
    if (!ok) return 0;
  }
}

void StartPipeReader() {
  if (g_reader_started) return;
  g_reader_started = true;
  HANDLE thread = CreateThread(nullptr, 0, PipeReader, nullptr, 0, nullptr);
  if (thread == nullptr) {
    g_reader_tried = true;
    g_reader_ended = true;
    return;
  }
  CloseHandle(thread);
}

// Waits up to timeout_ms (< 0: for ever) until a byte has come or the pipe
// has ended.
// Returns the next byte (consumed when take), -1 on timeout, -2 at the end.
int PipeReaderByte(int timeout_ms, bool take) {
  StartPipeReader();
  const ULONGLONG start = GetTickCount64();
  AcquireSRWLockExclusive(&g_reader_lock);
  int result = -1;
  for (;;) {
    if (!g_reader_bytes.empty()) {
      result = static_cast<unsigned char>(g_reader_bytes[0]);
      if (take) g_reader_bytes.erase(0, 1);
      break;
    }
    if (g_reader_ended) {
      result = -2;
      break;
    }
    DWORD wait = kKeyWaitSliceMs;
    if (timeout_ms >= 0) {
      const ULONGLONG spent = GetTickCount64() - start;
      if (spent >= static_cast<ULONGLONG>(timeout_ms)) break;
      if (timeout_ms - spent < wait) wait = static_cast<DWORD>(timeout_ms - spent);
    }
    ReleaseSRWLockExclusive(&g_reader_lock);
    HandlePendingSignal();
    AcquireSRWLockExclusive(&g_reader_lock);
    if (g_reader_bytes.empty() && !g_reader_ended) {
      SleepConditionVariableSRW(&g_reader_changed, &g_reader_lock, wait, 0);
    }
  }
  ReleaseSRWLockExclusive(&g_reader_lock);
  return result;
}

bool PipeReaderKeyWaiting() {
  StartPipeReader();
  AcquireSRWLockExclusive(&g_reader_lock);
  const bool tried = g_reader_tried;
  ReleaseSRWLockExclusive(&g_reader_lock);
  const int byte = PipeReaderByte(tried ? 0 : kFirstReadWaitMs, false);
  return byte >= 0;
}

bool FileBytesWaiting() {
  LARGE_INTEGER zero = {};
  LARGE_INTEGER here = {};
  LARGE_INTEGER size = {};
  if (!SetFilePointerEx(g_in, zero, &here, FILE_CURRENT)) return false;
  if (!GetFileSizeEx(g_in, &size)) return false;
  return here.QuadPart < size.QuadPart;
}

int ReadOneByte() {
  unsigned char c = 0;
  DWORD got = 0;
  if (!ReadFile(g_in, &c, 1, &got, nullptr) || got != 1) return -2;
  return c;
}

}  // namespace

void DetectStreams() {
  if (g_initialised) return;
  g_initialised = true;
  g_in = GetStdHandle(STD_INPUT_HANDLE);
  g_out_handle = GetStdHandle(STD_OUTPUT_HANDLE);
  g_err_handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  g_stdout_console = g_out_handle != INVALID_HANDLE_VALUE &&
                     g_out_handle != nullptr &&
                     GetConsoleMode(g_out_handle, &mode) != 0;
  g_in_kind = InputKind::kNone;
  if (g_in != INVALID_HANDLE_VALUE && g_in != nullptr) {
    if (GetConsoleMode(g_in, &mode) != 0) {
      g_in_kind = InputKind::kConsole;
    } else {
      switch (GetFileType(g_in)) {
        case FILE_TYPE_PIPE: {
          DWORD available = 0;
          const bool peeks =
              PeekNamedPipe(g_in, nullptr, 0, nullptr, &available, nullptr) ||
              GetLastError() != ERROR_NOT_SUPPORTED;
          g_in_kind = peeks ? InputKind::kPipe : InputKind::kPipeReader;
          break;
        }
        case FILE_TYPE_DISK:
          g_in_kind = InputKind::kFile;
          break;
        default:  // NUL and other devices never deliver a key
          g_in_kind = InputKind::kNone;
          break;
      }
    }
  }
}

void WriteStdout(const char* data, size_t size) {
  WriteAll(g_out_handle, data, size);
}

std::string ErrorDescription(int err) { return ErrorText(err); }

void ConsoleInit() {
  DetectStreams();
  // A card reader without a card must not stop the run with a dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  if (!g_modes_saved) {
    g_modes_saved = true;
    if (g_in_kind == InputKind::kConsole &&
        GetConsoleMode(g_in, &g_saved_in_mode)) {
      // Single key presses without Enter and without echo; Ctrl-C still
      // reaches the control handler.
      DWORD mode = g_saved_in_mode &
                   ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                       ENABLE_MOUSE_INPUT |
                                       ENABLE_WINDOW_INPUT);
      SetConsoleMode(g_in, mode | ENABLE_PROCESSED_INPUT);
    }
    if (g_stdout_console) {
      g_saved_output_cp = GetConsoleOutputCP();
      SetConsoleOutputCP(kTextCodePage);
    }
    std::atexit(ConsoleRestore);
  }
  // A byte already waiting in such a pipe counts from the first poll on.
  if (g_in_kind == InputKind::kPipeReader) StartPipeReader();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void HandlePendingSignal() {
  if (g_pending_control != 0 && g_dying == 0 && !g_signal_death_deferred) {
    WriteOutAndDie();
  }
}

void DeferSignalDeath(bool on) {
  g_signal_death_deferred = on;
  HandlePendingSignal();
}

bool SignalPending() { return g_pending_control != 0; }

void ConsoleRestore() { RestoreModes(); }

void ShowTitle(std::string_view text) {
  DetectStreams();
  if (!g_stdout_console || CaptureSink() != nullptr) return;
  if (!g_title_saved) {
    char title[1024] = {};
    GetConsoleTitleA(title, sizeof title);
    g_saved_title = title;
    g_title_saved = true;
    static bool registered = false;
    if (!registered) {
      registered = true;
      std::atexit(ConsoleRestore);
    }
  }
  SetConsoleTitleA(std::string(text).c_str());
}

bool StdinIsTerminal() {
  DetectStreams();
  return g_in_kind == InputKind::kConsole;
}

bool StdoutIsTerminal() {
  DetectStreams();
  return g_stdout_console;
}

void ClearScreen() {
  DetectStreams();
  if (!g_stdout_console || CaptureSink() != nullptr) return;
  OutFlush();
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(g_out_handle, &info)) return;
  const DWORD cells = static_cast<DWORD>(info.dwSize.X) *
                      static_cast<DWORD>(info.dwSize.Y);
  const COORD home = {0, 0};
  DWORD done = 0;
  FillConsoleOutputCharacterA(g_out_handle, ' ', cells, home, &done);
  FillConsoleOutputAttribute(g_out_handle, info.wAttributes, cells, home,
                             &done);
  SetConsoleCursorPosition(g_out_handle, home);
}

bool KeyPending() {
  HandlePendingSignal();
  int key;
  if (HookedKey(false, &key)) return key >= 0;
  DetectStreams();
  if (!g_key_bytes.empty()) return true;
  switch (g_in_kind) {
    case InputKind::kConsole:
      return ConsoleKeyWaiting();
    case InputKind::kPipe:
      return PipeBytesWaiting() > 0;
    case InputKind::kPipeReader:
      return PipeReaderKeyWaiting();
    case InputKind::kFile:
      return FileBytesWaiting();
    case InputKind::kNone:
      return false;
  }
  return false;
}

int ReadKeyByte(int timeout_ms) {
  int key;
  if (HookedKey(true, &key)) return key;
  DetectStreams();
  OutFlush();
  // A wait may last long, and end by Ctrl-C or a kill.
  ObservedWriteOut();
  if (g_key_bytes.empty()) {
    switch (g_in_kind) {
      case InputKind::kNone:
        return -2;
      case InputKind::kFile:
        return ReadOneByte();
      case InputKind::kPipe: {
        // A pipe cannot be waited on with a timeout; it is looked at every
        // few milliseconds instead.
        const ULONGLONG start = GetTickCount64();
        for (;;) {
          int64_t waiting = PipeBytesWaiting();
          if (waiting < 0) return -2;
          if (waiting > 0) return ReadOneByte();
          HandlePendingSignal();
          if (timeout_ms >= 0 &&
              GetTickCount64() - start >= static_cast<ULONGLONG>(timeout_ms)) {
            return -1;
          }
          Sleep(5);
        }
      }
      case InputKind::kPipeReader:
        return PipeReaderByte(timeout_ms, true);
      case InputKind::kConsole:
        if (!ReadConsoleKey(timeout_ms)) return -1;
        break;
    }
  }
  unsigned char c = static_cast<unsigned char>(g_key_bytes[0]);
  g_key_bytes.erase(0, 1);
  return c;
}

void WriteStderr(const std::string& text) {
  DWORD ignored = 0;
  WriteFile(g_err_handle, text.data(), static_cast<DWORD>(text.size()),
            &ignored, nullptr);
}

void FatalLine(std::string_view line, int status) {
  DetectStreams();
  OutFlush();
  RestoreModes();
  std::string text(line);
  text.push_back('\n');
  if (CaptureSink() != nullptr) CaptureSink()->append(text);
  WriteStderr(text);
  std::exit(ObservedExitStatus(status));
}

void ExitProgram(int status) {
  status = ObservedExitStatus(status);
  OutFlush();
  RestoreModes();
  std::exit(status);
}

void RedetectStreams() {
  g_initialised = false;
  DetectStreams();
}

void TEST_RedetectStreams() { RedetectStreams(); }

}  // namespace korv
