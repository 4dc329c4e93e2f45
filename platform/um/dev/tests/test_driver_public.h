// What the device I/O tests and their driver share: the interface class,
// the control codes and their records.
#pragma once

#include <devioctl.h>
#include <ntdef.h>

// {5b0d2f0e-8a51-4c33-9b7e-0c6a11d0f00d}
DEFINE_GUID(GUID_DEVINTERFACE_UMDEV_TEST, 0x5b0d2f0e, 0x8a51, 0x4c33, 0x9b, 0x7e, 0x0c, 0x6a, 0x11, 0xd0, 0xf0, 0x0d);

// Input TEST_COMPLETION; the output buffer is filled with 0xA0, 0xA1, ...
// and the request completes with the status and information asked for.
#define IOCTL_TEST_COMPLETE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Held by the driver (cancelable) until IOCTL_TEST_RELEASE.
#define IOCTL_TEST_PEND CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes every held control request with STATUS_SUCCESS and, in each,
// its output filled as IOCTL_TEST_COMPLETE does; returns the count (u32).
#define IOCTL_TEST_RELEASE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output TEST_STATE.
#define IOCTL_TEST_QUERY CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Needs a handle opened for writing; completes with success.
#define IOCTL_TEST_WRITE_ACCESS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_WRITE_ACCESS)

typedef struct _TEST_COMPLETION {
    NTSTATUS Status;
    ULONG Information;
} TEST_COMPLETION;

typedef struct _TEST_STATE {
    ULONG Generation;  // device adds of the driver so far, this one included
    ULONG Probe;       // "UmdevProbe" from the hardware key at device add (0 when missing)
    ULONG Creates;     // file creates, cleanups and closes on this device
    ULONG Cleanups;
    ULONG Closes;
} TEST_STATE;

// Reads wait until a write arrives on any handle of the device: the oldest
// read gets the written bytes (as many as fit) and the write completes with
// that count (0 when no read was waiting).
