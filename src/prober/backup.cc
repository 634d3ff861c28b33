#include "prober/backup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "prober/probe.h"
#include "shared/platform/files.h"
#include "shared/platform/probe_file.h"
#include "shared/stamp/stamp.h"

namespace korv {
namespace {

constexpr char kMagic[] = "KORVPROV-SICHERUNG 1\n";
constexpr char kFilePrefix[] = "korvprov_sicherung_";
constexpr size_t kRecordHead = 8;
// Records are written in batches of at most this many blocks.
constexpr size_t kBatch = 256;

struct Backup {
  std::string path;
  BackupCard card;
  int fd = -1;
  // Blocks by offset, and the offsets not yet in the file, in order.
  std::map<int64_t, std::vector<uint8_t>> blocks;
  std::vector<int64_t> unsaved;
};

Backup g_backup;

void PutLittle64(uint64_t value, uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLittle64(const uint8_t* in) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | in[i];
  return value;
}

std::string HeaderText(const BackupCard& card) {
  char tag[17];
  std::snprintf(tag, sizeof tag, "%016llx",
                static_cast<unsigned long long>(card.tag));
  return std::string(kMagic) + "geraet=" + card.device +
         "\ngroesse=" + std::to_string(card.size) + "\nkennung=" + card.serial +
         "\nmarke=" + tag + "\n";
}

bool ParseHeader(const uint8_t* block, BackupCard* card) {
  const std::string text(
      reinterpret_cast<const char*>(block),
      strnlen(reinterpret_cast<const char*>(block), kBackupBlock));
  if (text.compare(0, sizeof kMagic - 1, kMagic) != 0) return false;
  auto value = [&text](const std::string& key, std::string* out) {
    const size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos) return false;
    const size_t from = at + key.size() + 2;
    *out = text.substr(from, text.find('\n', from) - from);
    return true;
  };
  std::string size, tag;
  if (!value("geraet", &card->device) || !value("groesse", &size) ||
      !value("kennung", &card->serial) || !value("marke", &tag)) {
    return false;
  }
  card->size = std::strtoll(size.c_str(), nullptr, 10);
  card->tag = std::strtoull(tag.c_str(), nullptr, 16);
  return card->size > 0;
}

int WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    size_t stored = 0;
    const int err = WriteRawBlock(fd, data, length, &stored);
    if (err != 0) return err;
    if (stored == 0) return 28;  // ENOSPC
    data += stored;
    length -= stored;
  }
  return 0;
}

int ReadAll(int fd, uint8_t* data, size_t length, bool* at_end) {
  size_t done = 0;
  *at_end = false;
  while (done < length) {
    size_t got = 0;
    const int err = ReadRawBlock(fd, data + done, length - done, &got);
    if (err != 0) return err;
    if (got == 0) {
      *at_end = true;
      return 0;
    }
    done += got;
  }
  return 0;
}

// Reads the header of the backup file at path.
bool ReadHeader(const std::string& path, BackupCard* card) {
  int fd = -1;
  if (OpenRawFileForReading(path, &fd) != 0) return false;
  std::vector<uint8_t> block(kBackupBlock);
  bool at_end = false;
  const bool ok = ReadAll(fd, block.data(), block.size(), &at_end) == 0 &&
                  !at_end && ParseHeader(block.data(), card);
  CloseRawFile(fd);
  return ok;
}

// The position the sector at data names when it is wholly a stamp of this
// check (any of its rounds), else -1.
int64_t OwnStampPosition(const uint8_t* data) {
  const uint64_t position = GetLittle64(data);
  const uint64_t tag = GetLittle64(data + 8);
  const uint64_t first = g_backup.card.tag;
  if (tag < first || tag >= first + kMostProbeRounds ||
      position % kSectorSize != 0) {
    return -1;
  }
  uint8_t expected[kSectorSize];
  FillStamped(expected, kSectorSize, tag, position);
  if (std::memcmp(expected, data, kSectorSize) != 0) return -1;
  return static_cast<int64_t>(position);
}

// What the card held at offset before the check: the kept block, with each
// sector that held the check's own stamp replaced by what the position that
// stamp names held (followed a few steps, as memory may be shared thrice).
void Original(int64_t offset, uint8_t* out) {
  std::memcpy(out, g_backup.blocks[offset].data(), kBackupBlock);
  for (int64_t s = 0; s < kBackupBlock; s += kSectorSize) {
    uint8_t* sector = out + s;
    for (int step = 0; step < 8; ++step) {
      const int64_t from = OwnStampPosition(sector);
      if (from < 0) break;
      const auto it = g_backup.blocks.find(from / kBackupBlock * kBackupBlock);
      if (it == g_backup.blocks.end()) break;
      std::memcpy(sector, it->second.data() + from % kBackupBlock, kSectorSize);
    }
  }
}

}  // namespace

std::string BackupPathFor(const std::string& folder, const std::string& name) {
  return folder + kFilePrefix + name + ".bin";
}

bool FindPendingBackup(const std::string& folder, const BackupCard& card,
                       std::string* path) {
  FolderSearch search;
  std::string name;
  bool found = false;
  for (bool more = FolderSearchFirst(folder, std::string(kFilePrefix) + "*.bin",
                                     &search, &name);
       more && !found; more = FolderSearchNext(&search, &name)) {
    BackupCard kept;
    if (!ReadHeader(folder + name, &kept)) continue;
    if (kept.device == card.device ||
        (!card.serial.empty() && kept.serial == card.serial &&
         kept.size == card.size)) {
      *path = folder + name;
      found = true;
    }
  }
  FolderSearchEnd(&search);
  return found;
}

void BackupStart(const std::string& path, const BackupCard& card) {
  if (g_backup.fd >= 0) CloseRawFile(g_backup.fd);
  g_backup = Backup();
  g_backup.path = path;
  g_backup.card = card;
}

bool BackupHas(int64_t offset) { return g_backup.blocks.count(offset) != 0; }

void BackupAdd(int64_t offset, const uint8_t* data) {
  if (BackupHas(offset)) return;
  g_backup.blocks[offset].assign(data, data + kBackupBlock);
  g_backup.unsaved.push_back(offset);
}

int BackupSave() {
  if (g_backup.unsaved.empty()) return 0;
  int err = 0;
  if (g_backup.fd < 0) {
    err = CreateRawFile(g_backup.path, &g_backup.fd);
    if (err != 0) return err;
    std::vector<uint8_t> header(kBackupBlock, 0);
    const std::string text = HeaderText(g_backup.card);
    std::memcpy(header.data(), text.data(),
                std::min(text.size(), header.size() - 1));
    err = WriteAll(g_backup.fd, header.data(), header.size());
    // The file's name must last too, not only its bytes.
    if (err == 0) err = SyncFileSystem(g_backup.fd);
    if (err != 0) return err;
  }
  std::vector<uint8_t> batch;
  batch.reserve(kBatch * (kRecordHead + kBackupBlock));
  for (size_t i = 0; i < g_backup.unsaved.size(); ++i) {
    const int64_t offset = g_backup.unsaved[i];
    uint8_t head[kRecordHead];
    PutLittle64(static_cast<uint64_t>(offset), head);
    batch.insert(batch.end(), head, head + kRecordHead);
    const std::vector<uint8_t>& data = g_backup.blocks[offset];
    batch.insert(batch.end(), data.begin(), data.end());
    if ((i + 1) % kBatch == 0 || i + 1 == g_backup.unsaved.size()) {
      err = WriteAll(g_backup.fd, batch.data(), batch.size());
      if (err != 0) return err;
      batch.clear();
    }
  }
  g_backup.unsaved.clear();
  return SyncFileData(g_backup.fd);
}

int BackupLoad(const std::string& path, BackupCard* card) {
  BackupStart(path, BackupCard());
  int fd = -1;
  int err = OpenRawFileForReading(path, &fd);
  if (err != 0) return err;
  std::vector<uint8_t> block(kRecordHead + kBackupBlock);
  bool at_end = false;
  err = ReadAll(fd, block.data(), kBackupBlock, &at_end);
  if (err == 0 && (at_end || !ParseHeader(block.data(), card))) {
    err = kNoBackup;
  }
  while (err == 0) {
    err = ReadAll(fd, block.data(), block.size(), &at_end);
    if (err != 0 || at_end) break;  // a record cut short was never used
    const int64_t offset = static_cast<int64_t>(GetLittle64(block.data()));
    if (offset % kBackupBlock != 0 || offset < 0 ||
        offset + kBackupBlock > card->size) {
      err = kNoBackup;
      break;
    }
    if (!BackupHas(offset)) {
      g_backup.blocks[offset].assign(block.begin() + kRecordHead, block.end());
    }
  }
  CloseRawFile(fd);
  g_backup.card = *card;
  return err;
}

int BackupRestore(const BackupDevice& device, int64_t push_from,
                  int64_t push_bytes, RestoreOutcome* outcome) {
  *outcome = RestoreOutcome();
  constexpr size_t kRun = 256;  // blocks written or read in one go
  uint8_t* buffer =
      static_cast<uint8_t*>(AllocateProbeBuffer(2 * kRun * kBackupBlock));
  if (buffer == nullptr) return 12;  // ENOMEM
  uint8_t* read_back = buffer + kRun * kBackupBlock;
  int err = 0;
  // Runs of neighbouring blocks, so that a card is written in large pieces.
  std::vector<std::pair<int64_t, size_t>> runs;
  for (const auto& kept : g_backup.blocks) {
    if (!runs.empty() && runs.back().second < kRun &&
        runs.back().first +
                static_cast<int64_t>(runs.back().second) * kBackupBlock ==
            kept.first) {
      ++runs.back().second;
    } else {
      runs.push_back({kept.first, 1});
    }
  }
  for (const auto& [offset, count] : runs) {
    for (size_t i = 0; i < count; ++i) {
      Original(offset + static_cast<int64_t>(i) * kBackupBlock,
               buffer + i * kBackupBlock);
    }
    err = device.write(offset, buffer, count * kBackupBlock);
    if (err != 0) break;
    outcome->blocks += static_cast<int64_t>(count);
  }
  for (const auto& [offset, count] : runs) {
    if (err != 0) break;
    const int64_t end = offset + static_cast<int64_t>(count) * kBackupBlock;
    const int64_t from = std::max(offset, push_from);
    const int64_t to = std::min(end, push_from + push_bytes);
    if (from >= to) continue;
    const size_t blocks = static_cast<size_t>((to - from) / kBackupBlock);
    for (size_t i = 0; i < blocks; ++i) {
      Original(from + static_cast<int64_t>(i) * kBackupBlock,
               buffer + i * kBackupBlock);
    }
    err = device.write(from, buffer, blocks * kBackupBlock);
  }
  if (err == 0) err = device.flush();
  for (const auto& [offset, count] : runs) {
    if (err != 0) break;
    err = device.read(offset, read_back, count * kBackupBlock);
    for (size_t i = 0; err == 0 && i < count; ++i) {
      Original(offset + static_cast<int64_t>(i) * kBackupBlock, buffer);
      if (std::memcmp(buffer, read_back + i * kBackupBlock, kBackupBlock) !=
          0) {
        ++outcome->mismatched;
      }
    }
  }
  FreeProbeBuffer(buffer);
  return err;
}

int BackupDiscard() {
  if (g_backup.fd >= 0) CloseRawFile(g_backup.fd);
  g_backup.fd = -1;
  const int err = g_backup.path.empty() ? 0 : DeleteFile(g_backup.path);
  g_backup = Backup();
  return err;
}

int64_t BackupBlocks() { return static_cast<int64_t>(g_backup.blocks.size()); }

}  // namespace korv
