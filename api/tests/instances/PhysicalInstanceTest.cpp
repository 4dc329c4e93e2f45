// The physical instance as an application uses it, through the library's
// exports on a machine of two boards: features and their refusals,
// receiving generated traffic, the buffers of the pool, transmitting to the
// board at the other end of a cable, link changes reported to a callback,
// and closing with reads outstanding and buffers held.
#include <gtest/gtest.h>

#include "InstanceTestSupport.h"
#include "Objects.h"
#include "fl_test_machine.h"

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace instancetest {
namespace {

// Board 0: port 0 hears a generator, port 1 is cabled to board 1's port 0.
// Board 1's port 1 has no wire.
constexpr Mac kGenerated = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x10};
constexpr Mac kSender = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x11};
constexpr Mac kReceiver = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x20};
constexpr Mac kQuiet = {0x02, 0x00, 0xf1, 0x0e, 0x00, 0x21};

class PhysicalInstance : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FlUseTestMachine("physical_instance", "clock = \"realtime\"\n"
                                              "autonegotiation_delay_ms = 50\n"
                                              "[[board]]\n"
                                              "mac = \"02:00:f1:0e:00:10\"\n"
                                              "[[board.port]]\n"
                                              "wire = \"generator\"\n"
                                              "rate = 2000\n"
                                              "min_size = 64\n"
                                              "max_size = 600\n"
                                              "[[board.port]]\n"
                                              "wire = \"cable\"\n"
                                              "to = { board = 1, port = 0 }\n"
                                              "[[board]]\n"
                                              "mac = \"02:00:f1:0e:00:20\"\n"
                                              "[[board.port]]\n"
                                              "[[board.port]]\n"
                                              "wire = \"none\"\n");
    }
};

uint32_t Feature(FL_INSTANCE instance, uint32_t id)
{
    uint32_t value = 0xDEADBEEF;
    const FL_STATUS status = FlInstanceQueryFeature(instance, id, &value);
    EXPECT_EQ(status, FL_SUCCESS) << "feature " << id << ": " << FlStatusGetString(status);
    return value;
}

TEST_F(PhysicalInstance, FeaturesReachTheDriverAndOutOfRangeValuesAreRefused)
{
    PortList ports;
    OpenInstance instance(ports.Physical(kQuiet));
    ASSERT_TRUE(instance);
    FL_INSTANCE i = instance.Get();

    // The instance's own port, a copy that outlives the list.
    FL_PORT own = FlInstanceGetPort(i);
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, ports.Physical(kQuiet));
    EXPECT_STREQ(FlPortGetName(own), FlPortGetName(ports.Physical(kQuiet)));
    FL_BOARD board = nullptr;
    EXPECT_EQ(FlPortQueryBoard(own, &board), FL_SUCCESS);
    EXPECT_NE(board, nullptr);

    // The driver's defaults until a feature is set.
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_RX_ENABLE), 0u);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_TX_ENABLE), 0u);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_SNAPLEN), 0xFFFFu);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_READ_TIMEOUT), 10u);

    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_SNAPLEN, 0x10000), FL_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_SNAPLEN, 128), FL_SUCCESS);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_SNAPLEN), 128u);

    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_ERROR_FILTER, 8), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_ERROR_FILTER, 3), FL_SUCCESS);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_ERROR_FILTER), 3u);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_ERROR_FILTER, 5), FL_SUCCESS);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_ERROR_FILTER), 5u);

    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_THRESHOLD, 0xFFFFFFFFu), FL_SUCCESS);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_READ_THRESHOLD), 0xFFFFFFFFu);

    // A timeout of 0 is the driver's to refuse: an invalid request, and the
    // value before stays.
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, 25), FL_SUCCESS);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, 0), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_READ_TIMEOUT), 25u);

    // Reception and transmission are switched on, once, and never off.
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 0), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_TX_ENABLE, 2), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_RX_ENABLE), 1u);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);
    EXPECT_EQ(Feature(i, FL_INSTANCE_FT_TX_ENABLE), 1u);
    EXPECT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_TX_ENABLE, 1), FL_ERROR_INVALID_REQUEST);

    // Unknown ids, both ways.
    uint32_t value = 77;
    EXPECT_EQ(FlInstanceSetFeature(i, 7, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceSetFeature(i, 0, 1), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(FlInstanceQueryFeature(i, 7, &value), FL_ERROR_INVALID_REQUEST);
    EXPECT_EQ(value, 77u);

    // Instances are independent: another handle on the same port starts
    // from the driver's defaults.
    OpenInstance other(ports.Physical(kQuiet));
    ASSERT_TRUE(other);
    EXPECT_EQ(Feature(other.Get(), FL_INSTANCE_FT_RX_ENABLE), 0u);
    EXPECT_EQ(Feature(other.Get(), FL_INSTANCE_FT_SNAPLEN), 0xFFFFu);
}

TEST_F(PhysicalInstance, OpeningByNameTakesTheExactDevicePathOnly)
{
    PortList ports;
    const std::string name = FlPortGetName(ports.Physical(kQuiet));

    FL_INSTANCE instance = nullptr;
    ASSERT_EQ(FlInstanceOpenByName(name.c_str(), &instance), FL_SUCCESS);
    ASSERT_NE(instance, nullptr);
    EXPECT_STREQ(FlPortGetName(FlInstanceGetPort(instance)), name.c_str());
    EXPECT_EQ(FlPortGetType(FlInstanceGetPort(instance)), FL_PORT_TYPE_PHYSICAL);
    EXPECT_EQ(FlInstanceClose(instance), FL_SUCCESS);

    // The same path in other letters names no port.
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_NE(upper, name);
    instance = nullptr;
    EXPECT_EQ(FlInstanceOpenByName(upper.c_str(), &instance), FL_ERROR_PORT_NOT_FOUND);
    EXPECT_EQ(instance, nullptr);
    EXPECT_EQ(FlInstanceOpenByName("", &instance), FL_ERROR_PORT_NOT_FOUND);

    // Aggregating ports open by their names too.
    FL_PORT bap = ports.OfType(FL_PORT_TYPE_BOARD_AGGREGATING);
    ASSERT_NE(bap, nullptr);
    ASSERT_EQ(FlInstanceOpenByName(FlPortGetName(bap), &instance), FL_SUCCESS);
    EXPECT_EQ(FlPortGetType(FlInstanceGetPort(instance)), FL_PORT_TYPE_BOARD_AGGREGATING);
    EXPECT_EQ(FlInstanceClose(instance), FL_SUCCESS);

    EXPECT_EQ(FlInstanceClose(nullptr), FL_SUCCESS);
}

// A port that the enumeration never makes: a name and a type of the test's
// choosing.
class MadeUpPort final : public FlApi::Port {
public:
    MadeUpPort(std::string name, uint32_t type) : name_(std::move(name)), type_(type) {}
    FlApi::Port* Clone(bool) override { return new MadeUpPort(name_, type_); }
    const char* GetName() override { return name_.c_str(); }
    const char* GetDescription() override { return ""; }
    uint32_t GetType() override { return type_; }
    bool IsEqual(FlApi::Port* other) override { return other == this; }

private:
    std::string name_;
    uint32_t type_;
};

TEST_F(PhysicalInstance, OpeningFailsWithoutADeviceOrOnAPortOfNoKnownType)
{
    PortList ports;
    const std::string quiet = FlPortGetName(ports.Physical(kQuiet));
    FL_INSTANCE instance = reinterpret_cast<FL_INSTANCE>(&ports);
    const FL_INSTANCE untouched = instance;

    MadeUpPort gone("\\\\?\\FL_gone#{ccc1ec52-8c28-41f5-9748-5695dcbda22a}", FL_PORT_TYPE_PHYSICAL);
    EXPECT_EQ(FlInstanceOpenByPort(FlApi::ToHandle(&gone), &instance), FL_ERROR_IO);
    EXPECT_EQ(instance, untouched) << "nothing returned";

    for (uint32_t type : {0u, 4u}) {
        MadeUpPort strange(quiet, type);
        EXPECT_EQ(FlInstanceOpenByPort(FlApi::ToHandle(&strange), &instance), FL_ERROR_INVALID_PARAMETER);
        EXPECT_EQ(instance, untouched);
    }

    // The real port still opens: the failed opens left nothing behind.
    MadeUpPort same(quiet, FL_PORT_TYPE_PHYSICAL);
    ASSERT_EQ(FlInstanceOpenByPort(FlApi::ToHandle(&same), &instance), FL_SUCCESS);
    EXPECT_STREQ(FlPortGetName(FlInstanceGetPort(instance)), quiet.c_str());
    EXPECT_EQ(FlInstanceClose(instance), FL_SUCCESS);
}

TEST_F(PhysicalInstance, ReceivingNeedsReceptionAndWithoutTrafficGivesNoBuffer)
{
    PortList ports;
    OpenInstance instance(ports.Physical(kQuiet));
    ASSERT_TRUE(instance);

    // The driver refuses reads until reception is on.
    FL_PACKETS_BUFFER buffer = reinterpret_cast<FL_PACKETS_BUFFER>(&instance);
    EXPECT_EQ(FlInstanceReceivePackets(instance.Get(), &buffer), FL_ERROR_IO);
    EXPECT_EQ(FlInstanceReceivePackets(instance.Get(), &buffer), FL_ERROR_IO) << "and stays usable";

    ASSERT_EQ(FlInstanceSetFeature(instance.Get(), FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(instance.Get(), FL_INSTANCE_FT_READ_TIMEOUT, 5), FL_SUCCESS);
    for (int round = 0; round < 40; ++round) {
        buffer = reinterpret_cast<FL_PACKETS_BUFFER>(&instance);
        ASSERT_EQ(FlInstanceReceivePackets(instance.Get(), &buffer), FL_SUCCESS);
        EXPECT_EQ(buffer, nullptr) << "round " << round;
    }
}

TEST_F(PhysicalInstance, GeneratedFramesComeBackAsRecordsInArrivalOrder)
{
    PortList ports;
    OpenInstance instance(ports.Physical(kGenerated));
    ASSERT_TRUE(instance);
    FL_INSTANCE i = instance.Get();
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, 20), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);

    // Buffers of the pool are 512 KiB of records behind the read header.
    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_TRUE(Eventually([&] {
        EXPECT_EQ(FlInstanceReceivePackets(i, &buffer), FL_SUCCESS);
        return buffer != nullptr;
    }));
    EXPECT_EQ(FlPacketsBufferGetLength(buffer), 0x80000u);
    EXPECT_GT(FlPacketsBufferGetEffectiveLength(buffer), 0u);
    EXPECT_EQ(FlPacketsBufferGetEffectiveLength(buffer) % 8, 0u);
    const std::vector<Record> first = Drain(buffer);
    ASSERT_FALSE(first.empty());
    // Read again from the start after a reset: the same records.
    FlPacketsBufferResetIndex(buffer);
    EXPECT_EQ(Drain(buffer).size(), first.size());
    FlPacketsBufferDestroy(buffer);

    const std::vector<Record> records = ReceiveUntil(i, [](const auto& got) { return got.size() >= 100; });
    ASSERT_GE(records.size(), 100u);
    uint64_t previous = first.back().header.Timestamp;
    for (const Record& r : records) {
        EXPECT_GE(r.header.WireLength, 64u);
        EXPECT_LE(r.header.WireLength, 600u);
        EXPECT_EQ(r.header.CapturedLength, r.header.WireLength);
        EXPECT_EQ(r.header.Flags, FL_PACKET_FLAG_FCS_PRESENT) << "no member index outside an aggregation";
        EXPECT_EQ(r.header.Errors, 0u);
        EXPECT_GE(r.header.Timestamp, previous) << "buffers come back in arrival order";
        EXPECT_NE(r.header.Timestamp, 0u);
        previous = r.header.Timestamp;
    }

    // The snap length cuts what is kept, not the length on the wire.
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_SNAPLEN, 40), FL_SUCCESS);
    const std::vector<Record> cut = ReceiveUntil(i, [](const auto& got) {
        return got.size() >= 10 && got.back().header.CapturedLength == 40;
    });
    ASSERT_FALSE(cut.empty());
    EXPECT_EQ(cut.back().header.CapturedLength, 40u);
    EXPECT_EQ(cut.back().data.size(), 40u);
    EXPECT_GE(cut.back().header.WireLength, 64u);
}

TEST_F(PhysicalInstance, TheReceiveEventIsSetWhenMoreBytesWaitThanTheThreshold)
{
    PortList ports;
    OpenInstance instance(ports.Physical(kGenerated));
    ASSERT_TRUE(instance);
    FL_INSTANCE i = instance.Get();
    HANDLE event = FlInstanceGetReceiveWaitHandle(i);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 50), static_cast<DWORD>(WAIT_TIMEOUT)) << "not receiving yet";

    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, 600000), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_THRESHOLD, 200), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
    ASSERT_EQ(WaitForSingleObject(event, kGenerousWaitMs), WAIT_OBJECT_0);

    // What woke the application is there to receive.
    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_EQ(FlInstanceReceivePackets(i, &buffer), FL_SUCCESS);
    ASSERT_NE(buffer, nullptr);
    EXPECT_GT(FlPacketsBufferGetEffectiveLength(buffer), 200u);
    FlPacketsBufferDestroy(buffer);
}

TEST_F(PhysicalInstance, WithAllSixteenBuffersHeldReceivesGiveNothingUntilOneIsReleased)
{
    PortList ports;
    OpenInstance instance(ports.Physical(kGenerated));
    ASSERT_TRUE(instance);
    FL_INSTANCE i = instance.Get();
    // Small reads, completed often.
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_THRESHOLD, 0), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, 2), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);

    std::vector<FL_PACKETS_BUFFER> held;
    const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
    while (held.size() < 16 && std::chrono::steady_clock::now() < deadline) {
        FL_PACKETS_BUFFER buffer = nullptr;
        ASSERT_EQ(FlInstanceReceivePackets(i, &buffer), FL_SUCCESS);
        if (buffer != nullptr) held.push_back(buffer);
    }
    ASSERT_EQ(held.size(), 16u);
    for (size_t a = 0; a < held.size(); ++a) {
        for (size_t b = a + 1; b < held.size(); ++b) EXPECT_NE(held[a], held[b]);
    }

    // Nothing left to read into, though traffic goes on.
    for (int round = 0; round < 20; ++round) {
        FL_PACKETS_BUFFER buffer = reinterpret_cast<FL_PACKETS_BUFFER>(&held);
        ASSERT_EQ(FlInstanceReceivePackets(i, &buffer), FL_SUCCESS);
        EXPECT_EQ(buffer, nullptr) << "round " << round;
        Sleep(1);
    }

    // A buffer released on another thread goes back to the pool and is
    // read into again.
    std::thread releaser([buffer = held.back()] { FlPacketsBufferDestroy(buffer); });
    releaser.join();
    const FL_PACKETS_BUFFER released = held.back();
    held.pop_back();
    FL_PACKETS_BUFFER again = nullptr;
    ASSERT_TRUE(Eventually([&] {
        EXPECT_EQ(FlInstanceReceivePackets(i, &again), FL_SUCCESS);
        return again != nullptr;
    }));
    EXPECT_EQ(again, released);
    EXPECT_FALSE(Drain(again).empty());
    held.push_back(again);

    // Receiving on one thread while another releases: every buffer keeps
    // cycling and no record is ever read from a buffer in the driver's hands.
    std::mutex lock;
    std::condition_variable ready;
    std::vector<FL_PACKETS_BUFFER> toRelease(held.begin(), held.end());
    held.clear();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (;;) {
            std::unique_lock<std::mutex> guard(lock);
            ready.wait(guard, [&] { return !toRelease.empty() || done.load(); });
            if (toRelease.empty()) return;
            FL_PACKETS_BUFFER buffer = toRelease.back();
            toRelease.pop_back();
            guard.unlock();
            FlPacketsBufferDestroy(buffer);
        }
    });
    size_t received = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until || received < 20) {
        if (std::chrono::steady_clock::now() > until + kGenerousDeadline) break;
        FL_PACKETS_BUFFER buffer = nullptr;
        ASSERT_EQ(FlInstanceReceivePackets(i, &buffer), FL_SUCCESS);
        if (buffer == nullptr) continue;
        ++received;
        EXPECT_FALSE(Drain(buffer).empty());
        {
            std::lock_guard<std::mutex> guard(lock);
            toRelease.push_back(buffer);
        }
        ready.notify_one();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    ready.notify_one();
    worker.join();
    EXPECT_GE(received, 20u);
}

// The far end's counters of frames received, the sender's of frames sent.
struct Traffic {
    uint64_t sent = 0;
    uint64_t received = 0;
};

Traffic CountTraffic(const RawPort& sender, const RawPort& receiver)
{
    return {sender.Counters()[FL_PORT_STAT_PACKETS_SENT], receiver.Counters()[FL_PORT_STAT_GOOD_RECEIVED]};
}

TEST_F(PhysicalInstance, TransmittedRecordsArriveByteForByteAtTheFarEnd)
{
    PortList ports;
    RawPort senderPort(ports.Physical(kSender));
    ASSERT_TRUE(senderPort.WaitLinkUp()) << "the cable's link never came up";

    OpenInstance receiver(ports.Physical(kReceiver));
    OpenInstance sender(ports.Physical(kSender));
    ASSERT_TRUE(receiver);
    ASSERT_TRUE(sender);
    ASSERT_EQ(FlInstanceSetFeature(receiver.Get(), FL_INSTANCE_FT_READ_TIMEOUT, 20), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(receiver.Get(), FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);

    const std::vector<std::vector<uint8_t>> frames = {MarkedFrame(60, 1), MarkedFrame(61, 2), MarkedFrame(1514, 3),
                                                      MarkedFrame(333, 4)};
    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_EQ(FlPacketsBufferCreate(8192, &buffer), FL_SUCCESS);

    // An empty buffer is sent at once, whatever the instance may do.
    EXPECT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_SUCCESS);

    for (const auto& frame : frames) {
        FL_PACKET_HEADER header{};
        header.WireLength = static_cast<uint16_t>(frame.size());
        header.CapturedLength = header.WireLength;
        ASSERT_EQ(FlPacketsBufferCommitNextPacket(buffer, &header, frame.data()), FL_SUCCESS);
    }
    const uint32_t length = FlPacketsBufferGetEffectiveLength(buffer);

    // Without transmission the driver refuses the write.
    EXPECT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_ERROR_IO);

    ASSERT_EQ(FlInstanceSetFeature(sender.Get(), FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);
    ASSERT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_SUCCESS);
    EXPECT_EQ(FlPacketsBufferGetEffectiveLength(buffer), length) << "the buffer is left as it was";

    // The sender's counters: what it handed over, the controller's FCS
    // counted in; nothing received, as reception was never enabled.
    FL_STATISTICS statistics = nullptr;
    ASSERT_EQ(FlInstanceQueryStatistics(sender.Get(), &statistics), FL_SUCCESS);
    uint64_t value = 0;
    ASSERT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_TX_PACKETS, &value), FL_SUCCESS);
    EXPECT_EQ(value, frames.size());
    ASSERT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_TX_BYTES, &value), FL_SUCCESS);
    EXPECT_EQ(value, 60u + 61u + 1514u + 333u + 4u * 4u);
    for (uint32_t id : {FL_INSTANCE_COUNTER_RX_BYTES, FL_INSTANCE_COUNTER_RX_PACKETS,
                        FL_INSTANCE_COUNTER_RX_GOOD_PACKETS, FL_INSTANCE_COUNTER_RX_ERRORS,
                        FL_INSTANCE_COUNTER_RX_DROPPED}) {
        ASSERT_EQ(FlStatisticsQueryValue(statistics, id, &value), FL_SUCCESS);
        EXPECT_EQ(value, 0u) << std::hex << id;
    }
    EXPECT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_DROPPED + 1, &value),
              FL_ERROR_INVALID_REQUEST);

    std::vector<const Record*> ours;
    const std::vector<Record> got = ReceiveUntil(receiver.Get(), [&](const std::vector<Record>& so_far) {
        size_t n = 0;
        for (const Record& r : so_far) n += IsMarked(r) ? 1 : 0;
        return n >= frames.size();
    });
    for (const Record& r : got) {
        if (IsMarked(r)) ours.push_back(&r);
    }
    ASSERT_EQ(ours.size(), frames.size());
    for (size_t n = 0; n < frames.size(); ++n) {
        const Record& r = *ours[n];
        EXPECT_EQ(r.header.WireLength, frames[n].size() + 4) << "the controller appended the FCS";
        ASSERT_GE(r.data.size(), frames[n].size());
        EXPECT_EQ(0, std::memcmp(r.data.data(), frames[n].data(), frames[n].size())) << "frame " << n;
    }

    // The same buffer once more, reused after a reset of its length: only
    // the new record goes.
    ASSERT_EQ(FlPacketsBufferSetEffectiveLength(buffer, 0), FL_SUCCESS);
    const std::vector<uint8_t> last = MarkedFrame(100, 9);
    FL_PACKET_HEADER header{};
    header.WireLength = header.CapturedLength = static_cast<uint16_t>(last.size());
    ASSERT_EQ(FlPacketsBufferCommitNextPacket(buffer, &header, last.data()), FL_SUCCESS);
    ASSERT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_SUCCESS);
    const std::vector<Record> more = ReceiveUntil(receiver.Get(), [](const std::vector<Record>& so_far) {
        for (const Record& r : so_far) {
            if (IsMarked(r)) return true;
        }
        return false;
    });
    size_t marked = 0;
    for (const Record& r : more) {
        if (!IsMarked(r)) continue;
        ++marked;
        ASSERT_GE(r.data.size(), last.size());
        EXPECT_EQ(0, std::memcmp(r.data.data(), last.data(), last.size()));
    }
    EXPECT_EQ(marked, 1u);
    FlPacketsBufferDestroy(buffer);

    // An update takes a new snapshot; the receiver counted frames since its
    // reception began.
    ASSERT_EQ(FlStatisticsUpdate(statistics), FL_SUCCESS);
    ASSERT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_TX_PACKETS, &value), FL_SUCCESS);
    EXPECT_EQ(value, frames.size() + 1);
    FlStatisticsDestroy(statistics);
    FlStatisticsDestroy(nullptr);
    ASSERT_EQ(FlInstanceQueryStatistics(receiver.Get(), &statistics), FL_SUCCESS);
    ASSERT_EQ(FlStatisticsQueryValue(statistics, FL_INSTANCE_COUNTER_RX_PACKETS, &value), FL_SUCCESS);
    EXPECT_GT(value, 0u);
    FlStatisticsDestroy(statistics);
}

TEST_F(PhysicalInstance, ABufferThatEndsInsideARecordIsRefusedWhole)
{
    PortList ports;
    RawPort senderPort(ports.Physical(kSender));
    RawPort receiverPort(ports.Physical(kReceiver));
    ASSERT_TRUE(senderPort.WaitLinkUp());
    OpenInstance sender(ports.Physical(kSender));
    ASSERT_TRUE(sender);
    ASSERT_EQ(FlInstanceSetFeature(sender.Get(), FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);

    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_EQ(FlPacketsBufferCreate(4096, &buffer), FL_SUCCESS);
    for (uint8_t n = 0; n < 3; ++n) {
        const std::vector<uint8_t> frame = MarkedFrame(200, n);
        FL_PACKET_HEADER header{};
        header.WireLength = header.CapturedLength = static_cast<uint16_t>(frame.size());
        ASSERT_EQ(FlPacketsBufferCommitNextPacket(buffer, &header, frame.data()), FL_SUCCESS);
    }
    const uint32_t whole = FlPacketsBufferGetEffectiveLength(buffer);
    const Traffic before = CountTraffic(senderPort, receiverPort);

    // The driver would take the two whole records and never the cut one;
    // nothing is sent and the caller hears why.
    ASSERT_EQ(FlPacketsBufferSetEffectiveLength(buffer, whole - 8), FL_SUCCESS);
    EXPECT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_ERROR_INCONSISTENT_BUFFER);
    ASSERT_EQ(FlPacketsBufferSetEffectiveLength(buffer, 20), FL_SUCCESS);
    EXPECT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_ERROR_INCONSISTENT_BUFFER);

    // The whole buffer goes; the counters move by its three frames only.
    ASSERT_EQ(FlPacketsBufferSetEffectiveLength(buffer, whole), FL_SUCCESS);
    ASSERT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_SUCCESS);
    EXPECT_TRUE(Eventually([&] { return CountTraffic(senderPort, receiverPort).received >= before.received + 3; }));
    Sleep(100);
    const Traffic after = CountTraffic(senderPort, receiverPort);
    EXPECT_EQ(after.sent - before.sent, 3u);
    EXPECT_EQ(after.received - before.received, 3u);
    FlPacketsBufferDestroy(buffer);
}

// Sends `count` marked frames numbered from `first`, a few per buffer.
void SendNumbered(FL_INSTANCE instance, uint8_t first, uint8_t count)
{
    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_EQ(FlPacketsBufferCreate(4 * (24 + 200), &buffer), FL_SUCCESS);
    for (uint8_t n = 0; n < count;) {
        ASSERT_EQ(FlPacketsBufferSetEffectiveLength(buffer, 0), FL_SUCCESS);
        for (int k = 0; k < 4 && n < count; ++k, ++n) {
            const std::vector<uint8_t> frame = MarkedFrame(200, static_cast<uint8_t>(first + n));
            FL_PACKET_HEADER header{};
            header.WireLength = header.CapturedLength = static_cast<uint16_t>(frame.size());
            ASSERT_EQ(FlPacketsBufferCommitNextPacket(buffer, &header, frame.data()), FL_SUCCESS);
        }
        ASSERT_EQ(FlInstanceTransmitPackets(instance, buffer), FL_SUCCESS);
    }
    FlPacketsBufferDestroy(buffer);
}

// The numbers of the marked 200-byte frames among `records`, in order.
std::vector<uint8_t> Numbers(const std::vector<Record>& records)
{
    std::vector<uint8_t> numbers;
    for (const Record& r : records) {
        if (IsMarked(r) && r.header.WireLength == 204 && r.data.size() > 14) {
            numbers.push_back(static_cast<uint8_t>(r.data[14] - 14));
        }
    }
    return numbers;
}

TEST_F(PhysicalInstance, OneThreadTransmitsWhileAnotherReceivesOnTheSameInstance)
{
    PortList ports;
    ASSERT_TRUE(RawPort(ports.Physical(kSender)).WaitLinkUp());
    OpenInstance near(ports.Physical(kSender));
    OpenInstance far(ports.Physical(kReceiver));
    ASSERT_TRUE(near);
    ASSERT_TRUE(far);
    for (FL_INSTANCE i : {near.Get(), far.Get()}) {
        ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_READ_TIMEOUT, 5), FL_SUCCESS);
        ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);
        ASSERT_EQ(FlInstanceSetFeature(i, FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);
    }

    // Both ends send at once, each on a thread of its own, while this thread
    // receives on both.
    constexpr uint8_t kEach = 100;
    std::thread nearSends([&] { SendNumbered(near.Get(), 0, kEach); });
    std::thread farSends([&] { SendNumbered(far.Get(), 128, kEach); });
    std::vector<Record> atNear;
    std::vector<Record> atFar;
    const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
    while ((Numbers(atNear).size() < kEach || Numbers(atFar).size() < kEach) &&
           std::chrono::steady_clock::now() < deadline) {
        for (auto [instance, records] : {std::pair{near.Get(), &atNear}, std::pair{far.Get(), &atFar}}) {
            FL_PACKETS_BUFFER buffer = nullptr;
            ASSERT_EQ(FlInstanceReceivePackets(instance, &buffer), FL_SUCCESS);
            if (buffer == nullptr) continue;
            for (Record& r : Drain(buffer)) records->push_back(std::move(r));
            FlPacketsBufferDestroy(buffer);
        }
    }
    nearSends.join();
    farSends.join();

    // Each end got the other's frames, every one once and in order.
    std::vector<uint8_t> expectedAtFar(kEach);
    std::vector<uint8_t> expectedAtNear(kEach);
    for (uint8_t n = 0; n < kEach; ++n) {
        expectedAtFar[n] = n;
        expectedAtNear[n] = static_cast<uint8_t>(128 + n);
    }
    EXPECT_EQ(Numbers(atFar), expectedAtFar);
    EXPECT_EQ(Numbers(atNear), expectedAtNear);
}

// What a link callback saw, handed from the watcher thread to the test.
struct LinkReports {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<FL_LINK_STATUS> statuses;
    std::vector<FL_INSTANCE> instances;

    static FL_STATUS FLAPI_CALL Callback(FL_INSTANCE instance, FL_LINK_STATUS* status, void* context)
    {
        auto* self = static_cast<LinkReports*>(context);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->statuses.push_back(*status);
            self->instances.push_back(instance);
        }
        self->changed.notify_all();
        return FL_SUCCESS;
    }

    // Waits for a report after the first `from` that matches `wanted`;
    // returns its index, or -1.
    int WaitFor(size_t from, const std::function<bool(const FL_LINK_STATUS&)>& wanted)
    {
        std::unique_lock<std::mutex> guard(lock);
        int found = -1;
        changed.wait_for(guard, kGenerousDeadline, [&] {
            for (size_t n = from; n < statuses.size(); ++n) {
                if (wanted(statuses[n])) {
                    found = static_cast<int>(n);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    size_t Count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return statuses.size();
    }
};

TEST_F(PhysicalInstance, LinkChangesReachTheFirstCallbackRegistered)
{
    PortList ports;
    RawPort farEnd(ports.Physical(kReceiver));
    RawPort nearEnd(ports.Physical(kSender));
    ASSERT_TRUE(nearEnd.WaitLinkUp());

    LinkReports first;
    LinkReports second;
    OpenInstance instance(ports.Physical(kSender));
    ASSERT_TRUE(instance);
    ASSERT_EQ(FlInstanceRegisterEvtLinkStatusChange(instance.Get(), LinkReports::Callback, &first), FL_SUCCESS);
    EXPECT_EQ(FlInstanceRegisterEvtLinkStatusChange(instance.Get(), LinkReports::Callback, &second),
              FL_ERROR_ALREADY_REGISTERED);

    // The far end stops advertising: the cable's link goes down.
    ASSERT_TRUE(farEnd.Advertise(0));
    const int down = first.WaitFor(0, [](const FL_LINK_STATUS& s) { return s.LinkUp == 0; });
    ASSERT_GE(down, 0) << "no report of the link going down";
    {
        std::lock_guard<std::mutex> guard(first.lock);
        EXPECT_EQ(first.statuses[down].Speed, 0u);
        EXPECT_EQ(first.statuses[down].Duplex, FL_DUPLEX_DOWN);
        EXPECT_EQ(first.instances[down], instance.Get());
    }

    // Every mode again: back up at gigabit, full duplex.
    ASSERT_TRUE(farEnd.Advertise(FL_MODES_ALL));
    const int up = first.WaitFor(static_cast<size_t>(down) + 1, [](const FL_LINK_STATUS& s) { return s.LinkUp != 0; });
    ASSERT_GT(up, down) << "no report of the link coming back";
    {
        std::lock_guard<std::mutex> guard(first.lock);
        EXPECT_EQ(first.statuses[up].Speed, 1000u);
        EXPECT_EQ(first.statuses[up].Duplex, FL_DUPLEX_FULL);
    }
    EXPECT_EQ(second.Count(), 0u) << "the refused callback is never called";

    // After the close no callback runs any more, whatever the link does.
    instance.Close();
    const size_t reported = first.Count();
    ASSERT_TRUE(farEnd.Advertise(0));
    Sleep(300);
    EXPECT_EQ(first.Count(), reported);
    ASSERT_TRUE(farEnd.Advertise(FL_MODES_ALL));
    ASSERT_TRUE(nearEnd.WaitLinkUp());
}

TEST_F(PhysicalInstance, ClosingWithReadsOutstandingAndABufferHeldEndsEveryRead)
{
    PortList ports;
    FL_INSTANCE instance = nullptr;
    ASSERT_EQ(FlInstanceOpenByPort(ports.Physical(kGenerated), &instance), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(instance, FL_INSTANCE_FT_READ_THRESHOLD, 0), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(instance, FL_INSTANCE_FT_READ_TIMEOUT, 5), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(instance, FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);

    FL_PACKETS_BUFFER held = nullptr;
    ASSERT_TRUE(Eventually([&] {
        EXPECT_EQ(FlInstanceReceivePackets(instance, &held), FL_SUCCESS);
        return held != nullptr;
    }));
    const std::vector<Record> before = Drain(held);
    ASSERT_FALSE(before.empty());

    // The receive posted every free buffer; from now on the reads still in
    // the driver wait for what never comes in time.
    ASSERT_EQ(FlInstanceSetFeature(instance, FL_INSTANCE_FT_READ_THRESHOLD, 0xFFFFFFFFu), FL_SUCCESS);
    ASSERT_EQ(FlInstanceSetFeature(instance, FL_INSTANCE_FT_READ_TIMEOUT, 600000), FL_SUCCESS);
    // Reads are queued, completed or outstanding, and one buffer is still
    // held: the close ends the reads and returns.
    EXPECT_EQ(FlInstanceClose(instance), FL_SUCCESS);

    // The held buffer is the application's: its records are still there,
    // and a release after the close touches nothing of the closed instance.
    // It is lost with the application's reference, on purpose.
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(held);
#endif
    FlPacketsBufferResetIndex(held);
    const std::vector<Record> after = Drain(held);
    ASSERT_EQ(after.size(), before.size());
    for (size_t n = 0; n < after.size(); ++n) {
        EXPECT_EQ(after[n].header.Timestamp, before[n].header.Timestamp);
        EXPECT_EQ(after[n].data, before[n].data);
    }
    FlPacketsBufferDestroy(held);
}

TEST_F(PhysicalInstance, ABufferLargerThanTheTransmitSlotsIsSentInPartsUntilAllIsTaken)
{
    PortList ports;
    RawPort senderPort(ports.Physical(kSender));
    RawPort receiverPort(ports.Physical(kReceiver));
    ASSERT_TRUE(senderPort.WaitLinkUp());
    OpenInstance sender(ports.Physical(kSender));
    ASSERT_TRUE(sender);
    ASSERT_EQ(FlInstanceSetFeature(sender.Get(), FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);

    // Last of all: nobody reads them at the far end, whose slot ring they
    // leave full.
    //
    // Full-size frames take six 256-byte transmit slots each: this many do
    // not fit the default ring of 131072 slots, so the driver takes the
    // buffer in parts and the transmit waits for room in between.
    constexpr uint32_t kFrames = 30000;
    const std::vector<uint8_t> frame = MarkedFrame(1514, 5);
    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_EQ(FlPacketsBufferCreate(kFrames * (24 + 1520), &buffer), FL_SUCCESS);
    FL_PACKET_HEADER header{};
    header.WireLength = header.CapturedLength = static_cast<uint16_t>(frame.size());
    for (uint32_t n = 0; n < kFrames; ++n) {
        ASSERT_EQ(FlPacketsBufferCommitNextPacket(buffer, &header, frame.data()), FL_SUCCESS);
    }
    const Traffic before = CountTraffic(senderPort, receiverPort);
    ASSERT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_SUCCESS);
    EXPECT_TRUE(Eventually([&] { return CountTraffic(senderPort, receiverPort).sent >= before.sent + kFrames; }));
    const Traffic after = CountTraffic(senderPort, receiverPort);
    EXPECT_EQ(after.sent - before.sent, kFrames) << "every frame once";
    FlPacketsBufferDestroy(buffer);
}

} // namespace
} // namespace instancetest
