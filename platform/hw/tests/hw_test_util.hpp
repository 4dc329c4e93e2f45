// Helpers for the board model's tests: host memory mapped into the bus,
// and the register sequences a driver would use (PHY through MDIC, EEPROM
// over SPI, descriptor rings).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hw/machine.hpp"
#include "regs.hpp"

namespace hw::test {

// A block of host memory mapped into the bus for the test's lifetime.
class DmaBlock {
public:
    DmaBlock(BusSpace& bus, std::size_t size) : bus_(bus), size_(size) {
        mem_ = static_cast<std::uint8_t*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096));
        std::memset(mem_, 0, size);
        address_ = bus_.Map(mem_, size);
    }
    ~DmaBlock() {
        bus_.Unmap(address_);
        std::free(mem_);
    }
    DmaBlock(const DmaBlock&) = delete;
    DmaBlock& operator=(const DmaBlock&) = delete;

    std::uint8_t* Host() const { return mem_; }
    BusAddress Bus() const { return address_; }
    std::size_t Size() const { return size_; }

private:
    BusSpace& bus_;
    std::size_t size_;
    std::uint8_t* mem_ = nullptr;
    BusAddress address_ = 0;
};

inline std::uint64_t Le(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline void PutLe(std::uint8_t* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
// Status bytes are polled the way the driver must: acquire loads.
inline std::uint8_t LoadStatus(std::uint8_t* descriptor) {
    return std::atomic_ref<std::uint8_t>(descriptor[12]).load(std::memory_order_acquire);
}

// PHY register access through MDIC; nullopt when not ready or error.
inline std::optional<std::uint16_t> PhyRead(Port& p, std::uint32_t r) {
    p.WriteRegister(reg::MDIC, (r << 16) | (phy::kAddress << 21) | reg::MDIC_OP_READ);
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t v = p.ReadRegister(reg::MDIC);
        if (v & reg::MDIC_READY) {
            if (v & reg::MDIC_ERROR) return std::nullopt;
            return static_cast<std::uint16_t>(v);
        }
    }
    return std::nullopt;
}
inline bool PhyWrite(Port& p, std::uint32_t r, std::uint16_t value) {
    p.WriteRegister(reg::MDIC, (r << 16) | (phy::kAddress << 21) | reg::MDIC_OP_WRITE | value);
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t v = p.ReadRegister(reg::MDIC);
        if (v & reg::MDIC_READY) return !(v & reg::MDIC_ERROR);
    }
    return false;
}

inline std::optional<std::uint16_t> EerdRead(Port& p, std::uint32_t word) {
    p.WriteRegister(reg::EERD, (word << 2) | reg::EERD_START);
    for (int i = 0; i < 100; ++i) {
        const std::uint32_t v = p.ReadRegister(reg::EERD);
        if (v & reg::EERD_DONE) return static_cast<std::uint16_t>(v >> 16);
    }
    return std::nullopt;
}

// SPI bit-banging on EECD, as a driver does it.
class Spi {
public:
    explicit Spi(Port& p) : p_(p) {}
    bool Begin() {
        p_.WriteRegister(reg::EECD, reg::EECD_REQ);
        for (int i = 0; i < 100; ++i)
            if (p_.ReadRegister(reg::EECD) & reg::EECD_GNT) {
                Set(reg::EECD_REQ | reg::EECD_CS);
                Pulse(reg::EECD_REQ | reg::EECD_CS);
                Set(reg::EECD_REQ);
                return true;
            }
        return false;
    }
    void Shift(std::uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            const std::uint32_t v = reg::EECD_REQ | (((value >> i) & 1) ? reg::EECD_DI : 0);
            Set(v);
            Set(v | reg::EECD_SK);
            Set(v);
        }
    }
    std::uint32_t ShiftIn(int bits) {
        std::uint32_t value = 0;
        for (int i = 0; i < bits; ++i) {
            Set(reg::EECD_REQ | reg::EECD_SK);
            value = (value << 1) | ((p_.ReadRegister(reg::EECD) & reg::EECD_DO) ? 1 : 0);
            Set(reg::EECD_REQ);
        }
        return value;
    }
    void End() {
        Set(reg::EECD_REQ | reg::EECD_CS);
        Pulse(reg::EECD_REQ | reg::EECD_CS);
        p_.WriteRegister(reg::EECD, reg::EECD_CS);  // request released
    }
    bool Command(std::uint8_t opcode) {
        if (!Begin()) return false;
        Shift(opcode, 8);
        End();
        return true;
    }
    bool WriteWord(std::uint32_t word, std::uint16_t value) {
        if (!Begin()) return false;
        Shift(0x02, 8);
        Shift(word * 2, 16);
        Shift(value & 0xFF, 8);
        Shift(value >> 8, 8);
        End();
        return true;
    }
    std::optional<std::uint16_t> ReadWord(std::uint32_t word) {
        if (!Begin()) return std::nullopt;
        Shift(0x03, 8);
        Shift(word * 2, 16);
        const std::uint32_t low = ShiftIn(8);
        const std::uint32_t high = ShiftIn(8);
        End();
        return static_cast<std::uint16_t>(low | (high << 8));
    }

private:
    void Set(std::uint32_t v) { p_.WriteRegister(reg::EECD, v); }
    void Pulse(std::uint32_t v) {
        Set(v | reg::EECD_SK);
        Set(v);
    }
    Port& p_;
};

// A receive ring of `count` descriptors with buffers of `bufferSize` bytes,
// programmed into the port with the receiver enabled and every descriptor
// but one given to the hardware (as the driver keeps it).
struct RxRing {
    RxRing(Machine& m, Port& p, std::uint32_t count, std::uint32_t bufferSize, std::uint32_t rctlExtra = 0)
        : port(p), n(count), size(bufferSize), ring(m.Bus(), 16 * count), buffers(m.Bus(), count * bufferSize) {
        for (std::uint32_t i = 0; i < n; ++i) PutLe(Descriptor(i), buffers.Bus() + i * size, 8);
        p.WriteRegister(reg::RDBAL, static_cast<std::uint32_t>(ring.Bus()));
        p.WriteRegister(reg::RDBAH, static_cast<std::uint32_t>(ring.Bus() >> 32));
        p.WriteRegister(reg::RDLEN, 16 * n);
        p.WriteRegister(reg::RDH, 0);
        p.WriteRegister(reg::RDT, 0);
        std::uint32_t bsize = 0;
        switch (size) {
        case 256: bsize = 0x30000; break;
        case 512: bsize = 0x20000; break;
        case 1024: bsize = 0x10000; break;
        case 2048: bsize = 0; break;
        case 4096: bsize = 0x2030000; break;
        default: ADD_FAILURE() << "buffer size " << size;
        }
        p.WriteRegister(reg::RCTL, reg::RCTL_EN | reg::RCTL_UPE | reg::RCTL_MPE | reg::RCTL_BAM | reg::RCTL_SBP |
                                       reg::RCTL_LPE | bsize | rctlExtra);
    }
    std::uint8_t* Descriptor(std::uint32_t i) const { return ring.Host() + 16 * i; }
    std::uint8_t* Buffer(std::uint32_t i) const { return buffers.Host() + i * size; }
    std::uint16_t Length(std::uint32_t i) const { return static_cast<std::uint16_t>(Le(Descriptor(i) + 8, 2)); }
    std::uint8_t Status(std::uint32_t i) const { return LoadStatus(Descriptor(i)); }
    std::uint8_t Errors(std::uint32_t i) const { return Descriptor(i)[13]; }
    void GiveAll() { port.WriteRegister(reg::RDT, n - 1); }

    Port& port;
    std::uint32_t n;
    std::uint32_t size;
    DmaBlock ring;
    DmaBlock buffers;
};

// A transmit ring of `count` descriptors with a data area.
struct TxRing {
    TxRing(Machine& m, Port& p, std::uint32_t count, std::size_t dataBytes)
        : port(p), n(count), ring(m.Bus(), 16 * count), data(m.Bus(), dataBytes) {
        p.WriteRegister(reg::TDBAL, static_cast<std::uint32_t>(ring.Bus()));
        p.WriteRegister(reg::TDBAH, static_cast<std::uint32_t>(ring.Bus() >> 32));
        p.WriteRegister(reg::TDLEN, 16 * n);
        p.WriteRegister(reg::TDH, 0);
        p.WriteRegister(reg::TDT, 0);
        p.WriteRegister(reg::TCTL, reg::TCTL_EN | reg::TCTL_PSP);
    }
    std::uint8_t* Descriptor(std::uint32_t i) const { return ring.Host() + 16 * i; }
    // Fills descriptor `tail` with `bytes` copied to data offset `at`.
    void Put(std::uint32_t index, std::size_t at, const std::vector<std::uint8_t>& bytes, std::uint8_t command) {
        std::memcpy(data.Host() + at, bytes.data(), bytes.size());
        std::uint8_t* d = Descriptor(index);
        std::memset(d, 0, 16);
        PutLe(d, data.Bus() + at, 8);
        PutLe(d + 8, bytes.size(), 2);
        d[11] = command;
    }
    Port& port;
    std::uint32_t n;
    DmaBlock ring;
    DmaBlock data;
};

inline std::vector<std::uint8_t> TestFrame(std::size_t sizeWithFcs, std::uint8_t seed, bool badFcs = false) {
    std::vector<std::uint8_t> f(sizeWithFcs - 4);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(seed + i * 7);
    f[0] = 0x02;  // unicast, locally administered
    AppendFcs(f);
    if (badFcs) f.back() ^= 0x5A;
    return f;
}

// Brings the MAC link up on a cable between the two ports of a board, with
// a manual clock.
inline void LinkUpCable(Machine& m, Port& a, Port& b) {
    a.WriteRegister(reg::CTRL, reg::CTRL_SLU | reg::CTRL_FD);
    b.WriteRegister(reg::CTRL, reg::CTRL_SLU | reg::CTRL_FD);
    m.Connect(a, b);
    m.Advance(std::chrono::milliseconds(100));
    ASSERT_TRUE(a.LinkUp());
    ASSERT_TRUE(b.LinkUp());
}

}  // namespace hw::test
