#include "common/gbk_text.h"

#include <gtest/gtest.h>

namespace z39 {
namespace {

TEST(Trim, RemovesControlBytesAndBlanksAtBothEndsOnly) {
    EXPECT_EQ(Trim("\t\r\n  a b \x01\x1F "), "a b");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim(""), "");
    // Bytes above 32 (the second half of a GBK character included) stay.
    EXPECT_EQ(Trim(G(" 数据 ")), G("数据"));
}

TEST(ToNumber, ReadsZeroPrefixedTrimmedDecimal) {
    EXPECT_EQ(ToNumber(" 25 "), 25);
    EXPECT_EQ(ToNumber(""), 0);
    EXPECT_EQ(ToNumber("010"), 10);
    EXPECT_EQ(ToNumber("2147483647"), 2147483647);
    EXPECT_FALSE(ToNumber("abc"));
    EXPECT_FALSE(ToNumber("-5"));  // "0-5" is no number
    EXPECT_FALSE(ToNumber("+5"));
    EXPECT_FALSE(ToNumber("1 2"));
    EXPECT_FALSE(ToNumber("2147483648"));
    EXPECT_EQ(ToNumberOr("x", 10), 10);
}

TEST(Conversion, ChineseRoundTripsAndCountsTwoBytesPerCharacter) {
    std::string gbk = Utf8ToGbk("中文书名 ABC");
    EXPECT_EQ(gbk.size(), 12u);
    EXPECT_EQ(GbkToUtf8(gbk), "中文书名 ABC");
    EXPECT_EQ(G("题名"), "\xCC\xE2\xC3\xFB");
}

TEST(Conversion, UnconvertibleInputHasADefinedResult) {
    // No GBK form: one "?" per character, so lengths stay predictable.
    EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80"
                        "b"),
              "a?b");
    // Broken UTF-8: one "?" per bad byte, the rest converts.
    EXPECT_EQ(Utf8ToGbk("a\xE4\xB8z"), "a??z");
    // A GBK lead byte without a valid second byte, or alone at the end: U+FFFD.
    EXPECT_EQ(GbkToUtf8("a\x81"), "a\xEF\xBF\xBD");
    EXPECT_EQ(GbkToUtf8(std::string("\xFF") + "b"),
              "\xEF\xBF\xBD"
              "b");
}

TEST(EqualsNoCase, FoldsAsciiButNotDoubleByteCharacters) {
    EXPECT_TRUE(EqualsNoCase("RecNumber", "RECNUMBER"));
    EXPECT_FALSE(EqualsNoCase("RECNUMBE", "RECNUMBER"));
    // 0xB0 0x41 and 0xB0 0x61 are two different GBK characters.
    EXPECT_FALSE(EqualsNoCase("\xB0\x41", "\xB0\x61"));
}

TEST(TextLines, LineBreaksOfEitherKindAndNoLineAfterTheLast) {
    using L = std::vector<std::string>;
    EXPECT_EQ(TextLines("a\r\nb\nc"), (L{"a", "b", "c"}));
    EXPECT_EQ(TextLines("a\n\nb\r\n"), (L{"a", "", "b"}));
    EXPECT_EQ(TextLines("a\r"), (L{"a"}));
    EXPECT_EQ(TextLines("a\rb\n"), (L{"a\rb"}));  // a CR inside a line stays
    EXPECT_TRUE(TextLines("").empty());
}

TEST(ReplaceAll, DoesNotRescanWhatItInserted) {
    EXPECT_EQ(ReplaceAll("a%b%", "%", "%25"), "a%25b%25");
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
}

}  // namespace
}  // namespace z39
