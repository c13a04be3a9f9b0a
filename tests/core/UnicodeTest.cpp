#include "core/Unicode.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(UnicodeTest, CountsExtendedGraphemeClusters) {
    EXPECT_EQ(graphemeCount(""), 0u);
    EXPECT_EQ(graphemeCount("abc"), 3u);
    EXPECT_EQ(graphemeCount("e\xCC\x81"), 1u);  // e + combining acute accent
    EXPECT_EQ(graphemeCount("\r\n"), 1u);
    EXPECT_EQ(graphemeCount("a\r\nb"), 3u);
    // man + ZWJ + woman + ZWJ + girl
    EXPECT_EQ(graphemeCount("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"), 1u);
    EXPECT_EQ(graphemeCount("\xE6\x98\x9F\xE7\xA6\xBE"), 2u);  // 星禾
    EXPECT_EQ(graphemeCount("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3"), 1u);  // regional indicator pair
}

TEST(UnicodeTest, PrefixKeepsWholeClusters) {
    EXPECT_EQ(graphemePrefix("e\xCC\x81" "f", 1), "e\xCC\x81");
    EXPECT_EQ(graphemePrefix("ab", 5), "ab");
    EXPECT_EQ(graphemePrefix("abc", 0), "");
    EXPECT_EQ(graphemePrefix("\r\nx", 1), "\r\n");
    std::string long_(1500, 'x');
    EXPECT_EQ(graphemePrefix(long_, 1000).size(), 1000u);
}

TEST(UnicodeTest, LetterMarkNumberCategories) {
    // 中, ü, combining acute (Mn), 7, Roman numeral four (Nl)
    for (char32_t c : {U'\u4E2D', U'\u00FC', U'\u0301', U'7', U'\u2163'}) {
        EXPECT_TRUE(isLetterMarkOrNumber(c)) << static_cast<std::uint32_t>(c);
    }
    for (char32_t c : {U'-', U'_', U'.', U' '}) EXPECT_FALSE(isLetterMarkOrNumber(c)) << static_cast<std::uint32_t>(c);
}

TEST(UnicodeTest, ComparesNormalisedCodePoints) {
    EXPECT_EQ(compareNFC("\xC3\xA9", "e\xCC\x81"), std::strong_ordering::equal);  // é precomposed vs decomposed
    EXPECT_EQ(compareNFC("a", "b"), std::strong_ordering::less);
    EXPECT_EQ(compareNFC("B", "a"), std::strong_ordering::less);  // code points, not case-folded
    EXPECT_EQ(compareNFC("\xE4\xB8\x80", "\xE4\xB8\xAD"), std::strong_ordering::less);  // 一 U+4E00 < 中 U+4E2D
    // U+FF01 sorts before U+1F600 by code point even though UTF-16 units would say otherwise.
    EXPECT_EQ(compareNFC("\xEF\xBC\x81", "\xF0\x9F\x98\x80"), std::strong_ordering::less);
}

}  // namespace
}  // namespace velmora
