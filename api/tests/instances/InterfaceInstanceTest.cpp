// An application's instance on a port wired to a Linux interface: a veth
// end in a network namespace of the test's own, whose far end the test
// reads and sets down and up.
#include <gtest/gtest.h>

#include "InstanceTestSupport.h"
#include "fl_test_machine.h"
#include "fl_test_network.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace instancetest {
namespace {

constexpr Mac kPort = {0x02, 0xf1, 0x0e, 0x00, 0x00, 0x00};  // board 0's default address, function 0

class InterfaceInstance : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The machine boots on this thread, so its sockets and threads are
        // the namespace's.
        if (!FlEnterTestNetwork(&skip_)) return;
        if (!FlAddVethPair("far0", "port0")) {
            skip_ = "no veth pair could be made";
            return;
        }
        FlUseTestMachine("interface_instance", "[[board]]\n"
                                               "[[board.port]]\n"
                                               "wire = \"iface\"\n"
                                               "interface = \"port0\"\n");
    }

    void SetUp() override
    {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
    }

    static std::string skip_;
};

std::string InterfaceInstance::skip_;

bool WaitLink(FL_PORT port, bool up)
{
    const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
        FL_LINK_STATUS link{};
        if (FlPortQueryLinkStatus(port, &link) == FL_SUCCESS && (link.LinkUp != 0) == up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST_F(InterfaceInstance, TransmittedRecordsLeaveTheInterfaceByteForByteInOrder)
{
    PortList ports;
    FL_PORT port = ports.Physical(kPort);
    ASSERT_TRUE(WaitLink(port, true)) << "the interface's link never came up";
    FlRawLink far("far0");
    ASSERT_TRUE(far);

    OpenInstance sender(port);
    ASSERT_TRUE(sender);
    ASSERT_EQ(FlInstanceSetFeature(sender.Get(), FL_INSTANCE_FT_TX_ENABLE, 1), FL_SUCCESS);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t size : {60, 61, 1514, 333, 64, 1000}) frames.push_back(MarkedFrame(size, static_cast<uint8_t>(size)));
    FL_PACKETS_BUFFER buffer = nullptr;
    ASSERT_EQ(FlPacketsBufferCreate(16384, &buffer), FL_SUCCESS);
    for (const auto& frame : frames) {
        FL_PACKET_HEADER header{};
        header.WireLength = static_cast<uint16_t>(frame.size());
        header.CapturedLength = header.WireLength;
        ASSERT_EQ(FlPacketsBufferCommitNextPacket(buffer, &header, frame.data()), FL_SUCCESS);
    }
    ASSERT_EQ(FlInstanceTransmitPackets(sender.Get(), buffer), FL_SUCCESS);
    FlPacketsBufferDestroy(buffer);

    // Out of the far end as they were handed over: the controller's FCS
    // stays with the port, Linux has its own.
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto frame = far.Receive(0x88B5, std::chrono::seconds(10));
        ASSERT_FALSE(frame.empty()) << "frame " << i << " never came out";
        EXPECT_EQ(frame, frames[i]) << "frame " << i;
    }
}

uint64_t Counter(FL_STATISTICS statistics, uint32_t id)
{
    uint64_t value = 0;
    EXPECT_EQ(FlStatisticsQueryValue(statistics, id, &value), FL_SUCCESS) << std::hex << id;
    return value;
}

TEST_F(InterfaceInstance, FramesFasterThanThePortsLinkAreMissedByTheBoardNotLostSilently)
{
    PortList ports;
    FL_PORT port = ports.Physical(kPort);
    ASSERT_TRUE(WaitLink(port, true));
    FL_STATISTICS statistics = nullptr;
    ASSERT_EQ(FlPortQueryStatistics(port, &statistics), FL_SUCCESS);
    const uint64_t good = Counter(statistics, FL_PORT_COUNTER_RX_GOOD_PACKETS);
    const uint64_t missed = Counter(statistics, FL_PORT_COUNTER_MISSED_PACKETS);

    // Largest frames back to back into a veth: many gigabits a second, far
    // more than the port's gigabit link and its receive FIFO take.
    FlRawLink far("far0");
    ASSERT_TRUE(far);
    constexpr uint64_t kFrames = 3000;
    std::vector<uint8_t> frame = MarkedFrame(1514, 1);
    frame[0] = 0x02;  // unicast, to nobody in particular
    for (uint64_t i = 0; i < kFrames; ++i) ASSERT_TRUE(far.Send(frame));

    // Every one is accounted for: delivered, or counted as missed.
    uint64_t delivered = 0, lost = 0;
    const auto deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(FlStatisticsUpdate(statistics), FL_SUCCESS);
        delivered = Counter(statistics, FL_PORT_COUNTER_RX_GOOD_PACKETS) - good;
        lost = Counter(statistics, FL_PORT_COUNTER_MISSED_PACKETS) - missed;
        if (delivered + lost >= kFrames) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FlStatisticsDestroy(statistics);
    EXPECT_EQ(delivered + lost, kFrames) << delivered << " delivered, " << lost << " missed";
    EXPECT_GT(delivered, 0u);
}

struct LinkReports {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<FL_LINK_STATUS> statuses;

    static FL_STATUS FLAPI_CALL Callback(FL_INSTANCE, FL_LINK_STATUS* status, void* context)
    {
        auto* self = static_cast<LinkReports*>(context);
        std::lock_guard<std::mutex> guard(self->lock);
        self->statuses.push_back(*status);
        self->changed.notify_all();
        return FL_SUCCESS;
    }

    bool WaitFor(bool up)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, kGenerousDeadline, [&] {
            return !statuses.empty() && (statuses.back().LinkUp != 0) == up;
        });
    }
};

TEST_F(InterfaceInstance, TheFarEndGoingDownAndUpIsALinkChangeTheCallbackReports)
{
    PortList ports;
    FL_PORT port = ports.Physical(kPort);
    ASSERT_TRUE(WaitLink(port, true));
    LinkReports reports;
    OpenInstance instance(port);
    ASSERT_TRUE(instance);
    ASSERT_EQ(FlInstanceRegisterEvtLinkStatusChange(instance.Get(), LinkReports::Callback, &reports), FL_SUCCESS);

    ASSERT_TRUE(FlSetLink("far0", false));
    EXPECT_TRUE(reports.WaitFor(false)) << "no report of the link going down";
    EXPECT_TRUE(WaitLink(port, false));

    ASSERT_TRUE(FlSetLink("far0", true));
    ASSERT_TRUE(reports.WaitFor(true)) << "no report of the link coming back";
    std::lock_guard<std::mutex> guard(reports.lock);
    // A veth allows every mode: the best, a gigabit full duplex.
    EXPECT_EQ(reports.statuses.back().Speed, 1000u);
    EXPECT_EQ(reports.statuses.back().Duplex, FL_DUPLEX_FULL);
}

}  // namespace
}  // namespace instancetest
