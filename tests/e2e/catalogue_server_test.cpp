#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "backends/http_client.h"
#include "backends/ks_scramble.h"
#include "catalogue_db.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "records/marc_record.h"
#include "support/catalogue_server_process.h"
#include "support/loopback.h"
#include "support/marc_builder.h"
#include "support/pg_cluster.h"

namespace z39 {
namespace {

using test::CatalogueServerProcess;
using test::TcpExchange;

// The records framed in an answer; over HTTP they are unscrambled.
std::vector<std::string> Records(const std::string& answer, bool http) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        size_t begin = answer.find("REC_BEGIN", pos);
        if (begin == std::string::npos) break;
        size_t end = answer.find("REC_END", begin);
        if (end == std::string::npos) break;
        std::string record = answer.substr(begin + 9, end - begin - 9);
        if (http) {
            size_t at = record.find("@@");
            record = UnscrambleRecord(record.substr(0, at), record.substr(at + 2));
        }
        out.push_back(record);
        pos = end + 7;
    }
    return out;
}

std::string TotalOf(const std::string& answer) {
    size_t rec = answer.find("REC_BEGIN");
    size_t end = rec == std::string::npos ? answer.find("BAG_END") : rec;
    return answer.substr(9, end - 9);
}

std::string HttpQuery(const std::string& where) {
    return ReplaceAll(ReplaceAll(where, "%", "%25"), " ", "%20");
}

// The same end-to-end cases on both engines: an SQLite file, and PostgreSQL on a
// throw-away cluster of the test's own (skipped where PostgreSQL is not installed).
class CatalogueServerTest : public ::testing::TestWithParam<bool> {
  protected:
    static test::PgCluster& Cluster() {
        static test::PgCluster cluster;
        return cluster;
    }
    static CatalogueServerProcess* ServerFor(bool postgres) {
        static std::map<bool, std::unique_ptr<CatalogueServerProcess>> servers;
        auto& s = servers[postgres];
        if (!s)
            s = std::make_unique<CatalogueServerProcess>(
                300, "10.0.0.5", std::vector<std::string>{}, postgres ? Cluster().uri() : "");
        return s.get();
    }
    void SetUp() override {
        if (GetParam() && (!test::PgCluster::Installed() || Cluster().uri().empty()))
            GTEST_SKIP() << "PostgreSQL is not installed here";
        server = ServerFor(GetParam());
        ASSERT_TRUE(server && server->ok()) << "catalogue-server did not start";
    }

    std::string Tcp(const std::string& body) {
        return TcpExchange(server->port(), "REQU_BEGIN" + body + "BAG_END");
    }
    HttpResult Http(const std::string& query) {
        return http.Get(server->HttpBase() + "/GetZ39Marc.asp?" + query, 5000);
    }
    std::unique_ptr<ks::CatalogueStore> Store() {
        return ks::OpenCatalogue(server->dbPath(), false);
    }

    CatalogueServerProcess* server = nullptr;
    CurlHttpClient http;
};

TEST_P(CatalogueServerTest, PagesAreTheSameOverTcpAndHttpAndAsStored) {
    const std::string where = " ma_name like '" + G(ks::kPagingTitleWord) + "%'";
    std::string tcpFirst = Tcp("INIT1@10@" + where);
    HttpResult httpFirst = Http("begin=1&num=10&where=" + HttpQuery(Trim(where)));
    ASSERT_TRUE(httpFirst.ok) << httpFirst.error;
    EXPECT_EQ(TotalOf(tcpFirst), "25");
    EXPECT_EQ(TotalOf(httpFirst.body), "25");
    auto tcpRecords = Records(tcpFirst, false);
    ASSERT_EQ(tcpRecords.size(), 10u);
    EXPECT_EQ(Records(httpFirst.body, true), tcpRecords);

    auto stored = Store()->Search(ks::ParseWhereClause(where).clause, 1, 100, true);
    ASSERT_EQ(stored.total, 25);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(tcpRecords[i], stored.hits[i].record);

    std::string tcpNext = Tcp("22@10@" + where);
    HttpResult httpNext = Http("next=ok&begin=22&num=10&where=" + HttpQuery(Trim(where)));
    EXPECT_TRUE(tcpNext.starts_with("BAG_BEGINREC_BEGIN"));  // no total on further pages
    auto next = Records(tcpNext, false);
    ASSERT_EQ(next.size(), 4u);
    EXPECT_EQ(Records(httpNext.body, true), next);
    EXPECT_EQ(next[3], stored.hits[24].record);
}

// A client paging on asks for the position after the page it got: that page is found from
// the last id served (through the index), and is the page counting out from the first
// match would give, page after page and for any page size; a page asked for out of turn is
// counted out as before.
TEST_P(CatalogueServerTest, PagingOnGivesThePagesCountedOutFromTheFirst) {
    const std::string where = " ma_name like '" + G(ks::kPagingTitleWord) + "%'";
    auto stored = Store()->Search(ks::ParseWhereClause(where).clause, 1, 100, true);
    ASSERT_EQ(stored.total, 25);
    std::vector<std::string> paged = Records(Tcp("INIT1@1@" + where), false);
    for (int start = 2, size = 3; start <= 25; start += size, size += 2) {
        auto page =
            Records(Tcp(std::to_string(start) + "@" + std::to_string(size) + "@" + where), false);
        ASSERT_FALSE(page.empty()) << start;
        paged.insert(paged.end(), page.begin(), page.end());
    }
    ASSERT_EQ(paged.size(), 25u);
    for (size_t i = 0; i < paged.size(); ++i) EXPECT_EQ(paged[i], stored.hits[i].record) << i;
    // Out of turn, and again after a page that ended elsewhere.
    auto jump = Records(Tcp("13@4@" + where), false);
    ASSERT_EQ(jump.size(), 4u);
    EXPECT_EQ(jump[0], stored.hits[12].record);
    EXPECT_EQ(Records(Tcp("17@2@" + where), false).at(1), stored.hits[17].record);
}

TEST_P(CatalogueServerTest, IsbnSearchAndEmptyPages) {
    std::string answer = Tcp("INIT1@1@ ma_isbn='9787536692930'");
    EXPECT_EQ(TotalOf(answer), "1");
    ASSERT_EQ(Records(answer, false).size(), 1u);
    EXPECT_NE(DisplayLine(Records(answer, false)[0]).find(G("三体")), std::string::npos);
    EXPECT_EQ(Tcp("INIT1@1@ ma_isbn='0000000000000'"), "BAG_BEGIN0BAG_END");
    EXPECT_EQ(Tcp("26@10@ ma_name like '" + G(ks::kPagingTitleWord) + "%'"), "BAG_BEGINBAG_END");
    EXPECT_EQ(Tcp("INIT1@0@ ma_name like '" + G(ks::kPagingTitleWord) + "%'"),
              "BAG_BEGIN25BAG_END");
    EXPECT_EQ(Http("next=ok&begin=1&num=0&where=ma_isbn='9787536692930'").body, "BAG_BEGINBAG_END");
    // Pinyin initials ignore case.
    EXPECT_EQ(TotalOf(Tcp("INIT1@1@ ma_namepy='st'")), TotalOf(Tcp("INIT1@1@ ma_namepy='ST'")));
}

TEST_P(CatalogueServerTest, HostsFile) {
    HttpResult r = http.Get(server->HttpBase() + "/hosts.txt", 5000);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.body, "10.0.0.5");
}

TEST_P(CatalogueServerTest, HostileRequestsAreRefusedAndChangeNothing) {
    int64_t count = Store()->Count();
    const std::vector<std::string> hostile = {" ma_name='x'; DELETE FROM records; --",
                                              " ma_name='x' or 1=1",
                                              " ma_name='x' union select record from records",
                                              " id>0",
                                              " ma_name=upper('x')",
                                              " (ma_name='x')",
                                              " ma_name like '%'||'x'",
                                              std::string(" ma_name='\0'; drop", 18),
                                              " ma_name='" + std::string(100000, 'a') + "'"};
    for (const auto& where : hostile) {
        // Refused: the connection closes without an answer, as a failed connection.
        EXPECT_EQ(Tcp("INIT1@10@" + where), "") << where.substr(0, 60);
        HttpResult r = Http("begin=1&num=10&where=" + HttpQuery(Trim(where)));
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.status == 400 || r.status == 414 || r.status == 0) << r.status;
    }
    EXPECT_EQ(TcpExchange(server->port(), "NOT A REQUEST"), "");
    EXPECT_EQ(Store()->Count(), count);
    EXPECT_EQ(TotalOf(Tcp("INIT1@1@ ma_isbn='9787536692930'")), "1");
}

TEST_P(CatalogueServerTest, TwentyClientsTwoThousandRequestsNothingLost) {
    const std::string where = " ma_name like '" + G(ks::kPagingTitleWord) + "%'";
    std::atomic<int> good{0}, bad{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 20; ++c) {
        clients.emplace_back([&, c] {
            CurlHttpClient client;
            for (int i = 0; i < 100; ++i) {
                bool viaHttp = (c + i) % 2 == 0;
                std::string answer =
                    viaHttp ? client
                                  .Get(server->HttpBase() + "/GetZ39Marc.asp?begin=1&num=5&where=" +
                                           HttpQuery(Trim(where)),
                                       10000)
                                  .body
                            : Tcp("INIT1@5@" + where);
                bool ok = TotalOf(answer) == "25" && Records(answer, viaHttp).size() == 5 &&
                          answer.ends_with("BAG_END");
                (ok ? good : bad)++;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(good.load(), 2000);
    EXPECT_EQ(bad.load(), 0);
}

TEST_P(CatalogueServerTest, IdleConnectionsDoNotHoldUpOthers) {
    std::vector<std::unique_ptr<test::LoopbackConnection>> idle;
    for (int i = 0; i < 50; ++i) {
        idle.push_back(std::make_unique<test::LoopbackConnection>(i % 2 ? server->port()
                                                                        : server->httpPort()));
        ASSERT_TRUE(idle.back()->ok());
    }
    idle.front()->Send("REQU_BEGININIT1@1@ ma_na");  // a slow client, half a request
    // Each answered within a second, or the exchange gives up.
    std::string tcp =
        TcpExchange(server->port(), "REQU_BEGININIT1@1@ ma_isbn='9787536692930'BAG_END", 1000);
    HttpResult http1 = http.Get(
        server->HttpBase() + "/GetZ39Marc.asp?begin=1&num=1&where=ma_isbn='9787536692930'", 1000);
    EXPECT_EQ(TotalOf(tcp), "1");
    EXPECT_TRUE(http1.ok);
}

INSTANTIATE_TEST_SUITE_P(Engines, CatalogueServerTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "PostgreSQL" : "SQLite";
                         });

TEST(CatalogueServerImport, LoadsGoodRecordsAndReportsTheBadOne) {
    test::TempDir dir;
    std::string file = ks::DemoRecord(0, 10) + "\r\n" + "00099nam0 22000xx   450 garbage\x1D" +
                       "\n" + ks::DemoRecord(1, 10);
    dir.Write("in.iso", file);
    test::ChildProcess import({test::BinDir() + "/catalogue-server", "import", "--db",
                               dir.File("c.db"), dir.File("in.iso")});
    ASSERT_TRUE(import.WaitForOutput("loaded", 10000));
    EXPECT_EQ(import.Wait(), 0);
    EXPECT_NE(import.output().find("loaded 2 records, skipped 1"), std::string::npos)
        << import.output();
    ks::CatalogueDb db(dir.File("c.db"), false);
    auto page = db.Search(ks::ParseWhereClause("ma_namepy='HZ'").clause, 1, 10, true);
    ASSERT_EQ(page.total, 1);
    EXPECT_EQ(page.hits[0].record, ks::DemoRecord(1, 10));
}

// `catalogue-server import` with its standard error folded into what we read.
struct ImportRun {
    int status = -1;
    std::string output;
};
ImportRun RunImport(const std::string& db, const std::vector<std::string>& files) {
    std::string command =
        "exec \"" + test::BinDir() + "/catalogue-server\" import --db '" + db + "'";
    for (const auto& f : files) command += " '" + f + "'";
    test::ChildProcess import({"/bin/sh", "-c", command + " 2>&1"});
    ImportRun r;
    import.WaitForOutput("\x04never", 20000);  // everything, until it ends
    r.output = import.output();
    r.status = import.Wait();
    return r;
}

TEST(CatalogueServerImport, RefusesWhatIsNoRegularFileOfRecords) {
    test::TempDir dir;
    const std::string db = dir.File("c.db");
    EXPECT_EQ(RunImport(db, {dir.File("missing.iso")}).status, 1);
    EXPECT_EQ(RunImport(db, {dir.path()}).status, 1);
    ::mkfifo(dir.File("fifo").c_str(), 0600);
    ImportRun fifo = RunImport(db, {dir.File("fifo")});  // would block a plain read
    EXPECT_EQ(fifo.status, 1);
    EXPECT_NE(fifo.output.find("not a regular file"), std::string::npos) << fifo.output;
    dir.Write("empty.iso", "");
    EXPECT_EQ(RunImport(db, {dir.File("empty.iso")}).status, 1);
    // A file of junk: linear time, and a summary instead of a line per byte.
    dir.Write("junk.iso", std::string(2 * 1024 * 1024, '\x1D'));
    auto started = std::chrono::steady_clock::now();
    ImportRun junk = RunImport(db, {dir.File("junk.iso")});
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count();
    EXPECT_EQ(junk.status, 1);
    EXPECT_LT(std::count(junk.output.begin(), junk.output.end(), '\n'), 30) << junk.output;
    EXPECT_NE(junk.output.find("records skipped in all"), std::string::npos);
    std::printf("2 MB of record terminators imported in %lld ms\n", static_cast<long long>(ms));
}

TEST(CatalogueServerImport, RefusesRecordsTheProtocolCannotFrameOrThatAreBroken) {
    test::TempDir dir;
    const std::string framed =
        test::MarcBuilder().Data("200", "1 ", {{'a', "A REC_END B"}}).Build();
    std::string pastEnd = ks::DemoRecord(2, 10);
    pastEnd.replace(24 + 3, 4, "9999");  // the first directory entry runs past the data
    dir.Write("in.iso", ks::DemoRecord(0, 10) + framed + pastEnd);
    ImportRun r = RunImport(dir.File("c.db"), {dir.File("in.iso")});
    EXPECT_EQ(r.status, 0);  // one record loaded
    EXPECT_NE(r.output.find("record 2 at byte"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("REC_END"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("record 3 at byte"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("loaded 1 records, skipped 2"), std::string::npos) << r.output;
}

TEST(CatalogueServerSignals, AGoneLogReaderAndAHangUpDoNotEndTheServer) {
    test::TempDir dir;
    {
        test::ChildProcess demo({test::BinDir() + "/catalogue-server", "demo", "--db",
                                 dir.File("c.db"), "--records", "20", "--force"});
        demo.Wait();
    }
    const int port = test::FreePortPair();
    // Standard error is a FIFO whose only reader has gone: every log line meets EPIPE.
    ::mkfifo(dir.File("log").c_str(), 0600);
    test::ChildProcess server({"/bin/sh", "-c",
                               "(exec 3<'" + dir.File("log") + "') & exec \"" + test::BinDir() +
                                   "/catalogue-server\" serve --db '" + dir.File("c.db") +
                                   "' --port " + std::to_string(port) + " 2>'" + dir.File("log") +
                                   "'"});
    ASSERT_TRUE(server.WaitForOutput("listening", 10000)) << server.output();
    const std::string request = "REQU_BEGININIT1@1@ ma_isbn='9787536692930'BAG_END";
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(test::TcpExchange(port, request).starts_with("BAG_BEGIN")) << i;
    }
    ::kill(server.pid(), SIGHUP);
    EXPECT_TRUE(test::TcpExchange(port, request).starts_with("BAG_BEGIN"));
    EXPECT_EQ(::kill(server.pid(), 0), 0);  // still running
}

}  // namespace
}  // namespace z39
