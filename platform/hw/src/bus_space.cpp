#include "hw/bus_space.hpp"

#include <atomic>
#include <cstring>

namespace hw {

namespace {
constexpr BusAddress kPage = 4096;
constexpr std::size_t kFaultRecord = 256;  // faults kept for inspection
}  // namespace

BusAddress BusSpace::Map(void* host, std::size_t length) {
    if (host == nullptr || length == 0) return 0;
    const auto offset = reinterpret_cast<std::uintptr_t>(host) & (kPage - 1);
    std::unique_lock lock(mappingsLock_);
    const BusAddress bus = next_ + offset;
    // Round up to whole pages and leave one page unmapped behind it.
    const BusAddress pages = (offset + length + kPage - 1) / kPage;
    next_ += (pages + 1) * kPage;
    mappings_.emplace(bus, Mapping{static_cast<std::byte*>(host), length});
    return bus;
}

bool BusSpace::Unmap(BusAddress bus) {
    // The exclusive lock waits for every Read/Write in progress, which hold
    // the lock shared while they copy.
    std::unique_lock lock(mappingsLock_);
    return mappings_.erase(bus) == 1;
}

std::byte* BusSpace::Resolve(BusAddress bus, std::size_t length) const {
    auto it = mappings_.upper_bound(bus);
    if (it == mappings_.begin()) return nullptr;
    --it;
    const BusAddress start = it->first;
    const std::size_t size = it->second.length;
    if (bus - start > size || length > size - (bus - start)) return nullptr;
    return it->second.host + (bus - start);
}

void BusSpace::RecordFault(BusAddress bus, std::size_t length, bool write, const char* what) {
    std::lock_guard lock(faultsLock_);
    ++faultCount_;
    if (faults_.size() < kFaultRecord) faults_.push_back({bus, length, write, what});
}

bool BusSpace::Read(BusAddress bus, void* out, std::size_t length, const char* what) {
    if (length == 0) return true;  // nothing moves, nothing to check
    {
        std::shared_lock lock(mappingsLock_);
        if (std::byte* p = Resolve(bus, length); p != nullptr) {
            std::memcpy(out, p, length);
            return true;
        }
    }
    RecordFault(bus, length, false, what);
    return false;
}

bool BusSpace::Write(BusAddress bus, const void* in, std::size_t length, const char* what) {
    if (length == 0) return true;  // nothing moves, nothing to check
    {
        std::shared_lock lock(mappingsLock_);
        if (std::byte* p = Resolve(bus, length); p != nullptr) {
            std::memcpy(p, in, length);
            return true;
        }
    }
    RecordFault(bus, length, true, what);
    return false;
}

bool BusSpace::StoreRelease8(BusAddress bus, std::uint8_t value, const char* what) {
    {
        std::shared_lock lock(mappingsLock_);
        if (std::byte* p = Resolve(bus, 1); p != nullptr) {
            // Release: everything the board wrote before (descriptor body,
            // frame bytes) is visible to whoever acquires this byte.
            std::atomic_ref<std::uint8_t>(*reinterpret_cast<std::uint8_t*>(p))
                .store(value, std::memory_order_release);
            return true;
        }
    }
    RecordFault(bus, 1, true, what);
    return false;
}

std::byte* BusSpace::Run::Host(BusAddress bus, std::size_t length, bool write, const char* what) {
    for (const Cached& c : cache_) {
        if (c.host != nullptr && bus >= c.start && bus - c.start <= c.length && length <= c.length - (bus - c.start))
            return c.host + (bus - c.start);
    }
    auto it = bus_.mappings_.upper_bound(bus);
    if (it != bus_.mappings_.begin()) {
        --it;
        const BusAddress start = it->first;
        const std::size_t size = it->second.length;
        if (bus - start <= size && length <= size - (bus - start)) {
            cache_[next_] = {start, size, it->second.host};
            next_ ^= 1;
            return it->second.host + (bus - start);
        }
    }
    bus_.RecordFault(bus, length, write, what);
    return nullptr;
}

std::vector<DmaFault> BusSpace::Faults() const {
    std::lock_guard lock(faultsLock_);
    return faults_;
}

std::size_t BusSpace::FaultCount() const {
    std::lock_guard lock(faultsLock_);
    return faultCount_;
}

void BusSpace::ClearFaults() {
    std::lock_guard lock(faultsLock_);
    faults_.clear();
    faultCount_ = 0;
}

std::size_t BusSpace::MappingCount() const {
    std::shared_lock lock(mappingsLock_);
    return mappings_.size();
}

void* BusSpace::HostAddress(BusAddress bus, std::size_t length) const {
    std::shared_lock lock(mappingsLock_);
    return Resolve(bus, length);
}

}  // namespace hw
