// Blocks: creation, the caller's option list, and writing the whole block
// at close with two-pass sizing of the body and the options.
#include "zeth_internal.h"

#include <cstring>

namespace {

const uint8_t kZeros[4] = {};

bool BlockIsOpen(const ZethBlock *block)
{
    return block != nullptr && block->section->file->section_open && block->section->block_open;
}

// One option through its encoder: the comment is the library's own string
// option, every other code belongs to the block type's handler.
uint32_t EncodeOption(const ZethBlock &block, const ZethOption &option, void *destination,
                      uint32_t *length)
{
    if (option.code == OPTION_COMMENT) {
        return zeth::WriteStringOption(option, destination, length);
    }
    return block.handler->write_option(block.handler_context, &option, destination, length);
}

// Bytes of every option plus the end-of-options marker; 0 without options.
uint32_t SizeOptions(const ZethBlock &block, uint64_t *total)
{
    *total = 0;
    for (const ZethOption *option = block.options; option != nullptr; option = option->next) {
        if (option->code == OPTION_ENDOFOPT) {
            continue;
        }
        uint32_t needed = 0;
        const uint32_t result = EncodeOption(block, *option, nullptr, &needed);
        if (result != ZETH_SUCCESS && result != ZETH_ERR_BUFFER_TOO_SMALL) {
            return result;
        }
        *total += needed;
    }
    if (block.options != nullptr) {
        *total += zeth::kEndOfOptionsLength;
    }
    return ZETH_SUCCESS;
}

// Lays the body out as chunks in the block's chunk buffer.
uint32_t SerializeBody(ZethBlock &block, const ZethChunk **chunks, uint64_t *body_length)
{
    const ZethBlockHandler &handler = *block.handler;
    uint32_t needed = 0;
    uint32_t result = handler.serialize(block.handler_context, block.record, nullptr, &needed);
    if (result == ZETH_ERR_BUFFER_TOO_SMALL) {
        result = zeth::Grow(block.chunk_buffer, needed);
    }
    if (result != ZETH_SUCCESS) {
        return result;
    }
    uint32_t used = block.chunk_buffer.capacity;
    result = handler.serialize(block.handler_context, block.record, block.chunk_buffer.data, &used);
    if (result != ZETH_SUCCESS) {
        return result;
    }
    *chunks = used == 0 ? nullptr : static_cast<const ZethChunk *>(block.chunk_buffer.data);
    *body_length = 0;
    for (const ZethChunk *chunk = *chunks; chunk != nullptr; chunk = chunk->next) {
        *body_length += chunk->length;
    }
    return ZETH_SUCCESS;
}

// Encodes every option and the end-of-options marker into the options
// buffer and hands them to the writer in one call.
uint32_t WriteOptions(ZethBlock &block, uint32_t options_length)
{
    if (block.options == nullptr) {
        return ZETH_SUCCESS;
    }
    uint32_t result = zeth::Grow(block.options_buffer, options_length);
    if (result != ZETH_SUCCESS) {
        return result;
    }
    auto *buffer = static_cast<uint8_t *>(block.options_buffer.data);
    uint32_t used = 0;
    for (const ZethOption *option = block.options; option != nullptr; option = option->next) {
        if (option->code == OPTION_ENDOFOPT) {
            continue;
        }
        uint32_t length = options_length - used;
        result = EncodeOption(block, *option, buffer + used, &length);
        if (result != ZETH_SUCCESS) {
            return result;
        }
        used += length;
    }
    if (options_length - used < zeth::kEndOfOptionsLength) {
        // An encoder used more than it asked for at sizing.
        return ZETH_ERR_BUFFER_TOO_SMALL;
    }
    std::memset(buffer + used, 0, zeth::kEndOfOptionsLength);
    used += zeth::kEndOfOptionsLength;
    const ZethFileHandlers &io = block.section->file->handlers;
    return io.write(io.handle, buffer, used);
}

uint32_t WriteBlock(ZethBlock &block)
{
    if (block.record == nullptr) {
        return ZETH_ERR_NO_DATA;
    }
    uint64_t options_length = 0;
    uint32_t result = SizeOptions(block, &options_length);
    if (result != ZETH_SUCCESS) {
        return result;
    }
    const ZethChunk *chunks = nullptr;
    uint64_t body_length = 0;
    result = SerializeBody(block, &chunks, &body_length);
    if (result != ZETH_SUCCESS) {
        return result;
    }

    // The total length counts the padding after the body, so that it is the
    // block's size in the file whatever the body's length. Computed wide:
    // a length that does not fit the 32-bit field is refused before anything
    // is written.
    const uint64_t padded_body = zeth::RoundUp4(body_length);
    const uint64_t total = 12 + padded_body + options_length;
    if (total > UINT32_MAX) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    block.block_total_length = static_cast<uint32_t>(total);

    const ZethFileHandlers &io = block.section->file->handlers;
    const uint32_t frame[2] = {block.block_type, block.block_total_length};
    result = io.write(io.handle, frame, sizeof frame);
    for (const ZethChunk *chunk = chunks; result == ZETH_SUCCESS && chunk != nullptr;
         chunk = chunk->next) {
        if (chunk->length != 0) {
            result = io.write(io.handle, chunk->data, chunk->length);
        }
    }
    if (result == ZETH_SUCCESS && padded_body != body_length) {
        result = io.write(io.handle, kZeros, static_cast<uint32_t>(padded_body - body_length));
    }
    if (result == ZETH_SUCCESS) {
        result = WriteOptions(block, static_cast<uint32_t>(options_length));
    }
    if (result == ZETH_SUCCESS) {
        result = io.write(io.handle, &block.block_total_length, 4);
    }
    if (result == ZETH_SUCCESS) {
        result = block.handler->finish(block.handler_context);
    }
    return result;
}

}  // namespace

extern "C" uint32_t zeth_create_block(ZethSection *section, uint32_t block_type,
                                      const void *record, ZethBlock **block)
{
    // Blocks go only into an open section: one created after the section was
    // closed would land behind a section length that no longer counts it.
    if (section == nullptr || block == nullptr || !section->file->section_open) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    if (section->block_open) {
        return ZETH_ERR_BLOCK_OPEN;
    }
    if (!section->header_written) {
        const uint32_t result = zeth::WriteSectionHeader(*section);
        if (result != ZETH_SUCCESS) {
            return result;
        }
    }
    const ZethBlockHandler *handler = zeth::FindHandler(*section->file, block_type);
    if (handler == nullptr) {
        return ZETH_ERR_UNSUPPORTED;
    }
    ZethBlock &created = section->block;
    created.options = nullptr;
    created.handler_context = 0;
    created.handler = handler;
    created.block_type = block_type;
    created.block_total_length = 0;
    created.record = record;
    const uint32_t result = handler->init(created.handler_context);
    if (result != ZETH_SUCCESS) {
        return result;
    }
    section->block_open = true;
    *block = &created;
    return ZETH_SUCCESS;
}

extern "C" uint32_t zeth_add_option(ZethBlock *block, ZethOption *option)
{
    if (!BlockIsOpen(block) || option == nullptr) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    if (option->code == OPTION_ENDOFOPT) {
        return ZETH_SUCCESS;
    }
    uint32_t result;
    if (option->code != OPTION_COMMENT) {
        result = block->handler->validate_option(block->handler_context, option);
    } else if (block->block_type == ZETH_BLOCK_TYPE_SPB) {
        // A simple packet block has no room for options: readers take
        // everything after its fixed part for packet data and padding, so a
        // comment there would make them lose their way through the file.
        result = ZETH_ERR_UNSUPPORTED;
    } else {
        result = zeth::ValidateStringOption(*option);
    }
    if (result != ZETH_SUCCESS) {
        return result;
    }

    if (block->options == nullptr) {
        option->next = nullptr;
        block->options = option;
        return ZETH_SUCCESS;
    }
    for (ZethOption *node = block->options;; node = node->next) {
        if (node == option) {
            // Already the last node: nothing to change. Anywhere else,
            // linking it again would cut the list or make a loop.
            return node->next == nullptr ? ZETH_SUCCESS : ZETH_ERR_OPTION_LINKED;
        }
        if (node->next == nullptr) {
            option->next = nullptr;
            node->next = option;
            return ZETH_SUCCESS;
        }
    }
}

extern "C" uint32_t zeth_close_block(ZethBlock *block)
{
    // Closing a block twice would write it twice, from a record the caller
    // may already have reused.
    if (!BlockIsOpen(block)) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    if (block->section->file->mode != zeth::FileMode::Write) {
        return ZETH_FAILURE;
    }
    const uint32_t result = WriteBlock(*block);
    if (result != ZETH_SUCCESS) {
        return result;
    }
    block->section->block_open = false;
    return ZETH_SUCCESS;
}
