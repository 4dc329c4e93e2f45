// Requests on an overlapped port handle whose event is found set while the
// request is still in the driver: neither a wait for one request nor a
// receive of the library takes that for the request's end. The default
// machine: two ports on generators, so reads fill while they wait.
#include "Enumeration.h"
#include "OverlappedRequest.h"
#include "PacketsBuffer.h"
#include "PhysicalInstance.h"

#include <gtest/gtest.h>

#include "InstanceTestSupport.h"
#include "fl_test_machine.h"

#include <array>
#include <memory>
#include <vector>

namespace FlApi {
namespace {

using instancetest::kGenerousWaitMs;
using instancetest::RawPort;

// Reads stay in the driver this long unless the test waits for them: far
// longer than any step of a test takes between issuing a read and looking
// at it, and short enough to wait for.
constexpr uint32_t kLongReadTimeoutMs = 2000;
constexpr uint32_t kNoThreshold = 0xFFFFFFFF;

class OverlappedRequestTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FlUseTestMachine("overlapped_request", ""); }

    void SetUp() override { ASSERT_EQ(QueryPortList(&list_, &count_), FL_SUCCESS); }
    void TearDown() override { FreePortList(list_); }

    Port* FirstPhysical()
    {
        for (uint32_t i = 0; i < count_; ++i) {
            Port* port = FromHandle(list_[i]);
            if (port->GetType() == FL_PORT_TYPE_PHYSICAL) return port;
        }
        ADD_FAILURE() << "no physical port";
        return nullptr;
    }

private:
    FL_PORT* list_ = nullptr;
    uint32_t count_ = 0;
};

// An overlapped handle of the test's own, receiving, with one event for
// its requests.
class OverlappedPort {
public:
    explicit OverlappedPort(Port* port)
    {
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        device_ = CreateFileA(port->GetName(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(device_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    ~OverlappedPort()
    {
        if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
        CloseHandle(event_);
    }
    OverlappedPort(const OverlappedPort&) = delete;
    OverlappedPort& operator=(const OverlappedPort&) = delete;

    HANDLE Device() const { return device_; }

    bool Control(DWORD code, const void* input, DWORD size)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        DWORD returned = 0;
        if (DeviceIoControl(device_, code, const_cast<void*>(input), size, nullptr, 0, &returned, &overlapped)) {
            return true;
        }
        return GetLastError() == ERROR_IO_PENDING && AwaitRequest(device_, &overlapped, &returned);
    }

    // Issues a read of `buffer` on `overlapped` (with the port's event).
    bool Read(std::vector<uint8_t>& buffer, OVERLAPPED& overlapped)
    {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event_;
        return ReadFile(device_, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped) ||
               GetLastError() == ERROR_IO_PENDING;
    }

private:
    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
};

TEST_F(OverlappedRequestTest, AWaitWokenBeforeTheRequestEndsWaitsOnForItsEnd)
{
    Port* port = FirstPhysical();
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(RawPort(ToHandle(port)).WaitLinkUp());
    OverlappedPort handle(port);
    ASSERT_TRUE(handle.Control(IOCTL_INSTANCE_ENABLE_RECEPTION, nullptr, 0));
    const uint32_t threshold = kNoThreshold;
    ASSERT_TRUE(handle.Control(IOCTL_INSTANCE_SET_READ_THRESHOLD, &threshold, sizeof threshold));
    const uint32_t timeout = kLongReadTimeoutMs;
    ASSERT_TRUE(handle.Control(IOCTL_INSTANCE_SET_READ_TIMEOUT, &timeout, sizeof timeout));

    // The driver completes one read per timeout: once the first is back,
    // the next stays in the driver for a whole timeout.
    std::vector<uint8_t> buffer(0x10000);
    OVERLAPPED overlapped{};
    DWORD returned = 0;
    ASSERT_TRUE(handle.Read(buffer, overlapped));
    ASSERT_TRUE(AwaitRequest(handle.Device(), &overlapped, &returned)) << GetLastError();
    ASSERT_TRUE(handle.Read(buffer, overlapped));

    // Its event set early: a plain wait returns at once, the request still
    // in the driver.
    ASSERT_TRUE(RequestPending(handle.Device(), &overlapped));
    SetEvent(overlapped.hEvent);
    EXPECT_FALSE(GetOverlappedResult(handle.Device(), &overlapped, &returned, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    ASSERT_TRUE(RequestPending(handle.Device(), &overlapped)) << "the read ended too soon to tell";

    // AwaitRequest waits for the read's end and hands over what it brought:
    // the read header, then the records of a timeout's traffic.
    returned = 0;
    ASSERT_TRUE(AwaitRequest(handle.Device(), &overlapped, &returned)) << GetLastError();
    EXPECT_FALSE(RequestPending(handle.Device(), &overlapped));
    EXPECT_GT(returned, sizeof(FL_READ_HEADER));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0) << "the read's own end signals it";
}

TEST_F(OverlappedRequestTest, AReceiveWhoseReadsWereSignalledEarlyWaitsForTheirRecords)
{
    Port* port = FirstPhysical();
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(RawPort(ToHandle(port)).WaitLinkUp());
    PhysicalInstance* raw = nullptr;
    ASSERT_EQ(PhysicalInstance::Open(port, PhysicalInstance::kDefaultCapacity, &raw), FL_SUCCESS);
    std::unique_ptr<PhysicalInstance> instance(raw);
    ASSERT_EQ(instance->SetFeature(FL_INSTANCE_FT_READ_TIMEOUT, 2), FL_SUCCESS);
    ASSERT_EQ(instance->SetFeature(FL_INSTANCE_FT_RX_ENABLE, 1), FL_SUCCESS);

    // Every buffer of the pool, each handed out once: held until all are
    // known, so that no buffer comes back twice.
    std::vector<SingleBuffer*> held;
    const DWORD start = GetTickCount();
    while (held.size() < PhysicalInstance::kPoolBuffers && GetTickCount() - start < kGenerousWaitMs) {
        SingleBuffer* buffer = nullptr;
        ASSERT_EQ(instance->Receive(&buffer), FL_SUCCESS);
        if (buffer != nullptr) held.push_back(buffer);
    }
    ASSERT_EQ(held.size(), PhysicalInstance::kPoolBuffers);

    // From now on reads stay in the driver for a long timeout each.
    ASSERT_EQ(instance->SetFeature(FL_INSTANCE_FT_READ_THRESHOLD, kNoThreshold), FL_SUCCESS);
    ASSERT_EQ(instance->SetFeature(FL_INSTANCE_FT_READ_TIMEOUT, kLongReadTimeoutMs), FL_SUCCESS);
    for (SingleBuffer* buffer : held) buffer->Destroy();

    // The first receive posts every buffer and waits for the oldest; the
    // others stay in the driver, one timeout apart.
    SingleBuffer* first = nullptr;
    ASSERT_EQ(instance->Receive(&first), FL_SUCCESS);
    ASSERT_NE(first, nullptr);
    std::vector<SingleBuffer*> waiting;
    for (SingleBuffer* buffer : held) {
        if (buffer != first) waiting.push_back(buffer);
    }
    for (SingleBuffer* buffer : waiting) {
        SetEvent(buffer->GetOverlapped()->hEvent);
    }
    for (SingleBuffer* buffer : waiting) {
        ASSERT_TRUE(RequestPending(buffer->ReadDevice, buffer->GetOverlapped())) << "a read ended too soon to tell";
    }

    // The next read is still in the driver, whatever its event says; the
    // receive waits for it and hands out its records.
    EXPECT_EQ(instance->QueryNextRead(), PhysicalInstance::NextRead::Pending);
    SingleBuffer* second = nullptr;
    ASSERT_EQ(instance->Receive(&second), FL_SUCCESS);
    ASSERT_NE(second, nullptr);
    FL_PACKET_HEADER header{};
    uint8_t* data = nullptr;
    ASSERT_EQ(second->QueryNextPacket(&header, &data), FL_SUCCESS);
    EXPECT_GT(header.CapturedLength, 0u);
    EXPECT_GE(header.Timestamp, first->GetLastTimestamp()) << "records of a later read";
    second->Destroy();
    first->Destroy();
}

} // namespace
} // namespace FlApi
