#include "records/daily_format.h"

#include <gtest/gtest.h>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "records/daily_file.h"
#include "records/marc_record.h"
#include "records/marcxml.h"
#include "support/marc_builder.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

// A CNMARC book whose title holds a character GBK lacks, kept as a reference.
std::string CnmarcBook(const std::string& isbn, const std::string& title) {
    return test::MarcBuilder()
        .Control("001", "B" + isbn)
        .Data("010", "  ", {{'a', isbn}, {'d', "CNY20.00"}})
        .Data("100", "  ", {{'a', "20240101d2008    em y0chiy0120    ea"}})
        .Raw("200",
             "1 \x1F"
             "a" +
                 G(title) + "&#x3401;")
        .Data("210", "  ", {{'a', "北京"}, {'c', "中华书局"}, {'d', "2008"}})
        .Build();
}

std::string Marc21Book() {
    return test::MarcBuilder()
        .Leader("nam a22     4a 4500")
        .Control("001", "M1")
        .Data("020", "  ", {{'a', "9780596007126"}})
        .Data("100", "1 ", {{'a', "Freeman, Eric"}})
        .Data("245", "10", {{'a', "Head first design patterns"}})
        .Build();
}

std::string FieldData(const std::string& record, const std::string& tag) {
    for (const auto& f : ReadFields(record).fields)
        if (f.tag == tag) return f.data.substr(0, f.data.find('\x1E'));
    return {};
}

TEST(DailyFormat, NamesOfTheSetting) {
    EXPECT_EQ(DailyFormatFromName(""), DailyFormat::kGbk);
    EXPECT_EQ(DailyFormatFromName(" gbk "), DailyFormat::kGbk);
    EXPECT_EQ(DailyFormatFromName("UTF-8"), DailyFormat::kUtf8);
    EXPECT_EQ(DailyFormatFromName("utf8"), DailyFormat::kUtf8);
    EXPECT_EQ(DailyFormatFromName("MarcXML"), DailyFormat::kMarcXml);
    EXPECT_EQ(DailyFormatFromName("ISO"), std::nullopt);
    EXPECT_STREQ(DailyFileSuffix(DailyFormat::kMarcXml), ".xml");
    EXPECT_STREQ(DailyFileSuffix(DailyFormat::kUtf8), ".txt");
}

// GBK stays byte for byte; UTF-8 is ISO 2709 that says Unicode in its leader and, being
// CNMARC, in 100 $a; the reference becomes the character; both read back into the record.
TEST(DailyFormat, RecordsInEachFormAndBack) {
    const std::string gbk = CnmarcBook("9787101000001", "史记");
    EXPECT_EQ(RecordForDailyFile(gbk, DailyFormat::kGbk), gbk);

    const auto utf8 = RecordForDailyFile(gbk, DailyFormat::kUtf8);
    ASSERT_TRUE(utf8.has_value());
    EXPECT_EQ((*utf8)[9], 'a');
    EXPECT_EQ(FieldData(*utf8, "200"),
              "1 \x1F"
              "a史记\xE3\x90\x81");  // U+3401
    EXPECT_EQ(FieldData(*utf8, "100").substr(4 + 26, 4), "50  ");
    EXPECT_EQ(FieldData(*utf8, "210"),
              "  \x1F"
              "a北京\x1F"
              "c中华书局\x1F"
              "d2008");
    const auto back = DailyRecordToGbk(*utf8, DailyFormat::kUtf8);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(FieldData(*back, "200"), FieldData(gbk, "200"));
    EXPECT_EQ(FieldData(*back, "010"), FieldData(gbk, "010"));

    const auto xml = RecordForDailyFile(gbk, DailyFormat::kMarcXml);
    ASSERT_TRUE(xml.has_value());
    EXPECT_NE(xml->find("史记\xE3\x90\x81</subfield>"), std::string::npos) << *xml;
    EXPECT_NE(xml->find("y0120"), std::string::npos);  // 100 $a as it was
    const auto fromXml = DailyRecordToGbk(*xml, DailyFormat::kMarcXml);
    ASSERT_TRUE(fromXml.has_value());
    for (const char* tag : {"001", "010", "100", "200", "210"})
        EXPECT_EQ(FieldData(*fromXml, tag), FieldData(gbk, tag)) << tag;

    // A MARC21 record's 100 is a name, not coded data: left alone.
    const auto marc21 = RecordForDailyFile(Marc21Book(), DailyFormat::kUtf8);
    ASSERT_TRUE(marc21.has_value());
    EXPECT_EQ(FieldData(*marc21, "100"),
              "1 \x1F"
              "aFreeman, Eric");

    // What YAZ cannot read is refused with a reason.
    std::string why;
    EXPECT_FALSE(RecordForDailyFile("00010nam", DailyFormat::kUtf8, &why));
    EXPECT_FALSE(why.empty());
}

// A MARCXML daily file is one well-formed collection after each save; it is found again
// by the index as the window and the batch look for a book; a file that does not end with
// the closing tag is not added to.
TEST(DailyFormat, AMarcXmlFileStaysWholeAndIsFoundAgain) {
    test::TempDir dir;
    const std::string path = dir.File("marc20261210.xml");
    const char* const kIsbns[] = {"9787101000009", "9787101000016", "9787101000023"};
    std::vector<std::string> books;
    for (int i = 0; i < 3; ++i) {
        books.push_back(CnmarcBook(kIsbns[i], "书" + std::to_string(i)));
        LockedDailyFile file(path, DailyFormat::kMarcXml);
        ASSERT_TRUE(file.ok());
        ASSERT_TRUE(file.Append(*RecordForDailyFile(books.back(), DailyFormat::kMarcXml)));
        const std::string text = ReadWholeFile(path).value_or("");
        XmlDocument doc = ParseXml(text);
        ASSERT_TRUE(doc) << text;
        EXPECT_EQ(SplitDailyFile(text, DailyFormat::kMarcXml).size(), books.size());
    }
    DailyFileIndex index(DailyFormat::kMarcXml);
    index.Load(path);
    EXPECT_EQ(index.size(), 3);
    EXPECT_EQ(index.Find(books[1], ""), 2);
    EXPECT_TRUE(index.HoldsAt(3, books[2]));
    EXPECT_FALSE(index.HoldsAt(2, books[2]));
    // Another record of the same book is found by its ISBN.
    EXPECT_EQ(index.Find(CnmarcBook("9787101000009", "另一版"), ""), 1);

    // Opened and nothing saved: an empty collection, never an empty file.
    const std::string empty = dir.File("marc20261211.xml");
    { LockedDailyFile opened(empty, DailyFormat::kMarcXml); }
    EXPECT_TRUE(ParseXml(ReadWholeFile(empty).value_or("")));

    const std::string cut = dir.File("cut.xml");
    ASSERT_TRUE(ReplaceFileAtomically(cut, std::string(kMarcXmlFileHead) + "<record>"));
    LockedDailyFile broken(cut, DailyFormat::kMarcXml);
    EXPECT_FALSE(broken.Append(*RecordForDailyFile(books[0], DailyFormat::kMarcXml)));
    EXPECT_EQ(ReadWholeFile(cut), std::string(kMarcXmlFileHead) + "<record>");
}

// A UTF-8 daily file: one record a line with CR LF, found again by record and by ISBN.
TEST(DailyFormat, AUtf8FileIsFoundAgain) {
    test::TempDir dir;
    const std::string path = dir.File("marc20261210.txt");
    const std::string book = CnmarcBook("9787101000009", "汉书");
    {
        LockedDailyFile file(path, DailyFormat::kUtf8);
        ASSERT_TRUE(file.Append(*RecordForDailyFile(book, DailyFormat::kUtf8)));
    }
    const std::string text = ReadWholeFile(path).value_or("");
    EXPECT_TRUE(text.ends_with("\x1D\r\n"));
    DailyFileIndex index(DailyFormat::kUtf8);
    index.Load(path);
    EXPECT_EQ(index.Find(book, ""), 1);
    EXPECT_TRUE(index.HoldsAt(1, book));
}

}  // namespace
}  // namespace z39
