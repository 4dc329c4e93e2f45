// Test-only stand-in for the few kernel services the driver's controller
// code calls (register access, stalls and delays, spin locks), wired to the
// board model. Delays move the model's manual clock, so the PHY's
// autonegotiation and every poll bound run deterministically and at once.
#pragma once

#include <hw/machine.hpp>

#include "driver.h"

namespace shim {

// Maps a port's registers for the driver: the returned base goes into
// FDO_DATA::Registers. Delays advance `machine` when it runs on a manual
// clock. Unmap before the machine goes.
PUCHAR MapRegisters(hw::Machine& machine, hw::Port& port);
void UnmapRegisters(PUCHAR base);

// Total time the driver asked to stall or sleep, in nanoseconds.
std::int64_t DelayedNanoseconds();

// A framework spin lock the driver can acquire and release.
WDFSPINLOCK NewSpinLock();
void DeleteSpinLock(WDFSPINLOCK lock);

}  // namespace shim
