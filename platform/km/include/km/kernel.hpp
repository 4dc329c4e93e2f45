// What the kernel services record for inspection by the machine and tests.
#pragma once

#include <ntdef.h>

#include <cstddef>

namespace km {

// The timer resolution in force (100 ns units) and the number of
// ExSetTimerResolution requests that hold it.
ULONG TimerResolution();
size_t TimerResolutionRequests();

}  // namespace km
