// What the run support does differently on Linux and on Windows; the build
// picks run_platform.cc or run_platform_win.cc.
#ifndef KORV_SHARED_RUN_RUN_PLATFORM_H_
#define KORV_SHARED_RUN_RUN_PLATFORM_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

// The separator the home path is built with: "/" on Linux, "\" on Windows.
extern const char kHomeSeparator;

// Free space left on the data drive for the protocol when fewer than two
// drives are counted: 51200 bytes on Linux, 30720 on Windows.
extern const int64_t kOneDriveProtocolReserve;

// Returns the value of home folder candidate n (1 to 3), empty when unset:
// HOME, temp, tmp on Linux, looked up exactly as written; homedrive
// followed by homepath, temp, tmp on Windows, in any case.
std::string HomeCandidate(int n);

// Returns true when two pieces of file names name the same: exactly equal
// on Linux; on Windows, whose file names do not tell case, also when they
// differ only in the case of the letters A to Z.
bool SameNamePart(std::string_view a, std::string_view b);

// Counts the drives: always 1 on Linux (one tree of folders); on Windows
// the drive letters C to Z (and the numbers up to 29) that report free space.
int DriveCount();

}  // namespace korv

#endif  // KORV_SHARED_RUN_RUN_PLATFORM_H_
