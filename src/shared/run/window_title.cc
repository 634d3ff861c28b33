#include "shared/run/window_title.h"

#include <cstdio>

#include "shared/platform/clock.h"
#include "shared/platform/console.h"

namespace korv {
namespace {

constexpr uint64_t kUpdateMs = 500;
// The speed is that of about the last five seconds: quick to follow a
// card that slows down, steady enough to read.
constexpr int kSamples = 10;

struct Sample {
  uint64_t ms = 0;
  int64_t bytes = 0;
};

const char* g_program = nullptr;
int64_t g_planned = 0;
bool g_shown = false;
uint64_t g_last_ms = 0;
Sample g_samples[kSamples];
int g_sample_count = 0;
int g_next_sample = 0;

// "12,3": one decimal after a comma, cut like the other number texts.
std::string OneDecimal(double value) {
  char text[64];
  const long long tenths = static_cast<long long>(value * 10.0);
  std::snprintf(text, sizeof text, "%lld,%lld", tenths / 10, tenths % 10);
  return text;
}

}  // namespace

std::string TitleText(const char* program, int64_t done_bytes,
                      int64_t planned_bytes, double bytes_per_second) {
  if (done_bytes > planned_bytes) done_bytes = planned_bytes;
  if (done_bytes < 0) done_bytes = 0;
  const bool in_gib = planned_bytes >= (INT64_C(1) << 30);
  const double unit = in_gib ? 1073741824.0 : 1048576.0;
  const char* unit_text = in_gib ? " G" : " M";
  std::string text = program;
  text += ' ';
  text += std::to_string(planned_bytes > 0 ? done_bytes * 100 / planned_bytes
                                           : 0);
  text += "% - ";
  text += OneDecimal(static_cast<double>(done_bytes) / unit);
  text += unit_text;
  text += " von ";
  text += OneDecimal(static_cast<double>(planned_bytes) / unit);
  text += unit_text;
  if (bytes_per_second <= 0) return text;
  text += " - ";
  text += OneDecimal(bytes_per_second / 1e6);
  text += " MB/s - noch ";
  const long long left = static_cast<long long>(
      static_cast<double>(planned_bytes - done_bytes) / bytes_per_second);
  char clock[48];
  std::snprintf(clock, sizeof clock, "%02lld:%02lld:%02lld", left / 3600,
                left / 60 % 60, left % 60);
  text += clock;
  return text;
}

void TitleStart(const char* program, int64_t planned_bytes) {
  g_program = program;
  g_planned = StdoutIsTerminal() ? planned_bytes : 0;
  g_shown = false;
  g_sample_count = 0;
  g_next_sample = 0;
}

void TitleProgress(int64_t done_bytes) {
  if (g_planned <= 0) return;
  const uint64_t now = MonotonicMilliseconds();
  if (g_shown && now - g_last_ms < kUpdateMs) return;
  g_shown = true;
  g_last_ms = now;
  // The oldest sample kept is about kSamples updates back.
  double speed = 0;
  if (g_sample_count > 0) {
    const Sample& oldest =
        g_samples[g_sample_count < kSamples ? 0 : g_next_sample];
    if (now > oldest.ms) {
      speed = static_cast<double>(done_bytes - oldest.bytes) * 1000.0 /
              static_cast<double>(now - oldest.ms);
    }
  }
  g_samples[g_next_sample] = {now, done_bytes};
  g_next_sample = (g_next_sample + 1) % kSamples;
  if (g_sample_count < kSamples) ++g_sample_count;
  ShowTitle(TitleText(g_program, done_bytes, g_planned, speed));
}

}  // namespace korv
