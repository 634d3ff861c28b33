// The search for where a card's real memory ends: stamped blocks at chosen
// device positions (of a probe file, or of the whole device), read back
// after enough other data that no cache of the card still holds them,
// first on a coarse grid, then split finer between the last good and the
// first bad position.
#ifndef KORV_PROBER_PROBE_H_
#define KORV_PROBER_PROBE_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "shared/platform/probe_file.h"

namespace korv {

// How the search reaches the card: whole blocks at file offsets (errors as
// error numbers; a medium error, IsMediumError, is a finding, any other
// ends the search), a flush, and a report after each round (may be null).
// keep (may be null) is told the file ranges [first, second) that are about
// to be written, before they are: a check of the whole device saves what
// they hold there.
struct ProbeAccess {
  int (*write)(int64_t file_offset, const uint8_t* data, size_t length);
  int (*read)(int64_t file_offset, uint8_t* data, size_t length);
  int (*flush)();
  void (*round_done)(int round, int64_t places, int64_t bad_places);
  int (*keep)(const std::vector<std::pair<int64_t, int64_t>>& ranges) = nullptr;
};

inline constexpr int64_t kMiB = int64_t{1} << 20;

// The largest write cache a card may have that the search must write past
// before it can say that no memory is missing.
inline constexpr int64_t kCacheToRuleOut = 256 * kMiB;

// The search stamps round r with tag + r, r < kMostProbeRounds: a write
// that did not stay shows the stamp of an earlier round, never its own.
inline constexpr int kMostProbeRounds = 12;

// RunProbe's result when a terminating signal asked it to stop (nothing
// found that can be trusted).
inline constexpr int kProbeStopped = -100;

struct ProbeOutcome {
  bool fault_found = false;
  // The real memory ends between these device positions (equal when
  // pinned to one block); set when a fault was found.
  int64_t end_low = 0;
  int64_t end_high = 0;
  // The writes past the real end land before the probe file, where the
  // file system keeps its own records.
  bool start_overwritten = false;
  int64_t checked_from = 0;  // the lowest and the end of the highest
  int64_t checked_to = 0;    // block probed
  int64_t bytes_written = 0;
  int64_t places = 0;  // blocks probed, all rounds
  int rounds = 0;
  // A write or read failed with a medium error from this device position
  // on (the lowest such position), when error_found.
  bool error_found = false;
  int64_t error_from = 0;
  // The card's cache, as measured: the fault showed only after more than
  // cache_low and at most cache_high bytes were written behind the probes
  // (cache_low 0: at the first look). Without a fault, no cache of up to
  // cache_ruled_out bytes can have hidden one.
  int64_t cache_low = 0;
  int64_t cache_high = 0;
  int64_t cache_ruled_out = 0;
};

// Distance of the first round's probes on the device: 1 MiB, doubled until
// a device of `announced` bytes needs at most 4096 of them.
int64_t GridStep(int64_t announced);

// Bytes written behind the first round's probes before each look at them,
// growing until a fault shows: 1 MiB, then four times as much each time, up
// to a little more than kCacheToRuleOut, never more than `room` nor, with
// everything else the search writes, a quarter of the card.
std::vector<int64_t> CacheFlushSteps(int64_t announced, int64_t room);

// Runs the search over the probe file's extents (ascending device
// positions; one extent from 0 for a whole device) on a device of
// `announced` bytes, stamping with tags from tag on (one per round). Returns
// 0, kProbeStopped, or the error number of a failed write, read or flush
// that is no finding.
int RunProbe(const std::vector<FileExtent>& extents, int64_t announced,
             uint64_t tag, const ProbeAccess& access, ProbeOutcome* outcome);

}  // namespace korv

#endif  // KORV_PROBER_PROBE_H_
