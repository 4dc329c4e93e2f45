#include "hw/ethernet.hpp"

#include <algorithm>
#include <cstring>

#include <isa-l/crc.h>

namespace hw {

namespace {

constexpr std::size_t kHeader = 14;
constexpr std::size_t kStreamOffset = kHeader + 4;
constexpr std::size_t kSequenceOffset = kStreamOffset + 4;
constexpr std::size_t kPatternOffset = kSequenceOffset + 8;
constexpr std::size_t kMaxGeneratorFrame = 16128;
constexpr std::uint8_t kMagic[4] = {'F', 'L', 'G', 'N'};

void PutLe(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t GetLe(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
std::uint8_t PatternByte(std::uint64_t sequence, std::size_t offset) {
    return static_cast<std::uint8_t>(sequence * 31 + offset);
}

// Bytes 0, 1, ..., 255, 0, 1, ...: the pattern of any sequence number is a
// slice of it, so a frame's payload is one copy.
const std::array<std::uint8_t, 256 + kMaxGeneratorFrame>& Ramp() {
    static const auto ramp = [] {
        std::array<std::uint8_t, 256 + kMaxGeneratorFrame> r{};
        for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(i);
        return r;
    }();
    return ramp;
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
    // ISA-L's folding CRC (carry-less multiply where the CPU has it): about
    // 7 times zlib's and 40 times a byte table on 64-byte frames here. Its
    // gzip CRC is the 802.3 one, inversions included.
    return crc32_gzip_refl(0, bytes.data(), bytes.size());
}

void AppendFcs(std::vector<std::uint8_t>& frame) {
    const std::uint32_t fcs = Crc32(frame);
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<std::uint8_t>(fcs >> (8 * i)));
}

bool FcsValid(std::span<const std::uint8_t> frame) {
    if (frame.size() < 5) return false;
    const std::size_t n = frame.size() - 4;
    return Crc32(frame.first(n)) == static_cast<std::uint32_t>(GetLe(frame.data() + n, 4));
}

// Everything of a generator frame but its FCS: the first `body` bytes.
static void WriteGeneratorBody(std::uint8_t* f, std::size_t body, const MacAddress& destination,
                               const MacAddress& source, std::uint32_t stream, std::uint64_t sequence) {
    std::memcpy(f, destination.data(), 6);
    std::memcpy(f + 6, source.data(), 6);
    f[12] = kGeneratorEtherType >> 8;
    f[13] = kGeneratorEtherType & 0xFF;
    std::memcpy(f + kHeader, kMagic, 4);
    PutLe(f + kStreamOffset, stream, 4);
    PutLe(f + kSequenceOffset, sequence, 8);
    std::memcpy(f + kPatternOffset, Ramp().data() + PatternByte(sequence, kPatternOffset), body - kPatternOffset);
}

void WriteGeneratorFrame(std::span<std::uint8_t> frame, const MacAddress& destination, const MacAddress& source,
                         std::uint32_t stream, std::uint64_t sequence, bool badFcs) {
    std::uint8_t* f = frame.data();
    const std::size_t body = frame.size() - 4;
    WriteGeneratorBody(f, body, destination, source, stream, sequence);
    const std::uint32_t fcs = Crc32({f, body});
    PutLe(f + body, fcs, 4);
    // An FCS error corrupts the FCS only, so the frame is still recognisable.
    if (badFcs) f[body + 3] ^= 0xFF;
}

GeneratorFrameMaker::GeneratorFrameMaker(const MacAddress& destination, const MacAddress& source,
                                         std::uint32_t stream, std::size_t size)
    : destination_(destination), source_(source), stream_(stream),
      size_(std::clamp(size, kMinFrameWithFcs, kMaxGeneratorFrame)) {
    std::vector<std::uint8_t> frame(size_);
    for (std::uint32_t k = 0; k < 256; ++k) {
        WriteGeneratorFrame(frame, destination_, source_, stream_, k, false);
        low_[k] = static_cast<std::uint32_t>(GetLe(frame.data() + size_ - 4, 4));
    }
    // crc(a ^ b) = crc(a) ^ crc(b) ^ crc(zeros) for messages of one length:
    // a bit of the sequence number adds crc(that bit alone) ^ crc(zeros).
    std::vector<std::uint8_t> zeros(size_ - 4, 0);
    const std::uint32_t none = Crc32(zeros);
    for (std::size_t j = 0; j < 7; ++j) {
        for (int bit = 0; bit < 8; ++bit) {
            zeros[kSequenceOffset + 1 + j] = static_cast<std::uint8_t>(1u << bit);
            high_[j][1u << bit] = Crc32(zeros) ^ none;
            zeros[kSequenceOffset + 1 + j] = 0;
        }
        for (std::uint32_t v = 1; v < 256; ++v) {
            const std::uint32_t lowest = v & (~v + 1);
            if (v != lowest) high_[j][v] = high_[j][v ^ lowest] ^ high_[j][lowest];
        }
    }
}

void GeneratorFrameMaker::Write(std::span<std::uint8_t> frame, std::uint64_t sequence, bool badFcs) const {
    std::uint8_t* f = frame.data();
    const std::size_t body = size_ - 4;
    WriteGeneratorBody(f, body, destination_, source_, stream_, sequence);
    std::uint32_t fcs = low_[sequence & 0xFF];
    for (std::size_t j = 0; j < 7; ++j) fcs ^= high_[j][(sequence >> (8 * (j + 1))) & 0xFF];
    PutLe(f + body, fcs, 4);
    if (badFcs) f[body + 3] ^= 0xFF;
}

std::vector<std::uint8_t> BuildGeneratorFrame(const MacAddress& destination, const MacAddress& source,
                                              std::uint32_t stream, std::uint64_t sequence,
                                              std::size_t size, bool badFcs) {
    std::vector<std::uint8_t> frame(std::clamp(size, kMinFrameWithFcs, kMaxGeneratorFrame));
    WriteGeneratorFrame(frame, destination, source, stream, sequence, badFcs);
    return frame;
}

std::optional<GeneratorFrameInfo> ParseGeneratorFrame(std::span<const std::uint8_t> frame) {
    if (frame.size() < kMinFrameWithFcs) return std::nullopt;
    if (frame[12] != (kGeneratorEtherType >> 8) || frame[13] != (kGeneratorEtherType & 0xFF) ||
        std::memcmp(frame.data() + kHeader, kMagic, 4) != 0) {
        return std::nullopt;
    }
    GeneratorFrameInfo info;
    info.stream = static_cast<std::uint32_t>(GetLe(frame.data() + kStreamOffset, 4));
    info.sequence = GetLe(frame.data() + kSequenceOffset, 8);
    info.fcsValid = FcsValid(frame);
    info.patternValid = true;
    for (std::size_t i = kPatternOffset; i < frame.size() - 4; ++i) {
        if (frame[i] != PatternByte(info.sequence, i)) {
            info.patternValid = false;
            break;
        }
    }
    return info;
}

}  // namespace hw
