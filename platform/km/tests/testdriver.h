// The control codes and journal of the tests' own KMDF driver.
#pragma once

#include <devioctl.h>

#define TESTDRV_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

// Copies the input to the output; an output shorter than the input gets what
// fits and STATUS_BUFFER_OVERFLOW.
#define IOCTL_TESTDRV_ECHO TESTDRV_CODE(1)
// Parks the request in a manual queue until IOCTL_TESTDRV_RELEASE (or a
// cancel) completes it.
#define IOCTL_TESTDRV_PARK TESTDRV_CODE(2)
// Completes the oldest parked request of the same file with STATUS_SUCCESS,
// its u32 input echoed as its output; STATUS_NO_MORE_ENTRIES if none.
#define IOCTL_TESTDRV_RELEASE TESTDRV_CODE(3)
// Completes itself twice (the second is a driver fault).
#define IOCTL_TESTDRV_COMPLETE_TWICE TESTDRV_CODE(4)
// Sleeps 20 ms inside the sequential queue and reports (u32) how many control
// requests were inside the handler at once, at most, so far.
#define IOCTL_TESTDRV_SLOW TESTDRV_CODE(5)
// Answered in the caller's context, before any queue: u32 0xC0FFEE.
#define IOCTL_TESTDRV_INLINE TESTDRV_CODE(6)
// PCI configuration read through IRP_MN_READ_CONFIG: in {u32 offset,
// u32 length}, out the bytes.
#define IOCTL_TESTDRV_READ_CONFIG TESTDRV_CODE(7)
// Register access through the mapping of BAR0: in {u32 offset, u32 value,
// u32 write}; out u32 (the value read).
#define IOCTL_TESTDRV_REGISTER TESTDRV_CODE(8)
// Out u32: ISR calls so far.
#define IOCTL_TESTDRV_ISR_COUNT TESTDRV_CODE(9)
// In: an event handle (8 bytes); the driver references it, sets it and
// dereferences it.
#define IOCTL_TESTDRV_SET_EVENT TESTDRV_CODE(10)
// Out {u64 logical, u64 length} of the device's common buffer, whose first
// bytes the driver fills with "testdrv".
#define IOCTL_TESTDRV_COMMON_BUFFER TESTDRV_CODE(11)

// Out {u32 Greeting from the service's Parameters key at load, u32 Lanes
// from the device's hardware key at add}; 0xFFFFFFFF where a value was missing.
#define IOCTL_TESTDRV_SETTINGS TESTDRV_CODE(12)

// Answered in the caller's context: the driver keeps the request outside any
// queue, marked cancelable, until IOCTL_TESTDRV_RELEASE_HELD completes it
// (STATUS_SUCCESS) or a cancel does (STATUS_CANCELLED). One at a time.
#define IOCTL_TESTDRV_HOLD TESTDRV_CODE(13)
#define IOCTL_TESTDRV_RELEASE_HELD TESTDRV_CODE(14)

// A write whose data starts with "rendezvous" waits (up to 5 s) inside the
// driver until a second such write is inside too: STATUS_SUCCESS when they
// met, STATUS_IO_TIMEOUT when the queue never let them in together.
#define TESTDRV_RENDEZVOUS "rendezvous"

// Journal entries are short names ("add", "prepare", "d0entry", ...); the
// test reads them through TestDriverJournal, exported by the module.
typedef void TESTDRV_JOURNAL(char* buffer, unsigned long size);
