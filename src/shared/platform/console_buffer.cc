// The ordered output buffer and the console test hooks, the same on every
// system; the writes themselves go through the system's WriteStdout.
#include <string>

#include "shared/platform/console.h"
#include "shared/platform/console_internal.h"

namespace korv {
namespace {

constexpr size_t kOutBufferSize = 1 << 16;

std::string g_out;
std::string* g_capture = nullptr;
std::string* g_key_input = nullptr;

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
  line.append(what);
  return line;
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

void TEST_CaptureOutput(std::string* sink) {
  if (sink != nullptr) OutFlush();
  g_capture = sink;
}

void TEST_SetKeyInput(std::string* keys) { g_key_input = keys; }

}  // namespace korv
