#include "records/iso2709.h"

#include <gtest/gtest.h>

#include "records/marc_charset.h"
#include "support/marc_builder.h"

namespace z39 {
namespace {

std::string Sample() {
    return test::MarcBuilder()
        .Control("001", "B0001")
        .Data("200", "1 ", {{'a', "数据结构"}})
        .Data("210", "  ", {{'c', "清华大学出版社"}})
        .Build();
}

std::string Utf8Sample() {
    return test::MarcBuilder()
        .Control("001", "B0001")
        .Raw("200",
             "1 \x1F"
             "a\xE6\x95\xB0\xE6\x8D\xAE")
        .Build();
}

std::string AsciiSample() {
    return test::MarcBuilder().Control("001", "B0001").Data("200", "1 ", {{'a', "Data"}}).Build();
}

// The check stands in front of YAZ's reader, which trusts the leader's lengths; each of
// these records once had it read past the record (fuzzer findings).
TEST(Iso2709Check, LeaderLengthsThatMisleadAReaderAreRefused) {
    const std::string good = Sample();
    ASSERT_TRUE(IsWellFormedIso2709(good));
    std::string sixIndicators = good;
    sixIndicators[10] = '6';  // the 210 field is shorter than six indicators
    EXPECT_FALSE(IsWellFormedIso2709(sixIndicators));
    std::string wideEntries = good;
    wideEntries[20] = '5';  // a reader would take five-digit lengths
    EXPECT_FALSE(IsWellFormedIso2709(wideEntries));
    std::string blanks = good;
    blanks.replace(20, 4, "    ");  // blanks mean the usual 4 and 5
    EXPECT_TRUE(IsWellFormedIso2709(blanks));
    for (const std::string& bad : {sixIndicators, wideEntries})
        EXPECT_FALSE(RecordToGbk(bad, RecordCharset::kUtf8).has_value());
}

TEST(Iso2709Check, DataFieldsHoldTheirIndicators) {
    // A data field that is only its terminator, and one whose indicator is not ASCII.
    const std::string empty = test::MarcBuilder().Control("001", "X").Raw("200", "").Build();
    EXPECT_FALSE(IsWellFormedIso2709(empty));
    const std::string wide = test::MarcBuilder()
                                 .Raw("200",
                                      "\xE4\xB8\x80 \x1F"
                                      "aTitle")
                                 .Build();
    EXPECT_FALSE(IsWellFormedIso2709(wide));
    // A short control field is fine.
    EXPECT_TRUE(IsWellFormedIso2709(test::MarcBuilder().Raw("005", "").Build()));
}

TEST(Iso2709Check, AStrayByteInTheLeaderStaysOneByteAfterConversion) {
    for (auto from : {RecordCharset::kUtf8, RecordCharset::kMarc8}) {
        std::string record = from == RecordCharset::kUtf8 ? Utf8Sample() : AsciiSample();
        record[5] = '\x8E';  // not UTF-8, and not text either
        auto gbk = RecordToGbk(record, from);
        ASSERT_TRUE(gbk.has_value());
        EXPECT_TRUE(IsWellFormedIso2709(*gbk));
        EXPECT_EQ(gbk->substr(12, 5), record.substr(12, 5));  // the base address is unmoved
    }
}

}  // namespace
}  // namespace z39
