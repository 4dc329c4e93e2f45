// An in-memory file for the writer's tests: takes writes at a position that
// seeks move, records every write call, and fails a chosen call on request.
#pragma once

#include "zeth.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace zeth_test {

struct WriteCall {
    const void *source;
    uint32_t length;
};

struct MemorySink {
    std::vector<uint8_t> bytes;
    uint64_t position = 0;
    std::vector<WriteCall> writes;
    size_t read_position = 0;

    // A non-zero code makes call number fail_write_index (counted from 0)
    // of write, or every seek, answer it.
    uint32_t fail_write_code = 0;
    size_t fail_write_index = 0;
    uint32_t fail_seek_code = 0;
    uint32_t fail_read_code = 0;

    static uint32_t Write(void *handle, const void *source, uint32_t length)
    {
        auto &sink = *static_cast<MemorySink *>(handle);
        if (sink.fail_write_code != 0 && sink.writes.size() == sink.fail_write_index) {
            sink.writes.push_back({source, 0});
            return sink.fail_write_code;
        }
        sink.writes.push_back({source, length});
        if (sink.bytes.size() < sink.position + length) {
            sink.bytes.resize(sink.position + length);
        }
        std::memcpy(sink.bytes.data() + sink.position, source, length);
        sink.position += length;
        return 0;
    }

    static uint32_t Seek(void *handle, int64_t offset, uint32_t origin, uint64_t *new_position)
    {
        auto &sink = *static_cast<MemorySink *>(handle);
        if (sink.fail_seek_code != 0) {
            return sink.fail_seek_code;
        }
        const int64_t base = origin == ZETH_SEEK_CURRENT ? static_cast<int64_t>(sink.position) : 0;
        if (origin > ZETH_SEEK_CURRENT || base + offset < 0) {
            return 0x5EE4;
        }
        sink.position = static_cast<uint64_t>(base + offset);
        if (new_position != nullptr) {
            *new_position = sink.position;
        }
        return 0;
    }

    static uint32_t Read(void *handle, void *destination, uint32_t length, uint32_t reserved)
    {
        auto &sink = *static_cast<MemorySink *>(handle);
        if (sink.fail_read_code != 0) {
            return sink.fail_read_code;
        }
        if (reserved != 0 || sink.read_position + length > sink.bytes.size()) {
            return 0x4EAD;
        }
        std::memcpy(destination, sink.bytes.data() + sink.read_position, length);
        sink.read_position += length;
        return 0;
    }

    uint16_t U16(size_t offset) const { return Get<uint16_t>(offset); }
    uint32_t U32(size_t offset) const { return Get<uint32_t>(offset); }
    uint64_t U64(size_t offset) const { return Get<uint64_t>(offset); }

    template <typename T>
    T Get(size_t offset) const
    {
        T value{};
        if (offset + sizeof(T) <= bytes.size()) {
            std::memcpy(&value, bytes.data() + offset, sizeof(T));
        }
        return value;
    }
};

}  // namespace zeth_test
