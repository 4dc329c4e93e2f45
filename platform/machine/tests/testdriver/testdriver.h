/* The machine tests' driver: its interface class and the exports the tests
 * call directly (looked up by name in the loaded module). */
#pragma once

#include <ntdef.h>

/* {5f3c7a10-2b4e-4d7e-9a61-0c8e2f9d4b31} */
inline constexpr GUID GUID_DEVINTERFACE_FLTEST = {
    0x5f3c7a10, 0x2b4e, 0x4d7e, {0x9a, 0x61, 0x0c, 0x8e, 0x2f, 0x9d, 0x4b, 0x31}};

typedef PVOID (*PFN_FLTEST_FIND_PORT)(const UCHAR *mac);
typedef LONG64 (*PFN_FLTEST_RECEIVED_COUNT)(PVOID port);
typedef ULONG (*PFN_FLTEST_RECEIVED_FRAME)(PVOID port, LONG64 index, PUCHAR buffer, ULONG capacity);
typedef NTSTATUS (*PFN_FLTEST_TRANSMIT)(PVOID port, const UCHAR *frame, ULONG length);
typedef LONG64 (*PFN_FLTEST_TRANSMITTED)(PVOID port);
