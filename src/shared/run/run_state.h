// The program-wide run settings and run counters that both programs share.
#ifndef KORV_SHARED_RUN_RUN_STATE_H_
#define KORV_SHARED_RUN_RUN_STATE_H_

#include <cstdint>
#include <string>

namespace korv {

// The stopwatches of a run (numbers of the time module's stopwatches).
inline constexpr uint16_t kRunStopwatch = 1;       // the whole run
inline constexpr uint16_t kFileStopwatch = 2;      // the current data file
inline constexpr uint16_t kWriteOutStopwatch = 3;  // since the protocol
                                                   // was last written out
inline constexpr uint16_t kGroupStopwatch = 4;     // since the last
                                                   // protocol line

// One record per run. The command lines fill the settings, the main loops
// and the shared run support raise the counters; all read them directly.
struct RunState {
  // ---- Settings (command line) ----
  int32_t beginn = 0;           // first index
  int32_t anzahl = 0;           // number of files
  int32_t last_index = 0;       // beginn + anzahl - 1
  char loeschen = 'N';          // deletion mode 'N', 'J' or 'A'
  std::string verzeichnis;      // data folder text: empty or ending in '\'
  int32_t protokoll = 200;      // wanted protocol lines, 0..9999
  bool pausing = false;         // wait for keys (deletion prompt, summary)
  bool protocol_active = true;  // only ever goes from on to off
  bool protocol_size_given = false;
  // Writer only.
  int64_t groesse = 0;          // bytes per data file
  uint8_t zeichen = 0;          // fill byte
  bool random_fill = false;
  bool stamped_fill = false;    // every sector stamped (PRUEF)
  uint64_t stamp_tag = 0;       // the run's tag for stamped sectors
  bool stamp_continued = false;  // the tag is that of the run continued

  // ---- Counters ----
  int32_t current_index = 0;
  int64_t position = 0;
  int64_t run_total = 0;
  int64_t candidate_count = 0;
  int64_t planned_count = 0;
  int64_t protocol_step = 1;
  int32_t protocol_file_number = 0;
  int32_t group_start_index = -1;
  int32_t finished_files = 0;
  int64_t data_file_size = 0;   // writer: size of each data file; reader: 0
  int64_t progress_bytes = 0;   // progress byte counter
  int64_t progress_column = 0;
  int64_t shown_mib = 0;
  int64_t folded_gib = 0;
  bool at_line_start = false;

  // ---- Protocol drive (set by the protocol precheck) ----
  int64_t protocol_reserve = 0;  // left free on the data drive (writer)
  int64_t protocol_minimum = 0;  // below this the protocol is switched off
};

// The one run of this program.
extern RunState g_run;

// Sets every setting and counter back to its start value (tests).
void ResetRunState();

}  // namespace korv

#endif  // KORV_SHARED_RUN_RUN_STATE_H_
