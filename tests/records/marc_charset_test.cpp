#include "records/marc_charset.h"

#include <gtest/gtest.h>

#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_record.h"
#include "support/marc_builder.h"

namespace z39 {
namespace {

// The same fields with their bytes taken as UTF-8 instead of GBK.
std::string AsUtf8(const std::string& gbkRecord) {
    MarcFields f = ReadFields(gbkRecord);
    for (auto& field : f.fields) field.data = GbkToUtf8(field.data);
    return *BuildIso2709(gbkRecord.substr(0, 24), f.fields);
}

TEST(RecordCharset, GbkPassesByteForByteAndUtf8ComesBackAsTheSameGbkRecord) {
    // D5 5C ends with a backslash as its trail byte, which a naive converter may mangle.
    const std::string gbk = test::MarcBuilder()
                                .Control("001", "B0001")
                                .Data("200", "1 ", {{'a', "数据结构"}, {'f', "严蔚敏著"}})
                                .Raw("210",
                                     "  \x1F"
                                     "a" +
                                         G("北京") +
                                         "\x1F"
                                         "c\xD5\x5C")
                                .Build();
    EXPECT_EQ(DetectRecordCharset(gbk), RecordCharset::kGbk);
    EXPECT_EQ(*RecordToGbk(gbk, RecordCharset::kGbk), gbk);
    const std::string utf8 = AsUtf8(gbk);
    ASSERT_NE(utf8, gbk);
    EXPECT_EQ(DetectRecordCharset(utf8), RecordCharset::kUtf8);
    int refs = 0;
    EXPECT_EQ(*RecordToGbk(utf8, RecordCharset::kUtf8, &refs), gbk);
    EXPECT_EQ(refs, 0);
    // Pure ASCII is the same in every set: nothing to convert.
    const std::string ascii = test::MarcBuilder().Data("200", "1 ", {{'a', "Java"}}).Build();
    EXPECT_EQ(DetectRecordCharset(ascii), RecordCharset::kGbk);
}

TEST(RecordCharset, CharactersGbkLacksBecomeReferencesAndTheRecordStaysWellFormed) {
    // Hangul, a CJK character beyond GBK (U+20000) and a Latin letter GBK lacks (U+0151).
    const std::string utf8 = test::MarcBuilder()
                                 .Raw("200",
                                      "1 \x1F"
                                      "a\xED\x95\x9C\xF0\xA0\x80\x80 \xC5\x91 " +
                                          std::string("abc"))
                                 .Build();
    // MarcBuilder stores its Raw bytes as they are: this record is UTF-8.
    EXPECT_EQ(DetectRecordCharset(utf8), RecordCharset::kUtf8);
    int refs = 0;
    auto gbk = RecordToGbk(utf8, RecordCharset::kUtf8, &refs);
    ASSERT_TRUE(gbk);
    EXPECT_EQ(refs, 3);
    EXPECT_TRUE(IsWellFormedIso2709(*gbk));
    EXPECT_EQ(ReadFields(*gbk).fields[0].data,
              "1 \x1F"
              "a&#xD55C;&#x20000; &#x0151; abc\x1E");
}

TEST(RecordCharset, Marc8WithDiacriticsAndEaccCjk) {
    // MARC-8: a combining acute (0xE2) before its base letter, and EACC CJK between the
    // escapes ESC $ 1 and ESC ( B: 0x213021 is "一".
    const std::string marc8 = test::MarcBuilder()
                                  .Leader("00000nam  2200000   4500")
                                  .Control("008", "000000s2020    ch            000 0 chi d")
                                  .Raw("245",
                                       "10\x1F"
                                       "aCaf\xE2"
                                       "e \x1B$1\x21\x30\x21\x1B(B")
                                  .Build();
    EXPECT_EQ(DetectRecordCharset(marc8), RecordCharset::kMarc8);
    int refs = 0;
    auto gbk = RecordToGbk(marc8, RecordCharset::kMarc8, &refs);
    ASSERT_TRUE(gbk);
    EXPECT_TRUE(IsWellFormedIso2709(*gbk));
    EXPECT_EQ(refs, 0);
    EXPECT_EQ(ReadFields(*gbk).fields[1].data,
              "10\x1F"
              "aCaf" +
                  G("é") + " " + G("一") + "\x1E");
    EXPECT_EQ((*gbk)[9], ' ');
}

TEST(RecordCharset, NamesAndLeaderNine) {
    EXPECT_EQ(CharsetFromName("utf-8"), RecordCharset::kUtf8);
    EXPECT_EQ(CharsetFromName("MARC8"), RecordCharset::kMarc8);
    EXPECT_EQ(CharsetFromName("gb2312"), RecordCharset::kGbk);
    EXPECT_EQ(CharsetFromName(""), std::nullopt);
    EXPECT_EQ(CharsetFromName(G("自动")), std::nullopt);
    // A MARC21 record that says Unicode no longer does once it is GBK.
    const std::string utf8 = test::MarcBuilder()
                                 .Leader("00000nam a2200000   4500")
                                 .Raw("245",
                                      "10\x1F"
                                      "a\xE4\xB8\x80")
                                 .Build();
    auto gbk = RecordToGbk(utf8, RecordCharset::kUtf8);
    ASSERT_TRUE(gbk);
    EXPECT_EQ((*gbk)[9], ' ');
    EXPECT_EQ(ReadFields(*gbk).fields[0].data,
              "10\x1F"
              "a" +
                  G("一") + "\x1E");
}

}  // namespace
}  // namespace z39
