// Configuration of physical ports and boards: link status, LEDs, slot and
// descriptor settings, advertised modes, and the board's passthru mode with
// the restart of its port devices that makes it effective.
#pragma once

#include <cstdint>

#include "Ports.h"

namespace FlApi {

// FlBoardSetFeature / FlBoardQueryFeature.
FL_STATUS SetBoardFeature(Board& board, uint32_t feature, uint32_t value);
FL_STATUS QueryBoardFeature(Board& board, uint32_t feature, uint32_t* value);

// Stops and starts the port's device so that its driver reads its settings
// again: FL_SUCCESS, FL_SUCCESS_REBOOT_REQUIRED when the system can only
// make the change at the next boot, or an error.
FL_STATUS RestartDevice(Port* port);

// A restart's result from its two steps, each FL_SUCCESS, a reboot to be
// done, or (the enable step only) an error.
FL_STATUS RestartResult(FL_STATUS disableStep, FL_STATUS enableStep) noexcept;

// Restarts both ports of a board, the second only when the first went well;
// a reboot asked by either is the result unless the second one failed.
template <class Restart>
FL_STATUS RestartBoard(Board& board, Restart&& restart)
{
    const FL_STATUS first = restart(FromHandle(board.Ports[0]));
    if (first != FL_SUCCESS && first != FL_SUCCESS_REBOOT_REQUIRED) {
        return first;
    }
    const FL_STATUS second = restart(FromHandle(board.Ports[1]));
    return second != FL_SUCCESS ? second : first;
}

// Passthru forwards between the two ports of one board at one fixed speed:
// both must advertise the same single mode.
bool PassthruModesAgree(uint32_t port0Modes, uint32_t port1Modes) noexcept;

} // namespace FlApi
