// Conversions between the narrow (UTF-8) strings of this platform and the
// UTF-16LE strings that Windows keeps in the registry and in UNICODE_STRINGs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nt {

// Invalid input sequences become U+FFFD rather than failing: registry data
// written by a careless program must still be readable.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// UTF-16 text as little-endian bytes, the registry's form, and back (an odd
// last byte is dropped).
std::vector<uint8_t> ToUtf16Le(std::u16string_view text);
std::u16string FromUtf16Le(std::span<const uint8_t> bytes);

// Case-insensitive comparison of names as the registry and object names use
// it (ASCII letters fold; other characters compare exactly).
bool EqualNames(std::string_view a, std::string_view b) noexcept;

}  // namespace nt
