// Waiting for a request issued on an overlapped device handle.
#pragma once

#include <windows.h>

namespace FlApi {

// Waits until the request behind `overlapped` (which has an event of its
// own) has ended, and returns what GetOverlappedResult says of it then.
// Only the record's status tells that a request has ended: an event is a
// plain event, and anyone holding it may set it while the request is still
// in the driver. Such a wake-up is not the end of the request; the wait goes
// on, and a record is never reused while its request is outstanding.
BOOL AwaitRequest(HANDLE device, OVERLAPPED* overlapped, DWORD* returned) noexcept;

// Whether the request behind `overlapped` is still in the driver, without
// waiting. Asks the record's status, never the event, for the reason above.
bool RequestPending(HANDLE device, OVERLAPPED* overlapped) noexcept;

} // namespace FlApi
