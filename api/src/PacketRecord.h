// Framing of packet records, shared by every reader and writer of packets
// buffers in the library.
#pragma once

#include <cstdint>
#include <cstring>

#include "FlApi.h"

namespace FlApi {

inline constexpr uint32_t kRecordHeaderSize = sizeof(FL_PACKET_HEADER);

// In front of the records of every read from the driver; not part of the
// data area of a buffer.
struct READ_HEADER {
    uint64_t LastTimestamp; // timestamp of the last record of the read, 0 without records
    uint64_t HarvestTime;   // the port's latest harvest when the read completed
};
static_assert(sizeof(READ_HEADER) == 16);

inline constexpr uint32_t kReadHeaderSize = sizeof(READ_HEADER);

// Bytes that a record with `capturedLength` data bytes occupies. Computed in
// 32 bits: in 16 bits the padding of a length above 0xFFF8 wraps to a tiny
// record, and a reader would then hand out data that run past the buffer.
constexpr uint32_t RecordSize(uint32_t capturedLength) noexcept
{
    return kRecordHeaderSize + ((capturedLength + 7u) & ~7u);
}

// Frames the record at `index` of a data area whose records end at `end`:
// FL_ERROR_END_OF_BUFFER when index == end; FL_ERROR_INCONSISTENT_BUFFER when
// the index lies beyond the end or the record runs past it, so that nothing
// outside [0, end) is ever read; otherwise the record's header and size.
inline FL_STATUS FrameRecord(const uint8_t* data, uint32_t index, uint32_t end,
                             FL_PACKET_HEADER* header, uint32_t* size) noexcept
{
    if (index == end) {
        return FL_ERROR_END_OF_BUFFER;
    }
    if (index > end || end - index < kRecordHeaderSize) {
        return FL_ERROR_INCONSISTENT_BUFFER;
    }
    std::memcpy(header, data + index, kRecordHeaderSize);
    const uint32_t recordSize = RecordSize(header->CapturedLength);
    if (end - index < recordSize) {
        return FL_ERROR_INCONSISTENT_BUFFER;
    }
    *size = recordSize;
    return FL_SUCCESS;
}

} // namespace FlApi
