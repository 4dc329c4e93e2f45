// The hardware of one machine: a bus address space, a clock, 82571 boards
// of two ports (PCI functions) each, and the wires on their ports.
//
// Threads and locks. Each port has its own lock; a board has a small one
// for what its two functions share (EEPROM, software semaphore); the clock
// and the bus space have their own. A port never calls into another port
// or into a callback while holding its lock: frames for the wire and
// interrupt changes are gathered under the lock and handed on after it is
// released, so two cabled ports transmitting at each other cannot deadlock.
//
// Clock. In real-time mode the machine runs one model thread that fires due
// events (autonegotiation completing, generator frames) at their time. In
// manual mode nothing happens on its own: a test moves time with Advance()
// and the due events run on the test's thread, in time order, so a test is
// fully deterministic.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hw/bus_space.hpp"
#include "hw/ethernet.hpp"
#include "hw/pci_function.hpp"

namespace hw {

enum class ClockMode { RealTime, Manual };

struct MachineOptions {
    ClockMode clock = ClockMode::RealTime;
    // Time from (re)starting autonegotiation to its outcome.
    std::chrono::nanoseconds autonegotiationDelay = std::chrono::milliseconds(20);
    // Where traces of unimplemented or malformed accesses go, in addition
    // to the machine's own record (Machine::Traces). Empty: record only.
    std::function<void(const std::string&)> traceSink;
    // A transmitter sends no faster than its link: a descriptor completes
    // when its frame has left (preamble, frame, inter-frame gap at the link
    // speed). Default: paced on the real-time clock; on a manual clock
    // frames leave at once, unless a test asks for pacing here.
    std::optional<bool> pacedTransmit;
};

// Link modes in the order of the system's speed mask.
enum LinkMode : std::uint32_t {
    kMode10Full = 1u << 0,
    kMode10Half = 1u << 1,
    kMode100Full = 1u << 2,
    kMode100Half = 1u << 3,
    kMode1000Full = 1u << 4,
    kModesAll = 0x1F,
};

struct BoardOptions {
    std::uint16_t deviceId = 0x0001;   // 0x0001 or 0x0002
    std::uint16_t vendorId = 0xF10E;
    // The board's address (function 0's); function 1 answers with bit 0 of
    // the last byte inverted. Default: derived from the board's index.
    std::optional<MacAddress> mac;
    std::uint32_t pcieLinkWidth = 4;   // 1, 2 or 4 lanes
    std::uint32_t eepromWords = 256;   // 64..16384
};

// Traffic generator on a port's wire. Frames are valid generator frames
// (see ethernet.hpp) addressed to the port, numbered per port from 0.
struct GeneratorOptions {
    double framesPerSecond = 10000;   // capped by the wire speed; 0 = link only, no frames
    std::uint32_t minSize = 64;       // sizes with FCS, cycled deterministically
    std::uint32_t maxSize = 1518;
    std::uint64_t count = 0;          // frames to send; 0 = no end
    std::uint32_t fcsErrorEvery = 0;  // every n-th frame with a bad FCS; 0 = none
    std::uint32_t partnerModes = kModesAll;  // what the generator's end advertises
    std::vector<std::uint32_t> sizes;  // when given: these sizes, cycled in order (min/max unused)
    // The first frame this long after the link comes up (a capture can be
    // armed before the traffic starts).
    std::chrono::nanoseconds startDelay{0};
};

// A Linux interface as the far end of a port (AF_PACKET): every frame the
// interface receives arrives at the port with its FCS, every frame the port
// sends leaves on the interface without it; the link follows the
// interface's (up and running). Needs CAP_NET_RAW.
struct InterfaceOptions {
    std::string name;
};

// A capture file (pcap or pcap-ng, Ethernet) as the far end: its frames
// arrive at the port from the first time the link comes up; what the port
// sends goes nowhere.
enum class ReplayPace {
    Recorded,  // the gaps between frames as recorded (never faster than the link)
    Line,      // back to back at the link's speed
};
struct CaptureFileOptions {
    std::filesystem::path file;
    ReplayPace pace = ReplayPace::Recorded;
    std::uint64_t repeat = 1;  // times through the file; 0 = without end
};

// Counters of the wire side of a port, for "delivered + lost = sent" checks:
// offered = ignored + missed + delivered + queued + dmaFaults (receive side).
struct PortCounters {
    std::uint64_t offered = 0;      // frames that reached the port from its wire
    std::uint64_t ignored = 0;      // receiver disabled, link down or address filter
    std::uint64_t missed = 0;       // no room in the receive FIFO (MPC)
    std::uint64_t missBursts = 0;   // runs of missed frames (a new one after 1 ms without a miss)
    std::uint64_t longestTailWait = 0;  // ns: at a miss, the longest since the driver last moved RDT
    std::uint64_t delivered = 0;    // written to host memory with their descriptors
    std::uint64_t queued = 0;       // in the receive FIFO now, waiting for descriptors
    std::uint64_t dmaFaults = 0;    // received frames lost to a refused DMA
    std::uint64_t transmitted = 0;  // frames put on the wire
    std::uint64_t txDropped = 0;    // transmitted while the link was down
    std::uint64_t txDmaFaults = 0;  // packets or descriptors lost to a refused DMA
};

// Fault injection.
struct PortFaults {
    bool phyNeverReady = false;   // MDIC never reports ready
    bool removed = false;         // surprise removal: registers read all ones, writes are lost
};
struct BoardFaults {
    bool eepromSilent = false;    // no auto-read done, EERD never done, SPI reads all ones
    bool semaphoreStuck = false;  // the software semaphore is held by firmware for good
};

// Receive errors a test can attach to an injected frame (the descriptor's
// error bits; a bad FCS is detected from the frame itself).
enum RxErrorInject : std::uint8_t {
    kRxSymbolError = 0x02,
    kRxSequenceError = 0x04,
    kRxDataError = 0x80,
};

class Board;
class Machine;

// One LAN function of a board: the PCI function the kernel surface drives,
// and the port with its PHY and wire.
class Port : public PciFunction {
public:
    ~Port() override;

    Board& GetBoard() const;
    std::uint32_t Index() const;   // LAN function 0 or 1
    MacAddress Mac() const;        // the address the EEPROM gives this function

    // PciFunction
    PciLocation Location() const override;
    std::uint8_t ConfigRead8(std::uint32_t offset) const override;
    std::uint16_t ConfigRead16(std::uint32_t offset) const override;
    std::uint32_t ConfigRead32(std::uint32_t offset) const override;
    void ConfigWrite8(std::uint32_t offset, std::uint8_t value) override;
    void ConfigWrite16(std::uint32_t offset, std::uint16_t value) override;
    void ConfigWrite32(std::uint32_t offset, std::uint32_t value) override;
    std::uint64_t Bar0Physical() const override;
    std::uint32_t Bar0Length() const override;
    std::uint32_t ReadRegister(std::uint32_t offset) override;
    void WriteRegister(std::uint32_t offset, std::uint32_t value) override;
    std::uint32_t InterruptLine() const override;
    bool InterruptAsserted() const override;
    void SetInterruptHandler(std::function<void(bool asserted)> handler) override;

    // Test hooks.
    // Hands a frame (with its FCS) to the port's receiver, whatever the
    // link state; everything after that (filters, FIFO, DMA, counters) is
    // as for a frame off the wire. rxErrors adds receive errors the wire
    // would have reported (a bad FCS is found from the frame itself).
    void InjectFrame(std::span<const std::uint8_t> frameWithFcs, std::uint8_t rxErrors = 0);
    // Keeps a copy of every frame the port puts on the wire (with FCS).
    void CaptureTransmitted(bool on);
    std::vector<std::vector<std::uint8_t>> TakeTransmitted();
    PortCounters Counters() const;
    // Sets the statistics register at `offset` (0x4000 to 0x4124, 4-byte
    // aligned) to `value` as if it had counted that far since it was last
    // read: a 32-bit counter still stops at 0xFFFFFFFF when read, as the
    // controller's do. Offsets outside the block are ignored.
    void PresetStatistic(std::uint32_t offset, std::uint64_t value);
    void SetFaults(const PortFaults& faults);
    // PHY link state as the wire sees it.
    bool LinkUp() const;
    std::uint32_t LinkMode() const;  // one LinkMode bit, 0 while down
    // LED i (0..3) as it shows now: lit, and whether it blinks.
    struct Led { bool on; bool blinking; };
    Led LedState(std::uint32_t led) const;

    struct Impl;  // the model's inside; not for callers
private:
    friend class Board;
    friend class Machine;
    explicit Port(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class Board {
public:
    ~Board();
    std::uint32_t Index() const;
    Port& GetPort(std::uint32_t function);  // 0 or 1
    Machine& GetMachine() const;
    void SetFaults(const BoardFaults& faults);
    // The EEPROM's words as they are now (for tests).
    std::vector<std::uint16_t> EepromImage() const;

    struct Impl;  // the model's inside; not for callers
private:
    friend class Machine;
    friend class Port;
    explicit Board(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();   // stops the model thread, disconnects every wire
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    BusSpace& Bus();

    // Boards are numbered from 0 in the order they are added; board b's
    // functions sit at PCI bus 1 + b, device 0, functions 0 and 1.
    Board& AddBoard(const BoardOptions& options = {});
    std::size_t BoardCount() const;
    Board& GetBoard(std::size_t index);
    // Every port of every board, board by board (for enumeration).
    std::vector<Port*> Ports();

    // Wires. Attaching a wire to a port replaces what was there.
    void Disconnect(Port& port);                 // wire "none"
    void Connect(Port& a, Port& b);              // wire "cable" between two ports
    void AttachGenerator(Port& port, const GeneratorOptions& options);
    // Wires to the world outside. false, with the reason in `why` (starting
    // with the interface or file in quotes, e.g. "\"eth9\": no such
    // interface"), when the wire cannot be made; the port keeps its wire.
    bool AttachInterface(Port& port, const InterfaceOptions& options, std::string* why);
    bool AttachCaptureFile(Port& port, const CaptureFileOptions& options, std::string* why);
    // Frames a port's generator has sent so far (0 without one).
    std::uint64_t GeneratorSent(const Port& port) const;
    // How far a port's generator has fallen behind the clock over its run:
    // a late clock thread delays frames rather than bursting them.
    std::chrono::nanoseconds GeneratorSlipped(const Port& port) const;

    // Clock: nanoseconds since the machine was created.
    ClockMode Mode() const;
    std::int64_t Now() const;
    // Manual mode: moves time forward, running every event due up to the
    // new time in order. Ignored in real-time mode.
    void Advance(std::chrono::nanoseconds by);
    // Manual mode: moves time to the next pending event and runs it; false
    // when nothing is pending.
    bool StepToNextEvent();

    // Accesses the model does not implement (or malformed ones), as text,
    // oldest first (the record keeps the latest 1024), and their total.
    std::vector<std::string> Traces() const;
    std::uint64_t TraceCount() const;

    struct Impl;  // the model's inside; not for callers
private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace hw
