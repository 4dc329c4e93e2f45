#include "far_end.hpp"

namespace hw {

void FarEndWire::Start() {
    port_->LinkLost();
    if (carrier_.load(std::memory_order_acquire)) Schedule();
}

void FarEndWire::Restart(Port::Impl&) {
    if (detached_.load(std::memory_order_acquire)) return;
    speed_.store(0, std::memory_order_release);
    if (carrier_.load(std::memory_order_acquire)) {
        Schedule();
    } else {
        ++generation_;
    }
}

void FarEndWire::CarrierChanged(bool up) {
    if (detached_.load(std::memory_order_acquire)) return;
    if (carrier_.exchange(up, std::memory_order_acq_rel) == up) return;
    if (up) {
        Schedule();
        return;
    }
    ++generation_;  // a pending outcome is void
    speed_.store(0, std::memory_order_release);
    port_->LinkLost();
}

void FarEndWire::DetachFromPort() {
    detached_.store(true, std::memory_order_release);
    ++generation_;
    speed_.store(0, std::memory_order_release);
    port_->SetWire(nullptr);
    port_->LinkLost();
}

void FarEndWire::Schedule() {
    // A newer restart supersedes the pending outcome.
    const std::uint64_t generation = ++generation_;
    auto self = std::static_pointer_cast<FarEndWire>(shared_from_this());
    machine_.clock_.Schedule(machine_.clock_.Now() + machine_.options_.autonegotiationDelay.count(),
                             [self, generation] { self->Resolve(generation); });
}

void FarEndWire::Resolve(std::uint64_t generation) {
    if (!Current(generation)) return;
    const LinkAbilities partner = PartnerAdvertising(PartnerModes());
    const LinkResolution r = hw::Resolve(port_->Abilities(), partner);
    port_->ApplyResolution(r, partner, this);
    if (r.mode == 0 || !Current(generation)) return;
    speed_.store(ModeSpeed(r.mode), std::memory_order_release);
    LinkResolved(r.mode, generation);
}

}  // namespace hw
