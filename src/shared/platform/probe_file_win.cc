// Windows has no quick check: reserving room without writing it needs a
// right that ordinary users lack (SetFileValidData), and the card's own
// positions are not known through its drive letter.
#include <cstdlib>

#include "shared/platform/probe_file.h"

namespace korv {

int CreateProbeFile(const std::string&, int64_t, ProbeFile* probe) {
  probe->extents.clear();
  return kProbeNotOnThisSystem;
}

int WriteProbeFile(const ProbeFile&, int64_t, const void*, size_t) {
  return 38;  // ENOSYS under its Linux number, as the layer reports errors
}

int ReadProbeFile(const ProbeFile&, int64_t, void*, size_t) { return 38; }

int SyncProbeFile(const ProbeFile&) { return 38; }

void CloseProbeFile(ProbeFile* probe) { probe->fd = -1; }

void* AllocateProbeBuffer(size_t bytes) { return std::malloc(bytes); }

void FreeProbeBuffer(void* buffer) { std::free(buffer); }

}  // namespace korv
