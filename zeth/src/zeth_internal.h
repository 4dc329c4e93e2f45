// Objects and helpers shared by the pieces of ZETH. Not part of the
// library's interface; the tests include it to reach the encoders and the
// handler table directly.
#pragma once

#include "zeth.h"

#include <cstdint>

extern "C" {

// Every allocation of the library goes through these two, kept in their own
// object file so that a test program can put its own in their place.
void *zeth_allocate(size_t size);  // zero-filled, nullptr on failure
void zeth_release(void *memory);

}  // extern "C"

namespace zeth {

enum class FileMode : uint32_t { Write = 0, Read = 1 };

inline constexpr uint32_t kShbLength = 28;
inline constexpr uint32_t kOptionHeaderLength = 4;
inline constexpr uint32_t kEndOfOptionsLength = 4;
inline constexpr uint32_t kInitialHandlerCapacity = 10;

constexpr uint64_t RoundUp4(uint64_t value) { return (value + 3) & ~uint64_t{3}; }

// A buffer that only ever grows, kept across blocks so that a steady stream
// of blocks allocates nothing.
struct GrowableBuffer {
    void *data = nullptr;
    uint32_t capacity = 0;
};

// ZETH_SUCCESS, or ZETH_ERR_NO_MEMORY with the buffer empty.
uint32_t Grow(GrowableBuffer &buffer, uint32_t needed);
void Free(GrowableBuffer &buffer);

}  // namespace zeth

struct ZethBlock {
    ZethSection *section;
    uintptr_t handler_context;  // 0 for every built-in type
    ZethOption *options;        // head of the caller's list
    const ZethBlockHandler *handler;
    uint32_t block_type;
    uint32_t block_total_length;
    zeth::GrowableBuffer options_buffer;
    zeth::GrowableBuffer chunk_buffer;
    const void *record;
};

struct ZethSection {
    ZethFile *file;
    uint64_t start_position;  // where the SHB begins; kept only with a seek function
    uint32_t block_type;
    uint32_t block_total_length;
    uint32_t byte_order_magic;
    uint16_t major_version;
    uint16_t minor_version;
    int64_t section_length;
    bool block_open;
    bool header_written;
    ZethBlock block;
};

struct ZethFile {
    zeth::FileMode mode;
    ZethFileHandlers handlers;
    ZethSection section;
    bool section_open;
    ZethBlockHandler *handler_table;
    uint32_t handler_count;
    uint32_t handler_capacity;
    uint8_t first_bytes[8];  // read mode: block type and length of the first block
};

namespace zeth {

// The handler registered for a block type, or nullptr.
const ZethBlockHandler *FindHandler(const ZethFile &file, uint32_t block_type);

// Registers IDB, SPB, PB and EPB, in that order.
uint32_t RegisterBuiltInHandlers(ZethFile &file);

// Writers. All follow the two-pass sizing contract of ZethBlockHandler.
uint32_t WriteStringOption(const ZethOption &option, void *destination, uint32_t *length);
uint32_t WriteFixedOption(const ZethOption &option, uint32_t value_length, void *destination,
                          uint32_t *length);

// Checks a string value: present and not longer than the length field holds.
uint32_t ValidateStringOption(const ZethOption &option);

// Writes the section header block and marks it written.
uint32_t WriteSectionHeader(ZethSection &section);

}  // namespace zeth
