// What the check of a whole device keeps of the card before it writes: the
// blocks' old contents, in memory and in a file of the protocol folder, so
// that every byte goes back at the end, or with --zurueck after a run that
// was killed or lost its card.
#ifndef KORV_PROBER_BACKUP_H_
#define KORV_PROBER_BACKUP_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace korv {

// The card a backup belongs to.
struct BackupCard {
  std::string device;  // "/dev/sdb"
  int64_t size = 0;    // bytes announced
  std::string serial;  // may be empty
  uint64_t tag = 0;    // the check's first stamp tag
};

// Backups keep whole blocks of this size.
inline constexpr int64_t kBackupBlock = 4096;

// Returns the backup file's name for a device of that kernel name, in the
// folder (ending in its separator): "<folder>korvprov_sicherung_sdb.bin".
std::string BackupPathFor(const std::string& folder, const std::string& name);

// Looks in folder for a backup of a run on this card that was never
// written back (the same device path, or the same size and serial); gives
// its path.
bool FindPendingBackup(const std::string& folder, const BackupCard& card,
                       std::string* path);

// Starts an empty backup at path for card (in memory; the file is made at
// the first BackupAdd). Drops what a backup held before.
void BackupStart(const std::string& path, const BackupCard& card);

// True when the block at offset is kept already.
bool BackupHas(int64_t offset);

// Keeps the block at offset (its old contents, kBackupBlock bytes), unless
// one is kept there already.
void BackupAdd(int64_t offset, const uint8_t* data);

// Writes what was added since the last call to the file and flushes it to
// its disk, before any of those blocks is written. Returns 0 or an error
// number.
int BackupSave();

// Reads a backup file into memory (replacing what was kept). Returns 0, an
// error number, or kNoBackup when the file is none.
inline constexpr int kNoBackup = -1;
int BackupLoad(const std::string& path, BackupCard* card);

// How the blocks reach the card again.
struct BackupDevice {
  int (*write)(int64_t offset, const uint8_t* data, size_t length);
  int (*read)(int64_t offset, uint8_t* data, size_t length);
  int (*flush)();
};

struct RestoreOutcome {
  int64_t blocks = 0;      // written back
  int64_t mismatched = 0;  // read back other than written
};

// Writes every kept block back as the card held it before the check: a
// block that held the check's own stamps when it was kept (its memory
// shared with a position written before) gets what that position held.
// Then writes the kept blocks of [push_from, push_from + push_bytes) once
// more: a card with a write cache that shares memory between positions
// would otherwise keep the last blocks in its cache, and show its memory's
// older contents under the other positions; these blocks, kept before the
// first write, push them out with their own true contents. Then reads each
// block back to confirm. Returns 0 or the error number of a failed write,
// flush or read (the file stays then).
int BackupRestore(const BackupDevice& device, int64_t push_from,
                  int64_t push_bytes, RestoreOutcome* outcome);

// Removes the file once the card has its data back.
int BackupDiscard();

// Number of blocks kept.
int64_t BackupBlocks();

}  // namespace korv

#endif  // KORV_PROBER_BACKUP_H_
