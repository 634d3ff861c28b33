// Where FIEMAP says a file's bytes lie: the flags under which an extent has
// no place of its own on the device (Linux only, inside the platform layer).
#ifndef KORV_SHARED_PLATFORM_EXTENT_PLACE_H_
#define KORV_SHARED_PLATFORM_EXTENT_PLACE_H_

#include <linux/fiemap.h>

#include <cstdint>

namespace korv {

// Data that is packed, encrypted, inline in the file system's records,
// not aligned to its blocks or not yet placed has no position of its own
// that a read or a write could be named by. (An extent shared with another
// file has one for reading; a write there goes elsewhere.)
inline constexpr uint32_t kExtentWithoutPlace =
    FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC | FIEMAP_EXTENT_ENCODED |
    FIEMAP_EXTENT_DATA_ENCRYPTED | FIEMAP_EXTENT_NOT_ALIGNED |
    FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_DATA_TAIL;

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_EXTENT_PLACE_H_
