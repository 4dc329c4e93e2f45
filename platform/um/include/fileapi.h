/*
 * File functions.
 *
 * Names are taken the Windows way, with drive Z: standing for the Linux root
 * ("Z:\tmp\x.pcap" is /tmp/x.pcap); Linux names ("/tmp/x.pcap") are rooted
 * names on the current drive, which is always Z:. GetFullPathNameA answers in
 * the Windows form.
 */
#ifndef FL_UM_FILEAPI_H
#define FL_UM_FILEAPI_H

#include "minwinbase.h"

/* Creation dispositions. */
#ifndef CREATE_NEW
#define CREATE_NEW        1u
#define CREATE_ALWAYS     2u
#define OPEN_EXISTING     3u
#define OPEN_ALWAYS       4u
#define TRUNCATE_EXISTING 5u
#endif

#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ   0x00000001u
#define FILE_SHARE_WRITE  0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#endif

#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#endif

/* Flags. FILE_FLAG_NO_BUFFERING opens the file for direct I/O where its file
 * system allows it and falls back to cached I/O where it does not; writes
 * must then be aligned to the bytes per sector GetDiskFreeSpaceA reports.
 * FILE_FLAG_OVERLAPPED writes run in the background and complete through the
 * OVERLAPPED's event and the file's completion port. */
#ifndef FILE_FLAG_OVERLAPPED
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED    0x40000000u
#define FILE_FLAG_NO_BUFFERING  0x20000000u
#endif

/* Move methods of SetFilePointerEx. */
#ifndef FILE_BEGIN
#define FILE_BEGIN   0u
#define FILE_CURRENT 1u
#define FILE_END     2u
#endif

EXTERN_C_START

HANDLE WINAPI CreateFileA(_In_ LPCSTR lpFileName, _In_ DWORD dwDesiredAccess,
                          _In_ DWORD dwShareMode,
                          _In_opt_ LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                          _In_ DWORD dwCreationDisposition, _In_ DWORD dwFlagsAndAttributes,
                          _In_opt_ HANDLE hTemplateFile);

/* With FILE_FLAG_OVERLAPPED the write starts at the OVERLAPPED's offset and
 * answers FALSE with ERROR_IO_PENDING; its end is seen through the event,
 * GetOverlappedResult and the completion port. Otherwise it writes at the
 * file pointer (or at the OVERLAPPED's offset) before returning. */
BOOL WINAPI WriteFile(_In_ HANDLE hFile, _In_ LPCVOID lpBuffer,
                      _In_ DWORD nNumberOfBytesToWrite,
                      _Out_opt_ LPDWORD lpNumberOfBytesWritten,
                      _Inout_opt_ LPOVERLAPPED lpOverlapped);

DWORD WINAPI GetFullPathNameA(_In_ LPCSTR lpFileName, _In_ DWORD nBufferLength,
                              _Out_opt_ LPSTR lpBuffer, _Out_opt_ LPSTR *lpFilePart);

/* Bytes per sector is the volume's alignment for direct I/O. */
BOOL WINAPI GetDiskFreeSpaceA(_In_opt_ LPCSTR lpRootPathName, _Out_opt_ LPDWORD lpSectorsPerCluster,
                              _Out_opt_ LPDWORD lpBytesPerSector,
                              _Out_opt_ LPDWORD lpNumberOfFreeClusters,
                              _Out_opt_ LPDWORD lpTotalNumberOfClusters);

BOOL WINAPI SetFilePointerEx(_In_ HANDLE hFile, _In_ LARGE_INTEGER liDistanceToMove,
                             _Out_opt_ PLARGE_INTEGER lpNewFilePointer, _In_ DWORD dwMoveMethod);

/* Makes the file end at its file pointer. */
BOOL WINAPI SetEndOfFile(_In_ HANDLE hFile);

/* Device handles only (platform/um/dev): the read goes to the driver, which
 * may hold it; overlapped handles then answer FALSE/ERROR_IO_PENDING. */
BOOL WINAPI ReadFile(_In_ HANDLE hFile, _Out_writes_bytes_to_opt_(nNumberOfBytesToRead, *lpNumberOfBytesRead) LPVOID lpBuffer,
                     _In_ DWORD nNumberOfBytesToRead, _Out_opt_ LPDWORD lpNumberOfBytesRead,
                     _Inout_opt_ LPOVERLAPPED lpOverlapped);

EXTERN_C_END

#endif
