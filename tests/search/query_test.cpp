#include <gtest/gtest.h>
#include <yaz/odr.h>
#include <yaz/pquery.h>
#include <yaz/proto.h>

#include "backends/search_condition.h"
#include "common/gbk_text.h"
#include "records/isbn_forms.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

const std::string kAnd = G("并且");
const std::string kOr = G("或者");

SearchCondition Row(const std::string& field, const std::string& value,
                    const std::string& joiner = "") {
    return {joiner, field, value};
}

TEST(GetWhereString, UseAttributesPerField) {
    EXPECT_EQ(GetWhereString("ISBN", "7111"), "@attr 1=7 7111");
    EXPECT_EQ(GetWhereString("ISSN", "1"), "@attr 1=8 1");
    EXPECT_EQ(GetWhereString(G("题名"), "t"), "@attr 1=4 t");
    EXPECT_EQ(GetWhereString(G("著者"), "a"), "@attr 1=1003 a");
    EXPECT_EQ(GetWhereString(G("出版者"), "p"), "@attr 1=1018 p");
    EXPECT_EQ(GetWhereString(G("出版日期"), "2001"), "@attr 1=31 2001");
    EXPECT_EQ(GetWhereString("", "x"), "@attr 1=31 x");
}

TEST(FindCommand, WorkedExamples) {
    const std::string I = "7111213823", T = G("数据结构"), A = G("严蔚敏");
    // An ISBN row asks for every form a server may index, the value as entered first.
    const std::string IF =
        "@or @or @or @attr 1=7 7111213823 @attr 1=7 9787111213826 @attr 1=7 978-7-111-21382-6 "
        "@attr 1=7 7-111-21382-3";
    EXPECT_EQ(BuildFindCommand({Row("ISBN", I)}), "f " + IF);
    EXPECT_EQ(BuildFindCommand({Row("ISBN", I), Row(G("题名"), T, kAnd)}),
              "f @and @attr 1=4 " + T + " " + IF);
    EXPECT_EQ(BuildFindCommand({Row("ISBN", I), Row(G("题名"), T, kAnd), Row(G("著者"), A, kOr)}),
              "f @or @attr 1=1003 " + A + " @and @attr 1=4 " + T + " " + IF);
    EXPECT_EQ(BuildFindCommand({Row("ISBN", "  ")}), "f");
    // Row 3 filled while row 2 is empty: row 3 is ignored.
    EXPECT_EQ(BuildFindCommand({Row("ISBN", I), Row(G("题名"), " ", kAnd), Row(G("著者"), A, kOr)}),
              "f " + IF);
    // The joiner test is exact; a value that is no ISBN goes as it is, alone.
    EXPECT_EQ(BuildFindCommand({Row("ISBN", I), Row("ISBN", "2", kAnd + " ")}),
              "f @or @attr 1=7 2 " + IF);
}

// The terms YAZ's own PQF parser reads from a find command, in prefix order.
std::vector<std::string> ParsedTerms(const std::string& findCommand) {
    std::vector<std::string> terms;
    ODR odr = odr_createmem(ODR_ENCODE);
    YAZ_PQF_Parser parser = yaz_pqf_create();
    Z_RPNQuery* query = yaz_pqf_parse(parser, odr, findCommand.substr(2).c_str());
    if (query) {
        std::vector<Z_RPNStructure*> stack{query->RPNStructure};
        while (!stack.empty()) {
            Z_RPNStructure* s = stack.back();
            stack.pop_back();
            if (s->which == Z_RPNStructure_complex) {
                stack.push_back(s->u.complex->s2);
                stack.push_back(s->u.complex->s1);
            } else if (s->u.simple->which == Z_Operand_APT) {
                Z_Term* t = s->u.simple->u.attributesPlusTerm->term;
                terms.emplace_back(reinterpret_cast<char*>(t->u.general->buf), t->u.general->len);
            }
        }
    } else {
        terms.push_back("<parse error>");
    }
    yaz_pqf_destroy(parser);
    odr_destroy(odr);
    return terms;
}

TEST(FindCommand, YazParserReadsEveryIsbnFormBackAsOneTerm) {
    EXPECT_EQ(ParsedTerms(BuildFindCommand({Row("ISBN", " 750636543x ")})),
              (std::vector<std::string>{"750636543x", "9787506365437", "978-7-5063-6543-7",
                                        "750636543X", "7-5063-6543-X"}));
    EXPECT_EQ(
        ParsedTerms(BuildFindCommand({Row("ISBN", "9791090636071"), Row(G("题名"), "x", kAnd)})),
        (std::vector<std::string>{"x", "9791090636071", "979-10-90636-07-1"}));
    EXPECT_EQ(ParsedTerms(BuildFindCommand({Row("ISBN", "not an isbn")})),
              std::vector<std::string>{"not an isbn"});
}

TEST(FindCommand, YazParserReadsBackExactlyWhatWasTyped) {
    const std::string backslashTitle = G("淺") + G("说");  // 淺 is 0x9C 0x5C in GBK
    ASSERT_EQ(G("淺")[1], '\\');
    const std::vector<std::string> values = {"two words",    "@attr", "say \"hi\"", "back\\slash",
                                             backslashTitle, "plain", "a\\\"b c"};
    for (const auto& v : values) {
        EXPECT_EQ(ParsedTerms(BuildFindCommand({Row(G("题名"), v)})), std::vector<std::string>{v})
            << v;
    }
    auto terms =
        ParsedTerms(BuildFindCommand({Row(G("题名"), "two words"), Row(G("著者"), "@x", kAnd),
                                      Row("ISBN", backslashTitle, kOr)}));
    EXPECT_EQ(terms, (std::vector<std::string>{backslashTitle, "@x", "two words"}));
}

TEST(WhereClause, AnIsbnTenInAnyTypedFormFindsTheThirteenDigitKey) {
    // The catalogue stores 13-digit keys (NormaliseIsbn on import); what a user types must
    // meet them: a small x, blanks, hyphens.
    for (const char* typed :
         {"750636543x", "7-5063-6543-x", " 7 5063 6543 X ", "9787506365437", "978-7-5063-6543-7"}) {
        EXPECT_EQ(BuildWhereClause({Row("ISBN", typed)}, LaunchMode{}), " ma_isbn='9787506365437'")
            << typed;
    }
}

// A wrong check digit is some other number: every translation searches it as typed, and
// none corrects it into the book one digit away.
TEST(CheckDigit, AWrongOneIsSearchedAsTypedEverywhere) {
    EXPECT_EQ(WrongCheckDigit("9787536692931"), '0');
    EXPECT_EQ(WrongCheckDigit("978-7-5366-9293-9"), '0');
    EXPECT_EQ(WrongCheckDigit("7536692934"), '5');
    EXPECT_EQ(WrongCheckDigit("7-5063-6543-9"), 'X');
    EXPECT_EQ(WrongCheckDigit("9787536692930"), std::nullopt);
    EXPECT_EQ(WrongCheckDigit("7536692935"), std::nullopt);
    EXPECT_EQ(WrongCheckDigit("12345"), std::nullopt);
    EXPECT_EQ(WrongCheckDigit(G("三体")), std::nullopt);
    // The shared catalogue's clause.
    EXPECT_EQ(BuildWhereClause({Row("ISBN", "978-7-5366-9293-1")}, {}), " ma_isbn='9787536692931'");
    EXPECT_EQ(BuildWhereClause({Row("ISBN", "7536692934")}, {}), " ma_isbn='7536692934'");
    EXPECT_EQ(BuildWhereClause({Row("ISBN", "7-5366-9293-5")}, {}), " ma_isbn='9787536692930'");
    // Z39.50: the one term as typed, no forms of another number.
    EXPECT_EQ(BuildFindCommand({Row("ISBN", "9787536692931")}), "f @attr 1=7 9787536692931");
}

TEST(WhereClause, WorkedExamples) {
    LaunchMode none;
    LaunchMode launch{"NAME@!abc", false, false};
    const std::string T = G("数据结构"), S = G("数据");
    // 7-111-21382-X has a wrong check digit (3 is right): searched as typed, not corrected.
    EXPECT_EQ(BuildWhereClause({Row("ISBN", "7-111-21382-X"), Row(G("题名"), T, kAnd)}, none),
              " ma_isbn='711121382X' and ma_name like '" + T + "%'");
    EXPECT_EQ(BuildWhereClause({Row("ISBN", "7-111-21382-3"), Row(G("题名"), T, kAnd)}, none),
              " ma_isbn='9787111213826' and ma_name like '" + T + "%'");
    EXPECT_EQ(BuildWhereClause({Row(G("题名"), S)}, none), " ma_name='" + S + "'");
    EXPECT_EQ(BuildWhereClause({Row(G("题名"), "!PQR")}, launch), " ma_namepy like 'PQR%'");
    EXPECT_EQ(BuildWhereClause({Row(G("题名"), "!QZ")}, launch), " ma_namepy='QZ'");
    EXPECT_EQ(BuildWhereClause({Row(G("题名"), "!")}, launch), " ma_namepy=''");
    // Interactive: "!" has no meaning.
    EXPECT_EQ(BuildWhereClause({Row(G("题名"), "!QZ")}, none), " ma_name='!QZ'");
    EXPECT_EQ(BuildWhereClause({Row(G("题名"), S), Row("ISBN", "x", kOr)}, none),
              " ma_name='" + S + "' or ma_isbn='x'");
    EXPECT_EQ(BuildWhereClause({Row(G("题名"), ""), Row("ISBN", "x", kOr)}, none), "");
}

TEST(WhereClause, TitleLengthRuleAndQuoteDoubling) {
    LaunchMode none;
    EXPECT_EQ(GetWhereStringKS(G("题名"), "abcde", none), "ma_name='abcde'");
    EXPECT_EQ(GetWhereStringKS(G("题名"), "abcdef", none), "ma_name like 'abcdef%'");
    EXPECT_EQ(GetWhereStringKS(G("著者"), " abc ", none), "ma_name='abc'");
    // The length rule looks at the value before its quotes are doubled.
    EXPECT_EQ(GetWhereStringKS(G("题名"), "O'Har", none), "ma_name='O''Har'");
    EXPECT_EQ(GetWhereStringKS(G("题名"), "O'Hara", none), "ma_name like 'O''Hara%'");
    EXPECT_EQ(GetWhereStringKS("ISBN", "x' or '1'='1", none), "ma_isbn='x'' or ''1''=''1'");
}

}  // namespace
}  // namespace z39
