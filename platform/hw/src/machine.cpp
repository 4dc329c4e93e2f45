// Machine, boards, the public face of ports, and the wires.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "model.hpp"
#include "regs.hpp"

namespace hw {

namespace {
constexpr std::size_t kTraceRecord = 1024;
constexpr std::size_t kGeneratorBatch = 64;  // frames per event at most, so others get a turn
constexpr std::int64_t kLateNs = 500'000;    // a generator this far behind its clock slips
constexpr std::uint32_t kMaxGeneratorFrame = 16128;
constexpr std::size_t kMaxFrameMakers = 64;  // sizes with FCS tables; more sizes compute the CRC per frame
}  // namespace

// ---------------------------------------------------------------------------
// Machine

Machine::Impl::Impl(MachineOptions options) : options_(std::move(options)), clock_(options_.clock) {}

void Machine::Impl::Trace(const std::string& text) {
    std::lock_guard lock(traceLock_);
    ++traceCount_;
    traces_.push_back(text);
    if (traces_.size() > kTraceRecord) traces_.pop_front();
    if (options_.traceSink) options_.traceSink(text);
}

Machine::Machine(MachineOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->owner_ = this;
}

Machine::~Machine() {
    // No event may run while the parts go away, and no handler of a caller
    // that may be gone already is called; wires die before ports.
    impl_->clock_.Stop();
    for (Port* p : Ports()) p->SetInterruptHandler(nullptr);
    for (Port* p : Ports()) Disconnect(*p);
}

BusSpace& Machine::Bus() { return impl_->bus_; }

Board& Machine::AddBoard(const BoardOptions& options) {
    std::lock_guard lock(impl_->boardsLock_);
    const auto index = static_cast<std::uint32_t>(impl_->boards_.size());
    auto boardImpl = std::make_unique<Board::Impl>(*impl_, index, options);
    Board::Impl& b = *boardImpl;
    impl_->boards_.push_back(std::unique_ptr<Board>(new Board(std::move(boardImpl))));
    Board* board = impl_->boards_.back().get();
    b.owner_ = board;
    for (std::uint32_t f = 0; f < 2; ++f) {
        b.ports_[f] = std::unique_ptr<Port>(new Port(std::make_unique<Port::Impl>(*impl_, b, f)));
        b.ports_[f]->impl_->owner_ = b.ports_[f].get();
    }
    return *board;
}

std::size_t Machine::BoardCount() const {
    std::lock_guard lock(impl_->boardsLock_);
    return impl_->boards_.size();
}

Board& Machine::GetBoard(std::size_t index) {
    std::lock_guard lock(impl_->boardsLock_);
    return *impl_->boards_.at(index);
}

std::vector<Port*> Machine::Ports() {
    std::lock_guard lock(impl_->boardsLock_);
    std::vector<Port*> ports;
    for (auto& b : impl_->boards_)
        for (auto& p : b->impl_->ports_) ports.push_back(p.get());
    return ports;
}

namespace {
void DetachLocked(Port::Impl& port) {
    if (auto old = port.GetWire()) {
        old->Detach();
    }
}
}  // namespace

void Machine::Disconnect(Port& port) {
    std::lock_guard lock(impl_->wiresLock_);
    DetachLocked(*port.impl_);
}

void Machine::Connect(Port& a, Port& b) {
    std::lock_guard lock(impl_->wiresLock_);
    DetachLocked(*a.impl_);
    DetachLocked(*b.impl_);
    if (&a == &b) return;  // a port cabled to itself has no partner
    auto cable = MakeCable(*impl_, *a.impl_, *b.impl_);
    a.impl_->SetWire(cable);
    b.impl_->SetWire(cable);
    cable->Start();
}

void Machine::AttachGenerator(Port& port, const GeneratorOptions& options) {
    std::lock_guard lock(impl_->wiresLock_);
    DetachLocked(*port.impl_);
    auto generator = MakeGenerator(*impl_, *port.impl_, options);
    port.impl_->SetWire(generator);
    generator->Start();
}

namespace {
bool AttachMade(Machine::Impl& machine, Port::Impl& port, std::shared_ptr<Wire> wire) {
    std::lock_guard lock(machine.wiresLock_);
    DetachLocked(port);
    port.SetWire(wire);
    wire->Start();
    return true;
}
}  // namespace

bool Machine::AttachInterface(Port& port, const InterfaceOptions& options, std::string* why) {
    auto wire = MakeInterfaceWire(*impl_, *port.impl_, options, why);
    return wire && AttachMade(*impl_, *port.impl_, std::move(wire));
}

bool Machine::AttachCaptureFile(Port& port, const CaptureFileOptions& options, std::string* why) {
    auto wire = MakeCaptureFileWire(*impl_, *port.impl_, options, why);
    return wire && AttachMade(*impl_, *port.impl_, std::move(wire));
}

std::uint64_t Machine::GeneratorSent(const Port& port) const {
    auto wire = port.impl_->GetWire();
    return wire ? wire->Sent() : 0;
}

std::chrono::nanoseconds Machine::GeneratorSlipped(const Port& port) const {
    auto wire = port.impl_->GetWire();
    return std::chrono::nanoseconds(wire ? wire->Slipped() : 0);
}

ClockMode Machine::Mode() const { return impl_->clock_.Mode(); }
std::int64_t Machine::Now() const { return impl_->clock_.Now(); }
void Machine::Advance(std::chrono::nanoseconds by) { impl_->clock_.Advance(by); }
bool Machine::StepToNextEvent() { return impl_->clock_.StepToNextEvent(); }

std::vector<std::string> Machine::Traces() const {
    std::lock_guard lock(impl_->traceLock_);
    return {impl_->traces_.begin(), impl_->traces_.end()};
}

std::uint64_t Machine::TraceCount() const {
    std::lock_guard lock(impl_->traceLock_);
    return impl_->traceCount_;
}

// ---------------------------------------------------------------------------
// Board

namespace {
MacAddress DefaultMac(std::uint32_t index) {
    // Locally administered, bit 0 of the last byte clear for function 0.
    return {0x02, 0xF1, 0x0E, static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index), 0x00};
}
}  // namespace

Board::Impl::Impl(Machine::Impl& machine, std::uint32_t index, const BoardOptions& options)
    : machine_(machine), index_(index), options_(options), mac_(options.mac.value_or(DefaultMac(index))),
      eeprom_(options.eepromWords, mac_) {}

Board::Board(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Board::~Board() = default;
std::uint32_t Board::Index() const { return impl_->index_; }
Port& Board::GetPort(std::uint32_t function) { return *impl_->ports_.at(function); }
Machine& Board::GetMachine() const { return *impl_->machine_.owner_; }

void Board::SetFaults(const BoardFaults& faults) {
    std::lock_guard lock(impl_->lock_);
    impl_->faults_ = faults;
    impl_->eeprom_.SetSilent(faults.eepromSilent);
    if (faults.semaphoreStuck) impl_->semaphoreOwner_ = -1;
}

std::vector<std::uint16_t> Board::EepromImage() const {
    std::lock_guard lock(impl_->lock_);
    return impl_->eeprom_.Image();
}

// ---------------------------------------------------------------------------
// Port, public face

Port::Port(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Port::~Port() = default;

Board& Port::GetBoard() const { return *impl_->board_.owner_; }
std::uint32_t Port::Index() const { return impl_->function_; }

MacAddress Port::Mac() const {
    MacAddress mac = impl_->board_.mac_;
    if (impl_->function_ == 1) mac[5] ^= 1;
    return mac;
}

PciLocation Port::Location() const { return {1 + impl_->board_.index_, 0, impl_->function_}; }

std::uint8_t Port::ConfigRead8(std::uint32_t offset) const {
    std::lock_guard lock(impl_->lock_);
    return offset < impl_->config_.size() ? impl_->config_[offset] : 0xFF;
}

std::uint16_t Port::ConfigRead16(std::uint32_t offset) const {
    return static_cast<std::uint16_t>(ConfigRead8(offset) | (ConfigRead8(offset + 1) << 8));
}

std::uint32_t Port::ConfigRead32(std::uint32_t offset) const {
    return ConfigRead16(offset) | (static_cast<std::uint32_t>(ConfigRead16(offset + 2)) << 16);
}

void Port::ConfigWrite8(std::uint32_t offset, std::uint8_t value) {
    std::lock_guard lock(impl_->lock_);
    auto& c = impl_->config_;
    switch (offset) {
    case 0x04: c[0x04] = value & 0x47; break;  // I/O, memory, bus master, parity error response
    case 0x05: c[0x05] = value & 0x05; break;  // SERR, interrupt disable
    case 0x3C: c[0x3C] = value; break;         // interrupt line
    default:
        if (offset >= 0x10 && offset < 0x14) {
            c[offset] = value;
            // BAR0 decodes 128 KiB of memory: its low 17 bits read as zero
            // (type bits: 32-bit, non-prefetchable memory).
            std::uint32_t bar = c[0x10] | (c[0x11] << 8) | (c[0x12] << 16) | (static_cast<std::uint32_t>(c[0x13]) << 24);
            bar &= ~(reg::kBar0Length - 1);
            for (int i = 0; i < 4; ++i) c[0x10 + i] = static_cast<std::uint8_t>(bar >> (8 * i));
        }
        break;  // everything else is read-only
    }
}

void Port::ConfigWrite16(std::uint32_t offset, std::uint16_t value) {
    ConfigWrite8(offset, static_cast<std::uint8_t>(value));
    ConfigWrite8(offset + 1, static_cast<std::uint8_t>(value >> 8));
}

void Port::ConfigWrite32(std::uint32_t offset, std::uint32_t value) {
    ConfigWrite16(offset, static_cast<std::uint16_t>(value));
    ConfigWrite16(offset + 2, static_cast<std::uint16_t>(value >> 16));
}

std::uint64_t Port::Bar0Physical() const { return ConfigRead32(0x10) & ~0xFu; }
std::uint32_t Port::Bar0Length() const { return reg::kBar0Length; }
std::uint32_t Port::ReadRegister(std::uint32_t offset) { return impl_->Read(offset); }
void Port::WriteRegister(std::uint32_t offset, std::uint32_t value) { impl_->Write(offset, value); }
std::uint32_t Port::InterruptLine() const { return 16 + impl_->stream_; }
bool Port::InterruptAsserted() const { return impl_->line_.load(std::memory_order_acquire); }

void Port::SetInterruptHandler(std::function<void(bool asserted)> handler) {
    std::unique_lock lock(impl_->notifyLock_);
    impl_->notifyIdle_.wait(lock, [&] { return !impl_->notifying_; });
    impl_->handler_ = std::move(handler);
}

void Port::InjectFrame(std::span<const std::uint8_t> frameWithFcs, std::uint8_t rxErrors) {
    impl_->Receive(frameWithFcs, rxErrors, nullptr);
}

void Port::CaptureTransmitted(bool on) {
    std::lock_guard lock(impl_->lock_);
    impl_->capture_ = on;
}

std::vector<std::vector<std::uint8_t>> Port::TakeTransmitted() {
    std::lock_guard lock(impl_->lock_);
    return std::exchange(impl_->captured_, {});
}

PortCounters Port::Counters() const {
    std::lock_guard lock(impl_->lock_);
    PortCounters c = impl_->counters_;
    c.queued = impl_->rxFifo_.size();
    return c;
}

void Port::PresetStatistic(std::uint32_t offset, std::uint64_t value) {
    if (offset < reg::STATS_FIRST || offset > reg::STATS_LAST || offset % 4 != 0) return;
    std::lock_guard lock(impl_->lock_);
    impl_->stats_[(offset - reg::STATS_FIRST) / 4] = value;
}

void Port::SetFaults(const PortFaults& faults) {
    std::lock_guard lock(impl_->lock_);
    impl_->faults_ = faults;
}

bool Port::LinkUp() const {
    std::lock_guard lock(impl_->lock_);
    return impl_->phy_.LinkUp();
}

std::uint32_t Port::LinkMode() const {
    std::lock_guard lock(impl_->lock_);
    return impl_->phy_.Mode();
}

Port::Led Port::LedState(std::uint32_t led) const {
    std::lock_guard lock(impl_->lock_);
    const std::uint32_t byte = (impl_->RV(reg::LEDCTL) >> (8 * (led & 3))) & 0xFF;
    const std::uint32_t mode = byte & 0xF;
    const bool link = impl_->macLinkUp_;
    const std::uint32_t speed = link ? ModeSpeed(impl_->phy_.Mode()) : 0;
    bool on = false;
    switch (mode) {
    case 0x0: on = speed == 10 || speed == 1000; break;   // LINK_10/1000
    case 0x1: on = speed == 100 || speed == 1000; break;  // LINK_100/1000
    case 0x2: on = link; break;                           // LINK_UP
    case 0x4: on = link; break;                           // LINK/ACTIVITY (no activity shown)
    case 0x5: on = speed == 10; break;
    case 0x6: on = speed == 100; break;
    case 0x7: on = speed == 1000; break;
    case 0x9: on = link && ModeFullDuplex(impl_->phy_.Mode()); break;
    case 0xE: on = true; break;                           // LED_ON
    default: on = false; break;  // activity, collision, bus size, paused, LED_OFF
    }
    if (byte & 0x40) on = !on;  // inverted
    return {on, on && (byte & 0x80)};
}

// ---------------------------------------------------------------------------
// Wires

namespace {

class Cable final : public Wire {
public:
    Cable(Machine::Impl& machine, Port::Impl& a, Port::Impl& b) : machine_(machine), a_(&a), b_(&b) {}

    void Start() override {
        a_->LinkLost();
        b_->LinkLost();
        Schedule();
    }

    void Transmit(Port::Impl& from, std::vector<std::uint8_t> frame) override {
        if (detached_.load(std::memory_order_acquire)) return;
        Other(from).Receive(std::move(frame), 0, this);
    }

    void Restart(Port::Impl& from) override {
        if (detached_.load(std::memory_order_acquire)) return;
        Other(from).LinkLost();  // the partner sees the link go
        Schedule();
    }

    void Detach() override {
        detached_.store(true, std::memory_order_release);
        ++generation_;
        a_->SetWire(nullptr);
        b_->SetWire(nullptr);
        a_->LinkLost();
        b_->LinkLost();
    }

private:
    Port::Impl& Other(Port::Impl& from) { return &from == a_ ? *b_ : *a_; }

    void Schedule() {
        // A newer restart supersedes the pending outcome.
        const std::uint64_t gen = ++generation_;
        auto self = std::static_pointer_cast<Cable>(shared_from_this());
        machine_.clock_.Schedule(machine_.clock_.Now() + machine_.options_.autonegotiationDelay.count(),
                                 [self, gen] { self->Resolve(gen); });
    }

    void Resolve(std::uint64_t gen) {
        if (gen != generation_.load() || detached_.load()) return;
        const LinkAbilities a = a_->Abilities();
        const LinkAbilities b = b_->Abilities();
        a_->ApplyResolution(hw::Resolve(a, b), b, this);
        b_->ApplyResolution(hw::Resolve(b, a), a, this);
    }

    Machine::Impl& machine_;
    Port::Impl* const a_;
    Port::Impl* const b_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<bool> detached_{false};
};

class Generator final : public Wire {
public:
    Generator(Machine::Impl& machine, Port::Impl& port, const GeneratorOptions& options)
        : machine_(machine), port_(&port), options_(options) {
        if (options_.minSize < kMinFrameWithFcs) options_.minSize = kMinFrameWithFcs;
        if (options_.maxSize < options_.minSize) options_.maxSize = options_.minSize;
        for (std::uint32_t& size : options_.sizes) size = std::clamp<std::uint32_t>(size, kMinFrameWithFcs, kMaxGeneratorFrame);
        if (!options_.sizes.empty()) options_.maxSize = *std::max_element(options_.sizes.begin(), options_.sizes.end());
        source_ = {0x02, 0x47, 0x45, 0x4E, static_cast<std::uint8_t>(port.stream_ >> 8),
                   static_cast<std::uint8_t>(port.stream_)};
        MacAddress mac = port.board_.mac_;
        if (port.function_ == 1) mac[5] ^= 1;
        destination_ = mac;
        // FCS tables per size where the sizes are few (a fixed size, a mix).
        const bool mix = !options_.sizes.empty();
        const std::size_t slots = mix ? options_.sizes.size() : options_.maxSize - options_.minSize + 1;
        std::vector<std::uint32_t> distinct = options_.sizes;
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        if (mix ? distinct.size() <= kMaxFrameMakers : slots <= kMaxFrameMakers) {
            for (std::size_t slot = 0; slot < slots; ++slot) {
                const std::uint32_t size = mix ? options_.sizes[slot] : options_.minSize + static_cast<std::uint32_t>(slot);
                const GeneratorFrameMaker* maker = nullptr;
                for (const auto& m : makers_)
                    if (m->Size() == size) maker = m.get();
                if (maker == nullptr) {
                    makers_.push_back(std::make_unique<GeneratorFrameMaker>(destination_, source_, port.stream_, size));
                    maker = makers_.back().get();
                }
                bySlot_.push_back(maker);
            }
        }
    }

    void Start() override {
        port_->LinkLost();
        Schedule();
    }

    void Transmit(Port::Impl&, std::vector<std::uint8_t>) override {}  // the generator listens to nothing

    void Restart(Port::Impl&) override {
        if (!detached_.load(std::memory_order_acquire)) Schedule();
    }

    void Detach() override {
        detached_.store(true, std::memory_order_release);
        ++generation_;
        port_->SetWire(nullptr);
        port_->LinkLost();
    }

    std::uint64_t Sent() const override { return sent_.load(std::memory_order_relaxed); }
    std::int64_t Slipped() const override { return slipped_.load(std::memory_order_relaxed); }

private:
    void Schedule() {
        const std::uint64_t gen = ++generation_;
        auto self = std::static_pointer_cast<Generator>(shared_from_this());
        machine_.clock_.Schedule(machine_.clock_.Now() + machine_.options_.autonegotiationDelay.count(),
                                 [self, gen] { self->Resolve(gen); });
    }

    void Resolve(std::uint64_t gen) {
        if (gen != generation_.load() || detached_.load()) return;
        const LinkAbilities partner = PartnerAdvertising(options_.partnerModes);
        const LinkResolution r = hw::Resolve(port_->Abilities(), partner);
        port_->ApplyResolution(r, partner, this);
        if (r.mode == 0 || options_.framesPerSecond <= 0) return;
        std::lock_guard lock(lock_);
        speed_ = ModeSpeed(r.mode);
        next_ = machine_.clock_.Now() + options_.startDelay.count();
        auto self = std::static_pointer_cast<Generator>(shared_from_this());
        machine_.clock_.Schedule(next_, [self, gen] { self->Emit(gen); });
    }

    std::uint32_t SizeOf(std::uint64_t sequence) const {
        if (!options_.sizes.empty()) return options_.sizes[sequence % options_.sizes.size()];
        const std::uint32_t range = options_.maxSize - options_.minSize + 1;
        // A fixed scramble of the sequence number: sizes vary but every run is the same.
        return options_.minSize + static_cast<std::uint32_t>((sequence * 2654435761u >> 7) % range);
    }

    void Emit(std::uint64_t gen) {
        std::lock_guard lock(lock_);
        if (gen != generation_.load() || detached_.load()) return;
        const std::int64_t now = machine_.clock_.Now();
        const double gap = 1e9 / options_.framesPerSecond;
        // The frames due by now, written into one reused block and handed
        // to the port together: no allocation and one hold of its lock.
        const std::size_t stride = std::min<std::size_t>(options_.maxSize, kMaxGeneratorFrame);
        if (arena_.empty()) arena_.resize(kGeneratorBatch * stride);
        // A clock thread that ran late owes the frames of the time it lost.
        // A wire never carries them faster than its speed, and sending them
        // as a burst above it would make the board miss what a real one
        // would not: past kLateNs behind, the generator's timeline slips
        // instead (the slip is counted), and every frame still follows.
        if (now - next_ > kLateNs) {
            slipped_.fetch_add(now - kLateNs - next_, std::memory_order_relaxed);
            next_ = now - kLateNs;
        }
        std::size_t count = 0;
        for (; count < kGeneratorBatch && next_ <= now; ++count) {
            if (options_.count != 0 && sequence_ >= options_.count) break;
            const std::uint32_t size = std::min<std::uint32_t>(SizeOf(sequence_), kMaxGeneratorFrame);
            const bool bad = options_.fcsErrorEvery != 0 && (sequence_ + 1) % options_.fcsErrorEvery == 0;
            const std::span<std::uint8_t> frame(arena_.data() + count * stride, size);
            if (!bySlot_.empty()) {
                const std::size_t slot = options_.sizes.empty() ? size - options_.minSize : sequence_ % options_.sizes.size();
                bySlot_[slot]->Write(frame, sequence_, bad);
            } else {
                WriteGeneratorFrame(frame, destination_, source_, port_->stream_, sequence_, bad);
            }
            batch_[count] = {frame, 0, bad ? FcsState::Bad : FcsState::Good};
            ++sequence_;
            // Never faster than the wire: preamble and inter-frame gap are 20 bytes.
            const double wire = (size + 20) * 8.0 * 1000.0 / speed_;
            next_ += static_cast<std::int64_t>(std::ceil(std::max(gap, wire)));
        }
        port_->ReceiveBatch({batch_.data(), count}, this);
        sent_.fetch_add(count, std::memory_order_relaxed);
        if (options_.count != 0 && sequence_ >= options_.count) return;
        const std::int64_t at = next_ <= now ? now : next_;  // more are due: the batch was full
        auto self = std::static_pointer_cast<Generator>(shared_from_this());
        machine_.clock_.Schedule(at, [self, gen] { self->Emit(gen); });
    }

    Machine::Impl& machine_;
    Port::Impl* const port_;
    GeneratorOptions options_;
    MacAddress source_{};
    MacAddress destination_{};
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<bool> detached_{false};
    std::atomic<std::uint64_t> sent_{0};

    std::mutex lock_;  // emission state; taken before a port's lock
    std::uint32_t speed_ = 1000;
    std::int64_t next_ = 0;
    std::atomic<std::int64_t> slipped_{0};  // ns the timeline slipped behind a late clock thread
    std::uint64_t sequence_ = 0;
    std::vector<std::uint8_t> arena_;
    std::vector<std::unique_ptr<GeneratorFrameMaker>> makers_;
    std::vector<const GeneratorFrameMaker*> bySlot_;  // by size - minSize, or by place in the mix
    std::array<WireFrame, kGeneratorBatch> batch_{};
};

}  // namespace

std::shared_ptr<Wire> MakeCable(Machine::Impl& machine, Port::Impl& a, Port::Impl& b) {
    return std::make_shared<Cable>(machine, a, b);
}

std::shared_ptr<Wire> MakeGenerator(Machine::Impl& machine, Port::Impl& port, const GeneratorOptions& options) {
    return std::make_shared<Generator>(machine, port, options);
}

}  // namespace hw
