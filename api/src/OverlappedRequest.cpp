#include "OverlappedRequest.h"

namespace FlApi {

BOOL AwaitRequest(HANDLE device, OVERLAPPED* overlapped, DWORD* returned) noexcept
{
    for (;;) {
        if (GetOverlappedResult(device, overlapped, returned, TRUE)) {
            return TRUE;
        }
        if (GetLastError() != ERROR_IO_INCOMPLETE || overlapped->hEvent == nullptr) {
            return FALSE;
        }
        // The event was set, the request has not ended. Clearing the event
        // loses no end: the request's own completion records its status
        // before it sets the event, so either the next look at the status
        // sees the end, or the completion's signal is still to come.
        ResetEvent(overlapped->hEvent);
    }
}

bool RequestPending(HANDLE device, OVERLAPPED* overlapped) noexcept
{
    DWORD returned = 0;
    return !GetOverlappedResult(device, overlapped, &returned, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE;
}

} // namespace FlApi
