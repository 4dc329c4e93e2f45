/*
 * native_file_zeth.cpp - the native file writer as the pcap-ng writer's file.
 */
#include "native_file_zeth.h"

ULONG native_file_open(const char* FileName, ULONG BufferSize, ULONG BufferCount,
                       ZethFileHandlers* Handlers)
{
    NativeFile* file = nullptr;
    const ULONG code = native_file_open_common(FileName, BufferSize, BufferCount, FALSE,
                                               ZETH_ERR_NO_MEMORY, &file);
    if (code != NATIVE_FILE_SUCCESS) {
        return code;
    }
    Handlers->read = native_file_read;
    Handlers->write = native_file_write;
    Handlers->seek = nullptr;  // the section length stays unrecorded
    Handlers->handle = file;
    return NATIVE_FILE_SUCCESS;
}

uint32_t native_file_read(void*, void*, uint32_t, uint32_t)
{
    return NATIVE_FILE_FAILURE;
}

uint32_t native_file_write(void* Handle, const void* Source, uint32_t Length)
{
    return native_file_write(static_cast<NativeFile*>(Handle), Source, Length);
}

ULONG native_file_close(ZethFileHandlers* Handlers)
{
    return native_file_close_counted(Handlers, nullptr);
}

ULONG native_file_close_counted(ZethFileHandlers* Handlers, ULONGLONG* Records)
{
    auto* file = static_cast<NativeFile*>(Handlers->handle);
    Handlers->handle = nullptr;
    return native_file_close_counted(file, Records);
}
