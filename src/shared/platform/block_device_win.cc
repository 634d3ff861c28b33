// Windows has no device check: a card's drive is locked by the system's
// own file system driver, and raw access needs an administrator.
#include "shared/platform/block_device.h"

namespace korv {

bool IsBlockDevicePath(const std::string&) { return false; }

int OpenBlockDevice(const std::string&, BlockDevice*, std::string* in_use_at) {
  in_use_at->clear();
  return kDeviceNotOnThisSystem;
}

int ReadBlockDevice(const BlockDevice&, int64_t, void*, size_t) { return 38; }
int WriteBlockDevice(const BlockDevice&, int64_t, const void*, size_t) {
  return 38;  // ENOSYS under its Linux number, as the layer reports errors
}
int SyncBlockDevice(const BlockDevice&) { return 38; }
int ReadFullyAt(int, int64_t, void*, size_t, int) { return 38; }
int WriteFullyAt(int, int64_t, const void*, size_t) { return 38; }
int RereadPartitionTable(const BlockDevice&) { return 38; }
void CloseBlockDevice(BlockDevice* device) { device->fd = -1; }

// The Linux numbers of EIO, ENODATA, EBADMSG, EILSEQ and EREMOTEIO, as the
// layer reports errors.
bool IsMediumError(int err) {
  return err == 5 || err == 61 || err == 74 || err == 84 || err == 121;
}

}  // namespace korv
