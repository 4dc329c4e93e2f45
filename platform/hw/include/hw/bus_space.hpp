// The bus address space that the board reaches host memory through.
//
// A board never sees a virtual address: the kernel surface maps host memory
// (common buffers, transfer buffers) into this space and hands the board the
// bus ("logical") address it got back. Bus addresses are deliberately
// unrelated to virtual ones, so a driver that programs a virtual address into
// a register is caught at once: the DMA finds no mapping, the access is
// refused and recorded as a fault instead of scribbling over memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <map>
#include <vector>

namespace hw {

using BusAddress = std::uint64_t;

// One refused DMA: what was attempted, where, and by whom (a free text tag
// such as "board 0 function 1 rx descriptor").
struct DmaFault {
    BusAddress address = 0;
    std::size_t length = 0;
    bool write = false;
    const char* what = "";
};

class BusSpace {
public:
    BusSpace() = default;
    BusSpace(const BusSpace&) = delete;
    BusSpace& operator=(const BusSpace&) = delete;

    // Maps [host, host + length) and returns its bus address. The offset
    // within a 4 KiB page is kept (drivers rely on the alignment of a
    // common buffer), and every mapping is followed by an unmapped guard
    // page, so a transfer running off the end of one mapping faults instead
    // of landing in the next. length 0 maps nothing and returns 0.
    BusAddress Map(void* host, std::size_t length);

    // Removes the mapping that starts at bus. Waits for a DMA in progress
    // on it, so the memory may be freed as soon as this returns. Returns
    // false (and changes nothing) when no mapping starts there.
    bool Unmap(BusAddress bus);

    // Copies between the bus and a buffer. The whole range must lie inside
    // one mapping; otherwise nothing is copied, a fault is recorded and
    // false is returned.
    bool Read(BusAddress bus, void* out, std::size_t length, const char* what);
    bool Write(BusAddress bus, const void* in, std::size_t length, const char* what);

    // Stores one byte with release ordering. The board writes a descriptor's
    // body first and its status byte last through this, so that a driver
    // that loads the status byte with acquire ordering (std::atomic_ref, or
    // an interlocked read) and sees it set also sees the body and the frame.
    bool StoreRelease8(BusAddress bus, std::uint8_t value, const char* what);

    // Faults recorded so far (oldest first) and their count.
    std::vector<DmaFault> Faults() const;
    std::size_t FaultCount() const;
    void ClearFaults();

    // Number of live mappings (a leak check for tests and the machine).
    std::size_t MappingCount() const;

    // The host address behind a bus range, or nullptr when the range is not
    // inside one mapping. For tests and diagnostics only: the board itself
    // always goes through Read/Write.
    void* HostAddress(BusAddress bus, std::size_t length) const;

    // A run of transfers under one hold of the mappings (a batch of frames
    // and their descriptors): the same checks as Read/Write, with the last
    // mappings found remembered. Unmap waits until the run ends, so keep it
    // short (one batch).
    class Run {
    public:
        explicit Run(BusSpace& bus) : bus_(bus), lock_(bus.mappingsLock_) {}
        Run(const Run&) = delete;
        Run& operator=(const Run&) = delete;
        // The host bytes behind [bus, bus + length), or nullptr after
        // recording a fault when they are not inside one mapping.
        std::byte* Host(BusAddress bus, std::size_t length, bool write, const char* what);

    private:
        struct Cached {
            BusAddress start = 0;
            std::size_t length = 0;
            std::byte* host = nullptr;
        };
        BusSpace& bus_;
        std::shared_lock<std::shared_mutex> lock_;
        Cached cache_[2];
        unsigned next_ = 0;
    };

private:
    struct Mapping {
        std::byte* host;
        std::size_t length;
    };
    std::byte* Resolve(BusAddress bus, std::size_t length) const;
    void RecordFault(BusAddress bus, std::size_t length, bool write, const char* what);

    mutable std::shared_mutex mappingsLock_;
    std::map<BusAddress, Mapping> mappings_;  // keyed by first bus address
    BusAddress next_ = 0x0000'0001'0000'0000ull;

    mutable std::mutex faultsLock_;
    std::vector<DmaFault> faults_;
    std::size_t faultCount_ = 0;
};

}  // namespace hw
