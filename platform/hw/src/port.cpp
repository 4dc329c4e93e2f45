// One LAN function of the 82571: register file, EEPROM and PHY access,
// interrupts, receive and transmit DMA.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>

#include "model.hpp"
#include "regs.hpp"

namespace hw {

using namespace reg;

namespace {

// Register table: each implemented register (or array of registers) with
// its reset value, the bits software may write, and the side effects of
// reading and writing it. A register not in the table is traced.
using ReadFn = std::uint32_t (Port::Impl::*)(std::uint32_t, Outbox&);
using WriteFn = void (Port::Impl::*)(std::uint32_t, std::uint32_t, Outbox&);

struct RegDef {
    std::uint32_t offset;
    std::uint32_t count;  // consecutive registers, 4 bytes apart
    const char* name;
    std::uint32_t reset;
    std::uint32_t writable;
    ReadFn read;    // nullptr: the stored value
    WriteFn write;  // nullptr: store the writable bits
};

using I = Port::Impl;
constexpr std::uint32_t kAll = 0xFFFFFFFF;

const RegDef kRegisters[] = {
    {CTRL, 1, "CTRL", CTRL_FD, kAll, nullptr, &I::WriteCtrl},
    {STATUS, 1, "STATUS", 0, 0, &I::ReadStatus, &I::WriteReadOnly},
    {EECD, 1, "EECD", 0, EECD_SK | EECD_CS | EECD_DI | EECD_REQ, &I::ReadEecd, &I::WriteEecd},
    {EERD, 1, "EERD", 0, kAll, &I::ReadEerd, &I::WriteEerd},
    {CTRL_EXT, 1, "CTRL_EXT", 0, kAll, nullptr, nullptr},
    {MDIC, 1, "MDIC", MDIC_READY, kAll, nullptr, &I::WriteMdic},
    {FCAL, 1, "FCAL", 0, kAll, nullptr, nullptr},
    {FCAH, 1, "FCAH", 0, 0xFFFF, nullptr, nullptr},
    {FCT, 1, "FCT", 0, 0xFFFF, nullptr, nullptr},
    {VET, 1, "VET", 0x8100, 0xFFFF, nullptr, nullptr},
    {ICR, 1, "ICR", 0, kAll, &I::ReadIcr, &I::WriteIcr},
    {ITR, 1, "ITR", 0, 0xFFFF, nullptr, nullptr},
    {ICS, 1, "ICS", 0, kAll, &I::ReadWriteOnly, &I::WriteIcs},
    {IMS, 1, "IMS", 0, kAll, nullptr, &I::WriteIms},
    {IMC, 1, "IMC", 0, kAll, &I::ReadWriteOnly, &I::WriteImc},
    {IAM, 1, "IAM", 0, kAll, nullptr, nullptr},
    {RCTL, 1, "RCTL", 0, kAll, nullptr, &I::WriteRx},
    {FCTTV, 1, "FCTTV", 0, 0xFFFF, nullptr, nullptr},
    {TCTL, 1, "TCTL", TCTL_PSP, kAll, nullptr, &I::WriteTx},
    {TIPG, 1, "TIPG", 0x00602008, kAll, nullptr, nullptr},
    {LEDCTL, 1, "LEDCTL", 0x07068302, kAll, nullptr, nullptr},
    {PBA, 1, "PBA", 0x00100030, 0xFFFF, nullptr, nullptr},
    {EEMNGCTL, 1, "EEMNGCTL", 0, 0, &I::ReadEemngctl, &I::WriteReadOnly},
    {FCRTL, 1, "FCRTL", 0, kAll, nullptr, nullptr},
    {FCRTH, 1, "FCRTH", 0, kAll, nullptr, nullptr},
    {RDBAL, 1, "RDBAL", 0, 0xFFFFFFF0, nullptr, nullptr},
    {RDBAH, 1, "RDBAH", 0, kAll, nullptr, nullptr},
    {RDLEN, 1, "RDLEN", 0, 0x000FFF80, nullptr, nullptr},
    {RDH, 1, "RDH", 0, 0xFFFF, nullptr, &I::WriteRx},
    {RDT, 1, "RDT", 0, 0xFFFF, nullptr, &I::WriteRx},
    {RDTR, 1, "RDTR", 0, 0xFFFF, nullptr, nullptr},
    {RXDCTL, 1, "RXDCTL", 0x00010000, kAll, nullptr, nullptr},
    {RADV, 1, "RADV", 0, 0xFFFF, nullptr, nullptr},
    {TDBAL, 1, "TDBAL", 0, 0xFFFFFFF0, nullptr, nullptr},
    {TDBAH, 1, "TDBAH", 0, kAll, nullptr, nullptr},
    {TDLEN, 1, "TDLEN", 0, 0x000FFF80, nullptr, nullptr},
    {TDH, 1, "TDH", 0, 0xFFFF, nullptr, &I::WriteTx},
    {TDT, 1, "TDT", 0, 0xFFFF, nullptr, &I::WriteTx},
    {TIDV, 1, "TIDV", 0, 0xFFFF, nullptr, nullptr},
    {TXDCTL, 1, "TXDCTL", 0x00010000, kAll, nullptr, nullptr},
    {TADV, 1, "TADV", 0, 0xFFFF, nullptr, nullptr},
    {TARC0, 1, "TARC0", 0x00000403, kAll, nullptr, nullptr},
    {TDBAL1, 1, "TDBAL1", 0, 0xFFFFFFF0, nullptr, nullptr},
    {TDBAH1, 1, "TDBAH1", 0, kAll, nullptr, nullptr},
    {TDLEN1, 1, "TDLEN1", 0, 0x000FFF80, nullptr, nullptr},
    {TDH1, 1, "TDH1", 0, 0xFFFF, nullptr, &I::WriteSecondQueue},
    {TDT1, 1, "TDT1", 0, 0xFFFF, nullptr, &I::WriteSecondQueue},
    {TXDCTL1, 1, "TXDCTL1", 0x00010000, kAll, nullptr, nullptr},
    {TARC1, 1, "TARC1", 0x00000403, kAll, nullptr, nullptr},
    {STATS_FIRST, (STATS_LAST - STATS_FIRST) / 4 + 1, "statistics", 0, 0, &I::ReadStatistic, &I::WriteReadOnly},
    {RXCSUM, 1, "RXCSUM", 0x00000300, 0x7FF, nullptr, nullptr},
    {MTA, 128, "MTA", 0, kAll, nullptr, nullptr},
    {RAL0, 32, "RAL/RAH", 0, kAll, nullptr, nullptr},
    {VFTA, 128, "VFTA", 0, kAll, nullptr, nullptr},
    {WUC, 1, "WUC", 0, kAll, nullptr, nullptr},
    {MANC, 1, "MANC", 0, kAll, nullptr, nullptr},
    {SWSM, 1, "SWSM", 0, SWSM_SMBI | SWSM_SWESMBI, &I::ReadSwsm, &I::WriteSwsm},
    {FWSM, 1, "FWSM", 0, 0, nullptr, &I::WriteReadOnly},
};

// Dword index -> table entry (or nullptr), built once.
const std::vector<const RegDef*>& RegisterIndex() {
    static const std::vector<const RegDef*> index = [] {
        std::vector<const RegDef*> v(kBar0Length / 4, nullptr);
        for (const RegDef& d : kRegisters)
            for (std::uint32_t i = 0; i < d.count; ++i) v[d.offset / 4 + i] = &d;
        return v;
    }();
    return index;
}

std::string Hex(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%04X", v);
    return b;
}

std::uint64_t GetLe(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
void PutLe(std::uint8_t* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The 64-bit statistics pairs: low half first, cleared when the high half is read.
bool IsPairLow(std::uint32_t off) { return off == GORCL || off == GOTCL || off == TORL || off == TOTL; }
bool IsPairHigh(std::uint32_t off) { return off == GORCH || off == GOTCH || off == TORH || off == TOTH; }

std::uint32_t SizeBucket(std::size_t len) {
    // PRC64/PTC64 and the five buckets above them: 64, 65-127, 128-255,
    // 256-511, 512-1023, 1024-1522.
    if (len <= 64) return 0;
    if (len <= 127) return 1;
    if (len <= 255) return 2;
    if (len <= 511) return 3;
    if (len <= 1023) return 4;
    return 5;
}

constexpr std::size_t kMaxPacket = 16384;

}  // namespace

// ---------------------------------------------------------------------------
// Construction and configuration space

Port::Impl::Impl(Machine::Impl& machine, Board::Impl& board, std::uint32_t function)
    : machine_(machine), board_(board), function_(function), stream_(board.index_ * 2 + function),
      regs_(kBar0Length / 4, 0),
      paced_(machine.options_.pacedTransmit.value_or(machine.options_.clock == ClockMode::RealTime)) {
    for (const RegDef& d : kRegisters)
        for (std::uint32_t i = 0; i < d.count; ++i) regs_[d.offset / 4 + i] = d.reset;

    auto put16 = [&](std::uint32_t off, std::uint16_t v) { PutLe(&config_[off], v, 2); };
    auto put32 = [&](std::uint32_t off, std::uint32_t v) { PutLe(&config_[off], v, 4); };
    put16(0x00, board.options_.vendorId);
    put16(0x02, board.options_.deviceId);
    put16(0x04, 0x0006);  // memory space and bus master enabled, as firmware leaves it
    put16(0x06, 0x0010);  // capabilities list
    config_[0x08] = 0x06;               // revision
    config_[0x0B] = 0x02;               // class: network controller, Ethernet
    config_[0x0C] = 0x10;               // cache line size
    config_[0x0E] = 0x80;               // multi-function device
    put32(0x10, static_cast<std::uint32_t>(0xF000'0000u + stream_ * kBar0Length));
    put16(0x2C, board.options_.vendorId);
    put16(0x2E, board.options_.deviceId);
    config_[0x34] = 0xE0;               // first capability: PCI Express
    config_[0x3C] = static_cast<std::uint8_t>(16 + stream_);
    config_[0x3D] = static_cast<std::uint8_t>(1 + function);  // INTA / INTB
    config_[0xE0] = 0x10;               // PCI Express capability, last in the list
    put16(0xE2, 0x0001);
    const std::uint32_t width = board.options_.pcieLinkWidth;
    put32(0xEC, 0x1 | (4u << 4));                         // link capabilities: 2.5 GT/s, x4
    put16(0xF2, static_cast<std::uint16_t>(0x1 | ((width & 0x3F) << 4)));  // link status
}

std::string Port::Impl::Name() const {
    return "board " + std::to_string(board_.index_) + " function " + std::to_string(function_);
}

void Port::Impl::Trace(const std::string& text) const { machine_.Trace(Name() + ": " + text); }

// ---------------------------------------------------------------------------
// Entry points

std::uint32_t Port::Impl::Read(std::uint32_t offset) {
    Outbox out;
    std::uint32_t value = 0;
    {
        std::lock_guard lock(lock_);
        const RegDef* d = (offset % 4 == 0 && offset < kBar0Length) ? RegisterIndex()[offset / 4] : nullptr;
        if (faults_.removed) {
            value = 0xFFFFFFFF;  // nobody answers on the bus
        } else if (d == nullptr) {
            Trace("read of unimplemented register " + Hex(offset));
        } else {
            value = d->read ? (this->*d->read)(offset, out) : RV(offset);
        }
        UpdateLine(out);
    }
    Flush(out);
    return value;
}

void Port::Impl::Write(std::uint32_t offset, std::uint32_t value) {
    Outbox out;
    {
        std::lock_guard lock(lock_);
        const RegDef* d = (offset % 4 == 0 && offset < kBar0Length) ? RegisterIndex()[offset / 4] : nullptr;
        if (faults_.removed) {
            // The write goes nowhere.
        } else if (d == nullptr) {
            Trace("write of unimplemented register " + Hex(offset) + " = " + Hex(value));
        } else if (d->write) {
            (this->*d->write)(offset, value, out);
        } else {
            R(offset) = (RV(offset) & ~d->writable) | (value & d->writable);
        }
        UpdateLine(out);
    }
    Flush(out);
}

void Port::Impl::Flush(Outbox& out) {
    if (out.restartNegotiation) {
        if (auto wire = GetWire()) wire->Restart(*this);
    }
    if (out.framesQueued) {
        std::lock_guard deliver(deliverLock_);
        for (;;) {
            std::vector<std::uint8_t> frame;
            std::shared_ptr<Wire> wire;
            {
                std::lock_guard lock(lock_);
                if (txOut_.empty()) break;
                frame = std::move(txOut_.front());
                txOut_.pop_front();
                wire = wire_;
            }
            if (wire) wire->Transmit(*this, std::move(frame));
        }
    }
    if (out.levelChanged) NotifyLevel();
}

void Port::Impl::NotifyLevel() {
    // One thread at a time calls the handler; a change reported meanwhile
    // makes it call again with the level as it is then.
    std::unique_lock lock(notifyLock_);
    if (notifying_) {
        notifyAgain_ = true;
        return;
    }
    notifying_ = true;
    do {
        notifyAgain_ = false;
        auto handler = handler_;
        const bool level = line_.load(std::memory_order_acquire);
        lock.unlock();
        if (handler) handler(level);
        lock.lock();
    } while (notifyAgain_);
    notifying_ = false;
    notifyIdle_.notify_all();
}

void Port::Impl::SetCause(std::uint32_t causes, Outbox& out) {
    R(ICR) |= causes;
    UpdateLine(out);
}

void Port::Impl::UpdateLine(Outbox& out) {
    const bool level = (RV(ICR) & RV(IMS)) != 0;
    if (level != line_.load(std::memory_order_relaxed)) {
        line_.store(level, std::memory_order_release);
        out.levelChanged = true;
    }
}

void Port::Impl::UpdateMacLink(Outbox& out) {
    const bool up = phy_.LinkUp() && (RV(CTRL) & CTRL_SLU);
    if (up != macLinkUp_) {
        macLinkUp_ = up;
        SetCause(ICR_LSC, out);
    }
}

void Port::Impl::Count(std::uint32_t statistic, std::uint64_t by) { stats_[(statistic - STATS_FIRST) / 4] += by; }

LinkAbilities Port::Impl::Abilities() const {
    std::lock_guard lock(lock_);
    return phy_.Abilities();
}

void Port::Impl::ApplyResolution(const LinkResolution& resolution, const LinkAbilities& partner, const Wire* via) {
    Outbox out;
    {
        std::lock_guard lock(lock_);
        if (wire_.get() != via) return;  // that wire is gone
        phy_.Apply(resolution, partner);
        UpdateMacLink(out);
        DrainRx(out);
        ProcessTx(out);
    }
    Flush(out);
}

void Port::Impl::LinkLost() {
    Outbox out;
    {
        std::lock_guard lock(lock_);
        phy_.LinkLost();
        UpdateMacLink(out);
    }
    Flush(out);
}

void Port::Impl::CountMissed(std::uint64_t frames, const Wire* via) {
    Outbox out;
    {
        std::lock_guard lock(lock_);
        if (frames == 0 || wire_.get() != via) return;
        counters_.offered += frames;
        if (!macLinkUp_ || !(RV(RCTL) & RCTL_EN) || faults_.removed) {
            counters_.ignored += frames;  // they would not have been taken anyway
            return;
        }
        counters_.missed += frames;
        Count(MPC, frames);
        SetCause(ICR_RXO, out);
    }
    Flush(out);
}

void Port::Impl::SetWire(std::shared_ptr<Wire> wire) {
    std::lock_guard lock(lock_);
    wire_ = std::move(wire);
}

std::shared_ptr<Wire> Port::Impl::GetWire() const {
    std::lock_guard lock(lock_);
    return wire_;
}

// ---------------------------------------------------------------------------
// Reset, control and status

void Port::Impl::DeviceReset(Outbox& out) {
    // Every MAC register returns to its reset value; the PHY, the
    // configuration space and the EEPROM are not touched by a device reset.
    for (const RegDef& d : kRegisters)
        for (std::uint32_t i = 0; i < d.count; ++i) regs_[d.offset / 4 + i] = d.reset;
    stats_.fill(0);
    rxFifo_.clear();
    rxFifoBytes_ = 0;
    txPacket_.clear();
    txPending_.clear();
    txPacketFault_ = false;
    txOnWire_ = false;  // the frame being sent is cut off
    eerdPending_ = false;
    macLinkUp_ = false;  // CTRL.SLU is clear again: the MAC link stays down until set
    {
        std::lock_guard board(board_.lock_);
        if (board_.eepromOwner_ == static_cast<int>(function_)) {
            board_.eeprom_.Drive(true, false, false);
            board_.eepromOwner_ = -1;
        }
    }
    UpdateLine(out);
}

void Port::Impl::WriteCtrl(std::uint32_t, std::uint32_t value, Outbox& out) {
    if (value & CTRL_RST) {
        DeviceReset(out);  // self-clearing, done at once
        return;
    }
    const std::uint32_t old = RV(CTRL);
    R(CTRL) = value;
    if (value & (CTRL_FRCSPD | CTRL_FRCDPLX))
        Trace("forced MAC speed/duplex (CTRL " + Hex(value) + ") is not modelled; the PHY's resolution is used");
    if ((old ^ value) & CTRL_PHY_RST) {
        // Into reset the link drops (the partner sees it go); out of reset
        // the PHY negotiates again from its defaults.
        phy_.HoldReset(value & CTRL_PHY_RST);
        out.restartNegotiation = true;
    }
    UpdateMacLink(out);
    if ((old & CTRL_GIO_MASTER_DISABLE) && !(value & CTRL_GIO_MASTER_DISABLE)) {
        DrainRx(out);
        ProcessTx(out);
    }
}

std::uint32_t Port::Impl::ReadStatus(std::uint32_t, Outbox&) {
    std::uint32_t v = function_ << STATUS_FUNC_SHIFT;
    if (macLinkUp_) {
        v |= STATUS_LU;
        const std::uint32_t mode = phy_.Mode();
        if (ModeFullDuplex(mode)) v |= STATUS_FD;
        if (ModeSpeed(mode) == 1000) v |= STATUS_SPEED_1000;
        if (ModeSpeed(mode) == 100) v |= STATUS_SPEED_100;
    }
    // No master request is ever outstanding between register accesses, so
    // GIO master disable takes effect at once.
    if (!(RV(CTRL) & CTRL_GIO_MASTER_DISABLE)) v |= STATUS_GIO_MASTER_ENABLE;
    return v;
}

void Port::Impl::WriteReadOnly(std::uint32_t offset, std::uint32_t value, Outbox&) {
    Trace("write of read-only register " + Hex(offset) + " = " + Hex(value) + " ignored");
}

std::uint32_t Port::Impl::ReadWriteOnly(std::uint32_t offset, Outbox&) {
    Trace("read of write-only register " + Hex(offset));
    return 0;
}

std::uint32_t Port::Impl::ReadEemngctl(std::uint32_t, Outbox&) {
    std::lock_guard board(board_.lock_);
    // Configuration is loaded from the EEPROM: a silent EEPROM never finishes.
    return board_.faults_.eepromSilent ? 0 : (EEMNGCTL_CFG_DONE0 | EEMNGCTL_CFG_DONE1);
}

// ---------------------------------------------------------------------------
// EEPROM and software semaphore (shared with the other function)

std::uint32_t Port::Impl::ReadEecd(std::uint32_t, Outbox&) {
    std::lock_guard board(board_.lock_);
    std::uint32_t v = RV(EECD) & (EECD_SK | EECD_CS | EECD_DI | EECD_REQ);
    v |= EECD_PRES | EECD_ADDR_BITS;
    // Size field: words = 1 << (field + 6).
    const std::uint32_t field = static_cast<std::uint32_t>(std::countr_zero(board_.eeprom_.Words())) - 6;
    v |= field << 11;
    if (!board_.faults_.eepromSilent) v |= EECD_AUTO_RD;
    if (board_.eepromOwner_ == static_cast<int>(function_)) {
        v |= EECD_GNT;
        if (board_.eeprom_.DataOut()) v |= EECD_DO;
    }
    return v;
}

void Port::Impl::WriteEecd(std::uint32_t, std::uint32_t value, Outbox&) {
    R(EECD) = value & (EECD_SK | EECD_CS | EECD_DI | EECD_REQ);
    std::lock_guard board(board_.lock_);
    const int me = static_cast<int>(function_);
    if ((value & EECD_REQ) && board_.eepromOwner_ == -1) board_.eepromOwner_ = me;
    if (board_.eepromOwner_ != me) return;
    if (!(value & EECD_REQ)) {
        // Giving up the grant ends any transfer in progress.
        board_.eeprom_.Drive(true, false, false);
        board_.eepromOwner_ = -1;
        return;
    }
    board_.eeprom_.Drive(value & EECD_CS, value & EECD_SK, value & EECD_DI);
}

void Port::Impl::WriteEerd(std::uint32_t, std::uint32_t value, Outbox&) {
    if (!(value & EERD_START)) return;
    R(EERD) = value & 0xFFFC;  // address kept, done and data clear
    eerdPending_ = true;
}

std::uint32_t Port::Impl::ReadEerd(std::uint32_t, Outbox&) {
    if (eerdPending_) {
        std::lock_guard board(board_.lock_);
        // The read waits while software of either function bit-bangs the
        // part, and never ends when the part is silent.
        if (!board_.faults_.eepromSilent && board_.eepromOwner_ == -1) {
            const std::uint32_t address = (RV(EERD) >> 2) & 0x3FFF;
            R(EERD) = (static_cast<std::uint32_t>(board_.eeprom_.ReadWord(address)) << 16) | (address << 2) |
                      EERD_DONE;
            eerdPending_ = false;
        }
    }
    return RV(EERD);
}

std::uint32_t Port::Impl::ReadSwsm(std::uint32_t, Outbox&) {
    std::lock_guard board(board_.lock_);
    std::uint32_t v = board_.smbi_ ? SWSM_SMBI : 0;
    board_.smbi_ = true;  // reading takes the hardware semaphore bit
    if (board_.semaphoreOwner_ == static_cast<int>(function_)) v |= SWSM_SWESMBI;
    return v;
}

void Port::Impl::WriteSwsm(std::uint32_t, std::uint32_t value, Outbox&) {
    std::lock_guard board(board_.lock_);
    if (!(value & SWSM_SMBI)) board_.smbi_ = false;
    if (board_.faults_.semaphoreStuck) return;  // firmware holds it for good
    if (value & SWSM_SWESMBI) {
        if (board_.semaphoreOwner_ == -1) board_.semaphoreOwner_ = static_cast<int>(function_);
    } else {
        // The register is shared: a clear releases the semaphore whoever
        // holds it (software breaks a stale hold this way).
        board_.semaphoreOwner_ = -1;
    }
}

// ---------------------------------------------------------------------------
// PHY through MDIC

void Port::Impl::WriteMdic(std::uint32_t, std::uint32_t value, Outbox& out) {
    const std::uint32_t op = value & (3u << 26);
    const std::uint32_t phyAddress = (value >> 21) & 0x1F;
    const std::uint32_t reg = (value >> 16) & 0x1F;
    std::uint32_t result = value & ~(MDIC_READY | MDIC_ERROR);
    if (faults_.phyNeverReady) {
        R(MDIC) = result;  // the cycle never finishes
        return;
    }
    if (op != MDIC_OP_READ && op != MDIC_OP_WRITE) {
        Trace("MDIC with invalid opcode " + Hex(value));
        R(MDIC) = result | MDIC_READY | MDIC_ERROR;
        return;
    }
    if (phyAddress != phy::kAddress || phy_.InReset()) {
        R(MDIC) = result | MDIC_READY | MDIC_ERROR;  // nobody answers
        return;
    }
    if (op == MDIC_OP_READ) {
        auto v = phy_.Read(reg);
        if (!v) Trace("read of unimplemented PHY register " + std::to_string(reg));
        result = (result & ~0xFFFFu) | v.value_or(0);
    } else {
        bool restart = false;
        if (!phy_.Write(reg, static_cast<std::uint16_t>(value & 0xFFFF), restart))
            Trace("write of unimplemented PHY register " + std::to_string(reg) + " = " + Hex(value & 0xFFFF));
        if (restart) {
            phy_.LinkLost();
            UpdateMacLink(out);
            out.restartNegotiation = true;
        }
    }
    R(MDIC) = result | MDIC_READY;
}

// ---------------------------------------------------------------------------
// Interrupts and statistics

std::uint32_t Port::Impl::ReadIcr(std::uint32_t, Outbox& out) {
    std::uint32_t v = RV(ICR);
    if (v & RV(IMS)) v |= ICR_ASSERTED;
    R(ICR) = 0;  // clear on read
    UpdateLine(out);
    return v;
}

void Port::Impl::WriteIcr(std::uint32_t, std::uint32_t value, Outbox& out) {
    R(ICR) &= ~value;
    UpdateLine(out);
}

void Port::Impl::WriteIcs(std::uint32_t, std::uint32_t value, Outbox& out) { SetCause(value & ~ICR_ASSERTED, out); }

void Port::Impl::WriteIms(std::uint32_t, std::uint32_t value, Outbox& out) {
    R(IMS) |= value;
    UpdateLine(out);
}

void Port::Impl::WriteImc(std::uint32_t, std::uint32_t value, Outbox& out) {
    R(IMS) &= ~value;
    UpdateLine(out);
}

std::uint32_t Port::Impl::ReadStatistic(std::uint32_t offset, Outbox&) {
    std::uint64_t& c = stats_[(offset - STATS_FIRST) / 4];
    // A 64-bit pair is read low half first. Reading it latches the count
    // (kept, plus one, in the high half's slot, which is never counted
    // into), and reading the high half clears what was latched: octets of
    // frames that arrive between the two reads wait for the next read
    // instead of being cleared unseen.
    if (IsPairLow(offset)) {
        stats_[(offset + 4 - STATS_FIRST) / 4] = c + 1;
        return static_cast<std::uint32_t>(c);
    }
    if (IsPairHigh(offset)) {
        std::uint64_t& count = stats_[(offset - 4 - STATS_FIRST) / 4];
        const std::uint64_t latched = c != 0 ? c - 1 : count;
        c = 0;
        count -= latched;
        return static_cast<std::uint32_t>(latched >> 32);
    }
    const auto v = static_cast<std::uint32_t>(std::min<std::uint64_t>(c, 0xFFFFFFFF));  // counters stick at the top
    c = 0;
    return v;
}

// ---------------------------------------------------------------------------
// Receive

bool Port::Impl::DmaAllowed() const {
    const bool busMaster = config_[0x04] & 0x04;
    return busMaster && !(RV(CTRL) & CTRL_GIO_MASTER_DISABLE);
}

std::uint32_t Port::Impl::RxBufferSize() const {
    const std::uint32_t bsize = (RV(RCTL) >> RCTL_BSIZE_SHIFT) & 3;
    if (RV(RCTL) & RCTL_BSEX) {
        static constexpr std::uint32_t kExtended[] = {2048, 16384, 8192, 4096};
        return kExtended[bsize];
    }
    static constexpr std::uint32_t kNormal[] = {2048, 1024, 512, 256};
    return kNormal[bsize];
}

void Port::Impl::WriteRx(std::uint32_t offset, std::uint32_t value, Outbox& out) {
    R(offset) = offset == RCTL ? value : value & 0xFFFF;
    if (offset == RDT) lastTailWrite_ = machine_.clock_.Now();
    if (offset == RCTL && (value & RCTL_BSEX) && ((value >> RCTL_BSIZE_SHIFT) & 3) == 0)
        Trace("RCTL buffer size with BSEX and BSIZE 0 is reserved; 2048 bytes used");
    if (offset == RCTL && !(value & RCTL_EN)) {
        // A disabled receiver drops what waits in its FIFO.
        counters_.ignored += rxFifo_.size();
        rxFifo_.clear();
        rxFifoBytes_ = 0;
    }
    DrainRx(out);
}

bool Port::Impl::AddressAccepted(const std::uint8_t* f) const {
    const std::uint32_t rctl = RV(RCTL);
    const bool broadcast = std::all_of(f, f + 6, [](std::uint8_t b) { return b == 0xFF; });
    if (broadcast) return rctl & RCTL_BAM;
    if (f[0] & 1) {
        if (rctl & RCTL_MPE) return true;
        // Multicast table, hashed on destination bits selected by RCTL.MO.
        const std::uint32_t mo = (rctl >> RCTL_MO_SHIFT) & 3;
        const std::uint32_t both = f[4] | (static_cast<std::uint32_t>(f[5]) << 8);
        const std::uint32_t hash = (both >> (4 - mo)) & 0xFFF;
        return (RV(MTA + (hash >> 5) * 4) >> (hash & 31)) & 1;
    }
    if (rctl & RCTL_UPE) return true;
    for (std::uint32_t i = 0; i < 16; ++i) {
        const std::uint32_t ral = RV(RAL0 + 8 * i);
        const std::uint32_t rah = RV(RAH0 + 8 * i);
        if (!(rah & RAH_AV)) continue;
        if (GetLe(f, 4) == ral && GetLe(f + 4, 2) == (rah & 0xFFFF)) return true;
    }
    return false;
}

void Port::Impl::Receive(std::span<const std::uint8_t> frame, std::uint8_t rxErrors, const Wire* via) {
    const WireFrame one{frame, rxErrors, FcsState::Unknown};
    ReceiveBatch({&one, 1}, via);
}

void Port::Impl::ReceiveBatch(std::span<const WireFrame> frames, const Wire* via) {
    Outbox out;
    {
        std::lock_guard lock(lock_);
        if (via != nullptr && wire_.get() != via) return;  // from a wire taken away meanwhile
        // One hold of the bus mappings for the whole batch, taken when the
        // first frame goes to memory.
        std::optional<BusSpace::Run> dma;
        for (const WireFrame& frame : frames) ReceiveOne(frame, via != nullptr, dma, out);
    }
    Flush(out);
}

void Port::Impl::ReceiveOne(const WireFrame& in, bool fromWire, std::optional<BusSpace::Run>& dma, Outbox& out) {
    const std::span<const std::uint8_t> frame = in.bytes;
    ++counters_.offered;
    // A test's frame needs no link; one from the wire does.
    if ((fromWire && !macLinkUp_) || !(RV(RCTL) & RCTL_EN) || frame.size() < 14 || faults_.removed) {
        ++counters_.ignored;
        return;
    }
    const std::size_t len = frame.size();
    Count(TPR);
    Count(TORL, len);
    std::uint8_t errors = in.rxErrors & (kRxSymbolError | kRxSequenceError | kRxDataError);
    const bool fcsGood = in.fcs == FcsState::Unknown ? FcsValid(frame) : in.fcs == FcsState::Good;
    if (!fcsGood) {
        errors |= RXD_ERR_CE;
        Count(CRCERRS);
    }
    if (errors & kRxSymbolError) Count(SYMERRS);
    if (errors & kRxSequenceError) Count(SEC);
    if (errors & kRxDataError) Count(RXERRC);
    const std::size_t maxLen = (RV(RCTL) & RCTL_LPE) ? kMaxPacket : 1522;
    bool drop = false;
    if (len < kMinFrameWithFcs) {
        if (!errors) Count(RUC);
        drop = true;
    } else if (len > maxLen) {
        Count(ROC);
        drop = true;
    }
    if (errors && !(RV(RCTL) & RCTL_SBP)) drop = true;
    if (drop || !AddressAccepted(frame.data())) {
        ++counters_.ignored;
        return;
    }
    // No descriptor at all: counted, and the frame still goes to the
    // FIFO when there is room.
    if (RV(RDH) == RV(RDT)) Count(RNBC);
    const std::size_t fifo = static_cast<std::size_t>(RV(PBA) & 0xFFFF) * 1024;
    if (rxFifoBytes_ + len > fifo) {
        Count(MPC);
        ++counters_.missed;
        // When and why frames are missed: a new run of misses, and how long
        // the driver had left the tail where it was (a late harvest).
        const std::int64_t now = machine_.clock_.Now();
        if (counters_.missed == 1 || now - lastMiss_ > 1'000'000) ++counters_.missBursts;
        lastMiss_ = now;
        counters_.longestTailWait = std::max<std::uint64_t>(counters_.longestTailWait, now - lastTailWrite_);
        SetCause(ICR_RXO, out);
        return;
    }
    if (!errors) {
        Count(GPRC);
        Count(GORCL, len);
        Count(PRC64 + 4 * SizeBucket(len));
        if (frame[0] == 0xFF && frame[1] == 0xFF) Count(BPRC);
        else if (frame[0] & 1) Count(MPRC);
    }
    // An empty FIFO passes the frame straight on to memory when a
    // descriptor is ready; otherwise it waits its turn in the FIFO.
    if (rxFifo_.empty()) {
        if (!dma) dma.emplace(machine_.bus_);
        switch (DmaFrame(*dma, frame.data(), len, errors)) {
        case RxDma::Delivered:
            ++counters_.delivered;
            SetCause(ICR_RXT0, out);
            return;
        case RxDma::Fault:
            ++counters_.dmaFaults;
            return;
        case RxDma::NoRoom:
        case RxDma::Stopped:
            break;
        }
    }
    std::vector<std::uint8_t> bytes;
    if (!rxSpare_.empty()) {
        bytes = std::move(rxSpare_.back());
        rxSpare_.pop_back();
    }
    bytes.assign(frame.begin(), frame.end());
    rxFifoBytes_ += len;
    rxFifo_.push_back({std::move(bytes), errors});
}

void Port::Impl::DrainRx(Outbox& out) {
    std::optional<BusSpace::Run> dma;
    DrainRx(out, dma);
}

void Port::Impl::DrainRx(Outbox& out, std::optional<BusSpace::Run>& dma) {
    constexpr std::size_t kSpareBuffers = 256;
    while (!rxFifo_.empty()) {
        if (!dma) dma.emplace(machine_.bus_);
        RxFrame& f = rxFifo_.front();
        const RxDma outcome = DmaFrame(*dma, f.bytes.data(), f.bytes.size(), f.errors);
        if (outcome == RxDma::NoRoom || outcome == RxDma::Stopped) break;  // the frame waits in the FIFO
        if (outcome == RxDma::Delivered) {
            ++counters_.delivered;
            SetCause(ICR_RXT0, out);
        } else {
            ++counters_.dmaFaults;
        }
        rxFifoBytes_ -= f.bytes.size();
        if (rxSpare_.size() < kSpareBuffers) rxSpare_.push_back(std::move(f.bytes));
        rxFifo_.pop_front();
    }
}

Port::Impl::RxDma Port::Impl::DmaFrame(BusSpace::Run& dma, const std::uint8_t* bytes, std::size_t size,
                                       std::uint8_t errors) {
    if (!(RV(RCTL) & RCTL_EN) || !DmaAllowed()) return RxDma::Stopped;
    const std::uint32_t n = RV(RDLEN) / 16;
    if (n == 0) return RxDma::Stopped;
    const std::uint32_t head = RV(RDH);
    const std::uint32_t tail = RV(RDT);
    if (head >= n || tail >= n) {
        Trace("receive head " + std::to_string(head) + " or tail " + std::to_string(tail) +
              " outside a ring of " + std::to_string(n));
        return RxDma::Stopped;
    }
    std::size_t len = size;
    if (RV(RCTL) & RCTL_SECRC) len -= 4;  // FCS stripped
    const std::uint32_t bufferSize = RxBufferSize();
    const std::uint32_t need = static_cast<std::uint32_t>((len + bufferSize - 1) / bufferSize);
    const std::uint32_t available = tail >= head ? tail - head : tail + n - head;
    if (available < need) return RxDma::NoRoom;
    // Fill the buffers first; write the descriptors back only when the
    // whole frame is in memory, so a refused DMA leaves no half frame.
    const BusAddress ring = (static_cast<BusAddress>(RV(RDBAH)) << 32) | RV(RDBAL);
    constexpr std::uint32_t kMaxDescriptors = kMaxPacket / 256;
    std::array<std::uint8_t*, kMaxDescriptors> descriptors;
    std::uint32_t index = head;
    for (std::uint32_t i = 0; i < need; ++i) {
        auto* d = reinterpret_cast<std::uint8_t*>(dma.Host(ring + 16ull * index, 16, false, "receive descriptor read"));
        if (d == nullptr) return RxDma::Fault;
        descriptors[i] = d;
        const std::size_t at = static_cast<std::size_t>(i) * bufferSize;
        const std::size_t chunk = std::min<std::size_t>(bufferSize, len - at);
        std::byte* buffer = dma.Host(GetLe(d, 8), chunk, true, "receive buffer write");
        if (buffer == nullptr) return RxDma::Fault;
        std::memcpy(buffer, bytes + at, chunk);
        index = index + 1 == n ? 0 : index + 1;
    }
    for (std::uint32_t i = 0; i < need; ++i) {
        std::uint8_t* d = descriptors[i];
        const std::size_t at = static_cast<std::size_t>(i) * bufferSize;
        const std::size_t chunk = std::min<std::size_t>(bufferSize, len - at);
        PutLe(d + 8, chunk, 2);  // length; the packet checksum (bytes 10-11) is not computed
        PutLe(d + 10, 0, 2);
        d[13] = errors;
        PutLe(d + 14, 0, 2);
        // Status last, with release: the driver polls it without a lock.
        const std::uint8_t status = RXD_STAT_DD | RXD_STAT_IXSM | (i + 1 == need ? RXD_STAT_EOP : 0);
        std::atomic_ref<std::uint8_t>(d[12]).store(status, std::memory_order_release);
    }
    R(RDH) = index;
    return RxDma::Delivered;
}

// ---------------------------------------------------------------------------
// Transmit

void Port::Impl::WriteSecondQueue(std::uint32_t offset, std::uint32_t value, Outbox&) {
    R(offset) = value & 0xFFFF;
    // The second transmit queue is programmed but never run by the model:
    // a tail ahead of the head would be a queue that silently never sends.
    if (RV(TDT1) != RV(TDH1)) Trace("transmit queue 1 is not modelled (TDT1 " + Hex(RV(TDT1)) + ")");
}

void Port::Impl::WriteTx(std::uint32_t offset, std::uint32_t value, Outbox& out) {
    R(offset) = offset == TCTL ? value : value & 0xFFFF;
    if (offset == TDH) {
        txPacket_.clear();
        txPending_.clear();
        txPacketFault_ = false;
        txOnWire_ = false;
    }
    ProcessTx(out);
}

void Port::Impl::ProcessTx(Outbox& out) {
    if (!(RV(TCTL) & TCTL_EN) || !DmaAllowed()) return;
    const std::uint32_t n = RV(TDLEN) / 16;
    if (n == 0) return;
    std::uint32_t head = RV(TDH);
    const std::uint32_t tail = RV(TDT);
    if (head >= n || tail >= n) {
        Trace("transmit head " + std::to_string(head) + " or tail " + std::to_string(tail) +
              " outside a ring of " + std::to_string(n));
        return;
    }
    // The frame on the wire leaves first; the next one follows it back to
    // back. An idle link starts the next frame now.
    const std::int64_t now = paced_ ? machine_.clock_.Now() : 0;
    bool progressed = false;
    std::int64_t start = std::max(now, txFreeAt_);
    if (txOnWire_) {
        if (txFreeAt_ > now) {
            ScheduleTx();  // its event finishes it
            return;
        }
        FinishTx(out);
        progressed = true;
        start = txFreeAt_;
    }
    BusSpace& bus = machine_.bus_;
    const BusAddress ring = (static_cast<BusAddress>(RV(TDBAH)) << 32) | RV(TDBAL);
    while (head != tail) {
        std::uint8_t d[16];
        if (!bus.Read(ring + 16ull * head, d, 16, "transmit descriptor read")) {
            // The ring itself is unreachable: the queue stalls here.
            ++counters_.txDmaFaults;
            break;
        }
        const std::uint8_t command = d[11];
        const std::size_t length = GetLe(d + 8, 2);
        bool endOfPacket = command & TXD_CMD_EOP;
        if (command & TXD_CMD_DEXT) {
            Trace("extended transmit descriptor (command " + Hex(command) + ") is not modelled; skipped");
            txPacketFault_ = true;
            endOfPacket = true;
        } else if (length > 0 && !txPacketFault_) {
            const std::size_t at = txPacket_.size();
            txPacket_.resize(at + length);
            if (!bus.Read(GetLe(d, 8), txPacket_.data() + at, length, "transmit buffer read")) txPacketFault_ = true;
        }
        txPending_.push_back({head, command, d[12]});
        head = (head + 1) % n;
        R(TDH) = head;
        if (!endOfPacket) continue;

        std::vector<std::uint8_t> frame = std::move(txPacket_);
        txPacket_.clear();
        const bool insertFcs = command & TXD_CMD_IFCS;
        bool onWire = false;
        if (txPacketFault_ || frame.size() + (insertFcs ? 4 : 0) > kMaxPacket) {
            if (!txPacketFault_) Trace("transmit packet of " + std::to_string(frame.size()) + " bytes dropped");
            ++counters_.txDmaFaults;
        } else {
            if (insertFcs) {
                if ((RV(TCTL) & TCTL_PSP) && frame.size() < kMinFrameWithFcs - 4) frame.resize(kMinFrameWithFcs - 4, 0);
                AppendFcs(frame);
            }
            onWire = macLinkUp_;
            if (!onWire) ++counters_.txDropped;  // no carrier: the frame goes nowhere
        }
        txWireFrame_ = std::move(frame);
        txWireFrame_.resize(onWire ? txWireFrame_.size() : 0);
        std::swap(txWireDescriptors_, txPending_);
        txPending_.clear();
        txWireRing_ = ring;
        txPacketFault_ = false;
        txOnWire_ = true;
        // Preamble and start delimiter (8 bytes), the frame (64 bytes at
        // least) and the inter-frame gap (12 bytes) at the link's speed.
        const std::uint32_t speed = paced_ && onWire ? ModeSpeed(phy_.Mode()) : 0;
        const std::size_t wireBytes = std::max(txWireFrame_.size(), kMinFrameWithFcs) + 20;
        const std::int64_t end = speed == 0 ? start : start + static_cast<std::int64_t>(wireBytes * 8000 / speed);
        txFreeAt_ = end;
        if (end > now) {
            ScheduleTx();
            return;
        }
        FinishTx(out);
        progressed = true;
        start = end;
    }
    if (progressed && head == tail && !txOnWire_) SetCause(ICR_TXQE, out);
}

void Port::Impl::FinishTx(Outbox& out) {
    txOnWire_ = false;
    if (!txWireFrame_.empty()) {
        std::vector<std::uint8_t> frame = std::move(txWireFrame_);
        txWireFrame_.clear();
        if (macLinkUp_) {
            Count(TPT);
            Count(GPTC);
            Count(TOTL, frame.size());
            Count(GOTCL, frame.size());
            Count(PTC64 + 4 * SizeBucket(frame.size()));
            if (frame.size() >= 6 && frame[0] == 0xFF && frame[1] == 0xFF) Count(BPTC);
            else if (frame[0] & 1) Count(MPTC);
            ++counters_.transmitted;
            if (capture_) captured_.push_back(frame);
            txOut_.push_back(std::move(frame));
            out.framesQueued = true;
        } else {
            ++counters_.txDropped;  // the link went while the frame was on it
        }
    }
    // Status written back on request, after the packet has left.
    bool reported = false;
    for (const TxPending& p : txWireDescriptors_) {
        if (!(p.command & TXD_CMD_RS)) continue;
        const std::uint8_t status = static_cast<std::uint8_t>((p.status & 0xF0) | TXD_STAT_DD);
        machine_.bus_.StoreRelease8(txWireRing_ + 16ull * p.index + 12, status, "transmit descriptor status");
        reported = true;
    }
    txWireDescriptors_.clear();
    if (reported) SetCause(ICR_TXDW, out);
}

void Port::Impl::ScheduleTx() {
    // One event at a time; an event that comes early (the frame it was for
    // was cut off by a reset) finds the frame still on the wire and asks again.
    if (txEventPending_) return;
    txEventPending_ = true;
    machine_.clock_.Schedule(txFreeAt_, [this] { TxEvent(); });
}

void Port::Impl::TxEvent() {
    Outbox out;
    {
        std::lock_guard lock(lock_);
        txEventPending_ = false;
        ProcessTx(out);
    }
    Flush(out);
}

}  // namespace hw
