// What the wires to the world outside the machine share: a Linux interface
// and a capture file are both the far end of one port, with a carrier that
// comes and goes, autonegotiation against what that far end allows, frames
// handed to the port with their FCS, and losses that the port counts.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "model.hpp"

namespace hw {

// The frame check sequence of the bytes before it: one routine for every
// wire that has to add one to what the outside world hands over.
inline std::uint32_t WireFcs(std::span<const std::uint8_t> bytes) { return Crc32(bytes); }

// Appends the FCS of frame[0, length) at frame + length (which has room).
inline void PutWireFcs(std::uint8_t* frame, std::size_t length) {
    const std::uint32_t fcs = WireFcs({frame, length});
    for (int i = 0; i < 4; ++i) frame[length + i] = static_cast<std::uint8_t>(fcs >> (8 * i));
}

// Nanoseconds one frame of `bytes` (FCS included) holds a link of `speed`
// Mb/s, preamble and inter-frame gap (20 bytes) counted.
inline std::int64_t LineTime(std::size_t bytes, std::uint32_t speed) {
    return static_cast<std::int64_t>((bytes + 20) * 8000 / (speed ? speed : 1000));
}

class FarEndWire : public Wire {
public:
    void Start() override;
    void Restart(Port::Impl& from) override;

    // Mb/s of the link now; 0 while it is down.
    std::uint32_t Speed() const { return speed_.load(std::memory_order_acquire); }

protected:
    FarEndWire(Machine::Impl& machine, Port::Impl& port) : machine_(machine), port_(&port) {}

    // The far end's carrier came or went: negotiation after the machine's
    // delay, or the link lost at once. Any thread.
    void CarrierChanged(bool up);
    // Modes the far end advertises (the system's speed mask).
    virtual std::uint32_t PartnerModes() const = 0;
    // The link came up at `mode` (model thread, no lock held).
    virtual void LinkResolved(std::uint32_t mode, std::uint64_t generation) = 0;
    // Ends negotiation for good and takes the wire off its port.
    void DetachFromPort();
    bool Current(std::uint64_t generation) const {
        return generation == generation_.load(std::memory_order_acquire) && !detached_.load(std::memory_order_acquire);
    }

    // Frames that arrived one after the other, FCS included: the one place
    // where frames from outside enter the port. fcsMade: the wire computed
    // the FCS itself, so the port need not check it.
    struct OutsideFrame {
        std::span<const std::uint8_t> bytes;
        bool fcsMade = false;
    };
    // Handed to the port in batches: one hold of its lock for many frames,
    // and no second CRC over a frame whose FCS the wire made itself.
    void Deliver(std::span<const OutsideFrame> frames) {
        constexpr std::size_t kBatch = 64;
        std::array<WireFrame, kBatch> batch;
        while (!frames.empty()) {
            const std::size_t n = std::min(frames.size(), kBatch);
            for (std::size_t i = 0; i < n; ++i)
                batch[i] = {frames[i].bytes, 0, frames[i].fcsMade ? FcsState::Good : FcsState::Unknown};
            port_->ReceiveBatch({batch.data(), n}, this);
            frames = frames.subspan(n);
        }
    }
    void Deliver(std::span<const std::uint8_t> frame, bool fcsMade) {
        const OutsideFrame one{frame, fcsMade};
        Deliver({&one, 1});
    }

    Machine::Impl& machine_;
    Port::Impl* const port_;
    std::atomic<bool> detached_{false};

private:
    void Schedule();
    void Resolve(std::uint64_t generation);

    std::atomic<bool> carrier_{false};
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::uint32_t> speed_{0};
};

}  // namespace hw
