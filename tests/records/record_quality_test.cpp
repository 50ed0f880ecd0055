#include "records/record_quality.h"

#include <gtest/gtest.h>

#include "support/marc_builder.h"

namespace z39 {
namespace {

using test::MarcBuilder;

// A member's short CNMARC record of a book, and the fuller one a national agency keeps.
MarcBuilder ShortCnmarc(const std::string& id = "S1") {
    MarcBuilder b;
    b.Control("001", id)
        .Data("010", "  ", {{'a', "978-7-5366-9293-0"}})
        .Data("200", "1 ", {{'a', "三体"}, {'f', "刘慈欣著"}})
        .Data("210", "  ", {{'a', "重庆"}, {'c', "重庆出版社"}, {'d', "2008"}});
    return b;
}

MarcBuilder FullCnmarc() {
    MarcBuilder b = ShortCnmarc();
    b.Data("100", "  ", {{'a', "20080101d2008    em y0chiy50      ea"}})
        .Data("101", "0 ", {{'a', "chi"}})
        .Data("215", "  ", {{'a', "302页"}, {'d', "23cm"}})
        .Data("606", "0 ", {{'a', "科学幻想小说"}})
        .Data("690", "  ", {{'a', "I247.55"}, {'v', "5"}})
        .Data("701", " 0", {{'a', "刘慈欣"}, {'4', "著"}});
    return b;
}

TEST(RecordQuality, CnmarcEssentialsAreCounted) {
    const RecordQuality shortOne = AssessRecord(ShortCnmarc().Build());
    EXPECT_TRUE(shortOne.usable);
    EXPECT_EQ(shortOne.essentials, 4);  // ISBN, 200 $f, 210 $c, 210 $d
    const RecordQuality full = AssessRecord(FullCnmarc().Build());
    EXPECT_EQ(full.essentials, 10);  // all but 010 $d
    EXPECT_TRUE(BetterRecord(full, shortOne));
    EXPECT_FALSE(BetterRecord(shortOne, full));
    // A wrong check digit is no valid ISBN; a blank subfield is not there.
    const RecordQuality wrong = AssessRecord(MarcBuilder()
                                                 .Data("010", "  ", {{'a', "9787536692931"}})
                                                 .Data("200", "1 ", {{'a', "x"}, {'f', "  "}})
                                                 .Build());
    EXPECT_EQ(wrong.essentials, 0);
    // 702 counts where 701 is missing.
    EXPECT_EQ(AssessRecord(MarcBuilder()
                               .Data("200", "1 ", {{'a', "x"}})
                               .Data("702", " 0", {{'a', "译者"}})
                               .Build())
                  .essentials,
              1);
}

TEST(RecordQuality, Marc21EssentialsAreCounted) {
    std::string f008(40, ' ');
    f008.replace(35, 3, "eng");
    const std::string full =
        MarcBuilder()
            .Control("008", f008)
            .Data("020", "  ", {{'a', "0201896834 (pbk.)"}})
            .Data("050", "00", {{'a', "QA76.6"}})
            .Data("100", "1 ", {{'a', "Knuth, Donald E."}})
            .Data("245", "14", {{'a', "The art of computer programming /"}, {'c', "Knuth."}})
            .Data("264", " 1", {{'a', "Reading :"}, {'b', "Addison-Wesley,"}, {'c', "1997."}})
            .Data("300", "  ", {{'a', "xix, 650 p."}})
            .Data("650", " 0", {{'a', "Computer programming."}})
            .Data("700", "1 ", {{'a', "Someone."}})
            .Build();
    EXPECT_EQ(AssessRecord(full).essentials, 11);
    const std::string bare = MarcBuilder().Data("245", "00", {{'a', "Title"}}).Build();
    const RecordQuality q = AssessRecord(bare);
    EXPECT_TRUE(q.usable);
    EXPECT_EQ(q.essentials, 0);
    // The language from 041 when 008 has none.
    EXPECT_EQ(AssessRecord(MarcBuilder()
                               .Data("041", "0 ", {{'a', "chi"}})
                               .Data("245", "00", {{'a', "Title"}})
                               .Build())
                  .essentials,
              1);
}

TEST(RecordQuality, AMalformedOrUntitledRecordNeverWins) {
    const std::string good = ShortCnmarc().Build();
    std::string cut = FullCnmarc().Build();
    cut.resize(cut.size() - 10);  // the length in its leader now lies
    const std::string untitled = MarcBuilder()
                                     .Data("010", "  ", {{'a', "9787536692930"}})
                                     .Data("606", "0 ", {{'a', "x"}})
                                     .Build();
    EXPECT_FALSE(AssessRecord(cut).usable);
    EXPECT_FALSE(AssessRecord(untitled).usable);
    EXPECT_FALSE(AssessRecord("").usable);
    EXPECT_EQ(BestRecordIndex({cut, untitled, good}), 2u);
    EXPECT_EQ(BestRecordIndex({"garbage", good}), 1u);
}

TEST(RecordQuality, TiesGoToMoreFieldsThenToTheOrderGiven) {
    const std::string a = ShortCnmarc().Build();
    const std::string b =
        ShortCnmarc().Data("300", "  ", {{'a', "note"}}).Build();  // one more field
    EXPECT_EQ(BestRecordIndex({a, b}), 1u);
    EXPECT_EQ(BestRecordIndex({b, a}), 0u);
    // Alike in every count: the first, which is the user's preference.
    const std::string c = ShortCnmarc("OTHER").Build();
    EXPECT_EQ(BestRecordIndex({a, c}), 0u);
    EXPECT_EQ(BestRecordIndex({c, a}), 0u);
    EXPECT_EQ(BestRecordIndex({}), 0u);
    // The fuller record wins whatever its place.
    EXPECT_EQ(BestRecordIndex({a, b, FullCnmarc().Build()}), 2u);
}

}  // namespace
}  // namespace z39
