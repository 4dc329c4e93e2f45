// A PCI function of the tests' own: configuration space with an identity,
// a BAR0 of plain registers where offset 0 is an interrupt cause that
// reading clears, and a line interrupt the test raises.
#pragma once

#include <hw/pci_function.hpp>

#include <array>
#include <map>
#include <mutex>

class FakeFunction final : public hw::PciFunction {
public:
    explicit FakeFunction(uint32_t index) : index_(index) {
        config_.fill(0);
        Put16(0, 0xF10E);
        Put16(2, 0x0001);
        Put16(0xF2, 0x0041);  // PCIe link status: 4 lanes
    }

    hw::PciLocation Location() const override { return {1, 0, index_}; }
    uint8_t ConfigRead8(uint32_t offset) const override { return offset < 256 ? config_[offset] : 0xFF; }
    uint16_t ConfigRead16(uint32_t offset) const override {
        return static_cast<uint16_t>(ConfigRead8(offset) | ConfigRead8(offset + 1) << 8);
    }
    uint32_t ConfigRead32(uint32_t offset) const override {
        return ConfigRead16(offset) | static_cast<uint32_t>(ConfigRead16(offset + 2)) << 16;
    }
    void ConfigWrite8(uint32_t, uint8_t) override {}
    void ConfigWrite16(uint32_t, uint16_t) override {}
    void ConfigWrite32(uint32_t, uint32_t) override {}

    uint64_t Bar0Physical() const override { return 0xF000'0000ull + index_ * 0x2'0000ull; }
    uint32_t Bar0Length() const override { return 0x2'0000; }

    uint32_t ReadRegister(uint32_t offset) override {
        std::lock_guard guard(lock_);
        uint32_t value = registers_[offset];
        if (offset == 0) {
            registers_[0] = 0;
            asserted_ = false;
        }
        return value;
    }
    void WriteRegister(uint32_t offset, uint32_t value) override {
        std::lock_guard guard(lock_);
        registers_[offset] = value;
    }

    uint32_t InterruptLine() const override { return 16 + index_; }
    bool InterruptAsserted() const override {
        std::lock_guard guard(lock_);
        return asserted_;
    }
    void SetInterruptHandler(std::function<void(bool)> handler) override {
        std::lock_guard guard(handlerLock_);
        handler_ = std::move(handler);
    }

    // Sets the cause and asserts the line, as the board does on an event.
    void Raise() {
        {
            std::lock_guard guard(lock_);
            registers_[0] = 1;
            asserted_ = true;
        }
        std::lock_guard guard(handlerLock_);
        if (handler_) handler_(true);
    }

    uint32_t Peek(uint32_t offset) {
        std::lock_guard guard(lock_);
        return registers_[offset];
    }

private:
    void Put16(uint32_t offset, uint16_t value) {
        config_[offset] = static_cast<uint8_t>(value);
        config_[offset + 1] = static_cast<uint8_t>(value >> 8);
    }

    const uint32_t index_;
    std::array<uint8_t, 256> config_;
    mutable std::mutex lock_;
    std::map<uint32_t, uint32_t> registers_;
    bool asserted_ = false;
    std::mutex handlerLock_;  // held while the handler runs
    std::function<void(bool)> handler_;
};
