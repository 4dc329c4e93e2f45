#include "eeprom.hpp"

#include <algorithm>
#include <bit>

namespace hw {

namespace {
constexpr std::uint8_t kWriteStatus = 0x01;
constexpr std::uint8_t kWrite = 0x02;
constexpr std::uint8_t kRead = 0x03;
constexpr std::uint8_t kWriteDisable = 0x04;
constexpr std::uint8_t kReadStatus = 0x05;
constexpr std::uint8_t kWriteEnable = 0x06;
constexpr std::uint32_t kChecksumWord = 0x3F;
constexpr std::uint16_t kChecksumTarget = 0xBABA;
}  // namespace

std::vector<std::uint16_t> DefaultEepromImage(std::uint32_t words, const MacAddress& mac) {
    std::vector<std::uint16_t> image(words, 0xFFFF);  // an erased part reads all ones
    for (std::uint32_t i = 0; i < 64; ++i) image[i] = 0;
    for (std::uint32_t i = 0; i < 3; ++i)
        image[i] = static_cast<std::uint16_t>(mac[2 * i] | (mac[2 * i + 1] << 8));
    std::uint16_t sum = 0;
    for (std::uint32_t i = 0; i < kChecksumWord; ++i) sum = static_cast<std::uint16_t>(sum + image[i]);
    image[kChecksumWord] = static_cast<std::uint16_t>(kChecksumTarget - sum);
    return image;
}

Eeprom::Eeprom(std::uint32_t words, const MacAddress& mac) {
    words = std::bit_ceil(std::clamp<std::uint32_t>(words, 64, 16384));
    image_ = DefaultEepromImage(words, mac);
}

std::uint16_t Eeprom::ReadWord(std::uint32_t address) const {
    return image_[address & (Words() - 1)];
}

std::uint8_t Eeprom::ByteAt(std::uint32_t byteAddress) const {
    const std::uint16_t word = ReadWord(byteAddress >> 1);
    return static_cast<std::uint8_t>((byteAddress & 1) ? word >> 8 : word);
}

void Eeprom::Drive(bool chipSelectHigh, bool clock, bool dataIn) {
    const bool select = !chipSelectHigh;
    if (select && !selected_) {
        phase_ = Phase::Opcode;
        shift_ = 0;
        bits_ = 0;
        pending_.clear();
        outBit_ = 0;
    } else if (!select && selected_) {
        Deselect();
    }
    selected_ = select;
    if (selected_ && clock && !clock_) RisingEdge(dataIn);
    clock_ = clock;
    if (silent_) dataOut_ = true;
}

void Eeprom::RisingEdge(bool bit) {
    switch (phase_) {
    case Phase::Opcode:
        shift_ = (shift_ << 1) | bit;
        if (++bits_ < 8) return;
        opcode_ = static_cast<std::uint8_t>(shift_);
        shift_ = 0;
        bits_ = 0;
        switch (opcode_) {
        case kWriteEnable: writeEnabled_ = !silent_; phase_ = Phase::Ignore; break;
        case kWriteDisable: writeEnabled_ = false; phase_ = Phase::Ignore; break;
        case kWrite:
        case kRead: phase_ = Phase::Address; break;
        case kReadStatus: phase_ = Phase::ReadStatus; break;
        case kWriteStatus:  // block protection is not modelled: nothing is protected
        default: phase_ = Phase::Ignore; break;
        }
        return;
    case Phase::Address:
        shift_ = (shift_ << 1) | bit;
        if (++bits_ < 16) return;
        address_ = shift_ & 0xFFFF;
        shift_ = 0;
        bits_ = 0;
        phase_ = opcode_ == kWrite ? Phase::WriteData : Phase::ReadData;
        return;
    case Phase::WriteData:
        shift_ = (shift_ << 1) | bit;
        if (++bits_ < 8) return;
        pending_.push_back(static_cast<std::uint8_t>(shift_));
        shift_ = 0;
        bits_ = 0;
        return;
    case Phase::ReadData: {
        // Data out is valid while the clock is high, most significant bit
        // of each byte first, bytes from the address on.
        const std::uint8_t byte = ByteAt(address_ + outBit_ / 8);
        dataOut_ = (byte >> (7 - outBit_ % 8)) & 1;
        ++outBit_;
        return;
    }
    case Phase::ReadStatus: {
        const std::uint8_t status = writeEnabled_ ? 0x02 : 0x00;  // never busy: writes are instant
        dataOut_ = (status >> (7 - outBit_ % 8)) & 1;
        ++outBit_;
        return;
    }
    case Phase::Idle:
    case Phase::Ignore:
        return;
    }
}

void Eeprom::Deselect() {
    // A write takes effect when the part is deselected, and only when write
    // enable was latched before it; the latch resets after every write.
    if (phase_ == Phase::WriteData && writeEnabled_ && !silent_ && !pending_.empty()) {
        const std::uint32_t bytes = Words() * 2;
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            const std::uint32_t at = (address_ + static_cast<std::uint32_t>(i)) % bytes;
            std::uint16_t& word = image_[at >> 1];
            word = (at & 1) ? static_cast<std::uint16_t>((word & 0x00FF) | (pending_[i] << 8))
                            : static_cast<std::uint16_t>((word & 0xFF00) | pending_[i]);
        }
    }
    if (phase_ == Phase::WriteData) writeEnabled_ = false;
    phase_ = Phase::Idle;
    pending_.clear();
    dataOut_ = silent_;
}

}  // namespace hw
