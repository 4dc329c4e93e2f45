/*
 * native_file.h - the dump tools' append-only output file.
 *
 * The capture loop hands the writer byte runs of any size (a record header, a
 * packet's bytes, a pcap-ng block piece). They are packed into a fixed pool of
 * equally sized buffers; every full buffer leaves with one overlapped write at
 * the next file offset, and completed writes come back through an I/O
 * completion port bound to the file. On a local drive the file is opened
 * unbuffered, so every write is a whole buffer at a multiple of the buffer
 * size; the close then writes the last buffer whole and cuts the file back to
 * the bytes appended through a second, ordinary open.
 *
 * One thread at a time uses a writer; the writer starts no threads. The dump
 * tools are C++, and the two tools' opens are overloads of one name.
 */
#pragma once

#include <windows.h>

/* Result codes. Out of memory is answered with the code the caller chose at
 * open (FlDump: NATIVE_FILE_ERROR_NO_MEMORY, FlDump_ng: the pcap-ng writer's
 * own code for it). */
#define NATIVE_FILE_SUCCESS             0u
#define NATIVE_FILE_FAILURE             1u  /* a system call failed, or a run longer than a buffer */
#define NATIVE_FILE_ERROR_NO_MEMORY     2u
#define NATIVE_FILE_ERROR_FULL_PATH     3u  /* the full path name could not be determined */
#define NATIVE_FILE_ERROR_BUFFER_LAYOUT 4u  /* no buffers, empty buffers, or (unbuffered) a size
                                               that is not a multiple of the sector size */

/* A point of the stream where whole records end, and how many of the
 * caller's records the stream holds up to there. */
typedef struct _NativeFileMark {
    ULONGLONG End;
    ULONGLONG Records;
} NativeFileMark;

typedef struct _NativeFileBuffer {
    PUCHAR Data;               /* the data area, inside this allocation, aligned for unbuffered I/O */
    ULONG Used;                /* bytes filled; in flight: the bytes queued for writing */
    OVERLAPPED Overlapped;     /* Offset/OffsetHigh: file offset of the buffer's write */
    struct _NativeFileBuffer* Next;  /* link in the free list */
    ULONG Index;               /* creation order, from 0 */
    BOOLEAN InFlight;          /* queued to the system, to come back through the port */
    ULONG Padding;             /* bytes at the end of Used that only fill a sector: the
                                  write is whole without them */
    NativeFileMark StartMark;  /* the last mark when the buffer became current */
    NativeFileMark IssueMark;  /* the last mark when its write was issued */
} NativeFileBuffer;

typedef struct _NativeFile {
    NativeFileBuffer* FreeList;      /* ready to be filled, last in first out */
    ULONG BufferCount;
    NativeFileBuffer* CurrentBuffer; /* the buffer being filled, or NULL */
    HANDLE File;                     /* INVALID_HANDLE_VALUE when not open */
    PSTR Path;                       /* full path name */
    ULONG SectorSize;                /* 0: cached mode */
    HANDLE CompletionPort;
    ULONG BufferSize;
    ULONGLONG NextFileOffset;        /* where the next buffer will be written */

    NativeFileBuffer** Buffers;      /* every buffer, by index, for the release */
    ULONG BuffersCreated;
    ULONG InFlightCount;
    /* End of the bytes known to be on disk without a gap: lowered by every
     * write that failed or stayed short, so that the close can cut the file at
     * the last good byte instead of leaving holes or stale buffers behind. */
    ULONGLONG ValidEnd;
    ULONG OutOfMemoryCode;
    ULONG Alignment;                 /* of every buffer's allocation and data area */

    /* Record boundaries, when the caller marks them: the file is then cut at
     * the last whole record on disk, and the close says how many it holds. */
    BOOLEAN Marked;
    NativeFileMark LastMark;         /* the latest mark */
    NativeFileMark LossMark;         /* the last mark at or before ValidEnd */
    /* The Win32 error of the first system call that failed (0: none), for
     * the tools to tell the user why. */
    DWORD SystemError;
} NativeFile;

/* The open shared by both tools. UseCache lets the file system cache the
 * file even on a drive path; OutOfMemoryCode is the tool's code for a failed
 * allocation. */
ULONG native_file_open_common(const char* FileName, ULONG BufferSize, ULONG BufferCount,
                              BOOLEAN UseCache, ULONG OutOfMemoryCode, NativeFile** File);

/* FlDump's open: out of memory is NATIVE_FILE_ERROR_NO_MEMORY. */
ULONG native_file_open(const char* FileName, ULONG BufferSize, ULONG BufferCount,
                       BOOLEAN UseCache, NativeFile** File);

/* Appends Length bytes. A run longer than the buffer size is refused with
 * NATIVE_FILE_FAILURE before anything is copied. */
ULONG native_file_write(NativeFile* File, const void* Data, ULONG Length);

/* Says that the bytes appended so far end with a whole record, and that they
 * hold Records of the caller's records (packets; a file header counts 0). */
void native_file_mark(NativeFile* File, ULONGLONG Records);

/* The Win32 error of the first system call that failed, or 0. */
DWORD native_file_system_error(const NativeFile* File);

/* Writes what is left, waits for every write, trims the file and releases
 * everything. The object is gone afterwards whatever the answer. A failure
 * leaves its Win32 error as the thread's last error (0 when no system call
 * failed), as a failed open does. */
ULONG native_file_close(NativeFile* File);

/* The same, and *Records is the records of the last mark that reached the
 * disk whole: the file ends there. */
ULONG native_file_close_counted(NativeFile* File, ULONGLONG* Records);

/* Internal steps, exposed for the tools' tests. */
BOOLEAN native_file_get_buffer(NativeFile* File);
ULONG native_file_issue_write(NativeFile* File);
BOOLEAN native_file_finish_write(NativeFile* File, NativeFileBuffer* Buffer, ULONG Written);
