#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(StatusMapping, MatchesWindowsForWhatTheSystemReports) {
    struct Pair {
        NTSTATUS status;
        DWORD error;
    };
    const Pair pairs[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        {STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
        {STATUS_KEY_DELETED, ERROR_KEY_DELETED},
        {STATUS_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Pair& p : pairs)
        EXPECT_EQ(RtlNtStatusToDosError(p.status), p.error) << std::hex << static_cast<ULONG>(p.status);
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0DE0001)), 317u);  // ERROR_MR_MID_NOT_FOUND
}

TEST(LastError, IsPerThread) {
    SetLastError(ERROR_MORE_DATA);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        SetLastError(ERROR_INVALID_HANDLE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    });
    other.join();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
}

// The system's text of a Win32 error, as a program prints it for its user.
TEST(FormatMessage, GivesTheSystemsTextForEveryErrorTheStatusesMapTo) {
    char text[256];
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    ASSERT_EQ(FormatMessageA(flags, nullptr, RtlNtStatusToDosError(STATUS_DISK_FULL), 0, text, sizeof text, nullptr),
              40u);
    EXPECT_STREQ(text, "There is not enough space on the disk.\r\n");
    EXPECT_EQ(FormatMessageA(flags | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, ERROR_HANDLE_DISK_FULL, 0, text,
                             sizeof text, nullptr),
              17u);
    EXPECT_STREQ(text, "The disk is full.");

    // Any status the platform reports reaches its caller as an error that
    // has a text: scan the ranges the statuses live in.
    for (ULONG code = 0; code < 0x400; ++code) {
        for (ULONG severity : {0x00000000u, 0x80000000u, 0xC0000000u}) {
            const DWORD error = RtlNtStatusToDosError(static_cast<NTSTATUS>(severity | code));
            if (error == 317) continue;  // no Win32 error for this status
            EXPECT_GT(FormatMessageA(flags, nullptr, error, 0, text, sizeof text, nullptr), 0u)
                << "no text for error " << error;
        }
    }

    EXPECT_EQ(FormatMessageA(flags, nullptr, 0xDEAD, 0, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 317u);  // ERROR_MR_MID_NOT_FOUND
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_DISK_FULL, 0, text, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    LPSTR allocated = nullptr;
    ASSERT_EQ(FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_ACCESS_DENIED, 0,
                             reinterpret_cast<LPSTR>(&allocated), 0, nullptr),
              19u);
    EXPECT_STREQ(allocated, "Access is denied.\r\n");
    EXPECT_EQ(LocalFree(allocated), nullptr);
}

}  // namespace
