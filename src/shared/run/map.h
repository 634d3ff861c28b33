// The map of a run: speed per file along the run and the sector classes of a stamped check, as a self-contained SVG picture.
#ifndef KORV_SHARED_RUN_MAP_H_
#define KORV_SHARED_RUN_MAP_H_

#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>

namespace korv {

// A run of ten million files is drawn with at most this many points per
// curve: neighbouring files are merged into buckets.
inline constexpr int kMapBuckets = 2048;

// The two curves of a map: the run's own, and the writer's from its
// record beside a reader's.
enum MapCurve { kMapRun = 0, kMapWriteReport = 1 };

// Forgets both curves and the marks.
void MapReset();

// Adds the next file of a curve: its bytes and seconds, and for a stamped
// check its bytes per sector class (six, in SectorClass order; nullptr
// otherwise).
void MapAddFile(MapCurve curve, int64_t bytes, double seconds,
                const int64_t* sector_bytes);

// Returns the bytes added to a curve so far (the position of its next
// file in the run).
int64_t MapPosition(MapCurve curve);

// Marks the first bad byte of the run at a position of the run's curve,
// with its label.
void MapMarkFirstBad(int64_t position, const std::string& label);

// Returns the number of points a curve has now.
int MapPointCount(MapCurve curve);

// What the picture says around the curves.
struct MapTexts {
  std::string title;      // first line: program, run tag
  std::string subtitle;   // second line: device, folder, file system
  std::string run_label;  // legend of the run's curve ("Lesen", "Schreiben")
  std::string note;       // a line under the picture; may be empty
};

// Returns the SVG picture of the run.
std::string MapSvg(const MapTexts& texts);

// Returns the length of the valid UTF-8 sequence that starts at text[at]
// (1 for ASCII), or 0 when the byte there starts none (a stray
// continuation byte, an overlong form, a surrogate, beyond U+10FFFF, cut
// short). The programs' texts are bytes; what shows them as Unicode asks
// this.
size_t Utf8Length(std::string_view text, size_t at);

}  // namespace korv

#endif  // KORV_SHARED_RUN_MAP_H_
