// Device handles through the Win32 surface: blocking and overlapped reads,
// writes and control requests, statuses as Win32 errors, cancellation by
// CancelIo and by CloseHandle.
#include "test_machine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

using namespace umdev_test;
using namespace std::chrono_literals;

namespace {

constexpr auto kGenerous = 20s;

class DeviceIo : public ::testing::Test {
protected:
    void SetUp() override {
        paths_ = DevicePaths();
        ASSERT_EQ(paths_.size(), 2u);
        control_ = Open(paths_[0]);
        ASSERT_NE(control_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
    }

    // Feeds the device's oldest waiting read through a write on the control
    // handle, retrying until a read has reached the driver.
    DWORD Feed(const void* data, DWORD length) {
        const auto deadline = std::chrono::steady_clock::now() + kGenerous;
        DWORD written = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            EXPECT_TRUE(WriteFile(control_, data, length, &written, nullptr)) << GetLastError();
            if (written != 0) return written;
            std::this_thread::sleep_for(1ms);
        }
        return 0;
    }

    // Releases the held control requests, retrying until `count` were held.
    void Release(ULONG count) {
        const auto deadline = std::chrono::steady_clock::now() + kGenerous;
        ULONG released = 0;
        while (released < count && std::chrono::steady_clock::now() < deadline) {
            ULONG now = 0;
            DWORD bytes = 0;
            ASSERT_TRUE(DeviceIoControl(control_, IOCTL_TEST_RELEASE, nullptr, 0, &now, sizeof now, &bytes, nullptr));
            released += now;
            if (released < count) std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(released, count);
    }

    std::vector<std::string> paths_;
    HANDLE control_ = INVALID_HANDLE_VALUE;
};

struct Overlapped {
    Overlapped() {
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_NE(ov.hEvent, nullptr);
    }
    ~Overlapped() { CloseHandle(ov.hEvent); }
    bool Signaled() const { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }
    OVERLAPPED ov{};
};

TEST_F(DeviceIo, StatusesReachTheCallerAsWindowsMapsThem) {
    struct Case {
        NTSTATUS status;
        DWORD error;
    };
    const Case cases[] = {
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        TEST_COMPLETION answer{c.status, 8};
        UCHAR out[8] = {};
        DWORD bytes = 77;
        EXPECT_FALSE(DeviceIoControl(control_, IOCTL_TEST_COMPLETE, &answer, sizeof answer, out, sizeof out, &bytes,
                                     nullptr));
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(bytes, 0u) << "an error returns no bytes";
        EXPECT_EQ(out[0], 0) << "an error copies nothing back";
    }
    // A code the driver does not know.
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(control_, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x9FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                 nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(DeviceIo, SuccessAndBufferOverflowReturnTheBytesTheDriverGave) {
    TEST_COMPLETION answer{STATUS_SUCCESS, 3};
    UCHAR out[8] = {};
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(control_, IOCTL_TEST_COMPLETE, &answer, sizeof answer, out, sizeof out, &bytes, nullptr));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(out[0], 0xA0);
    EXPECT_EQ(out[2], 0xA2);
    EXPECT_EQ(out[3], 0) << "only Information bytes come back";

    // A warning: the call fails, yet the partial answer and its size arrive.
    answer = {STATUS_BUFFER_OVERFLOW, 4};
    std::memset(out, 0, sizeof out);
    bytes = 0;
    EXPECT_FALSE(DeviceIoControl(control_, IOCTL_TEST_COMPLETE, &answer, sizeof answer, out, sizeof out, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(out[3], 0xA3);
    EXPECT_EQ(out[4], 0);
}

TEST_F(DeviceIo, AccessOfTheHandleIsChecked) {
    HANDLE reader = Open(paths_[0], GENERIC_READ);
    HANDLE writer = Open(paths_[0], GENERIC_WRITE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    UCHAR byte = 1;
    DWORD bytes = 0;
    EXPECT_FALSE(WriteFile(reader, &byte, 1, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ReadFile(writer, &byte, 1, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeviceIoControl(reader, IOCTL_TEST_WRITE_ACCESS, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeviceIoControl(writer, IOCTL_TEST_WRITE_ACCESS, nullptr, 0, nullptr, 0, &bytes, nullptr));
    // Control codes for any access work on either.
    EXPECT_EQ(Query(reader).Generation, Query(writer).Generation);
    CloseHandle(reader);
    CloseHandle(writer);
}

TEST_F(DeviceIo, BadHandlesAndBuffersAreRefused) {
    DWORD bytes = 0;
    UCHAR byte = 0;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(event, IOCTL_TEST_QUERY, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << "no driver behind an event";
    CloseHandle(event);
    EXPECT_FALSE(ReadFile(event, &byte, 1, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReadFile(control_, nullptr, 16, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));

    HANDLE overlapped = Open(paths_[0], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(overlapped, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeviceIoControl(overlapped, IOCTL_TEST_QUERY, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "an overlapped handle needs an OVERLAPPED";
    CloseHandle(overlapped);

    EXPECT_EQ(Open("\\\\?\\pci#ven_f10e&dev_0001#nothing#{5b0d2f0e-8a51-4c33-9b7e-0c6a11d0f00d}"),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceIo, DevicePathFormsAndFilePathsAreToldApart) {
    // "\\.\" names the same device as "\\?\".
    std::string dotted = paths_[0];
    dotted[2] = '.';
    HANDLE device = Open(dotted);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(Query(device).Generation, Query(control_).Generation);
    CloseHandle(device);

    // A file named in the long form stays a file, and WriteFile writes it.
    const std::string linuxName = std::string(std::getenv("FL_MACHINE")) + ".written";
    std::string windowsName = linuxName;
    std::replace(windowsName.begin(), windowsName.end(), '/', '\\');
    windowsName = "\\\\?\\Z:" + windowsName;
    HANDLE handle = CreateFileA(windowsName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(handle, "file", 4, &written, nullptr));
    EXPECT_EQ(written, 4u);
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_TEST_QUERY, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << "no driver behind a file";
    CloseHandle(handle);
    EXPECT_EQ(std::filesystem::file_size(linuxName), 4u);
}

TEST_F(DeviceIo, OverlappedRequestThatPendsCompletesThroughItsEvent) {
    HANDLE device = Open(paths_[0], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    Overlapped request;
    SetEvent(request.ov.hEvent);  // left over from an earlier use: reset at issue
    UCHAR out[6] = {};
    DWORD bytes = 99;
    ASSERT_FALSE(DeviceIoControl(device, IOCTL_TEST_PEND, nullptr, 0, out, sizeof out, &bytes, &request.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(request.Signaled());
    EXPECT_FALSE(HasOverlappedIoCompleted(&request.ov));
    EXPECT_FALSE(GetOverlappedResult(device, &request.ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    Release(1);
    ASSERT_EQ(WaitForSingleObject(request.ov.hEvent, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(request.ov.Internal, static_cast<ULONG_PTR>(STATUS_SUCCESS));
    EXPECT_EQ(request.ov.InternalHigh, sizeof out);
    ASSERT_TRUE(GetOverlappedResult(device, &request.ov, &bytes, TRUE));
    EXPECT_EQ(bytes, sizeof out);
    EXPECT_EQ(out[5], 0xA5);
    CloseHandle(device);
}

// A caller that sees a request's outcome in its OVERLAPPED may reuse the
// record and its event at once. The completion's signal must not arrive
// after that: it would wake a wait meant for the next request.
TEST_F(DeviceIo, ACompletionSeenInTheRecordHasAlreadySetItsEvent) {
    HANDLE device = Open(paths_[0], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    Overlapped request;
    for (int round = 0; round < 10000; round++) {
        UCHAR out[6] = {};
        DWORD bytes = 0;
        ASSERT_FALSE(DeviceIoControl(device, IOCTL_TEST_PEND, nullptr, 0, out, sizeof out, &bytes, &request.ov));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        std::thread releaser([&] { Release(1); });
        // Watch the record, not the event, as a caller polling it does.
        const auto deadline = std::chrono::steady_clock::now() + kGenerous;
        while (std::atomic_ref<ULONG_PTR>(request.ov.Internal).load(std::memory_order_acquire) ==
                   static_cast<ULONG_PTR>(STATUS_PENDING) &&
               std::chrono::steady_clock::now() < deadline) {
        }
        EXPECT_TRUE(request.Signaled()) << "round " << round;
        ResetEvent(request.ov.hEvent);
        releaser.join();
        ASSERT_FALSE(request.Signaled()) << "a late signal in round " << round;
    }
    CloseHandle(device);
}

TEST_F(DeviceIo, OverlappedRequestDoneBeforeDispatchReturnsAnswersAtOnce) {
    HANDLE device = Open(paths_[0], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    Overlapped request;
    TEST_COMPLETION answer{STATUS_SUCCESS, 2};
    UCHAR out[4] = {};
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_TEST_COMPLETE, &answer, sizeof answer, out, sizeof out, &bytes, &request.ov));
    EXPECT_EQ(bytes, 2u);
    EXPECT_TRUE(request.Signaled()) << "the event is set for a request that ended at once too";
    EXPECT_EQ(request.ov.InternalHigh, 2u);

    answer = {STATUS_BUFFER_OVERFLOW, 4};
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_TEST_COMPLETE, &answer, sizeof answer, out, sizeof out, &bytes, &request.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 4u);
    EXPECT_TRUE(request.Signaled());
    EXPECT_FALSE(GetOverlappedResult(device, &request.ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 4u);

    answer = {STATUS_INVALID_PARAMETER, 4};
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_TEST_COMPLETE, &answer, sizeof answer, out, sizeof out, &bytes, &request.ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(bytes, 0u);
    CloseHandle(device);
}

TEST_F(DeviceIo, OverlappedReadsAreFedByWritesInOrder) {
    HANDLE device = Open(paths_[1], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    HANDLE feeder = Open(paths_[1]);
    ASSERT_NE(feeder, INVALID_HANDLE_VALUE);
    Overlapped first, second;
    char a[16] = {}, b[16] = {};
    DWORD bytes = 0;
    ASSERT_FALSE(ReadFile(device, a, sizeof a, &bytes, &first.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_FALSE(ReadFile(device, b, sizeof b, &bytes, &second.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(feeder, "first", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    ASSERT_TRUE(GetOverlappedResult(device, &first.ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 5u);
    EXPECT_STREQ(a, "first");
    EXPECT_FALSE(second.Signaled());

    // A write on an overlapped handle that the driver completes at once.
    Overlapped write;
    ASSERT_TRUE(WriteFile(device, "second!", 7, &written, &write.ov)) << GetLastError();
    EXPECT_EQ(written, 7u);
    EXPECT_TRUE(write.Signaled());
    ASSERT_TRUE(GetOverlappedResult(device, &second.ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 7u);
    EXPECT_STREQ(b, "second!");
    CloseHandle(feeder);
    CloseHandle(device);
}

TEST_F(DeviceIo, SynchronousHandlesBlockUntilTheDriverCompletes) {
    HANDLE device = Open(paths_[0]);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    auto read = std::async(std::launch::async, [device] {
        char buffer[32] = {};
        DWORD bytes = 0;
        BOOL ok = ReadFile(device, buffer, sizeof buffer, &bytes, nullptr);
        return std::string(ok ? std::string(buffer, bytes) : "failed");
    });
    EXPECT_EQ(Feed("blocking", 8), 8u);
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), "blocking");

    auto control = std::async(std::launch::async, [device] {
        UCHAR out[2] = {};
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(device, IOCTL_TEST_PEND, nullptr, 0, out, sizeof out, &bytes, nullptr);
        return ok && bytes == 2 && out[1] == 0xA1;
    });
    Release(1);
    ASSERT_EQ(control.wait_for(kGenerous), std::future_status::ready);
    EXPECT_TRUE(control.get());
    CloseHandle(device);
}

TEST_F(DeviceIo, CancelIoEndsTheHandlesRequestsOnly) {
    HANDLE mine = Open(paths_[1], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    HANDLE other = Open(paths_[1], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(mine, INVALID_HANDLE_VALUE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    Overlapped read, control, kept;
    char buffer[8] = {};
    char keptBuffer[8] = {};
    DWORD bytes = 0;
    ASSERT_FALSE(ReadFile(mine, buffer, sizeof buffer, &bytes, &read.ov));
    ASSERT_FALSE(DeviceIoControl(mine, IOCTL_TEST_PEND, nullptr, 0, nullptr, 0, &bytes, &control.ov));
    ASSERT_FALSE(ReadFile(other, keptBuffer, sizeof keptBuffer, &bytes, &kept.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    ASSERT_TRUE(CancelIo(mine));
    EXPECT_FALSE(GetOverlappedResult(mine, &read.ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(mine, &control.ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);

    EXPECT_FALSE(kept.Signaled());
    HANDLE feeder = Open(paths_[1]);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(feeder, "kept", 4, &written, nullptr));
    EXPECT_EQ(written, 4u) << "the other handle's read still waited";
    ASSERT_TRUE(GetOverlappedResult(other, &kept.ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 4u);
    // The handle stays usable after CancelIo.
    EXPECT_EQ(Query(feeder).Generation, Query(feeder).Generation);
    CloseHandle(feeder);
    CloseHandle(other);
    CloseHandle(mine);
}

TEST_F(DeviceIo, CloseHandleCancelsPendingRequestsThenCleansUpAndCloses) {
    const TEST_STATE before = Query(control_);
    HANDLE device = Open(paths_[0], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    Overlapped read;
    char buffer[8];
    DWORD bytes = 0;
    ASSERT_FALSE(ReadFile(device, buffer, sizeof buffer, &bytes, &read.ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Query(control_).Creates, before.Creates + 1);

    ASSERT_TRUE(CloseHandle(device));
    // The result is still there for whoever owns the OVERLAPPED.
    EXPECT_FALSE(GetOverlappedResult(device, &read.ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    const TEST_STATE after = Query(control_);
    EXPECT_EQ(after.Cleanups, before.Cleanups + 1);
    EXPECT_EQ(after.Closes, before.Closes + 1);
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceIo, WaitsOnTheHandleItselfWhenTheOverlappedHasNoEvent) {
    HANDLE device = Open(paths_[0], GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    char buffer[8] = {};
    DWORD bytes = 0;
    ASSERT_FALSE(ReadFile(device, buffer, sizeof buffer, &bytes, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_NE(WaitForSingleObject(device, 0), WAIT_OBJECT_0) << "a request runs on the handle";
    auto waiter = std::async(std::launch::async, [device, &ov] {
        DWORD got = 0;
        return GetOverlappedResult(device, &ov, &got, TRUE) ? got : 0u;
    });
    EXPECT_EQ(Feed("noevent", 7), 7u);
    ASSERT_EQ(waiter.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 7u);
    EXPECT_EQ(WaitForSingleObject(device, 0), WAIT_OBJECT_0);
    CloseHandle(device);
}

}  // namespace
