// Inside the board model: the state behind Machine, Board and Port, and the
// wires between ports.
//
// Lock order (never taken the other way): a port's delivery lock, then a
// port's lock, then its board's lock, the bus space, the clock and the
// trace record (all leaves). A port holds no lock while it calls a wire, a
// partner port or an interrupt handler; what it has to hand on is gathered
// in an Outbox under its lock and flushed afterwards.
#pragma once

#include <hw/pi_mutex.hpp>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "clock.hpp"
#include "eeprom.hpp"
#include "hw/machine.hpp"
#include "phy.hpp"

namespace hw {

class Wire;

struct Outbox {
    bool levelChanged = false;
    bool restartNegotiation = false;
    bool framesQueued = false;
};

// A frame a wire hands to a port, with what the wire knows of its FCS (a
// generator that made it knows; other wires leave the check to the port).
enum class FcsState : std::uint8_t { Unknown, Good, Bad };
struct WireFrame {
    std::span<const std::uint8_t> bytes;
    std::uint8_t rxErrors = 0;
    FcsState fcs = FcsState::Unknown;
};

struct Port::Impl {
    Impl(Machine::Impl& machine, Board::Impl& board, std::uint32_t function);

    // Entry points (each locks, works, flushes).
    std::uint32_t Read(std::uint32_t offset);
    void Write(std::uint32_t offset, std::uint32_t value);
    // via: the wire the frame or the outcome comes from; a wire that was
    // taken away meanwhile is not listened to. nullptr: a test's frame.
    void Receive(std::span<const std::uint8_t> frame, std::uint8_t rxErrors, const Wire* via);
    // Frames that arrived one after the other, under one hold of the lock.
    void ReceiveBatch(std::span<const WireFrame> frames, const Wire* via);
    LinkAbilities Abilities() const;
    void ApplyResolution(const LinkResolution& resolution, const LinkAbilities& partner, const Wire* via);
    void LinkLost();
    // Frames the wire had for the port but lost before they reached it
    // (a full ring on the way): counted as the receive FIFO's misses.
    void CountMissed(std::uint64_t frames, const Wire* via);
    void SetWire(std::shared_ptr<Wire> wire);
    std::shared_ptr<Wire> GetWire() const;

    // Under lock_.
    struct RxFrame {
        std::vector<std::uint8_t> bytes;
        std::uint8_t errors = 0;
    };
    struct TxPending {
        std::uint32_t index;
        std::uint8_t command;
        std::uint8_t status;
    };
    std::uint32_t& R(std::uint32_t offset) { return regs_[offset / 4]; }
    std::uint32_t RV(std::uint32_t offset) const { return regs_[offset / 4]; }
    void DeviceReset(Outbox& out);
    void SetCause(std::uint32_t causes, Outbox& out);
    void UpdateLine(Outbox& out);
    void UpdateMacLink(Outbox& out);
    bool DmaAllowed() const;
    std::uint32_t RxBufferSize() const;
    void DrainRx(Outbox& out);
    void DrainRx(Outbox& out, std::optional<BusSpace::Run>& dma);
    void ReceiveOne(const WireFrame& frame, bool fromWire, std::optional<BusSpace::Run>& dma, Outbox& out);
    enum class RxDma { Delivered, NoRoom, Fault, Stopped };
    RxDma DmaFrame(BusSpace::Run& dma, const std::uint8_t* bytes, std::size_t size, std::uint8_t errors);
    void ProcessTx(Outbox& out);
    void FinishTx(Outbox& out);
    void ScheduleTx();
    void TxEvent();
    bool AddressAccepted(const std::uint8_t* frame) const;
    void Count(std::uint32_t statistic, std::uint64_t by = 1);
    void Trace(const std::string& text) const;
    void Flush(Outbox& out);
    void NotifyLevel();
    std::string Name() const;

    // Register handlers (table-driven, see port.cpp).
    std::uint32_t ReadStatus(std::uint32_t, Outbox&);
    std::uint32_t ReadEecd(std::uint32_t, Outbox&);
    std::uint32_t ReadEerd(std::uint32_t, Outbox&);
    std::uint32_t ReadIcr(std::uint32_t, Outbox&);
    std::uint32_t ReadWriteOnly(std::uint32_t, Outbox&);
    std::uint32_t ReadStatistic(std::uint32_t, Outbox&);
    std::uint32_t ReadEemngctl(std::uint32_t, Outbox&);
    std::uint32_t ReadSwsm(std::uint32_t, Outbox&);
    void WriteCtrl(std::uint32_t, std::uint32_t, Outbox&);
    void WriteEecd(std::uint32_t, std::uint32_t, Outbox&);
    void WriteEerd(std::uint32_t, std::uint32_t, Outbox&);
    void WriteMdic(std::uint32_t, std::uint32_t, Outbox&);
    void WriteIcr(std::uint32_t, std::uint32_t, Outbox&);
    void WriteIcs(std::uint32_t, std::uint32_t, Outbox&);
    void WriteIms(std::uint32_t, std::uint32_t, Outbox&);
    void WriteImc(std::uint32_t, std::uint32_t, Outbox&);
    void WriteRx(std::uint32_t, std::uint32_t, Outbox&);
    void WriteTx(std::uint32_t, std::uint32_t, Outbox&);
    void WriteSecondQueue(std::uint32_t, std::uint32_t, Outbox&);
    void WriteSwsm(std::uint32_t, std::uint32_t, Outbox&);
    void WriteReadOnly(std::uint32_t, std::uint32_t, Outbox&);

    Machine::Impl& machine_;
    Board::Impl& board_;
    const std::uint32_t function_;
    const std::uint32_t stream_;   // machine-wide port number
    Port* owner_ = nullptr;

    mutable PiMutex lock_;  // the driver's real-time harvest writes RDT under it
    std::vector<std::uint32_t> regs_;
    std::array<std::uint8_t, 256> config_{};
    std::array<std::uint64_t, (0x4124 - 0x4000) / 4 + 1> stats_{};
    Phy phy_;
    bool macLinkUp_ = false;
    bool eerdPending_ = false;
    std::deque<RxFrame> rxFifo_;
    std::size_t rxFifoBytes_ = 0;
    std::vector<std::vector<std::uint8_t>> rxSpare_;  // buffers of frames that left the FIFO, for reuse
    std::vector<std::uint8_t> txPacket_;
    std::vector<TxPending> txPending_;
    bool txPacketFault_ = false;
    // Transmit pacing: the frame on the wire now (its descriptors complete
    // when it has left), the time the link is free again, and whether an
    // event to finish the frame is pending on the clock.
    const bool paced_;
    bool txOnWire_ = false;
    std::int64_t txFreeAt_ = 0;
    std::vector<std::uint8_t> txWireFrame_;
    std::vector<TxPending> txWireDescriptors_;
    BusAddress txWireRing_ = 0;
    bool txEventPending_ = false;
    std::deque<std::vector<std::uint8_t>> txOut_;  // for the wire, in order
    bool capture_ = false;
    std::vector<std::vector<std::uint8_t>> captured_;
    PortCounters counters_;
    std::int64_t lastMiss_ = 0;       // clock time of the last missed frame
    std::int64_t lastTailWrite_ = 0;  // clock time of the driver's last RDT write
    PortFaults faults_;
    std::shared_ptr<Wire> wire_;

    // Frames go to the wire under this lock (not lock_), so that frames of
    // two flushes cannot overtake each other.
    std::mutex deliverLock_;

    // The line and its handler.
    std::atomic<bool> line_{false};
    std::mutex notifyLock_;
    std::condition_variable notifyIdle_;
    std::function<void(bool)> handler_;
    bool notifying_ = false;
    bool notifyAgain_ = false;
};

struct Board::Impl {
    Impl(Machine::Impl& machine, std::uint32_t index, const BoardOptions& options);

    Machine::Impl& machine_;
    const std::uint32_t index_;
    const BoardOptions options_;
    const MacAddress mac_;
    Board* owner_ = nullptr;
    std::array<std::unique_ptr<Port>, 2> ports_;

    // Shared by the two functions; a leaf lock taken under a port's lock.
    mutable std::mutex lock_;
    Eeprom eeprom_;
    int eepromOwner_ = -1;     // function holding the EECD grant
    int semaphoreOwner_ = -1;  // function holding SWSM.SWESMBI
    bool smbi_ = false;
    BoardFaults faults_;
};

struct Machine::Impl {
    explicit Impl(MachineOptions options);
    void Trace(const std::string& text);

    const MachineOptions options_;
    Machine* owner_ = nullptr;
    Clock clock_;
    BusSpace bus_;

    mutable std::mutex boardsLock_;
    std::vector<std::unique_ptr<Board>> boards_;

    std::mutex wiresLock_;  // serialises attaching and detaching wires

    mutable std::mutex traceLock_;
    std::deque<std::string> traces_;
    std::uint64_t traceCount_ = 0;
};

// A wire on one or two ports. Called by ports without their locks held.
class Wire : public std::enable_shared_from_this<Wire> {
public:
    virtual ~Wire() = default;
    // Brings the link up from scratch (after attaching).
    virtual void Start() = 0;
    virtual void Transmit(Port::Impl& from, std::vector<std::uint8_t> frame) = 0;
    // `from` dropped the link and negotiates again (restart, reset, power).
    virtual void Restart(Port::Impl& from) = 0;
    // The wire is taken away: its ports lose the link; pending events die.
    virtual void Detach() = 0;
    virtual std::uint64_t Sent() const { return 0; }
    virtual std::int64_t Slipped() const { return 0; }  // ns a generator's timeline slipped
};

std::shared_ptr<Wire> MakeCable(Machine::Impl& machine, Port::Impl& a, Port::Impl& b);
std::shared_ptr<Wire> MakeGenerator(Machine::Impl& machine, Port::Impl& port, const GeneratorOptions& options);
// nullptr with the reason in *why when the wire cannot be made.
std::shared_ptr<Wire> MakeInterfaceWire(Machine::Impl& machine, Port::Impl& port, const InterfaceOptions& options,
                                        std::string* why);
std::shared_ptr<Wire> MakeCaptureFileWire(Machine::Impl& machine, Port::Impl& port,
                                          const CaptureFileOptions& options, std::string* why);

}  // namespace hw
