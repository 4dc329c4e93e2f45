// A Linux interface as the far end of a port.
//
// Receive: an AF_PACKET socket with a TPACKET_V3 ring (memory-mapped blocks
// the kernel fills), read by one thread per wire. Each frame is put
// together once in a buffer of the wire's (the VLAN tag the kernel took off
// put back, the FCS added unless the interface delivers it) and handed to
// the port. The interface may run faster than the port's link: what would
// not fit through the link and the board's receive FIFO is counted as the
// FIFO's misses, as is everything the ring itself had to drop.
//
// Transmit: frames queue for a second thread that sends them without their
// FCS, in order, in batches (sendmmsg, past the queueing discipline), never
// faster than the port's link.
//
// Link: an rtnetlink socket tells the receive thread when the interface
// goes up or down; the port's link follows it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "far_end.hpp"
#include "regs.hpp"

namespace hw {

namespace {

// The receive ring: 256 blocks of 256 KiB hold half a second of
// minimum-size frames at a gigabit, enough to ride out a reader that was
// not scheduled for a while. A block goes to the reader when full or after
// a millisecond, so that a lone frame does not wait: at low rates a block
// may hold one frame, and the count of blocks is what rides out the wait.
constexpr unsigned kBlockSize = 1u << 18;
constexpr unsigned kBlockCount = 256;
constexpr unsigned kFrameSize = 2048;  // only for the ring's bookkeeping in V3
constexpr unsigned kBlockTimeoutMs = 1;
constexpr std::size_t kMaxFrame = 65536 + 8;  // a frame, a tag put back and the FCS
constexpr std::size_t kSendBatch = 64;
// Frames handed to the port at once: enough to spare the port's lock, few
// enough that the driver refills descriptors in between.
constexpr std::size_t kDeliverBatch = 64;
constexpr std::int64_t kArrivalJitterNs = 20'000'000;

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

std::string ErrnoText(int error) { return std::strerror(error); }

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The interface's flags through an ioctl on any socket.
bool InterfaceRunning(int socket, const std::string& name) {
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(socket, SIOCGIFFLAGS, &request) != 0) return false;
    return (request.ifr_flags & IFF_UP) && (request.ifr_flags & IFF_RUNNING);
}

// What the interface's speed allows its partner to advertise. Interfaces
// that report no speed, or more than a gigabit (a veth says 10000), take
// every mode.
std::uint32_t ModesForSpeed(int socket, const std::string& name) {
    ethtool_cmd command{};
    command.cmd = ETHTOOL_GSET;
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char*>(&command);
    if (::ioctl(socket, SIOCETHTOOL, &request) != 0) return kModesAll;
    const std::uint32_t speed = ethtool_cmd_speed(&command);
    if (speed == 0 || speed == static_cast<std::uint32_t>(SPEED_UNKNOWN) || speed >= 1000) return kModesAll;
    if (speed >= 100) return kMode100Full | kMode100Half | kMode10Full | kMode10Half;
    return kMode10Full | kMode10Half;
}

// Whether the interface hands frames over with their FCS ("rx-fcs" on).
bool DeliversFcs(int socket, const std::string& name) {
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    // The set's size follows the request's header.
    alignas(ethtool_sset_info) std::uint8_t setsBytes[sizeof(ethtool_sset_info) + sizeof(std::uint32_t)] = {};
    auto* sets = reinterpret_cast<ethtool_sset_info*>(setsBytes);
    sets->cmd = ETHTOOL_GSSET_INFO;
    sets->sset_mask = 1ull << ETH_SS_FEATURES;
    request.ifr_data = reinterpret_cast<char*>(sets);
    if (::ioctl(socket, SIOCETHTOOL, &request) != 0 || sets->sset_mask == 0) return false;
    std::uint32_t count = 0;
    std::memcpy(&count, setsBytes + sizeof(ethtool_sset_info), sizeof count);
    std::vector<std::uint8_t> strings(sizeof(ethtool_gstrings) + std::size_t{count} * ETH_GSTRING_LEN);
    auto* names = reinterpret_cast<ethtool_gstrings*>(strings.data());
    names->cmd = ETHTOOL_GSTRINGS;
    names->string_set = ETH_SS_FEATURES;
    names->len = count;
    request.ifr_data = reinterpret_cast<char*>(names);
    if (::ioctl(socket, SIOCETHTOOL, &request) != 0) return false;
    std::uint32_t index = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (std::strncmp(reinterpret_cast<const char*>(names->data) + std::size_t{i} * ETH_GSTRING_LEN, "rx-fcs",
                         ETH_GSTRING_LEN) == 0) {
            index = i;
        }
    }
    if (index == count) return false;
    const std::uint32_t blocks = (count + 31) / 32;
    std::vector<std::uint8_t> features(sizeof(ethtool_gfeatures) + blocks * sizeof(ethtool_get_features_block));
    auto* get = reinterpret_cast<ethtool_gfeatures*>(features.data());
    get->cmd = ETHTOOL_GFEATURES;
    get->size = blocks;
    request.ifr_data = reinterpret_cast<char*>(get);
    if (::ioctl(socket, SIOCETHTOOL, &request) != 0) return false;
    return (get->features[index / 32].active >> (index % 32)) & 1;
}

void NameThread(const char* prefix, const std::string& interface) {
    const std::string name = (prefix + interface).substr(0, 15);
    pthread_setname_np(pthread_self(), name.c_str());
}

class InterfaceWire final : public FarEndWire {
public:
    InterfaceWire(Machine::Impl& machine, Port::Impl& port, std::string name)
        : FarEndWire(machine, port), name_(std::move(name)) {}

    ~InterfaceWire() override { Stop(); }

    // Everything that can fail, before the wire goes on the port.
    bool Open(std::string* why) {
        const std::string quoted = Quoted(name_);
        if (name_.empty() || name_.size() >= IFNAMSIZ) {
            *why = quoted + ": not an interface name";
            return false;
        }
        index_ = if_nametoindex(name_.c_str());
        if (index_ == 0) {
            *why = quoted + ": no such interface";
            return false;
        }
        // No protocol until the ring is in place: the socket would otherwise
        // collect frames of every interface until it is bound.
        rx_.Reset(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
        if (!rx_) {
            *why = quoted + (errno == EPERM || errno == EACCES ? ": a packet socket needs CAP_NET_RAW"
                                                               : ": no packet socket: " + ErrnoText(errno));
            return false;
        }
        auto fail = [&](const char* what) {
            *why = quoted + ": " + what + ": " + ErrnoText(errno);
            return false;
        };
        const int version = TPACKET_V3;
        if (::setsockopt(rx_.Get(), SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0)
            return fail("TPACKET_V3 not available");
        tpacket_req3 ring{};
        ring.tp_block_size = kBlockSize;
        ring.tp_block_nr = kBlockCount;
        ring.tp_frame_size = kFrameSize;
        ring.tp_frame_nr = kBlockSize / kFrameSize * kBlockCount;
        ring.tp_retire_blk_tov = kBlockTimeoutMs;
        if (::setsockopt(rx_.Get(), SOL_PACKET, PACKET_RX_RING, &ring, sizeof ring) != 0)
            return fail("no receive ring");
        void* map = ::mmap(nullptr, std::size_t{kBlockSize} * kBlockCount, PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_LOCKED, rx_.Get(), 0);
        if (map == MAP_FAILED) {
            // Locked pages may be limited (RLIMIT_MEMLOCK); the ring works without.
            map = ::mmap(nullptr, std::size_t{kBlockSize} * kBlockCount, PROT_READ | PROT_WRITE, MAP_SHARED,
                         rx_.Get(), 0);
        }
        if (map == MAP_FAILED) return fail("receive ring not mapped");
        ring_ = static_cast<std::uint8_t*>(map);
        // Frames the interface sends (ours among them) are not received again.
        const int one = 1;
        if (::setsockopt(rx_.Get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) != 0)
            return fail("outgoing frames cannot be left out");
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = static_cast<int>(index_);
        if (::bind(rx_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return fail("packet socket not bound");
        packet_mreq promiscuous{};
        promiscuous.mr_ifindex = static_cast<int>(index_);
        promiscuous.mr_type = PACKET_MR_PROMISC;
        if (::setsockopt(rx_.Get(), SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promiscuous, sizeof promiscuous) != 0) {
            if (errno == EPERM) {
                *why = quoted + ": promiscuous mode needs CAP_NET_ADMIN";
                return false;
            }
            return fail("no promiscuous mode");
        }
        // What the ring dropped before the wire was attached is not the port's.
        tpacket_stats_v3 stats{};
        socklen_t length = sizeof stats;
        ::getsockopt(rx_.Get(), SOL_PACKET, PACKET_STATISTICS, &stats, &length);

        // Sending: a socket of its own, receiving nothing, past the qdisc.
        tx_.Reset(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
        if (!tx_) return fail("no packet socket for sending");
        address.sll_protocol = 0;
        if (::bind(tx_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return fail("sending socket not bound");
        ::setsockopt(tx_.Get(), SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);  // a help, not a need

        netlink_.Reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
        if (!netlink_) return fail("no rtnetlink socket");
        sockaddr_nl group{};
        group.nl_family = AF_NETLINK;
        group.nl_groups = RTMGRP_LINK;
        if (::bind(netlink_.Get(), reinterpret_cast<sockaddr*>(&group), sizeof group) != 0)
            return fail("link changes cannot be watched");
        wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_) return fail("no eventfd");

        ReadInterfaceState();
        // The frames of one batch side by side, put together once.
        frames_.resize(kDeliverBatch * kMaxFrame / 8);
        batch_.reserve(kDeliverBatch);
        CarrierChanged(InterfaceRunning(tx_.Get(), name_));
        receiver_ = std::thread([this] { ReceiveLoop(); });
        sender_ = std::thread([this] { SendLoop(); });
        return true;
    }

    void Transmit(Port::Impl&, std::vector<std::uint8_t> frame) override {
        if (detached_.load(std::memory_order_acquire) || frame.size() <= 4) return;
        frame.resize(frame.size() - 4);  // Linux adds its own FCS
        {
            std::lock_guard lock(txLock_);
            txQueue_.push_back(std::move(frame));
        }
        txReady_.notify_one();
    }

    void Detach() override {
        Stop();
        DetachFromPort();
    }

    std::uint64_t Sent() const override { return sent_.load(std::memory_order_relaxed); }

private:
    std::uint32_t PartnerModes() const override { return partnerModes_.load(std::memory_order_acquire); }

    void LinkResolved(std::uint32_t, std::uint64_t) override {
        // The room the board's receive FIFO has (PBA's receive part, in KiB).
        fifoBytes_.store((port_->Read(reg::PBA) & 0xFFFF) * 1024ull, std::memory_order_release);
    }

    void ReadInterfaceState() {
        partnerModes_.store(ModesForSpeed(tx_.Get(), name_), std::memory_order_release);
        rxFcs_.store(DeliversFcs(tx_.Get(), name_), std::memory_order_release);
    }

    void Stop() {
        {
            std::lock_guard lock(txLock_);
            if (stopping_) return;
            stopping_ = true;
        }
        txReady_.notify_all();
        if (wake_) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(wake_.Get(), &one, sizeof one);
        }
        if (receiver_.joinable()) receiver_.join();
        if (sender_.joinable()) sender_.join();
        if (ring_ != nullptr) ::munmap(ring_, std::size_t{kBlockSize} * kBlockCount);
        ring_ = nullptr;
    }

    bool Stopping() {
        std::lock_guard lock(txLock_);
        return stopping_;
    }

    // ---- receiving (the receive thread) ----

    void ReceiveLoop() {
        NameThread("fl-rx-", name_);
        unsigned block = 0;
        pollfd fds[3] = {{rx_.Get(), POLLIN | POLLERR, 0}, {netlink_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
        for (;;) {
            auto* header = reinterpret_cast<tpacket_block_desc*>(ring_ + std::size_t{block} * kBlockSize);
            // The kernel hands a block over with a release of its status.
            if (std::atomic_ref(header->hdr.bh1.block_status).load(std::memory_order_acquire) & TP_STATUS_USER) {
                ReceiveBlock(header->hdr.bh1);
                std::atomic_ref(header->hdr.bh1.block_status).store(TP_STATUS_KERNEL, std::memory_order_release);
                block = (block + 1) % kBlockCount;
                CountRingDrops();
                continue;
            }
            for (pollfd& fd : fds) fd.revents = 0;
            if (::poll(fds, 3, 100) < 0 && errno != EINTR) break;
            if (fds[2].revents) break;
            if (fds[0].revents & POLLERR) {
                // The interface went down (ENETDOWN): read, the error stops
                // waking the poll; frames come again when it is back up.
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(rx_.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
            }
            if (fds[1].revents) WatchLink();
        }
        CountRingDrops();
    }

    void ReceiveBlock(const tpacket_hdr_v1& block) {
        const auto* base = reinterpret_cast<const std::uint8_t*>(&block) - offsetof(tpacket_block_desc, hdr);
        const auto* packet = reinterpret_cast<const tpacket3_hdr*>(base + block.offset_to_first_pkt);
        const bool withFcs = rxFcs_.load(std::memory_order_relaxed);
        std::size_t used = 0;
        for (std::uint32_t i = 0; i < block.num_pkts; ++i) {
            if (batch_.size() == kDeliverBatch || used + kMaxFrame > frames_.size()) {
                Deliver(batch_);
                batch_.clear();
                used = 0;
            }
            const auto* data = reinterpret_cast<const std::uint8_t*>(packet) + packet->tp_mac;
            std::size_t length = std::min<std::size_t>(packet->tp_snaplen, kMaxFrame - 8);
            std::uint8_t* out = frames_.data() + used;
            if (length >= 12 && (packet->tp_status & TP_STATUS_VLAN_VALID)) {
                // The tag the kernel (or the interface) took off goes back
                // where it was, after the addresses.
                const std::uint16_t tpid =
                    (packet->tp_status & TP_STATUS_VLAN_TPID_VALID) ? packet->hv1.tp_vlan_tpid : ETH_P_8021Q;
                std::memcpy(out, data, 12);
                out[12] = static_cast<std::uint8_t>(tpid >> 8);
                out[13] = static_cast<std::uint8_t>(tpid);
                out[14] = static_cast<std::uint8_t>(packet->hv1.tp_vlan_tci >> 8);
                out[15] = static_cast<std::uint8_t>(packet->hv1.tp_vlan_tci);
                std::memcpy(out + 16, data + 12, length - 12);
                length += 4;
            } else {
                std::memcpy(out, data, length);
            }
            if (!withFcs) {
                PutWireFcs(out, length);
                length += 4;
            }
            if (Offer(length, static_cast<std::int64_t>(packet->tp_sec) * 1'000'000'000 + packet->tp_nsec)) {
                batch_.push_back({{out, length}, !withFcs});
                used += (length + 7) & ~std::size_t{7};
            }
            packet = reinterpret_cast<const tpacket3_hdr*>(reinterpret_cast<const std::uint8_t*>(packet) +
                                                           packet->tp_next_offset);
        }
        Deliver(batch_);
        batch_.clear();
        if (tooFast_ != 0) {
            machine_.Trace(port_->Name() + ": interface " + Quoted(name_) + ": " + std::to_string(tooFast_) +
                           " frames came faster than the link and the receive FIFO take, counted as missed");
            tooFast_ = 0;
        }
    }

    // The port's link is slower than many interfaces: a frame that could
    // not have crossed it, with the receive FIFO as the only buffer on the
    // way, is one the board misses. Time is the interface's arrival stamp,
    // so that a reader scheduled late does not turn a steady stream into a
    // burst; the kernel still stamps frames in bunches when its softirq
    // work was delayed, so a backlog of up to kArrivalJitter of line time
    // is taken for such bunching rather than for a faster link.
    // true: the frame goes to the port (which ignores it, and counts it,
    // while the link is down); false: it was counted as missed.
    bool Offer(std::size_t length, std::int64_t now) {
        const std::uint32_t speed = Speed();
        if (speed == 0) return true;
        if (lineFree_ < now) lineFree_ = now;
        const std::int64_t backlogBytes = (lineFree_ - now - kArrivalJitterNs) * speed / 8000;
        const std::int64_t fifo = static_cast<std::int64_t>(fifoBytes_.load(std::memory_order_relaxed));
        if (backlogBytes + static_cast<std::int64_t>(length) > fifo) {
            port_->CountMissed(1, this);
            ++tooFast_;
            return false;
        }
        lineFree_ += LineTime(length, speed);
        return true;
    }

    void CountRingDrops() {
        tpacket_stats_v3 stats{};
        socklen_t length = sizeof stats;
        if (::getsockopt(rx_.Get(), SOL_PACKET, PACKET_STATISTICS, &stats, &length) == 0 && stats.tp_drops != 0) {
            port_->CountMissed(stats.tp_drops, this);
            machine_.Trace(port_->Name() + ": interface " + Quoted(name_) + ": the receive ring dropped " +
                           std::to_string(stats.tp_drops) + " frames, counted as missed");
        }
    }

    void WatchLink() {
        alignas(nlmsghdr) std::uint8_t buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(netlink_.Get(), buffer, sizeof buffer, 0);
            if (n < 0) {
                // An overrun lost messages: ask the interface itself.
                if (errno == ENOBUFS) {
                    CarrierChanged(InterfaceRunning(tx_.Get(), name_));
                    continue;
                }
                return;
            }
            std::size_t left = static_cast<std::size_t>(n);
            for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, left);
                 message = NLMSG_NEXT(message, left)) {
                if (message->nlmsg_type != RTM_NEWLINK && message->nlmsg_type != RTM_DELLINK) continue;
                const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
                if (info->ifi_index != static_cast<int>(index_)) continue;
                const bool up = message->nlmsg_type == RTM_NEWLINK && (info->ifi_flags & IFF_UP) &&
                                (info->ifi_flags & IFF_RUNNING);
                if (up) ReadInterfaceState();
                CarrierChanged(up);
            }
        }
    }

    // ---- sending (the send thread) ----

    void SendLoop() {
        NameThread("fl-tx-", name_);
        std::vector<std::vector<std::uint8_t>> batch;
        std::int64_t lineFree = 0;
        for (;;) {
            {
                std::unique_lock lock(txLock_);
                txReady_.wait(lock, [&] { return stopping_ || !txQueue_.empty(); });
                if (stopping_) return;
                while (!txQueue_.empty() && batch.size() < kSendBatch) {
                    batch.push_back(std::move(txQueue_.front()));
                    txQueue_.pop_front();
                }
            }
            SendBatch(batch);
            // Never faster than the port's link: the batch holds the line
            // this long, and the next one waits for it.
            const std::uint32_t speed = Speed();
            const auto now = std::chrono::steady_clock::now();
            const std::int64_t nowNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
            if (lineFree < nowNs) lineFree = nowNs;
            for (const auto& frame : batch) lineFree += LineTime(frame.size() + 4, speed);
            batch.clear();
            if (lineFree > nowNs + 20'000) std::this_thread::sleep_for(std::chrono::nanoseconds(lineFree - nowNs));
        }
    }

    void SendBatch(std::vector<std::vector<std::uint8_t>>& batch) {
        std::vector<iovec> vectors(batch.size());
        std::vector<mmsghdr> messages(batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i) {
            vectors[i] = {batch[i].data(), batch[i].size()};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        std::size_t done = 0;
        int retries = 0;
        while (done < batch.size()) {
            const int n = ::sendmmsg(tx_.Get(), messages.data() + done, static_cast<unsigned>(batch.size() - done), 0);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                sent_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
                continue;
            }
            // A full device queue empties soon; a device that is down or
            // gone takes nothing, and the frames are lost on a dead link.
            if ((errno == ENOBUFS || errno == EAGAIN || errno == EINTR) && ++retries < 1000 && !Stopping()) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            machine_.Trace(port_->Name() + ": interface " + Quoted(name_) + ": " +
                           std::to_string(batch.size() - done) + " frames not sent: " + ErrnoText(errno));
            return;
        }
    }

    const std::string name_;
    unsigned index_ = 0;
    Fd rx_, tx_, netlink_, wake_;
    std::uint8_t* ring_ = nullptr;
    std::thread receiver_, sender_;
    std::atomic<std::uint32_t> partnerModes_{kModesAll};
    std::atomic<bool> rxFcs_{false};
    std::atomic<std::uint64_t> fifoBytes_{48 * 1024};
    std::atomic<std::uint64_t> sent_{0};

    // The receive thread's own.
    std::vector<std::uint8_t> frames_;
    std::vector<OutsideFrame> batch_;
    std::int64_t lineFree_ = 0;
    std::uint64_t tooFast_ = 0;  // missed in the block at hand

    std::mutex txLock_;
    std::condition_variable txReady_;
    std::deque<std::vector<std::uint8_t>> txQueue_;  // under txLock_
    bool stopping_ = false;                          // under txLock_
};

}  // namespace

std::shared_ptr<Wire> MakeInterfaceWire(Machine::Impl& machine, Port::Impl& port, const InterfaceOptions& options,
                                        std::string* why) {
    auto wire = std::make_shared<InterfaceWire>(machine, port, options.name);
    std::string ignored;
    if (!wire->Open(why != nullptr ? why : &ignored)) return nullptr;
    return wire;
}

}  // namespace hw
