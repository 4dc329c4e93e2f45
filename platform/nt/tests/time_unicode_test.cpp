#include <nt/time.h>
#include <nt/unicode.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

namespace {

TEST(Time, PerformanceCounterIsMonotonicAtTenMegahertz) {
    EXPECT_EQ(nt::QueryPerformanceFrequency(), 10'000'000);
    const LONGLONG start = nt::QueryPerformanceCounter();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const LONGLONG end = nt::QueryPerformanceCounter();
    EXPECT_GE(end - start, 20 * 10'000);  // a sleep lasts at least as long as asked
}

TEST(Time, SystemTimeCountsFrom1601) {
    // The precise clock on both sides: time() reads a coarse clock that can
    // lag a tick behind, so just after a second turns it may still say the
    // one before.
    const auto seconds = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const auto before = seconds();
    const LONGLONG now = nt::QuerySystemTime();
    const auto after = seconds();
    const LONGLONG system = (now - nt::kUnixEpochAs1601) / 10'000'000;
    EXPECT_GE(system, before);
    EXPECT_LE(system, after);
}

TEST(Unicode, RoundTripsEveryPlane) {
    const std::string text = "Port \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";  // é € 😀
    const std::u16string wide = nt::Utf8ToUtf16(text);
    EXPECT_EQ(wide, u"Port \u00E9 \u20AC \U0001F600");
    EXPECT_EQ(nt::Utf16ToUtf8(wide), text);
    EXPECT_EQ(nt::FromUtf16Le(nt::ToUtf16Le(wide)), wide);
    const auto bytes = nt::ToUtf16Le(u"A\u20AC");
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x41, 0x00, 0xAC, 0x20}));
}

TEST(Unicode, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(nt::Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(nt::Utf8ToUtf16("\xC3"), u"\uFFFD");              // truncated
    EXPECT_EQ(nt::Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");    // overlong
    EXPECT_EQ(nt::Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    const char16_t lone[] = {u'x', 0xD800, u'y'};
    EXPECT_EQ(nt::Utf16ToUtf8(std::u16string_view(lone, 3)), "x\xEF\xBF\xBDy");
    EXPECT_EQ(nt::FromUtf16Le(std::vector<uint8_t>{0x41, 0x00, 0x42}), u"A");  // odd byte dropped
}

TEST(Unicode, NamesCompareWithoutCase) {
    EXPECT_TRUE(nt::EqualNames("CurrentControlSet", "currentcontrolset"));
    EXPECT_FALSE(nt::EqualNames("Services", "Service"));
    EXPECT_FALSE(nt::EqualNames("a[", "A{"));  // only letters fold
}

}  // namespace
