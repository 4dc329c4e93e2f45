// The bus address space, Ethernet helpers, the generator wire, and the
// model running in real time with threads on both ends of a cable.
#include <set>
#include <thread>

#include "hw_test_util.hpp"

namespace hw::test {
namespace {

using namespace reg;
using namespace std::chrono_literals;

TEST(BusSpace, MapsDistinctFromVirtualAndRefusesOutside) {
    BusSpace bus;
    std::vector<std::uint8_t> a(100, 0), b(5000, 0);
    const BusAddress ba = bus.Map(a.data() + 1, 99);
    const BusAddress bb = bus.Map(b.data(), b.size());
    EXPECT_NE(ba, reinterpret_cast<std::uintptr_t>(a.data() + 1));
    EXPECT_EQ(ba % 4096, reinterpret_cast<std::uintptr_t>(a.data() + 1) % 4096);  // page offset kept
    EXPECT_EQ(bus.MappingCount(), 2u);

    const std::uint8_t in[4] = {1, 2, 3, 4};
    EXPECT_TRUE(bus.Write(ba + 95, in, 4, "t"));
    EXPECT_EQ(a[99], 4);
    EXPECT_FALSE(bus.Write(ba + 96, in, 4, "t"));  // one byte past the end
    EXPECT_FALSE(bus.Write(ba + 99, in, 1, "t"));
    std::uint8_t out[8];
    EXPECT_TRUE(bus.Read(bb + 4992, out, 8, "t"));
    EXPECT_FALSE(bus.Read(bb + 4993, out, 8, "t"));
    EXPECT_FALSE(bus.Read(ba - 1, out, 1, "t"));
    EXPECT_EQ(bus.FaultCount(), 4u);
    EXPECT_EQ(bus.Faults()[0].address, ba + 96);
    EXPECT_TRUE(bus.Faults()[0].write);
    EXPECT_FALSE(bus.Faults()[2].write);
    EXPECT_TRUE(bus.Write(ba, in, 0, "t"));  // nothing to move

    EXPECT_TRUE(bus.StoreRelease8(bb, 7, "t"));
    EXPECT_EQ(b[0], 7);
    EXPECT_EQ(bus.HostAddress(bb + 10, 10), b.data() + 10);
    EXPECT_EQ(bus.HostAddress(bb + 4999, 2), nullptr);

    EXPECT_TRUE(bus.Unmap(ba));
    EXPECT_FALSE(bus.Unmap(ba));
    EXPECT_FALSE(bus.Read(ba, out, 1, "t"));
    EXPECT_EQ(bus.MappingCount(), 1u);
    bus.ClearFaults();
    EXPECT_EQ(bus.FaultCount(), 0u);
    EXPECT_EQ(bus.Map(nullptr, 10), 0u);
}

TEST(Ethernet, FcsAndGeneratorFrames) {
    // The check value of CRC-32: "123456789" -> 0xCBF43926.
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32(digits), 0xCBF43926u);
    std::vector<std::uint8_t> f(digits, digits + 9);
    AppendFcs(f);
    EXPECT_EQ(f[9], 0x26);  // least significant byte first on the wire
    EXPECT_TRUE(FcsValid(f));
    f[3] ^= 1;
    EXPECT_FALSE(FcsValid(f));

    const MacAddress d{2, 0, 0, 0, 0, 1}, s{2, 0, 0, 0, 0, 2};
    const auto g = BuildGeneratorFrame(d, s, 7, 123456789012ull, 300, false);
    EXPECT_EQ(g.size(), 300u);
    const auto info = ParseGeneratorFrame(g);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->stream, 7u);
    EXPECT_EQ(info->sequence, 123456789012ull);
    EXPECT_TRUE(info->fcsValid);
    EXPECT_TRUE(info->patternValid);
    const auto bad = BuildGeneratorFrame(d, s, 7, 5, 10, true);
    EXPECT_EQ(bad.size(), 64u);  // clamped to the minimum
    EXPECT_FALSE(ParseGeneratorFrame(bad)->fcsValid);
    EXPECT_TRUE(ParseGeneratorFrame(bad)->patternValid);  // only the FCS is corrupt
    EXPECT_FALSE(ParseGeneratorFrame(TestFrame(100, 1)));
}

TEST(Ethernet, FrameMakerWritesTheFramesTheFcsPassWould) {
    // The FCS from tables equals the CRC over the frame, for every low byte
    // of the sequence number and for every higher byte in use.
    const MacAddress d{2, 0, 0, 0, 0, 1}, s{2, 0, 0, 0, 0, 2};
    for (const std::size_t size : {64u, 594u, 1518u}) {
        const GeneratorFrameMaker maker(d, s, 3, size);
        std::vector<std::uint8_t> frame(size);
        for (const std::uint64_t base : {0ull, 0x1234'5600ull, 0xFEDC'BA98'7654'3200ull}) {
            for (std::uint64_t k = 0; k < 256; k += 7) {
                for (const bool bad : {false, true}) {
                    maker.Write(frame, base + k, bad);
                    ASSERT_EQ(frame, BuildGeneratorFrame(d, s, 3, base + k, size, bad)) << size << " " << base + k;
                }
            }
        }
    }
}

TEST(Generator, PacedNumberedFramesWithRequestedErrors) {
    MachineOptions o;
    o.clock = ClockMode::Manual;
    o.autonegotiationDelay = 10ms;
    Machine m(o);
    Port& p = m.AddBoard().GetPort(1);
    p.WriteRegister(CTRL, CTRL_SLU);
    RxRing rx(m, p, 256, 2048);
    rx.GiveAll();
    GeneratorOptions g;
    g.framesPerSecond = 1000;
    g.minSize = 64;
    g.maxSize = 1518;
    g.count = 100;
    g.fcsErrorEvery = 10;
    m.AttachGenerator(p, g);
    m.Advance(10ms);  // link up, first frame at once
    EXPECT_EQ(m.GeneratorSent(p), 1u);
    m.Advance(49ms);
    EXPECT_EQ(m.GeneratorSent(p), 50u);
    m.Advance(1s);
    EXPECT_EQ(m.GeneratorSent(p), 100u);  // count reached

    std::set<std::size_t> sizes;
    for (std::uint32_t i = 0; i < 100; ++i) {
        ASSERT_EQ(rx.Status(i) & RXD_STAT_EOP, RXD_STAT_EOP) << i;
        const auto info = ParseGeneratorFrame({rx.Buffer(i), rx.Length(i)});
        ASSERT_TRUE(info) << i;
        EXPECT_EQ(info->sequence, i);
        EXPECT_EQ(info->stream, 1u);
        EXPECT_TRUE(info->patternValid);
        EXPECT_EQ(info->fcsValid, (i + 1) % 10 != 0) << i;
        EXPECT_EQ(rx.Errors(i) & RXD_ERR_CE, (i + 1) % 10 != 0 ? 0 : RXD_ERR_CE);
        EXPECT_GE(rx.Length(i), 64);
        EXPECT_LE(rx.Length(i), 1518);
        EXPECT_EQ(std::memcmp(rx.Buffer(i), p.Mac().data(), 6), 0);  // addressed to the port
        sizes.insert(rx.Length(i));
    }
    EXPECT_GT(sizes.size(), 10u);  // sizes vary
    const PortCounters c = p.Counters();
    EXPECT_EQ(c.offered, 100u);
    EXPECT_EQ(c.delivered, 100u);
}

TEST(Generator, NeverFasterThanTheWire) {
    MachineOptions o;
    o.clock = ClockMode::Manual;
    o.autonegotiationDelay = 1ms;
    Machine m(o);
    Port& p = m.AddBoard().GetPort(0);
    GeneratorOptions g;
    g.framesPerSecond = 1e9;
    g.minSize = g.maxSize = 1518;
    g.partnerModes = kMode10Full;
    m.AttachGenerator(p, g);
    m.Advance(1ms);
    m.Advance(10ms);
    // 10 Mb/s: a 1518-byte frame with preamble and gap takes 1230.4 us.
    EXPECT_GE(m.GeneratorSent(p), 8u);
    EXPECT_LE(m.GeneratorSent(p), 9u);
    // Receiver off: every frame is offered and ignored, none lost unseen.
    EXPECT_EQ(p.Counters().offered, m.GeneratorSent(p));
    EXPECT_EQ(p.Counters().ignored, m.GeneratorSent(p));
}

// Real time: two cabled ports transmit at each other from two threads while
// each side's receive ring is drained by a third and fourth; every frame
// sent arrives, in order, and nothing deadlocks.
TEST(RealTime, CabledPortsTransmittingAtEachOther) {
    MachineOptions o;
    o.clock = ClockMode::RealTime;
    o.autonegotiationDelay = 1ms;
    Machine m(o);
    Board& board = m.AddBoard();
    Port& a = board.GetPort(0);
    Port& b = board.GetPort(1);
    a.WriteRegister(CTRL, CTRL_SLU | CTRL_FD);
    b.WriteRegister(CTRL, CTRL_SLU | CTRL_FD);
    std::atomic<int> interrupts{0};
    a.SetInterruptHandler([&](bool level) {
        if (level) interrupts.fetch_add(1);
    });
    a.WriteRegister(IMS, ICR_LSC);
    m.Connect(a, b);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!(a.ReadRegister(STATUS) & STATUS_LU) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(a.ReadRegister(STATUS) & STATUS_LU);
    EXPECT_GE(interrupts.load(), 1);

    constexpr std::uint32_t kFrames = 2000;
    constexpr std::uint32_t kRing = 64;
    RxRing rxA(m, a, kRing, 2048), rxB(m, b, kRing, 2048);
    TxRing txA(m, a, kRing, kRing * 2048), txB(m, b, kRing, kRing * 2048);
    rxA.GiveAll();
    rxB.GiveAll();

    std::atomic<std::uint64_t> gotA{0}, gotB{0};
    // The sender keeps at most half a ring ahead of the receiver on the
    // other side, so that nothing is missed however the threads are scheduled.
    auto sender = [&](TxRing& tx, Port& from, std::uint32_t stream, std::atomic<std::uint64_t>& peerGot) {
        std::uint32_t tail = 0, clean = 0;
        for (std::uint64_t seq = 0; seq < kFrames;) {
            if (seq >= peerGot.load(std::memory_order_acquire) + kRing / 2) {
                if (std::chrono::steady_clock::now() > deadline) return;
                std::this_thread::yield();
                continue;
            }
            // Reclaim finished descriptors (status acquired).
            while (clean != tail && (LoadStatus(tx.Descriptor(clean)) & TXD_STAT_DD)) clean = (clean + 1) % kRing;
            if ((tail + 1) % kRing == clean) {
                std::this_thread::yield();
                continue;
            }
            auto f = BuildGeneratorFrame(MacAddress{2, 0, 0, 0, 0, 9}, from.Mac(), stream, seq, 64 + seq % 1400, false);
            f.resize(f.size() - 4);  // the controller appends the FCS
            tx.Put(tail, tail * 2048, f, TXD_CMD_EOP | TXD_CMD_IFCS | TXD_CMD_RS);
            tail = (tail + 1) % kRing;
            from.WriteRegister(TDT, tail);
            ++seq;
        }
    };
    auto receiver = [&](RxRing& rx, std::uint32_t stream, std::atomic<std::uint64_t>& got, bool& ordered) {
        std::uint32_t next = 0;
        while (got.load() < kFrames && std::chrono::steady_clock::now() < deadline) {
            std::uint8_t* d = rx.Descriptor(next);
            if (!(LoadStatus(d) & RXD_STAT_DD)) {
                std::this_thread::yield();
                continue;
            }
            const auto info = ParseGeneratorFrame({rx.Buffer(next), rx.Length(next)});
            if (!info || info->stream != stream || info->sequence != got.load() || !info->fcsValid) ordered = false;
            got.fetch_add(1, std::memory_order_release);
            d[12] = 0;  // ours again; handed back through RDT below (a release by the register write)
            rx.port.WriteRegister(RDT, next);
            next = (next + 1) % kRing;
        }
    };
    bool orderedA = true, orderedB = true;
    std::thread ra(receiver, std::ref(rxA), 1u, std::ref(gotA), std::ref(orderedA));
    std::thread rb(receiver, std::ref(rxB), 0u, std::ref(gotB), std::ref(orderedB));
    std::thread sa(sender, std::ref(txA), std::ref(a), 0u, std::ref(gotB));
    std::thread sb(sender, std::ref(txB), std::ref(b), 1u, std::ref(gotA));
    sa.join();
    sb.join();
    ra.join();
    rb.join();
    EXPECT_EQ(gotA.load(), kFrames);
    EXPECT_EQ(gotB.load(), kFrames);
    EXPECT_TRUE(orderedA);
    EXPECT_TRUE(orderedB);
    const PortCounters ca = a.Counters(), cb = b.Counters();
    EXPECT_EQ(ca.transmitted, kFrames);
    EXPECT_EQ(cb.offered, kFrames);
    // Frames the receivers were too slow for are counted, never lost unseen.
    EXPECT_EQ(cb.offered, cb.ignored + cb.missed + cb.delivered + cb.queued + cb.dmaFaults);
    EXPECT_EQ(cb.missed, 0u);
    a.SetInterruptHandler(nullptr);
}

TEST(RealTime, GeneratorFeedsAPortOnTheModelThread) {
    MachineOptions o;
    o.clock = ClockMode::RealTime;
    o.autonegotiationDelay = 1ms;
    Machine m(o);
    Port& p = m.AddBoard().GetPort(0);
    p.WriteRegister(CTRL, CTRL_SLU | CTRL_FD);
    RxRing rx(m, p, 1024, 2048);
    rx.GiveAll();
    GeneratorOptions g;
    g.framesPerSecond = 20000;
    g.count = 500;
    m.AttachGenerator(p, g);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (m.GeneratorSent(p) < 500 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(m.GeneratorSent(p), 500u);
    for (std::uint32_t i = 0; i < 500; ++i) {
        ASSERT_TRUE(LoadStatus(rx.Descriptor(i)) & RXD_STAT_DD) << i;
        EXPECT_EQ(ParseGeneratorFrame({rx.Buffer(i), rx.Length(i)})->sequence, i);
    }
    EXPECT_EQ(p.Counters().delivered, 500u);
}

TEST(RealTime, RewiringWhileTrafficFlows) {
    MachineOptions o;
    o.clock = ClockMode::RealTime;
    o.autonegotiationDelay = std::chrono::microseconds(200);
    Machine m(o);
    Board& board = m.AddBoard();
    Port& a = board.GetPort(0);
    Port& b = board.GetPort(1);
    for (Port* p : {&a, &b}) p->WriteRegister(CTRL, CTRL_SLU | CTRL_FD);
    RxRing rx(m, a, 256, 2048);
    rx.GiveAll();
    GeneratorOptions g;
    g.framesPerSecond = 50000;
    // Wires change under a running generator and link events on the model
    // thread; the registers are read all the while.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            a.ReadRegister(STATUS);
            b.ReadRegister(ICR);
        }
    });
    for (int i = 0; i < 30; ++i) {
        m.AttachGenerator(a, g);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        m.Connect(a, b);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        m.Disconnect(b);
    }
    EXPECT_FALSE(a.LinkUp());
    EXPECT_EQ(m.GeneratorSent(a), 0u);  // no wire, no generator
    m.AttachGenerator(a, g);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!a.LinkUp() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    done.store(true);
    reader.join();
    EXPECT_TRUE(a.LinkUp());
    EXPECT_FALSE(b.LinkUp());
    const PortCounters c = a.Counters();
    EXPECT_EQ(c.offered, c.ignored + c.missed + c.delivered + c.queued + c.dmaFaults);
}

}  // namespace
}  // namespace hw::test
