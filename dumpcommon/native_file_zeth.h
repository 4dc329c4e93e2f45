/*
 * native_file_zeth.h - FlDump_ng's side of the native file writer: the writer
 * handed to the pcap-ng block writer as its file handlers.
 *
 * The writer is the same as FlDump's; FlDump_ng's open differs only in what
 * native_file_open_common is given: no cache flag (a drive path always
 * bypasses the cache) and the pcap-ng writer's own code for out of memory.
 */
#pragma once

#include "native_file.h"

#include <zeth.h>

/* Opens the writer and fills the four handlers: a read that reads nothing,
 * the writer's write, no seek, and the writer as the handle. */
ULONG native_file_open(const char* FileName, ULONG BufferSize, ULONG BufferCount,
                       ZethFileHandlers* Handlers);

/* The read handler: the output is write-only; answers 1. */
uint32_t native_file_read(void* Handle, void* Destination, uint32_t Length, uint32_t Reserved);

/* The write handler: native_file_write on the handlers' writer. */
uint32_t native_file_write(void* Handle, const void* Source, uint32_t Length);

/* Closes the handlers' writer and clears the handle. */
ULONG native_file_close(ZethFileHandlers* Handlers);

/* The same, with the records of the last mark on disk (native_file_close_counted). */
ULONG native_file_close_counted(ZethFileHandlers* Handlers, ULONGLONG* Records);
