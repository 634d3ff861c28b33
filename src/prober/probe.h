// The search for where a card's real memory ends: stamped blocks at chosen
// device positions of the probe file, read back after enough other data
// that no cache of the card still holds them, first on a coarse grid, then
// split finer between the last good and the first bad position.
#ifndef KORV_PROBER_PROBE_H_
#define KORV_PROBER_PROBE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "shared/platform/probe_file.h"

namespace korv {

// How the search reaches the card: whole blocks at file offsets (errors as
// error numbers), a flush, and a report after each round (may be null).
struct ProbeAccess {
  int (*write)(int64_t file_offset, const uint8_t* data, size_t length);
  int (*read)(int64_t file_offset, uint8_t* data, size_t length);
  int (*flush)();
  void (*round_done)(int round, int64_t places, int64_t bad_places);
};

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
};

// Distance of the first round's probes on the device: 2 MiB, doubled until
// a device of `announced` bytes needs at most 4096 of them.
int64_t GridStep(int64_t announced);

// Bytes written between a round's probes and their reading back, so that
// no cache in the card can still hold them: 64 MiB, on devices below 2 GiB
// a thirty-second of the device (at least 1 MiB).
int64_t CacheFlushBytes(int64_t announced);

// Runs the search over the probe file's extents (ascending device
// positions) on a device of `announced` bytes, stamping with tag. Returns 0
// or the error number of a failed write, read or flush.
int RunProbe(const std::vector<FileExtent>& extents, int64_t announced,
             uint64_t tag, const ProbeAccess& access, ProbeOutcome* outcome);

}  // namespace korv

#endif  // KORV_PROBER_PROBE_H_
