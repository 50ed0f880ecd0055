// catalogue-server on both engines: the same answers byte for byte from an SQLite file and
// from PostgreSQL, several front ends on one PostgreSQL database, and a database that goes
// away under load. The PostgreSQL cases run on a throw-away cluster of their own.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "backends/http_client.h"
#include "catalogue_db.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "pg_catalogue.h"
#include "record_import.h"
#include "support/catalogue_server_process.h"
#include "support/loopback.h"
#include "support/marc_builder.h"
#include "support/pg_cluster.h"

namespace z39 {
namespace {

using test::CatalogueServerProcess;
using test::TcpExchange;

test::PgCluster& Cluster() {
    static test::PgCluster cluster;
    return cluster;
}

// Records that test the engines where they differ most: a GBK trail byte 0x5C, Latin
// titles in both cases, a "%" inside a title.
std::vector<std::string> SpecialRecords() {
    std::vector<std::string> out;
    for (const char* title : {"淺談編目", "Java编程思想", "JAVA核心技术", "100%敦煌学导论"}) {
        out.push_back(test::MarcBuilder()
                          .Data("010", "  ", {{'a', "978-7-00-000000-0"}})
                          .Data("200", "1 ", {{'a', title}})
                          .Build());
    }
    return out;
}

void AddRecords(const std::string& db, const std::vector<std::string>& records) {
    auto store = ks::OpenCatalogue(db, true);
    store->Begin();
    for (const auto& r : records) {
        ks::RecordKeys keys = ks::ExtractKeys(r);
        store->Insert(r, keys.isbn, keys.name, keys.namepy);
    }
    store->Commit();
}

const std::vector<std::string> kRequests = {
    "INIT1@5@ ma_isbn='9787536692930'",
    "INIT1@10@ ma_name like '" + G(ks::kPagingTitleWord) + "%'",
    "12@10@ ma_name like '" + G(ks::kPagingTitleWord) + "%'",
    "INIT1@10@ ma_name like '" + G("淺談") + "%'",
    "INIT1@10@ ma_name like 'java%'",
    "INIT1@10@ ma_name = '" + G("java编程思想") + "'",
    "INIT1@10@ ma_name like '100%" + G("敦煌") + "%'",
    "INIT1@10@ ma_namepy like 'dhx%' or ma_isbn='9787536692930'",
    "30@-4@ ma_name like '" + G(ks::kPagingTitleWord) + "%'",
    "INIT1@1000@ ma_isbn like '978%'",
};

TEST(BothEngines, AnswerByteForByteAlikeAndRefuseTheSame) {
    if (Cluster().uri().empty()) GTEST_SKIP() << "PostgreSQL is not installed here";
    CatalogueServerProcess sqlite(300);
    CatalogueServerProcess postgres(300, "", {}, Cluster().uri());
    ASSERT_TRUE(sqlite.ok() && postgres.ok());
    AddRecords(sqlite.dbPath(), SpecialRecords());
    AddRecords(postgres.dbPath(), SpecialRecords());
    CurlHttpClient http;
    for (const auto& request : kRequests) {
        std::string a = TcpExchange(sqlite.port(), "REQU_BEGIN" + request + "BAG_END");
        std::string b = TcpExchange(postgres.port(), "REQU_BEGIN" + request + "BAG_END");
        EXPECT_TRUE(a.ends_with("BAG_END")) << request;
        EXPECT_EQ(a, b) << request;
    }
    EXPECT_NE(TcpExchange(postgres.port(), "REQU_BEGIN" + kRequests[4] + "BAG_END")
                  .find("BAG_BEGIN2REC_BEGIN"),
              std::string::npos);  // Java and JAVA
    const std::string target = "/GetZ39Marc.asp?begin=1&num=10&where=ma_name+like+%27" +
                               std::string("%9C%5C") + "%25%27";  // 淺 with its 0x5C
    HttpResult ha = http.Get(sqlite.HttpBase() + target, 5000);
    HttpResult hb = http.Get(postgres.HttpBase() + target, 5000);
    EXPECT_TRUE(ha.ok && hb.ok);
    EXPECT_EQ(ha.body, hb.body);
    // Hostile clauses are refused alike and change nothing.
    for (const std::string where : {" ma_name='x'; DELETE FROM records; --", " id>0",
                                    " ma_name=upper('x')", " ma_name='x' or 1=1"}) {
        EXPECT_EQ(TcpExchange(postgres.port(), "REQU_BEGININIT1@10@" + where + "BAG_END"), "");
        EXPECT_EQ(TcpExchange(sqlite.port(), "REQU_BEGININIT1@10@" + where + "BAG_END"), "");
    }
    EXPECT_EQ(ks::OpenCatalogue(postgres.dbPath(), false)->Count(), 304);
}

TEST(BothEngines, ExactAndPrefixSearchesUseAnIndexOnPostgres) {
    if (Cluster().uri().empty()) GTEST_SKIP() << "PostgreSQL is not installed here";
    CatalogueServerProcess postgres(3000, "", {}, Cluster().uri());
    ASSERT_TRUE(postgres.ok());
    ks::PgCatalogue store(Cluster().uri(), false);
    for (const char* text : {"ma_isbn='1'", "ma_isbn like '97%'", "ma_name='x'",
                             "ma_name like 'x%'", "ma_namepy='X'", "ma_namepy like 'XY%'"}) {
        std::string plan;
        for (auto& row : store.Explain(ks::ParseWhereClause(text).clause)) plan += row + "\n";
        EXPECT_NE(plan.find("Index"), std::string::npos) << text << "\n" << plan;
        EXPECT_EQ(plan.find("Seq Scan"), std::string::npos) << text << "\n" << plan;
    }
}

TEST(BothEngines, TwoFrontEndsOnOneDatabaseSeeEachImportAtOnce) {
    if (Cluster().uri().empty()) GTEST_SKIP() << "PostgreSQL is not installed here";
    CatalogueServerProcess one(100, "", {}, Cluster().uri());
    CatalogueServerProcess two(0, "", {}, Cluster().uri(), false);
    ASSERT_TRUE(one.ok() && two.ok());
    test::TempDir dir;
    std::string record = test::MarcBuilder()
                             .Data("010", "  ", {{'a', "978-7-99-999999-9"}})
                             .Data("200", "1 ", {{'a', "两个前端"}})
                             .Build();
    dir.Write("new.iso", record);
    test::ChildProcess import({test::BinDir() + "/catalogue-server", "import", "--db",
                               Cluster().uri(), dir.File("new.iso")});
    ASSERT_EQ(import.Wait(), 0);
    const std::string isbn = ks::ExtractKeys(record).isbn;
    const std::string request = "REQU_BEGININIT1@1@ ma_isbn='" + isbn + "'BAG_END";
    for (auto* server : {&one, &two}) {
        std::string tcp = TcpExchange(server->port(), request);
        EXPECT_EQ(tcp, "BAG_BEGIN1REC_BEGIN" + record + "REC_ENDBAG_END");
        HttpResult r = CurlHttpClient().Get(
            server->HttpBase() + "/GetZ39Marc.asp?begin=1&num=1&where=ma_isbn%3D%27" + isbn + "%27",
            5000);
        EXPECT_TRUE(r.ok && r.body.starts_with("BAG_BEGIN1REC_BEGIN"));
    }
}

TEST(BothEngines, ALostDatabaseFailsRequestsCleanlyAndServingResumes) {
    test::PgCluster own;  // this one is stopped and started again
    if (own.uri().empty()) GTEST_SKIP() << "PostgreSQL is not installed here";
    CatalogueServerProcess server(200, "", {}, own.uri());
    ASSERT_TRUE(server.ok());
    const std::string request = "REQU_BEGININIT1@1@ ma_isbn='9787536692930'BAG_END";
    const std::string target = "/GetZ39Marc.asp?begin=1&num=1&where=ma_isbn%3D%279787536692930%27";
    ASSERT_TRUE(TcpExchange(server.port(), request).starts_with("BAG_BEGIN1REC_BEGIN"));
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, failedCleanly{0}, malformed{0};
    std::thread load([&] {
        while (!stop) {
            std::string a = TcpExchange(server.port(), request);
            if (a.starts_with("BAG_BEGIN1REC_BEGIN") && a.ends_with("BAG_END"))
                ++answered;
            else if (a.empty())
                ++failedCleanly;
            else
                ++malformed;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(own.Stop());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    HttpResult down = CurlHttpClient().Get(server.HttpBase() + target, 5000);
    EXPECT_FALSE(down.ok);
    EXPECT_EQ(down.status, 503);
    EXPECT_EQ(server.process().WaitFor(1), -2);  // still running
    ASSERT_TRUE(own.Restart());
    bool back = false;
    for (int i = 0; i < 50 && !back; ++i) {
        back = TcpExchange(server.port(), request).starts_with("BAG_BEGIN1REC_BEGIN");
        if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    load.join();
    EXPECT_TRUE(back);
    // A restart while no one asks: once the database is back, no request fails. Every
    // worker still holds its broken connection; it is made anew and the statement run
    // again, not failed on.
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(TcpExchange(server.port(), request).starts_with("BAG_BEGIN1REC_BEGIN"));
    ASSERT_TRUE(own.Stop());
    ASSERT_TRUE(own.Restart());
    int failedAfter = 0;
    for (int i = 0; i < 40; ++i)
        failedAfter += !TcpExchange(server.port(), request).starts_with("BAG_BEGIN1REC_BEGIN");
    EXPECT_EQ(failedAfter, 0);
    EXPECT_GT(failedCleanly.load(), 0);
    EXPECT_EQ(malformed.load(), 0);
    EXPECT_TRUE(CurlHttpClient().Get(server.HttpBase() + target, 5000).ok);
}

}  // namespace
}  // namespace z39
