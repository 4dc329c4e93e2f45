// The file object: opening in a mode, the block-handler table, releasing.
#include "zeth_internal.h"

#include <cctype>
#include <cstring>

namespace zeth {

uint32_t Grow(GrowableBuffer &buffer, uint32_t needed)
{
    if (needed == 0 || needed <= buffer.capacity) {
        return ZETH_SUCCESS;
    }
    zeth_release(buffer.data);
    buffer.data = zeth_allocate(needed);
    if (buffer.data == nullptr) {
        buffer.capacity = 0;
        return ZETH_ERR_NO_MEMORY;
    }
    buffer.capacity = needed;
    return ZETH_SUCCESS;
}

void Free(GrowableBuffer &buffer)
{
    zeth_release(buffer.data);
    buffer = {};
}

const ZethBlockHandler *FindHandler(const ZethFile &file, uint32_t block_type)
{
    for (uint32_t i = 0; i < file.handler_count; ++i) {
        if (file.handler_table[i].block_type == block_type) {
            return &file.handler_table[i];
        }
    }
    return nullptr;
}

}  // namespace zeth

namespace {

enum class ModeChoice { Read, Write, Invalid };

ModeChoice ParseMode(const char *mode)
{
    if (mode == nullptr || mode[0] == '\0' || mode[1] != '\0') {
        return ModeChoice::Invalid;
    }
    switch (std::tolower(static_cast<unsigned char>(mode[0]))) {
    case 'r':
        return ModeChoice::Read;
    case 'w':
    case 'a':
    case 'c':
        // Appending and creating are the same as writing: nothing is read
        // back or checked, the bytes simply go to the write function.
        return ModeChoice::Write;
    default:
        return ModeChoice::Invalid;
    }
}

void ReleaseFile(ZethFile *file)
{
    zeth::Free(file->section.block.options_buffer);
    zeth::Free(file->section.block.chunk_buffer);
    zeth_release(file->handler_table);
    zeth_release(file);
}

}  // namespace

extern "C" uint32_t zeth_register_block_handler(ZethFile *file, const ZethBlockHandler *handler)
{
    // Writing a block calls these five unconditionally; parse and
    // read_option are only ever called by whoever reads.
    if (file == nullptr || handler == nullptr || handler->init == nullptr ||
        handler->finish == nullptr || handler->serialize == nullptr ||
        handler->write_option == nullptr || handler->validate_option == nullptr) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    // The section header is the library's own block.
    if (handler->block_type == ZETH_BLOCK_TYPE_SHB ||
        zeth::FindHandler(*file, handler->block_type) != nullptr) {
        return ZETH_ERR_DUPLICATE_TYPE;
    }
    if (file->handler_count == file->handler_capacity) {
        const uint32_t capacity = file->handler_capacity == 0 ? zeth::kInitialHandlerCapacity
                                                              : file->handler_capacity * 2;
        auto *table =
            static_cast<ZethBlockHandler *>(zeth_allocate(capacity * sizeof(ZethBlockHandler)));
        if (table == nullptr) {
            return ZETH_ERR_NO_MEMORY;
        }
        if (file->handler_count != 0) {
            std::memcpy(table, file->handler_table, file->handler_count * sizeof(ZethBlockHandler));
        }
        zeth_release(file->handler_table);
        file->handler_table = table;
        file->handler_capacity = capacity;
    }
    file->handler_table[file->handler_count++] = *handler;
    return ZETH_SUCCESS;
}

extern "C" uint32_t zeth_open_file(ZethReadFunction read, ZethWriteFunction write,
                                   ZethSeekFunction seek, void *handle, const char *mode,
                                   ZethFile **file)
{
    if (file == nullptr) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    *file = nullptr;
    const ModeChoice choice = ParseMode(mode);
    if (choice == ModeChoice::Invalid || (choice == ModeChoice::Write && write == nullptr) ||
        (choice == ModeChoice::Read && read == nullptr)) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }

    uint8_t first_bytes[8] = {};
    if (choice == ModeChoice::Read) {
        const uint32_t result = read(handle, first_bytes, sizeof first_bytes, 0);
        if (result != ZETH_SUCCESS) {
            return result;
        }
        uint32_t first_type;
        std::memcpy(&first_type, first_bytes, sizeof first_type);
        if (first_type != ZETH_BLOCK_TYPE_SHB) {
            return ZETH_ERR_NOT_PCAPNG;
        }
    }

    auto *created = static_cast<ZethFile *>(zeth_allocate(sizeof(ZethFile)));
    if (created == nullptr) {
        return ZETH_ERR_NO_MEMORY;
    }
    created->mode = choice == ModeChoice::Read ? zeth::FileMode::Read : zeth::FileMode::Write;
    created->handlers = {read, write, seek, handle};
    created->section.file = created;
    created->section.block.section = &created->section;
    std::memcpy(created->first_bytes, first_bytes, sizeof first_bytes);

    const uint32_t result = zeth::RegisterBuiltInHandlers(*created);
    if (result != ZETH_SUCCESS) {
        ReleaseFile(created);
        return result;
    }
    *file = created;
    return ZETH_SUCCESS;
}

extern "C" uint32_t zeth_close_file(ZethFile *file)
{
    if (file == nullptr) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    if (file->section_open) {
        return ZETH_ERR_SECTION_OPEN;
    }
    ReleaseFile(file);
    return ZETH_SUCCESS;
}
