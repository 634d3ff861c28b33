#include "shared/platform/files.h"
#include "shared/run/run_platform.h"

namespace korv {
namespace {

// Drive numbers asked by the drive count; 1 and 2 are the floppy letters
// A and B, which are never asked (an empty floppy drive would be slow).
constexpr int kLastDriveNumber = 29;
constexpr int kFirstCountedDrive = 3;

}  // namespace

const char kHomeSeparator = '\\';
const int64_t kOneDriveProtocolReserve = 30720;

std::string HomeCandidate(int n) {
  // The Windows environment finds these names in any case.
  switch (n) {
    case 1:
      return EnvValue("homedrive") + EnvValue("homepath");
    case 2:
      return EnvValue("temp");
    case 3:
      return EnvValue("tmp");
    default:
      return std::string();
  }
}

bool SameNamePart(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

int DriveCount() {
  int count = 0;
  for (int d = kFirstCountedDrive; d <= kLastDriveNumber; ++d) {
    if (FreeBytesOfDrive(d) > 0) ++count;
  }
  return count;
}

}  // namespace korv
