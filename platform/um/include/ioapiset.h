/*
 * Overlapped I/O results and completion ports.
 */
#ifndef FL_UM_IOAPISET_H
#define FL_UM_IOAPISET_H

#include "minwinbase.h"

/* The request behind the OVERLAPPED has ended (successfully or not). */
#ifndef HasOverlappedIoCompleted
#define HasOverlappedIoCompleted(lpOverlapped) (((DWORD)(lpOverlapped)->Internal) != (DWORD)STATUS_PENDING)
#endif

EXTERN_C_START

/* FileHandle INVALID_HANDLE_VALUE and no ExistingCompletionPort: a new,
 * unbound port. A file and no port: a new port bound to the file. A file and
 * a port: the file is bound to that port, which is returned. Every
 * overlapped request on a bound file then posts one packet with the key
 * when it ends, unless the low-order bit of its OVERLAPPED's hEvent is set. */
HANDLE WINAPI CreateIoCompletionPort(_In_ HANDLE FileHandle, _In_opt_ HANDLE ExistingCompletionPort,
                                     _In_ ULONG_PTR CompletionKey,
                                     _In_ DWORD NumberOfConcurrentThreads);

/* TRUE: a packet of a request that succeeded. FALSE with *lpOverlapped set:
 * a packet of a request that failed (GetLastError says why). FALSE with
 * *lpOverlapped NULL: no packet (WAIT_TIMEOUT, or a bad port). */
BOOL WINAPI GetQueuedCompletionStatus(_In_ HANDLE CompletionPort,
                                      _Out_ LPDWORD lpNumberOfBytesTransferred,
                                      _Out_ PULONG_PTR lpCompletionKey,
                                      _Out_ LPOVERLAPPED *lpOverlapped,
                                      _In_ DWORD dwMilliseconds);

BOOL WINAPI PostQueuedCompletionStatus(_In_ HANDLE CompletionPort,
                                       _In_ DWORD dwNumberOfBytesTransferred,
                                       _In_ ULONG_PTR dwCompletionKey,
                                       _In_opt_ LPOVERLAPPED lpOverlapped);

/* With bWait, waits on the OVERLAPPED's event (its low-order bit ignored),
 * or on the file itself when there is none. */
BOOL WINAPI GetOverlappedResult(_In_ HANDLE hFile, _In_ LPOVERLAPPED lpOverlapped,
                                _Out_ LPDWORD lpNumberOfBytesTransferred, _In_ BOOL bWait);

/* Device I/O (platform/um/dev). METHOD_BUFFERED: the input is copied to the
 * driver, and the output it returns is copied back also when the request
 * ends with a warning: STATUS_BUFFER_OVERFLOW answers FALSE with
 * ERROR_MORE_DATA and *lpBytesReturned bytes of data. Overlapped handles
 * answer FALSE/ERROR_IO_PENDING while the driver holds the request. */
BOOL WINAPI DeviceIoControl(_In_ HANDLE hDevice, _In_ DWORD dwIoControlCode,
                            _In_reads_bytes_opt_(nInBufferSize) LPVOID lpInBuffer, _In_ DWORD nInBufferSize,
                            _Out_writes_bytes_to_opt_(nOutBufferSize, *lpBytesReturned) LPVOID lpOutBuffer,
                            _In_ DWORD nOutBufferSize, _Out_opt_ LPDWORD lpBytesReturned,
                            _Inout_opt_ LPOVERLAPPED lpOverlapped);

/* Cancels every request of the handle that its driver still holds
 * cancelable; each ends with ERROR_OPERATION_ABORTED. Device handles only. */
BOOL WINAPI CancelIo(_In_ HANDLE hFile);

EXTERN_C_END

#endif
