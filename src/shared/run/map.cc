#include "shared/run/map.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace korv {
namespace {

constexpr int kClasses = 6;
constexpr double kBytesPerGb = 1e9;
constexpr double kBytesPerMb = 1e6;

// Merged neighbouring files of one curve.
struct Bucket {
  int64_t start = 0;  // position of its first byte in the run
  int64_t bytes = 0;
  double seconds = 0;
  int64_t files = 0;
  bool has_sectors = false;
  int64_t sector_bytes[kClasses] = {};
};

struct Curve {
  std::vector<Bucket> buckets;
  int64_t files_per_bucket = 1;
  int64_t position = 0;
};

Curve g_curves[2];
bool g_marked = false;
int64_t g_mark_position = 0;
std::string g_mark_label;

// The picture's frame: the plot, the class band under it, the texts.
constexpr double kWidth = 1000;
constexpr double kHeight = 580;
constexpr double kLeft = 90;
constexpr double kRight = 960;
constexpr double kTop = 90;
constexpr double kBottom = 430;
constexpr double kBandTop = 442;
constexpr double kBandHeight = 22;

struct ClassLook {
  const char* name;    // the SVG class of its rectangles
  const char* word;    // its word in the legend, as the reader prints it
  const char* colour;
};
constexpr ClassLook kClassLooks[kClasses] = {
    {"ok", "ok", "#2ca02c"},          {"changed", "geaendert", "#e3c000"},
    {"corrupted", "defekt", "#d62728"}, {"moved", "verschoben", "#ff7f0e"},
    {"stale", "veraltet", "#1f77b4"},   {"blank", "leer", "#7f7f7f"},
};

// Halves the buckets of a full curve: each pair becomes one.
void MergePairs(Curve* curve) {
  std::vector<Bucket>& b = curve->buckets;
  size_t out = 0;
  for (size_t i = 0; i < b.size(); i += 2) {
    Bucket merged = b[i];
    if (i + 1 < b.size()) {
      const Bucket& next = b[i + 1];
      merged.bytes += next.bytes;
      merged.seconds += next.seconds;
      merged.files += next.files;
      merged.has_sectors = merged.has_sectors || next.has_sectors;
      for (int c = 0; c < kClasses; ++c) {
        merged.sector_bytes[c] += next.sector_bytes[c];
      }
    }
    b[out++] = merged;
  }
  b.resize(out);
  curve->files_per_bucket *= 2;
}

void AppendFixed(std::string* out, double value, int decimals) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value,
                                 std::chars_format::fixed, decimals);
  if (ec != std::errc()) {
    out->push_back('0');
    return;
  }
  out->append(text, static_cast<size_t>(end - text));
}

// A tick label in the German way: a decimal comma, no needless zeros.
std::string TickText(double value, int decimals) {
  std::string text;
  AppendFixed(&text, value, decimals);
  std::replace(text.begin(), text.end(), '.', ',');
  return text;
}

// Text for an XML text node or attribute: markup characters escaped,
// valid UTF-8 kept, every other byte (and the controls XML forbids) shown
// as "?".
void AppendXmlText(std::string* out, std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8Length(text, i);
    if (length == 0 || (c < 0x20 && c != '\t')) {
      out->push_back('?');
      ++i;
      continue;
    }
    switch (c) {
      case '&': out->append("&amp;"); break;
      case '<': out->append("&lt;"); break;
      case '>': out->append("&gt;"); break;
      case '"': out->append("&quot;"); break;
      default: out->append(text.substr(i, length)); break;
    }
    i += length;
  }
}

// A step of 1, 2 or 5 times a power of ten that cuts range into at most
// about eight parts.
double NiceStep(double range) {
  if (range <= 0) return 1;
  const double rough = range / 8;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (double f : {1.0, 2.0, 5.0, 10.0}) {
    if (f * power >= rough) return f * power;
  }
  return 10 * power;
}

int DecimalsOf(double step) {
  return step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
}

double Speed(const Bucket& b) {
  return b.bytes / b.seconds / kBytesPerMb;
}

struct Frame {
  double x_range = 1;  // GB across the plot
  double y_range = 1;  // MB/s up the plot
  double X(double position) const {
    return kLeft + (kRight - kLeft) * (position / kBytesPerGb) / x_range;
  }
  double Y(double speed) const {
    return kBottom - (kBottom - kTop) * std::min(speed / y_range, 1.0);
  }
};

void AppendPoint(std::string* out, double x, double y) {
  AppendFixed(out, x, 1);
  out->push_back(',');
  AppendFixed(out, y, 1);
  out->push_back(' ');
}

void AppendCurve(std::string* out, const Curve& curve, const Frame& frame,
                 const char* id, const char* colour, const char* dashes) {
  std::string points;
  for (const Bucket& b : curve.buckets) {
    // A bucket read faster than the clock's hundredths has no speed.
    if (b.seconds <= 0) continue;
    AppendPoint(&points, frame.X(b.start + b.bytes / 2.0), frame.Y(Speed(b)));
  }
  if (points.empty()) return;
  out->append("<polyline id=\"");
  out->append(id);
  out->append("\" fill=\"none\" stroke=\"");
  out->append(colour);
  out->append("\" stroke-width=\"1.5\"");
  if (dashes[0] != '\0') {
    out->append(" stroke-dasharray=\"");
    out->append(dashes);
    out->append("\"");
  }
  out->append(" points=\"");
  points.pop_back();
  out->append(points);
  out->append("\"/>\n");
}

void AppendRect(std::string* out, const char* cls, const char* colour,
                double x, double y, double w, double h) {
  out->append("<rect class=\"");
  out->append(cls);
  out->append("\" fill=\"");
  out->append(colour);
  out->append("\" x=\"");
  AppendFixed(out, x, 2);
  out->append("\" y=\"");
  AppendFixed(out, y, 2);
  out->append("\" width=\"");
  AppendFixed(out, std::max(w, 0.05), 2);
  out->append("\" height=\"");
  AppendFixed(out, h, 2);
  out->append("\"/>\n");
}

// The band of sector classes: per bucket a column whose parts are its
// bytes per class; stretches of one class alone are drawn as one piece.
void AppendBand(std::string* out, const Curve& curve, const Frame& frame) {
  int run_class = -1;
  double run_from = 0;
  double run_to = 0;
  auto flush = [&]() {
    if (run_class < 0) return;
    const ClassLook& look = kClassLooks[run_class];
    AppendRect(out, look.name, look.colour, run_from, kBandTop,
               run_to - run_from, kBandHeight);
    run_class = -1;
  };
  for (const Bucket& b : curve.buckets) {
    if (!b.has_sectors) continue;
    int64_t all = 0;
    int only = -1;
    int kinds = 0;
    for (int c = 0; c < kClasses; ++c) {
      all += b.sector_bytes[c];
      if (b.sector_bytes[c] > 0) {
        only = c;
        ++kinds;
      }
    }
    if (all <= 0) continue;
    const double x0 = frame.X(static_cast<double>(b.start));
    const double x1 = frame.X(static_cast<double>(b.start + b.bytes));
    if (kinds == 1) {
      if (run_class == only && std::fabs(run_to - x0) < 0.01) {
        run_to = x1;
        continue;
      }
      flush();
      run_class = only;
      run_from = x0;
      run_to = x1;
      continue;
    }
    flush();
    double y = kBandTop;
    for (int c = 0; c < kClasses; ++c) {
      if (b.sector_bytes[c] <= 0) continue;
      const double h =
          kBandHeight * static_cast<double>(b.sector_bytes[c]) / all;
      AppendRect(out, kClassLooks[c].name, kClassLooks[c].colour, x0, y,
                 x1 - x0, h);
      y += h;
    }
  }
  flush();
}

void AppendText(std::string* out, double x, double y, const char* attributes,
                std::string_view text) {
  out->append("<text x=\"");
  AppendFixed(out, x, 1);
  out->append("\" y=\"");
  AppendFixed(out, y, 1);
  out->append("\" ");
  out->append(attributes);
  out->append(">");
  AppendXmlText(out, text);
  out->append("</text>\n");
}

bool HasSectors(const Curve& curve) {
  for (const Bucket& b : curve.buckets) {
    if (b.has_sectors) return true;
  }
  return false;
}

}  // namespace

void MapReset() {
  for (Curve& c : g_curves) c = Curve();
  g_marked = false;
  g_mark_position = 0;
  g_mark_label.clear();
}

void MapAddFile(MapCurve which, int64_t bytes, double seconds,
                const int64_t* sector_bytes) {
  Curve& curve = g_curves[which];
  if (curve.buckets.empty() ||
      curve.buckets.back().files >= curve.files_per_bucket) {
    if (static_cast<int>(curve.buckets.size()) >= kMapBuckets) {
      MergePairs(&curve);
    }
    if (curve.buckets.empty() ||
        curve.buckets.back().files >= curve.files_per_bucket) {
      Bucket fresh;
      fresh.start = curve.position;
      curve.buckets.push_back(fresh);
    }
  }
  Bucket& b = curve.buckets.back();
  b.bytes += bytes;
  b.seconds += seconds;
  ++b.files;
  if (sector_bytes != nullptr) {
    b.has_sectors = true;
    for (int c = 0; c < kClasses; ++c) b.sector_bytes[c] += sector_bytes[c];
  }
  curve.position += bytes;
}

int64_t MapPosition(MapCurve curve) { return g_curves[curve].position; }

void MapMarkFirstBad(int64_t position, const std::string& label) {
  g_marked = true;
  g_mark_position = position;
  g_mark_label = label;
}

int MapPointCount(MapCurve curve) {
  return static_cast<int>(g_curves[curve].buckets.size());
}

namespace {

// The scales: whole steps of the position in GB and of the speed in MB/s
// that hold both curves.
Frame FrameOf(const Curve& run, const Curve& report, double* x_step,
              double* y_step) {
  Frame frame;
  const double end_gb =
      static_cast<double>(std::max(run.position, report.position)) /
      kBytesPerGb;
  *x_step = NiceStep(end_gb > 0 ? end_gb : 1);
  frame.x_range = std::max(*x_step, std::ceil(end_gb / *x_step) * *x_step);
  double top_speed = 0;
  for (const Curve* c : {&run, &report}) {
    for (const Bucket& b : c->buckets) {
      if (b.seconds > 0) top_speed = std::max(top_speed, Speed(b));
    }
  }
  *y_step = NiceStep(top_speed > 0 ? top_speed * 1.05 : 1);
  frame.y_range =
      std::max(*y_step, std::ceil(top_speed * 1.05 / *y_step) * *y_step);
  return frame;
}

void AppendHeading(std::string* svg, const MapTexts& texts) {
  svg->append(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" ");
  svg->append("width=\"1000\" height=\"580\" viewBox=\"0 0 1000 580\" ");
  svg->append("font-family=\"sans-serif\" font-size=\"13\">\n");
  svg->append("<title>");
  AppendXmlText(svg, texts.title);
  svg->append("</title>\n");
  AppendRect(svg, "background", "#ffffff", 0, 0, kWidth, kHeight);
  AppendText(svg, kWidth / 2, 30,
             "text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\"",
             texts.title);
  AppendText(svg, kWidth / 2, 52, "text-anchor=\"middle\"", texts.subtitle);
}

// Grid and axes with their units.
void AppendAxes(std::string* svg, const Frame& frame, double x_step,
                double y_step) {
  const int x_decimals = DecimalsOf(x_step);
  for (double v = 0; v <= frame.x_range + x_step / 2; v += x_step) {
    const double x = frame.X(v * kBytesPerGb);
    svg->append("<line stroke=\"#dddddd\" x1=\"");
    AppendFixed(svg, x, 1);
    svg->append("\" y1=\"90\" x2=\"");
    AppendFixed(svg, x, 1);
    svg->append("\" y2=\"430\"/>\n");
    AppendText(svg, x, kBandTop + kBandHeight + 18, "text-anchor=\"middle\"",
               TickText(v, x_decimals));
  }
  const int y_decimals = DecimalsOf(y_step);
  for (double v = 0; v <= frame.y_range + y_step / 2; v += y_step) {
    const double y = frame.Y(v);
    svg->append("<line stroke=\"#dddddd\" x1=\"90\" y1=\"");
    AppendFixed(svg, y, 1);
    svg->append("\" x2=\"960\" y2=\"");
    AppendFixed(svg, y, 1);
    svg->append("\"/>\n");
    AppendText(svg, kLeft - 8, y + 4, "text-anchor=\"end\"",
               TickText(v, y_decimals));
  }
  svg->append(
      "<line stroke=\"#000000\" x1=\"90\" y1=\"430\" x2=\"960\" "
      "y2=\"430\"/>\n"
      "<line stroke=\"#000000\" x1=\"90\" y1=\"90\" x2=\"90\" "
      "y2=\"430\"/>\n");
  AppendText(svg, (kLeft + kRight) / 2, kBandTop + kBandHeight + 40,
             "text-anchor=\"middle\"", "Position im Lauf (GB)");
  AppendText(svg, 30, (kTop + kBottom) / 2,
             "text-anchor=\"middle\" transform=\"rotate(-90 30 260)\"",
             "Geschwindigkeit (MB/s)");
}

// The red line at the first bad byte, with its label.
void AppendFirstBadMark(std::string* svg, const Frame& frame) {
  const double x = frame.X(static_cast<double>(g_mark_position));
  svg->append("<g id=\"erster-fehler\">\n<line stroke=\"#d62728\" "
              "stroke-width=\"2\" stroke-dasharray=\"4 2\" x1=\"");
  AppendFixed(svg, x, 1);
  svg->append("\" y1=\"80\" x2=\"");
  AppendFixed(svg, x, 1);
  svg->append("\" y2=\"466\"/>\n");
  const bool right_half = x > (kLeft + kRight) / 2;
  AppendText(svg, right_half ? x - 4 : x + 4, 78,
             right_half ? "text-anchor=\"end\" fill=\"#d62728\""
                        : "fill=\"#d62728\"",
             g_mark_label);
  svg->append("</g>\n");
}

void AppendLegend(std::string* svg, const MapTexts& texts, const Curve& run,
                  const Curve& report) {
  double lx = kLeft;
  const double ly = 548;
  auto legend_line = [&](const char* colour, const char* dashes,
                         std::string_view word) {
    svg->append("<line stroke-width=\"2\" stroke=\"");
    svg->append(colour);
    svg->append("\"");
    if (dashes[0] != '\0') {
      svg->append(" stroke-dasharray=\"");
      svg->append(dashes);
      svg->append("\"");
    }
    svg->append(" x1=\"");
    AppendFixed(svg, lx, 1);
    svg->append("\" y1=\"");
    AppendFixed(svg, ly - 4, 1);
    svg->append("\" x2=\"");
    AppendFixed(svg, lx + 24, 1);
    svg->append("\" y2=\"");
    AppendFixed(svg, ly - 4, 1);
    svg->append("\"/>\n");
    AppendText(svg, lx + 30, ly, "", word);
    lx += 40 + 8 * static_cast<double>(word.size());
  };
  legend_line("#000000", "", texts.run_label);
  if (!report.buckets.empty()) legend_line("#9467bd", "6 3", "Schreiben");
  if (HasSectors(run)) {
    for (const ClassLook& look : kClassLooks) {
      AppendRect(svg, "legende", look.colour, lx, ly - 11, 14, 14);
      AppendText(svg, lx + 18, ly, "", look.word);
      lx += 30 + 8 * static_cast<double>(std::string_view(look.word).size());
    }
  }
  if (!texts.note.empty()) {
    AppendText(svg, kLeft, ly + 22, "", texts.note);
  }
}

}  // namespace

std::string MapSvg(const MapTexts& texts) {
  const Curve& run = g_curves[kMapRun];
  const Curve& report = g_curves[kMapWriteReport];
  double x_step = 0, y_step = 0;
  const Frame frame = FrameOf(run, report, &x_step, &y_step);
  std::string svg;
  svg.reserve(64 * 1024);
  AppendHeading(&svg, texts);
  AppendAxes(&svg, frame, x_step, y_step);
  AppendCurve(&svg, report, frame, "schreiben", "#9467bd", "6 3");
  AppendCurve(&svg, run, frame, "kurve", "#000000", "");
  if (HasSectors(run)) AppendBand(&svg, run, frame);
  if (g_marked) AppendFirstBadMark(&svg, frame);
  AppendLegend(&svg, texts, run, report);
  svg.append("</svg>\n");
  return svg;
}

size_t Utf8Length(std::string_view text, size_t at) {
  const unsigned char c = static_cast<unsigned char>(text[at]);
  if (c < 0x80) return 1;
  size_t length = 0;
  uint32_t code = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    code = c & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char d = static_cast<unsigned char>(text[at + k]);
    if ((d & 0xC0) != 0x80) return 0;
    code = (code << 6) | (d & 0x3F);
  }
  // Overlong forms, surrogates and code points past Unicode's end.
  if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
      (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
    return 0;
  }
  return length;
}

}  // namespace korv
