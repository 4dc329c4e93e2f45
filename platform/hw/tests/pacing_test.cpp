// A transmitter sends no faster than its link: a burst of frames of mixed
// sizes crosses a cable into a receiver that takes frames the way a driver
// does (a ring of 64 descriptors, serviced every 20 us), and nothing is lost.
#include <gtest/gtest.h>

#include <chrono>

#include "hw_test_util.hpp"

namespace hw::test {
namespace {

using namespace reg;
using namespace std::chrono_literals;

std::size_t PayloadSize(std::uint32_t sequence) { return 60 + (sequence * 7919u) % (1514 - 60 + 1); }

std::vector<std::uint8_t> Payload(std::uint32_t sequence) {
    std::vector<std::uint8_t> f(PayloadSize(sequence));
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(sequence + i * 13);
    f[0] = 0x02;
    PutLe(&f[14], sequence, 4);
    return f;
}

TEST(Pacing, BackToBackBurstOfMixedSizesCrossesACableWithoutLoss) {
    MachineOptions options;
    options.clock = ClockMode::Manual;
    options.pacedTransmit = true;
    Machine m(options);
    Board& b = m.AddBoard();
    Port& p = b.GetPort(0);
    Port& q = b.GetPort(1);
    LinkUpCable(m, p, q);
    ASSERT_EQ(p.LinkMode(), kMode1000Full);

    constexpr std::uint32_t kFrames = 6000;
    constexpr std::uint32_t kTx = 512;
    RxRing rx(m, q, 64, 2048);
    rx.GiveAll();
    TxRing tx(m, p, kTx, kTx * 2048);

    std::uint32_t posted = 0;      // frames given to the transmitter
    std::uint32_t clean = 0;       // first descriptor not yet seen done
    std::uint32_t received = 0;
    std::uint32_t rxNext = 0;
    std::uint64_t wireNs = 0;      // the least time the frames take on a gigabit link
    const std::int64_t begin = m.Now();
    for (int step = 0; step < 100000 && received < kFrames; ++step) {
        // Reclaim what has left, then fill the ring again (one descriptor stays empty).
        while (clean != posted % kTx && (LoadStatus(tx.Descriptor(clean)) & TXD_STAT_DD)) clean = (clean + 1) % kTx;
        while (posted < kFrames && (posted + 1) % kTx != clean) {
            const std::uint32_t at = posted % kTx;
            tx.Put(at, at * 2048, Payload(posted), TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS);
            wireNs += (PayloadSize(posted) + 4 + 20) * 8;
            ++posted;
        }
        p.WriteRegister(TDT, posted % kTx);
        m.Advance(20us);
        // Take what arrived and give the descriptors back.
        while (rx.Status(rxNext) & RXD_STAT_DD) {
            const std::vector<std::uint8_t> expected = Payload(received);
            ASSERT_EQ(rx.Length(rxNext), expected.size() + 4) << "frame " << received;
            ASSERT_EQ(0, std::memcmp(rx.Buffer(rxNext), expected.data(), expected.size())) << "frame " << received;
            EXPECT_TRUE(FcsValid({rx.Buffer(rxNext), expected.size() + 4}));
            std::atomic_ref<std::uint8_t>(rx.Descriptor(rxNext)[12]).store(0, std::memory_order_relaxed);
            q.WriteRegister(RDT, rxNext);
            rxNext = (rxNext + 1) % rx.n;
            ++received;
        }
    }
    EXPECT_EQ(received, kFrames);
    const PortCounters in = q.Counters();
    EXPECT_EQ(in.missed, 0u);
    EXPECT_EQ(in.delivered, kFrames);
    EXPECT_EQ(q.ReadRegister(MPC), 0u);
    EXPECT_EQ(p.Counters().transmitted, kFrames);
    // The burst took at least as long as the link needs for it.
    EXPECT_GE(static_cast<std::uint64_t>(m.Now() - begin), wireNs);
}

}  // namespace
}  // namespace hw::test
