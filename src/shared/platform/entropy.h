// Random bits from the system's entropy source, for what must differ between runs.
#ifndef KORV_SHARED_PLATFORM_ENTROPY_H_
#define KORV_SHARED_PLATFORM_ENTROPY_H_

#include <cstdint>

namespace korv {

// Returns 32 random bits (getrandom). Where the system has no entropy to
// give, the bits come from the clock's nanoseconds and the process id, so
// that two runs in one second still differ.
uint32_t RandomBits32();

}  // namespace korv

#endif  // KORV_SHARED_PLATFORM_ENTROPY_H_
