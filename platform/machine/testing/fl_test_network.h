// Linux links of a test's own: a fresh network namespace for the calling
// thread (and the processes and threads it starts from then on), veth pairs
// inside it, and raw sockets to send frames into a veth end and take frames
// out of one. Traffic never leaves the namespace, and the namespace with
// its veths goes away when nothing uses it any more.
//
//   std::string why;
//   if (!FlEnterTestNetwork(&why)) GTEST_SKIP() << why;
//   ASSERT_TRUE(FlAddVethPair("a0", "a1"));
#pragma once

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// A new, empty network namespace; false with the reason where the system
// does not allow one (not root, or in a container without the right).
inline bool FlEnterTestNetwork(std::string* why)
{
    if (::unshare(CLONE_NEWNET) != 0) {
        *why = std::string("no network namespace of the test's own can be made here (unshare: ") +
               std::strerror(errno) + "); tests of Linux links need root or CAP_SYS_ADMIN";
        return false;
    }
    // Only the test's frames: no IPv6 neighbour discovery on new links.
    [[maybe_unused]] const int ignored = std::system(
        "sysctl -qw net.ipv6.conf.default.disable_ipv6=1 net.ipv6.conf.all.disable_ipv6=1 >/dev/null 2>&1");
    return true;
}

inline bool FlRun(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A veth pair, both ends up.
inline bool FlAddVethPair(const std::string& a, const std::string& b)
{
    return FlRun("ip link add " + a + " type veth peer name " + b) && FlRun("ip link set " + a + " up") &&
           FlRun("ip link set " + b + " up");
}

inline bool FlSetLink(const std::string& name, bool up)
{
    return FlRun("ip link set " + name + (up ? " up" : " down"));
}

// A raw socket on one interface: frames sent go out of it as they are (the
// kernel adds no FCS to a veth's frames), frames received are every frame
// the interface receives.
class FlRawLink {
public:
    explicit FlRawLink(const std::string& name)
    {
        fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = static_cast<int>(if_nametoindex(name.c_str()));
        if (fd_ >= 0 && (address.sll_ifindex == 0 ||
                         ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0) {
            // Only what arrives, not what this end sends.
            const int one = 1;
            ::setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
            // Room for a burst while the test is not reading.
            const int buffer = 8 << 20;
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        }
    }
    ~FlRawLink()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    FlRawLink(const FlRawLink&) = delete;
    FlRawLink& operator=(const FlRawLink&) = delete;

    explicit operator bool() const { return fd_ >= 0; }

    bool Send(const std::vector<uint8_t>& frame) const
    {
        return ::send(fd_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
    }

    // The next frame received whose EtherType (after any VLAN tag the
    // kernel left in) is `etherType`, or an empty one when none came in time.
    std::vector<uint8_t> Receive(uint16_t etherType, std::chrono::milliseconds timeout) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<uint8_t> frame(65536);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd fd{fd_, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            const ssize_t n = ::recv(fd_, frame.data(), frame.size(), 0);
            if (n < 14) continue;
            if ((frame[12] << 8 | frame[13]) != etherType) continue;
            frame.resize(static_cast<size_t>(n));
            return frame;
        }
    }

private:
    int fd_ = -1;
};
