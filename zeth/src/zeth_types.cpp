// The built-in block types (IDB, SPB, PB, EPB): their serializers, option
// writers and checks, and the decoders that read their bytes back.
#include "zeth_internal.h"

#include <cstddef>
#include <cstring>

namespace {

// The leading fields of a record are written exactly as they lie in memory.
constexpr uint32_t kIdbFixedLength = 8;
constexpr uint32_t kPacketFixedLength = 20;  // PB and EPB
constexpr uint32_t kSpbFixedLength = 4;

static_assert(sizeof(ZethIdbRecord) == kIdbFixedLength);
static_assert(offsetof(ZethPbRecord, packet_length) + 4 == kPacketFixedLength);
static_assert(offsetof(ZethEpbRecord, packet_length) + 4 == kPacketFixedLength);
static_assert(offsetof(ZethPbRecord, captured_length) == offsetof(ZethEpbRecord, captured_length));
static_assert(offsetof(ZethPbRecord, packet_data) == offsetof(ZethEpbRecord, packet_data));
static_assert(offsetof(ZethSpbRecord, packet_length) == 0);

uint32_t DoNothing(uintptr_t) { return ZETH_SUCCESS; }

// Two-pass sizing of a chunk list: answers the room for count chunks, or
// the chunks themselves when the buffer holds them.
uint32_t LayOutChunks(const ZethChunk *chunks, uint32_t count, void *chunk_buffer,
                      uint32_t *length)
{
    const uint32_t needed = count * static_cast<uint32_t>(sizeof(ZethChunk));
    if (chunk_buffer == nullptr || *length < needed) {
        *length = needed;
        return ZETH_ERR_BUFFER_TOO_SMALL;
    }
    auto *out = static_cast<ZethChunk *>(chunk_buffer);
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = chunks[i];
        out[i].next = i + 1 < count ? &out[i + 1] : nullptr;
    }
    *length = needed;
    return ZETH_SUCCESS;
}

// The fixed part of the record, then the packet bytes straight from the
// caller's pointer; the writer pads the body to a multiple of 4.
uint32_t SerializePacket(const void *record, uint32_t fixed_length, uint32_t captured_length,
                         const void *packet_data, void *chunk_buffer, uint32_t *length)
{
    const ZethChunk chunks[2] = {{record, fixed_length, nullptr},
                                 {packet_data, captured_length, nullptr}};
    return LayOutChunks(chunks, 2, chunk_buffer, length);
}

uint32_t SerializeIdb(uintptr_t, const void *record, void *chunk_buffer, uint32_t *length)
{
    const ZethChunk chunk = {record, kIdbFixedLength, nullptr};
    return LayOutChunks(&chunk, 1, chunk_buffer, length);
}

uint32_t SerializePb(uintptr_t, const void *record, void *chunk_buffer, uint32_t *length)
{
    const auto *pb = static_cast<const ZethPbRecord *>(record);
    return SerializePacket(pb, kPacketFixedLength, pb->captured_length, pb->packet_data,
                           chunk_buffer, length);
}

uint32_t SerializeEpb(uintptr_t, const void *record, void *chunk_buffer, uint32_t *length)
{
    const auto *epb = static_cast<const ZethEpbRecord *>(record);
    return SerializePacket(epb, kPacketFixedLength, epb->captured_length, epb->packet_data,
                           chunk_buffer, length);
}

uint32_t SerializeSpb(uintptr_t, const void *record, void *chunk_buffer, uint32_t *length)
{
    const auto *spb = static_cast<const ZethSpbRecord *>(record);
    return SerializePacket(spb, kSpbFixedLength, spb->captured_length, spb->packet_data,
                           chunk_buffer, length);
}

enum class ValueKind { None, String, Fixed };

struct OptionShape {
    ValueKind kind;
    uint32_t length;  // for Fixed
};

OptionShape IdbOptionShape(uint16_t code)
{
    switch (code) {
    case IDB_OPTION_IF_NAME:
    case IDB_OPTION_IF_DESCRIPTION:
    case IDB_OPTION_IF_FILTER:
    case IDB_OPTION_IF_OS:
        return {ValueKind::String, 0};
    case IDB_OPTION_IF_IPV4ADDR:
    case IDB_OPTION_IF_EUIADDR:
    case IDB_OPTION_IF_SPEED:
        return {ValueKind::Fixed, 8};
    case IDB_OPTION_IF_IPV6ADDR:
        return {ValueKind::Fixed, 17};
    case IDB_OPTION_IF_MACADDR:
        return {ValueKind::Fixed, 6};
    case IDB_OPTION_IF_TSACCUR:
    case IDB_OPTION_IF_FCSLEN:
        return {ValueKind::Fixed, 1};
    case IDB_OPTION_IF_TZONE:
        return {ValueKind::Fixed, 4};
    default:
        return {ValueKind::None, 0};
    }
}

// PB and EPB take one option of their own, the 32-bit flags word.
OptionShape PacketOptionShape(uint16_t code)
{
    return code == PB_OPTION_FLAGS ? OptionShape{ValueKind::Fixed, 4}
                                   : OptionShape{ValueKind::None, 0};
}

OptionShape SpbOptionShape(uint16_t) { return {ValueKind::None, 0}; }

template <OptionShape (*Shape)(uint16_t)>
uint32_t ValidateOption(uintptr_t, const ZethOption *option)
{
    const OptionShape shape = Shape(option->code);
    switch (shape.kind) {
    case ValueKind::String:
        return zeth::ValidateStringOption(*option);
    case ValueKind::Fixed:
        return option->value == nullptr ? ZETH_ERR_INVALID_ARGUMENT : ZETH_SUCCESS;
    case ValueKind::None:
        break;
    }
    return ZETH_ERR_UNSUPPORTED;
}

template <OptionShape (*Shape)(uint16_t)>
uint32_t WriteOption(uintptr_t, const ZethOption *option, void *destination, uint32_t *length)
{
    const OptionShape shape = Shape(option->code);
    switch (shape.kind) {
    case ValueKind::String:
        return zeth::WriteStringOption(*option, destination, length);
    case ValueKind::Fixed:
        return zeth::WriteFixedOption(*option, shape.length, destination, length);
    case ValueKind::None:
        break;
    }
    return ZETH_ERR_UNSUPPORTED;
}

// Decoders. The record's packet pointer points into the body given.

uint32_t ParseIdb(uintptr_t, const void *body, uint32_t length, void *record)
{
    if (body == nullptr || record == nullptr || length < kIdbFixedLength) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    std::memcpy(record, body, kIdbFixedLength);
    return ZETH_SUCCESS;
}

template <typename Record>
uint32_t ParsePacket(uintptr_t, const void *body, uint32_t length, void *record)
{
    if (body == nullptr || record == nullptr || length < kPacketFixedLength) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    auto *parsed = static_cast<Record *>(record);
    std::memcpy(parsed, body, kPacketFixedLength);
    if (parsed->captured_length > length - kPacketFixedLength) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    parsed->packet_data = static_cast<const uint8_t *>(body) + kPacketFixedLength;
    return ZETH_SUCCESS;
}

uint32_t ParseSpb(uintptr_t, const void *body, uint32_t length, void *record)
{
    if (body == nullptr || record == nullptr || length < kSpbFixedLength) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    auto *parsed = static_cast<ZethSpbRecord *>(record);
    std::memcpy(&parsed->packet_length, body, kSpbFixedLength);
    // The block keeps no captured length: it is what the body holds beyond
    // the fixed part, padding included, and never more than the packet.
    const uint32_t room = length - kSpbFixedLength;
    parsed->captured_length = parsed->packet_length < room ? parsed->packet_length : room;
    parsed->packet_data = static_cast<const uint8_t *>(body) + kSpbFixedLength;
    return ZETH_SUCCESS;
}

// One encoded option: code, length, value. The value pointer points into
// the source; used counts the padding.
uint32_t ReadOption(uintptr_t, const void *source, uint32_t available, ZethOption *option,
                    uint32_t *used)
{
    if (source == nullptr || option == nullptr || used == nullptr ||
        available < zeth::kOptionHeaderLength) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    const auto *bytes = static_cast<const uint8_t *>(source);
    uint16_t code;
    uint16_t value_length;
    std::memcpy(&code, bytes, 2);
    std::memcpy(&value_length, bytes + 2, 2);
    const uint64_t size = zeth::kOptionHeaderLength + zeth::RoundUp4(value_length);
    if (size > available) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    option->next = nullptr;
    option->code = code;
    option->value = bytes + zeth::kOptionHeaderLength;
    *used = static_cast<uint32_t>(size);
    return ZETH_SUCCESS;
}

constexpr ZethBlockHandler kBuiltIn[] = {
    {ZETH_BLOCK_TYPE_IDB, DoNothing, DoNothing, SerializeIdb, WriteOption<IdbOptionShape>,
     ValidateOption<IdbOptionShape>, ParseIdb, ReadOption},
    {ZETH_BLOCK_TYPE_SPB, DoNothing, DoNothing, SerializeSpb, WriteOption<SpbOptionShape>,
     ValidateOption<SpbOptionShape>, ParseSpb, ReadOption},
    {ZETH_BLOCK_TYPE_PB, DoNothing, DoNothing, SerializePb, WriteOption<PacketOptionShape>,
     ValidateOption<PacketOptionShape>, ParsePacket<ZethPbRecord>, ReadOption},
    {ZETH_BLOCK_TYPE_EPB, DoNothing, DoNothing, SerializeEpb, WriteOption<PacketOptionShape>,
     ValidateOption<PacketOptionShape>, ParsePacket<ZethEpbRecord>, ReadOption},
};

// Code, value length, value, zero padding.
uint32_t EncodeOption(const ZethOption &option, const void *value, uint32_t value_length,
                      void *destination, uint32_t *length)
{
    const uint32_t needed =
        zeth::kOptionHeaderLength + static_cast<uint32_t>(zeth::RoundUp4(value_length));
    if (destination == nullptr || *length < needed) {
        *length = needed;
        return ZETH_ERR_BUFFER_TOO_SMALL;
    }
    auto *out = static_cast<uint8_t *>(destination);
    const uint16_t encoded_length = static_cast<uint16_t>(value_length);
    std::memcpy(out, &option.code, 2);
    std::memcpy(out + 2, &encoded_length, 2);
    std::memcpy(out + zeth::kOptionHeaderLength, value, value_length);
    std::memset(out + zeth::kOptionHeaderLength + value_length, 0,
                needed - zeth::kOptionHeaderLength - value_length);
    *length = needed;
    return ZETH_SUCCESS;
}

// Length of a string value, at most one past the longest that fits.
size_t StringLength(const ZethOption &option)
{
    return strnlen(static_cast<const char *>(option.value), ZETH_MAX_STRING_OPTION_LENGTH + 1);
}

}  // namespace

namespace zeth {

uint32_t RegisterBuiltInHandlers(ZethFile &file)
{
    for (const ZethBlockHandler &handler : kBuiltIn) {
        const uint32_t result = zeth_register_block_handler(&file, &handler);
        if (result != ZETH_SUCCESS) {
            return result;
        }
    }
    return ZETH_SUCCESS;
}

uint32_t ValidateStringOption(const ZethOption &option)
{
    if (option.value == nullptr || StringLength(option) > ZETH_MAX_STRING_OPTION_LENGTH) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    return ZETH_SUCCESS;
}

uint32_t WriteStringOption(const ZethOption &option, void *destination, uint32_t *length)
{
    // Checked again here: the caller owns the string and may have changed
    // it since the option was added.
    const uint32_t result = ValidateStringOption(option);
    if (result != ZETH_SUCCESS) {
        return result;
    }
    const auto with_terminator = static_cast<uint32_t>(StringLength(option) + 1);
    return EncodeOption(option, option.value, with_terminator, destination, length);
}

uint32_t WriteFixedOption(const ZethOption &option, uint32_t value_length, void *destination,
                          uint32_t *length)
{
    if (option.value == nullptr) {
        return ZETH_ERR_INVALID_ARGUMENT;
    }
    return EncodeOption(option, option.value, value_length, destination, length);
}

}  // namespace zeth
