// The quick check's result lines, on the console and in the protocol, and
// what they found for the closing table of several cards.
#ifndef KORV_PROBER_REPORT_H_
#define KORV_PROBER_REPORT_H_

#include <cstdint>
#include <string>

#include "prober/probe.h"
#include "shared/run/run_state.h"

namespace korv {

// Exit statuses besides 0 (sound), the usage statuses, error numbers and
// death by a signal: the card holds less than it announces (as korvlas's
// wrong data, sysexits.h's EX_DATAERR), and the quick check cannot run
// here or cannot rule a fault out (EX_UNAVAILABLE; no error number of a
// file operation is 69).
inline constexpr int kFakeCardStatus = 65;
inline constexpr int kNoQuickCheckStatus = 69;

// Times the search, for its "Geschrieben" line (no data file is timed).
inline constexpr uint16_t kProbeStopwatch = kFileStopwatch;

// What a check found, for the closing table of several devices.
struct Finding {
  std::string device;
  int64_t announced = 0;
  std::string end = "-";
  std::string cache = "-";
  std::string verdict = "-";
};

// The line after each round of the search.
void RoundDone(int round, int64_t places, int64_t bad_places);

// A result line: on the console and in the protocol.
void Report(const std::string& line);

// "Sektor <n>" of a byte position, in sectors of 512 bytes.
std::string SectorText(int64_t byte);

// The one line for a folder or device where the quick check cannot run,
// with the commands of the full check; returns kNoQuickCheckStatus.
int Advise(const std::string& reason, const std::string& folder);
// The same where the whole device could be checked instead.
int AdviseDevice(const std::string& reason, const std::string& folder,
                 const std::string& device);

// The result lines of a search on a device of `announced` bytes (device:
// "Datentraeger <name>: "), through a folder or of the whole device
// (whole: the device to advise for a folder); returns the status they
// stand for, and fills LastFinding().
int ReportOutcome(const std::string& device, int64_t announced,
                  const ProbeOutcome& outcome, bool whole_device,
                  const std::string& folder, const std::string& whole);

// What the last ReportOutcome found (and the caller may add to).
Finding* LastFinding();

}  // namespace korv

#endif  // KORV_PROBER_REPORT_H_
