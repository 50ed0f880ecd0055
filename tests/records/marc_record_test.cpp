#include "records/marc_record.h"

#include <gtest/gtest.h>

#include <random>

#include "common/gbk_text.h"
#include "support/marc_builder.h"

namespace z39 {
namespace {

using test::MarcBuilder;

std::string Pad(std::string s, size_t width) {
    s.resize(std::max(s.size(), width), ' ');
    return s;
}

MarcBuilder TypicalBook() {
    MarcBuilder b;
    b.Control("001", "012345678")
        .Data("010", "  ", {{'a', "978-7-111-21382-6"}, {'d', "CNY35.00"}})
        .Data("200", "1 ", {{'a', "数据结构"}, {'e', "C语言版"}, {'f', "严蔚敏, 吴伟民编著"}})
        .Data("210", "  ", {{'a', "北京"}, {'c', "清华大学出版社"}, {'d', "2007"}});
    return b;
}

TEST(DisplayLine, ColumnsOfATypicalRecord) {
    std::string line = DisplayLine(TypicalBook().Build());
    std::string expected = Pad(G("数据结构：C语言版"), 34) + Pad(G("严蔚敏, 吴伟民编著"), 26) +
                           Pad(G("北京"), 9) + Pad(G("清华大学出版社"), 16) + Pad("2007", 10) +
                           "978-7-111-21382-6";
    EXPECT_EQ(line, expected);
}

TEST(DisplayLine, ShortRecordsAndUnreadableNumbers) {
    EXPECT_EQ(DisplayLine(std::string(19, '0')), "");
    EXPECT_EQ(DisplayLine("  " + std::string(19, '0') + "  "), "");
    std::string bad = TypicalBook().Build();
    bad[24 + 12 + 4] = 'x';  // second directory entry's length
    EXPECT_EQ(DisplayLine(bad), G("此记录数据有误"));
    std::string badBase = TypicalBook().Build();
    badBase[13] = '-';
    EXPECT_EQ(DisplayLine(badBase), G("此记录数据有误"));
}

TEST(DisplayLine, TitleAdditionFromHAndI) {
    auto title = [](std::vector<std::pair<char, std::string>> sub) {
        return DisplayLine(MarcBuilder().Data("200", "1 ", sub).Build());
    };
    EXPECT_EQ(title({{'a', "书"}, {'h', "第一卷"}, {'i', " 总论 "}}),
              Pad(G("书：第一卷：总论"), 34));
    EXPECT_EQ(title({{'a', "书"}, {'i', "总论"}}), Pad(G("书：总论"), 34));
    EXPECT_EQ(title({{'a', "书"}, {'h', "一"}}), Pad(G("书：一"), 34));
    EXPECT_EQ(title({{'a', "书"}, {'e', "副"}, {'h', "一"}}), Pad(G("书：副"), 34));
}

TEST(DisplayLine, TitleCutAtColumn34) {
    auto titleOf = [](const std::string& gbk) {
        return DisplayLine(MarcBuilder()
                               .Raw("200",
                                    "1 \x1F"
                                    "a" +
                                        gbk)
                               .Build());
    };
    EXPECT_EQ(titleOf(std::string(34, 'T')), std::string(34, 'T'));
    EXPECT_EQ(titleOf(std::string(35, 'T')), std::string(31, 'T') + "...");
    // Byte 31 is the first half of a Chinese character: dropped, padded back.
    std::string t = std::string(30, 'T') + G("中文字");
    EXPECT_EQ(titleOf(t), std::string(30, 'T') + "... ");
}

TEST(DisplayLine, MissingPartsShiftLeft) {
    // 210 without $a: the publisher is padded to column 85 right after column 60.
    std::string r = MarcBuilder()
                        .Data("200", "1 ", {{'a', "书"}, {'f', "著"}})
                        .Data("210", "  ", {{'c', "出版社"}})
                        .Build();
    EXPECT_EQ(DisplayLine(r), Pad(Pad(G("书"), 34) + G("著"), 60) + Pad(G("出版社"), 25));
    // No 200: the line starts with the publication data.
    r = MarcBuilder().Data("210", "  ", {{'a', "北京"}}).Data("010", "  ", {{'a', "7"}}).Build();
    EXPECT_EQ(DisplayLine(r), Pad(G("北京"), 69) + "7");
}

TEST(DisplayLine, OverlongSubfieldsAreLimitedBeforeFitting) {
    std::string r =
        MarcBuilder().Data("210", "  ", {{'a', "ABCDEFGHIJ"}, {'d', "2001-2002-2003"}}).Build();
    // 210 $a limit 8: 7 bytes and a blank, then trimmed; $d limit 10: 9 bytes and a blank.
    EXPECT_EQ(DisplayLine(r), Pad("ABCDEFG", 69) + Pad("2001-2002", 26));
}

TEST(DisplayLine, Marc21RecordsInTheSameColumns) {
    // A USMARC record: its 010 is an LCCN and its 210 an abbreviated title, not CNMARC's.
    std::string record =
        MarcBuilder()
            .Control("001", "12345")
            .Data("010", "  ", {{'a', "   73009875 "}})
            .Data("020", "  ", {{'a', "0201896834"}})
            .Data("100", "1 ", {{'a', "Knuth, Donald E.,"}})
            .Data("210", "0 ", {{'a', "Art comput. program."}})
            .Data("245", "14",
                  {{'a', "The art of computer programming /"},
                   {'b', "fundamental algorithms :"},
                   {'c', "Donald E. Knuth."}})
            .Data("260", "  ",
                  {{'a', "Reading, Mass. :"}, {'b', "Addison-Wesley,"}, {'c', "1997."}})
            .Build();
    EXPECT_EQ(DisplayLine(record), "The art of computer programming..." +
                                       Pad("Knuth, Donald E.", 26) + Pad("Reading", 9) +
                                       Pad("Addison-Wesley", 16) + Pad("1997.", 10) + "0201896834");
    // No 100: the statement of responsibility; 264 when there is no 260; nothing else.
    std::string bare = MarcBuilder()
                           .Data("245", "00", {{'a', "Title"}, {'c', "by someone"}})
                           .Data("264", " 1", {{'a', "Place"}, {'b', "Pub"}, {'c', "2020"}})
                           .Build();
    EXPECT_EQ(DisplayLine(bare), Pad("Title", 34) + Pad("by someone", 26) + Pad("Place", 9) +
                                     Pad("Pub", 16) + Pad("2020", 10));
    // A CNMARC record that happens to hold a 245 keeps the CNMARC line.
    std::string cnmarc = TypicalBook().Data("245", "  ", {{'a', "other"}}).Build();
    EXPECT_EQ(DisplayLine(cnmarc), DisplayLine(TypicalBook().Build()));
}

// The display line's parts whole and apart, for a report's columns.
TEST(SummariseRecord, CnmarcMarc21AndWhatCannotBeRead) {
    RecordSummary cn = SummariseRecord(TypicalBook().Build());
    EXPECT_EQ(cn.title, G("数据结构：C语言版"));
    EXPECT_EQ(cn.responsibility, G("严蔚敏, 吴伟民编著"));
    EXPECT_EQ(cn.place, G("北京"));
    EXPECT_EQ(cn.publisher, G("清华大学出版社"));
    EXPECT_EQ(cn.date, "2007");
    EXPECT_EQ(cn.isbn, "978-7-111-21382-6");
    // Nothing is cut to a column: a long publisher stays whole.
    const std::string longName(60, 'P');
    RecordSummary wide = SummariseRecord(
        MarcBuilder().Data("200", "1 ", {{'a', "t"}}).Data("210", "  ", {{'c', longName}}).Build());
    EXPECT_EQ(wide.publisher, longName);
    EXPECT_EQ(wide.isbn, "");

    RecordSummary us = SummariseRecord(
        MarcBuilder()
            .Data("020", "  ", {{'a', "0201896834 "}})
            .Data("245", "14", {{'a', "The art /"}, {'b', "algorithms :"}, {'c', "D. Knuth."}})
            .Data("260", "  ",
                  {{'a', "Reading, Mass. :"}, {'b', "Addison-Wesley,"}, {'c', "1997."}})
            .Build());
    EXPECT_EQ(us.title, "The art : algorithms");
    EXPECT_EQ(us.responsibility, "D. Knuth.");
    EXPECT_EQ(us.place, "Reading, Mass.");
    EXPECT_EQ(us.publisher, "Addison-Wesley");
    EXPECT_EQ(us.date, "1997.");
    EXPECT_EQ(us.isbn, "0201896834");

    RecordSummary none = SummariseRecord("00099nam  2200037   4500x");
    EXPECT_EQ(none.title, "");
}

TEST(DetailLines, LabelsTagsIndicatorsAndControlFields) {
    FieldLabels labels{{"200", G("题名与责任")}, {"001", G("记录标识号")}};
    auto lines = DetailLines(TypicalBook().Build(), labels);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], Pad(G("记录标识号"), 12) + " 001    012345678 ");
    EXPECT_EQ(lines[1], std::string(12, ' ') + " 010    $a978-7-111-21382-6 $dCNY35.00 ");
    EXPECT_EQ(lines[2], Pad(G("题名与责任"), 12) + " 200 1  $a" + G("数据结构") + " $e" +
                            G("C语言版") + " $f" + G("严蔚敏, 吴伟民编著") + " ");
    FieldLabels longLabel{{"210", "A label longer than twelve"}};
    EXPECT_EQ(DetailLines(TypicalBook().Build(), longLabel)[3].substr(0, 31),
              "A label longer than twelve 210 ");
}

TEST(ShowControls, RendersDelimitersAndControlBytes) {
    EXPECT_EQ(ShowControls("a\x1F"
                           "b\x1E\x1D\t"
                           "c"),
              "a $b   c");
}

TEST(NormaliseIsbn, TenAndThirteenDigitForms) {
    EXPECT_EQ(NormaliseIsbn("7-111-21382-X"), "9787111213826");
    EXPECT_EQ(NormaliseIsbn(" 7111213823 "), "9787111213826");
    EXPECT_EQ(NormaliseIsbn("9787111213820"), "9787111213826");  // wrong check digit mended
    EXPECT_EQ(NormaliseIsbn("978-7-111-21382-6"), "9787111213826");
    EXPECT_EQ(NormaliseIsbn("978711121382"), "9787111213826");  // 12 digits from 97
    EXPECT_EQ(NormaliseIsbn("711121382"), "9787111213826");     // 9 digits get a "0"
    EXPECT_EQ(NormaliseIsbn(" abcdefghij "), "abcdefghij");
    EXPECT_EQ(NormaliseIsbn("123456789012"), "123456789012");  // 12 digits not from 97
    EXPECT_EQ(NormaliseIsbn(""), "");
}

// Damaged records: what the cataloguer sees of them.
TEST(DamagedRecords, OutcomesOfACutRecordAndABadBase) {
    const std::string good = TypicalBook().Build();
    const auto whole = ReadFields(good).fields;
    ASSERT_EQ(whole.size(), 4u);
    // Cut inside the third field's data: the two fields before the cut are whole, the
    // third shows what is left of it, and reading goes no further.
    const size_t base = static_cast<size_t>(std::stoi(good.substr(12, 5)));
    const size_t thirdStart = base + static_cast<size_t>(std::stoi(good.substr(24 + 24 + 7, 5)));
    std::string cut = good.substr(0, thirdStart + 4);
    auto fields = ReadFields(cut).fields;
    ASSERT_GE(fields.size(), 3u);
    EXPECT_EQ(fields[0].data, whole[0].data);
    EXPECT_EQ(fields[1].data, whole[1].data);
    EXPECT_EQ(fields[2].data, whole[2].data.substr(0, 4));
    EXPECT_EQ(DetailLines(cut, {})[1], DetailLines(good, {})[1]);
    // A base address that is no number: the display line says the record is damaged.
    std::string badBase = good;
    badBase.replace(12, 5, "00x24");
    EXPECT_EQ(DisplayLine(badBase), BadRecordLine());
    EXPECT_EQ(GbkToUtf8(DisplayLine(badBase)), "此记录数据有误");
}

// Damaged records: every reader must stay inside the text (ASan checks this).
TEST(DamagedRecords, NeverReadOutsideTheRecord) {
    const std::string good = TypicalBook().Build();
    std::vector<std::string> cases;
    for (size_t n = 0; n <= good.size(); n += 3) cases.push_back(good.substr(0, n));
    std::string pastEnd = good;
    pastEnd.replace(24 + 7, 5, "99999");  // first field starts far past the end
    cases.push_back(pastEnd);
    std::string bigLength = good;
    bigLength.replace(24 + 3, 4, "9999");
    cases.push_back(bigLength);
    std::string bigBase = good;
    bigBase.replace(12, 5, "99999");
    cases.push_back(bigBase);
    std::string smallBase = good;
    smallBase.replace(12, 5, "00003");
    cases.push_back(smallBase);
    std::string noTerminators = good;
    for (char& c : noTerminators)
        if (c == '\x1E' || c == '\x1F' || c == '\x1D') c = 'x';
    cases.push_back(noTerminators);
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::string damaged = good;
        for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] = static_cast<char>(rng());
        cases.push_back(damaged.substr(0, rng() % (damaged.size() + 1)));
    }
    for (const auto& record : cases) {
        std::string line = DisplayLine(record);
        auto lines = DetailLines(record, {});
        // Fixed columns plus the ISBN (at most the record's own length).
        EXPECT_LE(line.size(), 95 + record.size());
        EXPECT_LE(lines.size(), record.size() / 12 + 1);
    }
}

}  // namespace
}  // namespace z39
