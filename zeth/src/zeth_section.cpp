// Sections: the section header block, written lazily, and the section
// length patched through the caller's seek function at close.
#include "zeth_internal.h"

#include <cstring>

namespace {

constexpr int64_t kLengthNotRecorded = -1;  // all ones on disk

// Byte-order magic, major and minor version and section length: the part of
// the header that the patch at close rewrites.
uint32_t WriteShbFixedPart(ZethSection &section)
{
    uint8_t bytes[16];
    std::memcpy(bytes + 0, &section.byte_order_magic, 4);
    std::memcpy(bytes + 4, &section.major_version, 2);
    std::memcpy(bytes + 6, &section.minor_version, 2);
    std::memcpy(bytes + 8, &section.section_length, 8);
    const ZethFileHandlers &io = section.file->handlers;
    return io.write(io.handle, bytes, sizeof bytes);
}

uint32_t PatchSectionLength(ZethSection &section)
{
    const ZethFileHandlers &io = section.file->handlers;
    uint64_t end = 0;
    uint32_t result = io.seek(io.handle, 0, ZETH_SEEK_CURRENT, &end);
    if (result != ZETH_SUCCESS) {
        return result;
    }
    result = io.seek(io.handle, static_cast<int64_t>(section.start_position + 8), ZETH_SEEK_BEGIN,
                     nullptr);
    if (result != ZETH_SUCCESS) {
        return result;
    }
    section.section_length =
        static_cast<int64_t>(end - section.start_position - section.block_total_length);
    result = WriteShbFixedPart(section);
    // Back to the end even when the patch failed: the section stays open,
    // and both a retry of the close (which measures from the current
    // position) and further blocks need the position where the data ends.
    const uint32_t back = io.seek(io.handle, static_cast<int64_t>(end), ZETH_SEEK_BEGIN, nullptr);
    return result != ZETH_SUCCESS ? result : back;
}

}  // namespace

namespace zeth {

uint32_t WriteSectionHeader(ZethSection &section)
{
    // No operation attaches options to a section, so the header is always
    // the bare 28 bytes.
    const ZethFileHandlers &io = section.file->handlers;
    const uint32_t frame[2] = {section.block_type, section.block_total_length};
    uint32_t result = io.write(io.handle, frame, sizeof frame);
    if (result == ZETH_SUCCESS) {
        result = WriteShbFixedPart(section);
    }
    if (result == ZETH_SUCCESS) {
        result = io.write(io.handle, &section.block_total_length, 4);
    }
    if (result == ZETH_SUCCESS) {
        section.header_written = true;
    }
    return result;
}

}  // namespace zeth

extern "C" uint32_t zeth_create_section(ZethFile *file, ZethSection **section)
{
    if (file == nullptr || section == nullptr) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    if (file->mode == zeth::FileMode::Read) {
        return ZETH_ERR_READ_MODE;
    }
    if (file->mode != zeth::FileMode::Write) {
        return ZETH_FAILURE;
    }
    if (file->section_open) {
        return ZETH_ERR_SECTION_OPEN;
    }

    ZethSection &created = file->section;
    created.block_open = false;
    created.header_written = false;
    created.block.options = nullptr;
    created.start_position = 0;
    const ZethFileHandlers &io = file->handlers;
    if (io.seek != nullptr) {
        const uint32_t result = io.seek(io.handle, 0, ZETH_SEEK_CURRENT, &created.start_position);
        if (result != ZETH_SUCCESS) {
            return result;
        }
    }
    created.block_type = ZETH_BLOCK_TYPE_SHB;
    created.block_total_length = zeth::kShbLength;
    created.byte_order_magic = ZETH_BYTE_ORDER_MAGIC;
    created.major_version = 1;
    created.minor_version = 0;
    created.section_length = kLengthNotRecorded;

    file->section_open = true;
    *section = &created;
    return ZETH_SUCCESS;
}

extern "C" uint32_t zeth_close_section(ZethSection *section)
{
    // A section that is not open has nothing to close; closing it again
    // would rewrite a length that no longer describes it.
    if (section == nullptr || !section->file->section_open) {
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
    if (section->file->handlers.seek != nullptr) {
        const uint32_t result = PatchSectionLength(*section);
        if (result != ZETH_SUCCESS) {
            return result;
        }
    }
    section->file->section_open = false;
    return ZETH_SUCCESS;
}
