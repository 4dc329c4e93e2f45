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

}  // namespace
