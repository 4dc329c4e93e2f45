// Descriptions go to the registry as UTF-16 and come back narrow (UTF-8).
#include <gtest/gtest.h>

#include "WideText.h"

namespace FlApi {
namespace {

TEST(WideText, RoundTripsEveryPlane)
{
    for (const std::string text : {"", "Uplink 7", "Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac",
                                   "tap \xf0\x9f\x93\xa1 mirror"}) {
        EXPECT_EQ(NarrowFromWide(WideFromNarrow(text)), text);
    }
    EXPECT_EQ(WideFromNarrow("Caf\xc3\xa9"), u"Caf\u00e9");
    EXPECT_EQ(WideFromNarrow("\xf0\x9f\x93\xa1"), std::u16string(u"\xd83d\xdce1"));
}

TEST(WideText, MalformedInputBecomesReplacementCharacters)
{
    // A stray continuation byte, a truncated sequence, an overlong '/' and an
    // encoded surrogate: each is replaced, the rest survives.
    EXPECT_EQ(WideFromNarrow("a\x80z"), u"a\ufffdz");
    EXPECT_EQ(WideFromNarrow("a\xe6\x97"), u"a\ufffd\ufffd");
    EXPECT_EQ(WideFromNarrow("\xc0\xaf"), u"\ufffd\ufffd");
    EXPECT_EQ(WideFromNarrow("\xed\xa0\x80!"), u"\ufffd\ufffd\ufffd!");
    // Lone surrogates in the registry.
    EXPECT_EQ(NarrowFromWide(std::u16string(u"x") + char16_t(0xd800) + u"y"), "x\xef\xbf\xbdy");
    EXPECT_EQ(NarrowFromWide(std::u16string(1, char16_t(0xdc00))), "\xef\xbf\xbd");
}

} // namespace
} // namespace FlApi
