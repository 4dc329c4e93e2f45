// The board's serial EEPROM: a word image, read by the controller (auto-read,
// EERD) and reachable by software through SPI bit-banging on EECD.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/ethernet.hpp"

namespace hw {

class Eeprom {
public:
    // words is rounded up to a power of two between 64 and 16384.
    Eeprom(std::uint32_t words, const MacAddress& mac);

    std::uint32_t Words() const { return static_cast<std::uint32_t>(image_.size()); }
    std::uint16_t ReadWord(std::uint32_t address) const;  // wraps like the part does
    const std::vector<std::uint16_t>& Image() const { return image_; }

    // The SPI pins as software drives them through EECD; chipSelectHigh
    // deselects the part. Called on every EECD write of the function that
    // holds the grant.
    void Drive(bool chipSelectHigh, bool clock, bool dataIn);
    bool DataOut() const { return dataOut_; }

    // A silent EEPROM answers nothing: data out floats high, writes are lost.
    void SetSilent(bool silent) { silent_ = silent; }
    bool Silent() const { return silent_; }

private:
    enum class Phase { Idle, Opcode, Address, WriteData, ReadData, ReadStatus, Ignore };
    void RisingEdge(bool bit);
    void Deselect();
    std::uint8_t ByteAt(std::uint32_t byteAddress) const;

    std::vector<std::uint16_t> image_;
    bool selected_ = false;
    bool clock_ = false;
    bool dataOut_ = false;
    bool silent_ = false;
    bool writeEnabled_ = false;

    Phase phase_ = Phase::Idle;
    std::uint8_t opcode_ = 0;
    std::uint32_t shift_ = 0;
    std::uint32_t bits_ = 0;
    std::uint32_t address_ = 0;          // byte address of the transfer
    std::vector<std::uint8_t> pending_;  // bytes of a write, committed at deselect
    std::uint32_t outBit_ = 0;           // bits shifted out so far in a read
};

// An image whose words 0..63 sum to 0xBABA with the MAC in words 0..2.
std::vector<std::uint16_t> DefaultEepromImage(std::uint32_t words, const MacAddress& mac);

}  // namespace hw
