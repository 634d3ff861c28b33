// The ordered output buffer and the console test hooks, the same on every
// system; the writes themselves go through the system's WriteStdout.
#include <cerrno>
#include <string>

#include "shared/platform/console.h"
#include "shared/platform/console_internal.h"

namespace korv {
namespace {

constexpr size_t kOutBufferSize = 1 << 16;

std::string g_out;
std::string* g_capture = nullptr;
std::string* g_key_input = nullptr;

void (*g_error_seen)(int, std::string_view) = nullptr;
int (*g_ending)(int) = nullptr;
void (*g_write_out)() = nullptr;

}  // namespace

std::string* CaptureSink() { return g_capture; }

bool HookedKey(bool take, int* key) {
  if (g_key_input == nullptr) return false;
  if (g_key_input->empty()) {
    *key = -2;
    return true;
  }
  *key = static_cast<unsigned char>((*g_key_input)[0]);
  if (take) g_key_input->erase(0, 1);
  return true;
}

void Out(std::string_view text) {
  HandlePendingSignal();
  if (g_capture != nullptr) {
    g_capture->append(text);
    return;
  }
  g_out.append(text);
  if (g_out.size() >= kOutBufferSize) OutFlush();
}

void OutLine(std::string_view text) {
  HandlePendingSignal();
  if (g_capture != nullptr) {
    g_capture->append(text);
    g_capture->push_back('\n');
    return;
  }
  g_out.append(text);
  // A bare line feed on every system: pipes and files get the same bytes.
  g_out.push_back('\n');
  // On a terminal every line shows at once; pipes and logs keep a large
  // buffer so that millions of file lines cost few system calls.
  if (StdoutIsTerminal() || g_out.size() >= kOutBufferSize) OutFlush();
}

void AppendIoError(std::string* text, int err) {
  text->append("E/A-Fehler ");
  text->append(std::to_string(err));
  text->append(" (");
  text->append(ErrorDescription(err));
  text->push_back(')');
}

std::string IoErrorLine(int err, std::string_view what) {
  std::string line;
  AppendIoError(&line, err);
  line.append(": ");
  line.append(EscapedText(what));
  if (g_error_seen != nullptr) g_error_seen(err, what);
  return line;
}

std::string IoErrorText(int err) { return ErrorDescription(err); }

void SetRunObservers(void (*error_seen)(int err, std::string_view path),
                     int (*ending)(int status), void (*write_out)()) {
  g_error_seen = error_seen;
  g_ending = ending;
  g_write_out = write_out;
}

void ObservedWriteOut() {
  if (g_write_out != nullptr) g_write_out();
}

int ObservedExitStatus(int status) {
  // Told once: an observer that ends the program itself must not come
  // back here.
  int (*ending)(int) = g_ending;
  g_ending = nullptr;
  return ending != nullptr ? ending(status) : status;
}

void OutFlush() {
  if (g_out.empty()) return;
  DetectStreams();
  WriteStdout(g_out.data(), g_out.size());
  g_out.clear();
}

void OutFlushIfTerminal() {
  if (g_capture == nullptr && StdoutIsTerminal()) OutFlush();
}

int ExitStatusOfError(int err) {
  switch (err) {
    case kInvalidExitStatus:
    case kWrongFileExitStatus:
    case kFolderGoneExitStatus:
    case kFolderBusyExitStatus:
      return kIoErrorExitStatus;
    default:
      // 126 and 127 are the shell's (cannot run, not found), 128 and above
      // read as a death by a signal; 0 would be success.
      return err > 0 && err < 126 ? err : kIoErrorExitStatus;
  }
}

std::string EscapedText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  auto escape = [&out](unsigned char c) {
    out += "\\x";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  };
  auto continuation = [](unsigned char c) { return c >= 0x80 && c <= 0xbf; };
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f)) {
      escape(c);
      continue;
    }
    if (c < 0xc2 || c > 0xf4) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    // A UTF-8 lead byte: a whole sequence passes as it is, except the
    // pairs C2 80 to C2 9F, which are the C1 controls in UTF-8. A lead
    // without its continuation bytes is a single byte of its own.
    const size_t length = c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
    size_t k = 1;
    while (k < length && i + k < n &&
           continuation(static_cast<unsigned char>(text[i + k]))) {
      ++k;
    }
    if (k < length) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    const unsigned char second = static_cast<unsigned char>(text[i + 1]);
    if (c == 0xc2 && second <= 0x9f) {
      escape(c);
      escape(second);
    } else {
      out.append(text, i, length);
    }
    i += length - 1;
  }
  return out;
}

void ReportError(int err, std::string_view path) {
  const std::string line = IoErrorLine(err, path);
  if (g_capture != nullptr) {
    g_capture->append(line);
    g_capture->push_back('\n');
    return;
  }
  // Standard output first, so that the line follows what it is about.
  OutFlush();
  WriteStderr(line + "\n");
}

void Fatal(int err, std::string_view path) {
  if (err <= 0) err = EIO;
  FatalLine(IoErrorLine(err, path), ExitStatusOfError(err));
}

void TEST_CaptureOutput(std::string* sink) {
  if (sink != nullptr) OutFlush();
  g_capture = sink;
}

void TEST_SetKeyInput(std::string* keys) { g_key_input = keys; }

}  // namespace korv
