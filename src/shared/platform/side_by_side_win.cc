// Windows checks no devices, so nothing runs side by side there.
#include "shared/platform/side_by_side.h"

namespace korv {

bool RunSideBySide(int, int (*)(int), void (*)(int, const std::string&),
                   std::vector<int>*) {
  return false;
}

}  // namespace korv
