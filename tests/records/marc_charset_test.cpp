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

// Records as Chinese servers send them, each once decoded into garbage by a guess.
TEST(RecordCharset, GbkRecordsThatLookLikeOtherSetsStayGbkByteForByte) {
    // CNMARC in GBK whose leader/20-23 read "4500", and a MARC21 one (245, leader/09 blank).
    const std::string leader4500 = test::MarcBuilder()
                                       .Leader("00000nam0 2200000   4500")
                                       .Control("001", "B1")
                                       .Data("200", "1 ", {{'a', "三体"}, {'f', "刘慈欣著"}})
                                       .Build();
    const std::string marc21 = test::MarcBuilder()
                                   .Leader("00000nam  2200000   4500")
                                   .Data("245", "10", {{'a', "中国科学技术史"}})
                                   .Build();
    // One stray ESC byte in a title.
    const std::string escape = test::MarcBuilder()
                                   .Leader("00000nam  2200000   4500")
                                   .Raw("245",
                                        "10\x1F"
                                        "a" +
                                            G("数据") + "\x1B" + G("结构"))
                                   .Build();
    // 图学史 and 同一 are well-formed UTF-8 byte for byte (Greek, Cyrillic, IPA).
    const std::string utf8Lookalike =
        test::MarcBuilder().Data("200", "1 ", {{'a', "图学史"}, {'e', "同一"}}).Build();
    ASSERT_TRUE(IsValidUtf8(utf8Lookalike));
    for (const std::string& record : {leader4500, marc21, escape, utf8Lookalike}) {
        EXPECT_EQ(DecideRecordCharset(record), RecordCharset::kGbk) << GbkToUtf8(record);
        int refs = 0;
        std::string why;
        auto gbk = ConvertRecordToGbk(record, std::nullopt, &refs, &why);
        ASSERT_TRUE(gbk) << GbkToUtf8(why);
        EXPECT_EQ(*gbk, record);
        EXPECT_EQ(refs, 0);
    }
    // A target known to send GBK says so before any look at the bytes.
    EXPECT_EQ(DecideRecordCharset(utf8Lookalike, RecordCharset::kGbk), RecordCharset::kGbk);
}

TEST(RecordCharset, RealUtf8AndMarc8AreStillRecognised) {
    const std::string russian = test::MarcBuilder()
                                    .Raw("245",
                                         "10\x1F"
                                         "a\xD0\x92\xD0\xBE\xD0\xB9\xD0\xBD\xD0\xB0 "
                                         "\xD0\xB8 \xD0\xBC\xD0\xB8\xD1\x80")
                                    .Build();  // Война и мир
    EXPECT_EQ(DecideRecordCharset(russian), RecordCharset::kUtf8);
    const std::string pinyin = test::MarcBuilder()
                                   .Raw("200",
                                        "1 \x1F"
                                        "aZh\xC5\x8Dnggu\xC3\xB3 \xE4\xB8\xAD\xE5\x9B\xBD")
                                   .Build();  // Zhōngguó 中国
    EXPECT_EQ(DecideRecordCharset(pinyin), RecordCharset::kUtf8);
    // MARC-8 without escapes: combining marks before their letters, MARC21 leader.
    const std::string ansel = test::MarcBuilder()
                                  .Leader("00000nam  2200000   4500")
                                  .Raw("245",
                                       "10\x1F"
                                       "a\xE2"
                                       "Ecole fran\xF0"
                                       "caise \xE2"
                                       "a Paris")
                                  .Build();
    EXPECT_EQ(DecideRecordCharset(ansel), RecordCharset::kMarc8);
    auto gbk = RecordToGbk(ansel, RecordCharset::kMarc8);
    ASSERT_TRUE(gbk);
    EXPECT_NE(gbk->find("&#x00C9;cole fran&#x00E7;aise " + G("á") + " Paris"), std::string::npos)
        << GbkToUtf8(*gbk);
}

TEST(RecordCharset, ConversionsThatWouldLoseTextAreRefused) {
    // MARC-8 whose escapes break off or name no set: YAZ would drop what follows.
    for (const std::string& broken :
         {std::string("a\x1B$1\x21\x30"), std::string("aTitle \x1B$Z!0! more"),
          std::string("a\x1B$1~~~\x1B(B end"), std::string("a\x80\xC9")}) {
        const std::string record = test::MarcBuilder()
                                       .Leader("00000nam  2200000   4500")
                                       .Raw("245", "10\x1F" + broken)
                                       .Build();
        std::string why;
        EXPECT_FALSE(RecordToGbk(record, RecordCharset::kMarc8, nullptr, &why)) << broken;
        EXPECT_NE(why.find(G("字段245")), std::string::npos) << GbkToUtf8(why);
    }
    // A record said to be UTF-8 that is not, and a NUL indicator: refused, not mangled.
    const std::string gbk = test::MarcBuilder().Data("200", "1 ", {{'a', "书名"}}).Build();
    EXPECT_FALSE(RecordToGbk(gbk, RecordCharset::kUtf8));
    const std::string nul = test::MarcBuilder()
                                .Raw("200", std::string("\0 \x1F"
                                                        "a\xE4\xB8\x80",
                                                        7))
                                .Build();
    std::string why;
    EXPECT_FALSE(RecordToGbk(nul, RecordCharset::kUtf8, nullptr, &why));
    EXPECT_NE(why.find(G("指示符")), std::string::npos);
}

TEST(RecordCharset, DecomposedLettersGbkHoldsAreWrittenWhole) {
    // é as e + U+0301, ü as u + U+0308 (lǜ in pinyin is in GBK).
    const std::string decomposed = test::MarcBuilder()
                                       .Raw("200",
                                            "1 \x1F"
                                            "aCafe\xCC\x81 lu\xCC\x88")
                                       .Build();
    int refs = 0;
    auto gbk = ConvertRecordToGbk(decomposed, std::nullopt, &refs, nullptr);
    ASSERT_TRUE(gbk);
    EXPECT_EQ(refs, 0);
    EXPECT_EQ(ReadFields(*gbk).fields[0].data,
              "1 \x1F"
              "aCaf" +
                  G("é") + " l" + G("ü") + "\x1E");
}

TEST(RecordCharset, FieldsInUtf8BesideFieldsInGbkAreRefused) {
    const std::string mixed = test::MarcBuilder()
                                  .Raw("200",
                                       "1 \x1F"
                                       "a\xE4\xB8\xAD\xE6\x96\x87\xE4\xB9\xA6")  // 中文书
                                  .Data("210", "  ", {{'a', "北京"}, {'c', "中华书局"}})
                                  .Build();
    std::string why;
    EXPECT_EQ(DecideRecordCharset(mixed, std::nullopt, &why), std::nullopt);
    EXPECT_NE(why.find("UTF-8"), std::string::npos);
    EXPECT_FALSE(ConvertRecordToGbk(mixed, std::nullopt, nullptr, nullptr));
}

}  // namespace
}  // namespace z39
