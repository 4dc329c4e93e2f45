// Ethernet helpers shared by the board model, its wires and tests: the
// frame check sequence and the layout of generator frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace hw {

using MacAddress = std::array<std::uint8_t, 6>;

// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, initial and final
// inversion): the value whose four bytes, least significant first, form the
// frame check sequence after the frame.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

// Appends the FCS of the bytes already in frame.
void AppendFcs(std::vector<std::uint8_t>& frame);

// True when the last four bytes are the FCS of the rest (frames shorter
// than five bytes never are).
bool FcsValid(std::span<const std::uint8_t> frame);

// Generator frames: destination, source, EtherType kGeneratorEtherType, then
// the magic "FLGN", a u32 stream id (the port the generator feeds), a u64
// sequence number starting at 0 (all little endian), a byte pattern derived
// from the sequence number up to the frame size, and the FCS. The smallest
// generator frame is 64 bytes with its FCS.
inline constexpr std::uint16_t kGeneratorEtherType = 0x88B5;  // local experimental
inline constexpr std::size_t kMinFrameWithFcs = 64;
inline constexpr std::size_t kMaxFrameWithFcs = 1518;

struct GeneratorFrameInfo {
    std::uint32_t stream = 0;
    std::uint64_t sequence = 0;
    bool fcsValid = false;     // FCS matches (false for an injected FCS error)
    bool patternValid = false; // payload bytes are the expected pattern
};

// Builds generator frame `sequence` of `stream` with `size` bytes including
// the FCS (clamped to [64, 16128]); a corrupted FCS when badFcs.
std::vector<std::uint8_t> BuildGeneratorFrame(const MacAddress& destination,
                                              const MacAddress& source,
                                              std::uint32_t stream,
                                              std::uint64_t sequence,
                                              std::size_t size, bool badFcs);

// The same frame written into `frame` (its size is the frame's, FCS
// included, 64..16128): no allocation, for generators at line rate.
void WriteGeneratorFrame(std::span<std::uint8_t> frame, const MacAddress& destination, const MacAddress& source,
                         std::uint32_t stream, std::uint64_t sequence, bool badFcs);

// Generator frames of one stream and one size, made for line rate: frames
// differ only in their sequence number and the pattern its low byte picks,
// and the CRC is affine in the frame's bits, so the FCS comes from tables
// (one entry per low byte, one per value of each higher byte) instead of a
// pass over the frame.
class GeneratorFrameMaker {
public:
    GeneratorFrameMaker(const MacAddress& destination, const MacAddress& source, std::uint32_t stream,
                        std::size_t size);
    std::size_t Size() const { return size_; }
    // Writes the same bytes as WriteGeneratorFrame; frame.size() == Size().
    void Write(std::span<std::uint8_t> frame, std::uint64_t sequence, bool badFcs) const;

private:
    MacAddress destination_;
    MacAddress source_;
    std::uint32_t stream_;
    std::size_t size_;
    std::array<std::uint32_t, 256> low_{};                   // FCS of frame k, k < 256
    std::array<std::array<std::uint32_t, 256>, 7> high_{};   // what byte j+1 of the number adds
};

// Recognises a generator frame (with its FCS); nullopt for anything else.
std::optional<GeneratorFrameInfo> ParseGeneratorFrame(std::span<const std::uint8_t> frame);

}  // namespace hw
