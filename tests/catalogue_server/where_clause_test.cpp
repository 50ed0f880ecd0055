#include "where_clause.h"

#include <gtest/gtest.h>

#include "catalogue_db.h"
#include "common/gbk_text.h"
#include "support/temp_dir.h"

namespace ks {
namespace {

TEST(ServerWhereClause, AcceptsWhatTheClientSends) {
    ParseResult r =
        ParseWhereClause(" ma_isbn='9787111213826' and ma_name like 'ABC%' or ma_namepy='st'");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.clause.anyOf.size(), 2u);
    ASSERT_EQ(r.clause.anyOf[0].size(), 2u);
    EXPECT_EQ(r.clause.anyOf[0][1].value, "ABC");
    EXPECT_TRUE(r.clause.anyOf[0][1].prefix);
    EXPECT_EQ(r.clause.anyOf[1][0].value, "ST");  // pinyin initials ignore case
    r = ParseWhereClause("MA_NAME LIKE 'O''Hara%'AND ma_isbn = ''");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.clause.anyOf[0][0].value, "O'Hara");
    EXPECT_EQ(r.clause.anyOf[0][1].value, "");
}

TEST(ServerWhereClause, AcceptedClausesRoundTripThroughRender) {
    for (const char* text :
         {" ma_name='a''b' or ma_isbn like '97%' and ma_namepy like 'x'", "ma_name='50%'",
          "ma_name like '%'", "ma_name='x' or ma_name='y' or ma_name='z'"}) {
        ParseResult first = ParseWhereClause(text);
        ASSERT_TRUE(first.ok) << text;
        ParseResult again = ParseWhereClause(Render(first.clause));
        ASSERT_TRUE(again.ok) << Render(first.clause);
        EXPECT_EQ(again.clause.anyOf, first.clause.anyOf) << text;
    }
}

// Hostile clauses: each is refused, or read as a plain literal (never as SQL).
TEST(ServerWhereClause, HostileClausesAreRefusedOrLiteral) {
    const std::string nul("ma_name='a\0b'", 13);
    struct Case {
        std::string text;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"ma_name='x' or '1'='1'", false},
        {"ma_name='x'; DROP TABLE records", false},
        {"ma_name='x' -- comment", false},
        {"ma_name='x' /* c */", false},
        {"ma_name='x' union select record from records", false},
        {"ma_name='x' UNION SELECT 1", false},
        {"record='x'", false},
        {"id=1", false},
        {"ma_name=lower('x')", false},
        {"((ma_name='x'))", false},
        {"(ma_name='x')", false},
        {"ma_name='x' and (ma_isbn='1' or ma_isbn='2')", false},
        {"ma_name='unterminated", false},
        {"ma_name like 'a%b'", true},  // an inner "%" is an ordinary character
        {"ma_name like '%abc'", true},
        {"ma_name = \"x\"", false},
        {"ma_name == 'x'", false},
        {"ma_name <> 'x'", false},
        {"ma_name glob 'x*'", false},
        {"", false},
        {"   ", false},
        {"ma_name='x' and", false},
        {"and ma_name='x'", false},
        {std::string(1 << 20, 'a'), false},
        {"ma_name='" + std::string(9000, 'x') + "'", false},
        {"ma_name='x'" + std::string(40, ' ') +
             " or ma_name='y' or ma_name='1' or ma_name='2' or "
             "ma_name='3' or ma_name='4' or ma_name='5' or ma_name='6' or ma_name='7' or "
             "ma_name='8' or "
             "ma_name='9' or ma_name='10' or ma_name='11' or ma_name='12' or ma_name='13' or "
             "ma_name='14' or "
             "ma_name='15' or ma_name='16' or ma_name='17' or ma_name='18' or ma_name='19' or "
             "ma_name='20' or "
             "ma_name='21' or ma_name='22' or ma_name='23' or ma_name='24' or ma_name='25' or "
             "ma_name='26' or "
             "ma_name='27' or ma_name='28' or ma_name='29' or ma_name='30' or ma_name='31'",
         false},
        {"ma_name=''' or ''1''=''1'", true},  // one literal holding quotes
        {"ma_name='x''; DROP TABLE records; --'", true},
        {nul, true},
        {"ma_name='\xFF\xFE\x81'", true},  // invalid GBK is just bytes
        {"ma_name='_%' ", true},
    };
    for (const auto& c : cases) {
        ParseResult r = ParseWhereClause(c.text);
        EXPECT_EQ(r.ok, c.accepted) << c.text.substr(0, 80);
        if (!r.ok) {
            EXPECT_FALSE(r.error.empty());
        } else {
            for (SqlDialect dialect : {SqlDialect::kSqlite, SqlDialect::kPostgres}) {
                SqlCondition sql = ToSql(r.clause, dialect);
                EXPECT_EQ(sql.sql.find('\''), std::string::npos) << "literal pasted into SQL";
            }
        }
    }
    EXPECT_EQ(ParseWhereClause(nul).clause.anyOf[0][0].value, std::string("a\0b", 3));
}

TEST(ServerWhereClause, QueriesUseTheIndexOnEveryColumn) {
    z39::test::TempDir dir;
    CatalogueDb db(dir.File("c.db"), true);
    for (const char* text : {"ma_isbn='1'", "ma_isbn like '97%'", "ma_name='x'",
                             "ma_name like 'x%'", "ma_namepy='X'", "ma_namepy like 'XY%'"}) {
        std::string plan;
        for (auto& row : db.Explain(ParseWhereClause(text).clause)) plan += row + "; ";
        EXPECT_NE(plan.find("USING INDEX records_"), std::string::npos) << text << ": " << plan;
        if (std::string(text).starts_with("ma_name ") ||
            std::string(text).starts_with("ma_name=")) {
            EXPECT_NE(plan.find("records_name_ci"), std::string::npos) << plan;
        }
    }
}

TEST(ServerWhereClause, TitlesIgnoreLatinCaseButNotChineseAndWildcardsInsideAreLiteral) {
    z39::test::TempDir dir;
    CatalogueDb db(dir.File("c.db"), true);
    // GBK B0 61 and B0 41 are two different characters whose trail bytes are "a" and "A".
    const std::vector<std::string> titles = {z39::G("Java编程思想"),
                                             "100%" + z39::G("敦煌学导论"),
                                             "100x" + z39::G("敦煌学导论"),
                                             "a_b",
                                             "axb",
                                             "\xB0\x61",
                                             "\xB0\x41"};
    for (size_t i = 0; i < titles.size(); ++i)
        db.Insert("rec" + std::to_string(i), "", titles[i], "");
    auto found = [&](const std::string& where) {
        std::vector<std::string> out;
        for (auto& hit : db.Search(ParseWhereClause(where).clause, 1, 100, false).hits)
            out.push_back(hit.record);
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(found("ma_name like 'java%'"), V{"rec0"});
    EXPECT_EQ(found("ma_name like 'JAVA" + z39::G("编程") + "%'"), V{"rec0"});
    EXPECT_EQ(found("ma_name='" + z39::G("java编程思想") + "'"), V{"rec0"});
    EXPECT_EQ(found("ma_name like '100%" + z39::G("敦煌学") + "%'"), V{"rec1"});
    EXPECT_EQ(found("ma_name like 'a_b%'"), V{"rec3"});
    EXPECT_EQ(found("ma_name='\xB0\x61'"), V{"rec5"});  // not its upper-case look-alike
    EXPECT_EQ(found("ma_name like '\xB0\x41%'"), V{"rec6"});
    EXPECT_EQ(GbkUpper("ab\xB0\x61"
                       "c"),
              "AB\xB0\x61"
              "C");
}

}  // namespace
}  // namespace ks

namespace ks {
namespace {

TEST(CatalogueDbWorkLimit, ASearchOverItsLimitStopsAndRunsWholeWithoutIt) {
    z39::test::TempDir dir;
    CatalogueDb db(dir.File("c.db"), true);
    db.Begin();
    for (int i = 0; i < 3000; ++i)
        db.Insert("r" + std::to_string(i), "978" + std::to_string(1000000000 + i), "t", "DH");
    db.Commit();
    const WhereClause many = ParseWhereClause("ma_namepy like 'D%'").clause;
    const WhereClause one = ParseWhereClause("ma_isbn='9781000000007'").clause;
    ASSERT_TRUE(db.LimitWork(2000));
    // Counting 3,000 index entries takes far more than 2,000 steps; one ISBN far fewer.
    EXPECT_THROW(db.Search(many, 1, 10, true), WorkLimitReached);
    ASSERT_TRUE(db.LimitWork(2000));  // each search has its own
    CatalogueStore::Page page = db.Search(one, 1, 10, true);
    EXPECT_EQ(page.total, 1);
    ASSERT_EQ(page.hits.size(), 1u);
    EXPECT_EQ(page.hits[0].record, "r7");
    // Lifted, the same connection runs the long search whole, and its statements again.
    db.LimitWork(0);
    page = db.Search(many, 2991, 20, true);
    EXPECT_EQ(page.total, 3000);
    EXPECT_EQ(page.hits.size(), 10u);
    EXPECT_EQ(db.SearchAfter(many, 2995, 10).hits.size(), 5u);
}

// A reader sees what an import adds after each of its searches, also one the limit stopped:
// no search leaves its read transaction open.
TEST(CatalogueDbWorkLimit, EverySearchEndsItsReadTransaction) {
    z39::test::TempDir dir;
    CatalogueDb writer(dir.File("c.db"), true);
    writer.Begin();
    for (int i = 0; i < 3000; ++i) writer.Insert("r", "978" + std::to_string(i), "t", "DH");
    writer.Commit();
    CatalogueDb reader(dir.File("c.db"), false);
    const WhereClause many = ParseWhereClause("ma_namepy like 'D%'").clause;
    EXPECT_EQ(reader.Search(many, 1, 10, true).total, 3000);
    writer.Insert("new", "x", "t", "DH");
    EXPECT_EQ(reader.Search(many, 1, 10, true).total, 3001);
    reader.LimitWork(2000);
    EXPECT_THROW(reader.Search(many, 1, 10, true), WorkLimitReached);
    reader.LimitWork(0);
    writer.Insert("newer", "y", "t", "DH");
    CatalogueStore::Page page = reader.Search(many, 3002, 10, true);
    EXPECT_EQ(page.total, 3002);
    ASSERT_EQ(page.hits.size(), 1u);
    EXPECT_EQ(page.hits[0].record, "newer");
}

}  // namespace
}  // namespace ks
