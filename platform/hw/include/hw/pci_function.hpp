// What the kernel surface sees of a PCI function: configuration space, one
// memory BAR of 32-bit registers and a level-triggered line interrupt.
//
// Every member is thread-safe. None of them calls back into the caller while
// holding a lock of the board, so a register access from inside the
// interrupt callback is allowed.
#pragma once

#include <cstdint>
#include <functional>

namespace hw {

// Where a function sits on the bus (for device instance paths and
// IRP_MN_READ_CONFIG-style queries).
struct PciLocation {
    std::uint32_t bus = 0;
    std::uint32_t device = 0;
    std::uint32_t function = 0;
};

class PciFunction {
public:
    virtual ~PciFunction() = default;

    virtual PciLocation Location() const = 0;

    // Configuration space, little endian, 256 bytes. Reads beyond it return
    // all ones (as an absent extended capability does). Writes reach only
    // the writable fields (command, BAR0 for sizing, interrupt line).
    virtual std::uint8_t ConfigRead8(std::uint32_t offset) const = 0;
    virtual std::uint16_t ConfigRead16(std::uint32_t offset) const = 0;
    virtual std::uint32_t ConfigRead32(std::uint32_t offset) const = 0;
    virtual void ConfigWrite8(std::uint32_t offset, std::uint8_t value) = 0;
    virtual void ConfigWrite16(std::uint32_t offset, std::uint16_t value) = 0;
    virtual void ConfigWrite32(std::uint32_t offset, std::uint32_t value) = 0;

    // BAR0: the physical address the BAR decodes (what a translated memory
    // resource reports) and its length in bytes.
    virtual std::uint64_t Bar0Physical() const = 0;
    virtual std::uint32_t Bar0Length() const = 0;

    // 32-bit register access at a byte offset into BAR0. An offset that is
    // not 4-aligned or lies outside BAR0, or a register the model does not
    // implement, is traced (see Machine::Trace) and reads as 0 / is ignored.
    virtual std::uint32_t ReadRegister(std::uint32_t offset) = 0;
    virtual void WriteRegister(std::uint32_t offset, std::uint32_t value) = 0;

    // The line interrupt: asserted while ICR & IMS != 0. The number is the
    // line ("vector") the resource list reports; each function has its own.
    virtual std::uint32_t InterruptLine() const = 0;
    virtual bool InterruptAsserted() const = 0;

    // Called on every change of the line's level, after the board has
    // released its locks, on whichever thread caused the change (a register
    // write, a frame arriving, a link event on the model's thread). Changes
    // may be reported out of order under contention, so the callback is a
    // prompt: the level is what InterruptAsserted() says. One handler per
    // function; an empty function removes it. SetInterruptHandler does not
    // return while a call of the previous handler is still running, so the
    // caller may destroy what the old handler captured afterwards (so it
    // must not be called from inside the handler).
    virtual void SetInterruptHandler(std::function<void(bool asserted)> handler) = 0;
};

}  // namespace hw
