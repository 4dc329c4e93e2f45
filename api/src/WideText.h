// Narrow text at the interface, UTF-16 in the registry. Narrow strings are
// UTF-8; what cannot be converted (a stray byte, a lone surrogate) becomes
// U+FFFD rather than cutting the text short.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace FlApi {

std::u16string WideFromNarrow(std::string_view narrow);
std::string NarrowFromWide(std::u16string_view wide);

} // namespace FlApi
