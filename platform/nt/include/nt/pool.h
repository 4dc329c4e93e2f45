// Pool allocation with tags. Every block carries its tag; per-tag counts of
// outstanding blocks let a test prove that a driver freed all it allocated.
#pragma once

#include <ntdef.h>

#include <cstddef>

namespace nt {

// The tag as Windows stores it: the first character in the lowest byte, so
// that PoolTag("FL2D") reads "FL2D" in a memory dump.
constexpr ULONG PoolTag(const char (&text)[5]) noexcept {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// Alignment of every block (MEMORY_ALLOCATION_ALIGNMENT on x64).
inline constexpr size_t kPoolAlignment = 16;

// nullptr when the memory is not available (or size is 0). Not zeroed.
void* PoolAllocate(SIZE_T size, ULONG tag) noexcept;

// Frees a block of any tag. Null is ignored.
void PoolFree(void* block) noexcept;

// Frees a block that must carry `tag`. A mismatch is a driver fault and ends
// the process with a message, as a bug check would.
void PoolFreeWithTag(void* block, ULONG tag) noexcept;

// Outstanding blocks and bytes with `tag`.
size_t PoolOutstandingBlocks(ULONG tag) noexcept;
size_t PoolOutstandingBytes(ULONG tag) noexcept;

}  // namespace nt
