#include "shared/run/run_platform.h"

#include "shared/platform/files.h"

namespace korv {

const char kHomeSeparator = '/';
const int64_t kOneDriveProtocolReserve = 51200;

std::string HomeCandidate(int n) {
  // Names exactly so: the Linux environment tells TEMP from temp.
  switch (n) {
    case 1:
      return EnvValue("HOME");
    case 2:
      return EnvValue("temp");
    case 3:
      return EnvValue("tmp");
    default:
      return std::string();
  }
}

bool SameNamePart(std::string_view a, std::string_view b) { return a == b; }

int DriveCount() { return 1; }

}  // namespace korv
