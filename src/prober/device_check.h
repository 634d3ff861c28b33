// The check of a whole device (a card, or one of its partitions): every
// block it writes is read and kept first, in memory and in a backup file of
// the protocol folder, and written back at the end; the backup of a run
// that did not end written back later; a new partition table for a fake.
#ifndef KORV_PROBER_DEVICE_CHECK_H_
#define KORV_PROBER_DEVICE_CHECK_H_

#include <string>

namespace korv {

// Checks the device at path and returns the status of its result lines
// (ReportOutcome); a device in use, or one whose earlier backup waits to be
// written back, is refused (kFolderBusyExitStatus) before anything is
// written. Fatal errors end the program (the backup file stays then).
int DeviceCheck(const std::string& path);

// --zurueck=FILE: writes the backup file left by a run that did not end
// back onto the device at path, after checking it is a device of that
// size. Returns 0, kInvalidExitStatus (no backup of korvprov, another
// size) or kFakeCardStatus (blocks that read back otherwise).
int RestoreFromFile(const std::string& file, const std::string& path);

// --anpassen, after DeviceCheck of path ended with status: for a fake card
// and a J, a new MBR with one FAT32 partition from 1 MiB to the card's real
// end, and the command that formats it. Returns status.
int AdjustCard(const std::string& path, int status);

}  // namespace korv

#endif  // KORV_PROBER_DEVICE_CHECK_H_
