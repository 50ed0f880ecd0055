#include <gtest/gtest.h>

#include "backends/external_z39.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "records/marc_record.h"
#include "search/search_session.h"
#include "support/fakes.h"
#include "support/temp_dir.h"
#include "support/ztest_process.h"

namespace z39 {
namespace {

class Z39SearchTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        logDir = new test::TempDir;
        ztest = new test::ZtestProcess(logDir->File("ztest.log"));
    }
    static void TearDownTestSuite() {
        delete ztest;
        ztest = nullptr;
        delete logDir;
        logDir = nullptr;
    }
    // The request lines of the server's log that name `kind` ("Search", "Present").
    static int LoggedRequests(const std::string& kind) {
        std::string log = logDir->Read("ztest.log");
        int n = 0;
        for (size_t at = log.find("[request] " + kind); at != std::string::npos;
             at = log.find("[request] " + kind, at + 1))
            ++n;
        return n;
    }
    void SetUp() override {
        ASSERT_TRUE(ztest && ztest->ok()) << "yaz-ztest did not start";
        state.files = MakeWorkingFiles(dir.path());
        dir.Write("z39svr.cfg", "{Test\n[ztest\n(Default,127.0.0.1," +
                                    std::to_string(ztest->port()) + ",0,,)\n(Default,127.0.0.1," +
                                    std::to_string(closedPort) + ",0,,)\n(Default,127.0.0.1," +
                                    std::to_string(ztest->port()) + ",1,reader,secret)\n]\n}\n");
        targets.Load(dir.File("z39svr.cfg"), state.settings);
        index.SetSorted(false);
    }
    // edNum 1 by default: the first request alone, as the protocol tests below count it.
    SearchOutcome Start(int slot, std::vector<SearchCondition> rows,
                        const std::string& count = "1") {
        IniFile ini(dir.File("Z39.ini"));
        targets.Select(slot, state, ini);
        return session.Start(targets, rows, count);
    }

    static test::ZtestProcess* ztest;
    static test::TempDir* logDir;
    static constexpr int closedPort = 1;
    test::TempDir dir;
    AppState state;
    RecordStore store{dir.File("_list.~")};
    ResultIndex index;
    test::RecordingUi ui;
    test::FakeClock clock;
    SteadyClock steady;
    ProcessRunner runner{ui, steady, 30000};
    ExternalZ39Backend backend{runner, clock, Z39WorkFilesIn(dir.path()), test::BinDir() + "/yazc"};
    TargetSelection targets;
    test::UnreachedBackend ks, opac;
    BackendRegistry backends = test::RegistryOf(ks, backend, opac);
    SearchSession session{{state, store, index, ui, backends}};
};
test::ZtestProcess* Z39SearchTest::ztest = nullptr;
test::TempDir* Z39SearchTest::logDir = nullptr;

TEST_F(Z39SearchTest, FirstSearchAndFurtherPages) {
    SearchOutcome out = Start(4, {{"", G("题名"), "computer"}}, "10");
    ASSERT_FALSE(out.connectionFailed) << dir.Read("_mess.~");
    EXPECT_GT(out.total, 22);
    // The first record came with the search; the page was filled with the next nine.
    EXPECT_NE(dir.Read("_zinit.~").find("show 2+9\r\n"), std::string::npos);
    EXPECT_EQ(out.rows.size(), 10u);
    EXPECT_EQ(out.statusMessage, FoundStatus(out.total) + ShownStatus(10, out.total));
    EXPECT_TRUE(out.nextEnabled);
    std::string first = store.LoadRecord(0);
    EXPECT_EQ(first.size(),
              static_cast<size_t>(std::stoi(first.substr(0, 5))));  // a whole ISO 2709 record
    const int64_t total = out.total;

    out = session.Next("11", "10");
    EXPECT_NE(dir.Read("_zinit.~").find("show 11+10\r\n"), std::string::npos);
    EXPECT_EQ(out.rows.size(), 20u);
    EXPECT_EQ(out.nextStart, 21);
    while (out.nextEnabled) out = session.Next(std::to_string(out.nextStart), "10");
    EXPECT_EQ(out.nextStart, total + 1);
    // yaz-ztest serves USMARC (MARC21) records: every one is listed, with a display line
    // from its MARC21 fields, so the list holds as many rows as the server reported hits.
    EXPECT_EQ(static_cast<int64_t>(index.size()), total);
    EXPECT_EQ(static_cast<int64_t>(out.rows.size()), total);
    for (size_t i = 0; i < index.size(); ++i) {
        std::string record = index.RecordAt(i, store);
        EXPECT_EQ(record.size(), static_cast<size_t>(std::stoi(record.substr(0, 5))));
        EXPECT_FALSE(DisplayLine(record).empty());
    }
}

TEST_F(Z39SearchTest, TheFirstPageComesWithTheSearchAndAFurtherPageInOnePresent) {
    int searches = LoggedRequests("Search"), presents = LoggedRequests("Present");
    SearchOutcome out = Start(4, {{"", G("题名"), "computer"}});
    ASSERT_GT(out.total, 12);
    // The search answer brought the first record: no Present.
    EXPECT_EQ(LoggedRequests("Search") - searches, 1);
    EXPECT_EQ(LoggedRequests("Present") - presents, 0);
    EXPECT_NE(logDir->Read("ztest.log").find(" 1 1+1 RPN"), std::string::npos);
    out = session.Next("2", "10");
    EXPECT_EQ(out.rows.size(), 11u);
    // A further page: one search, and its page presented in one request.
    EXPECT_EQ(LoggedRequests("Search") - searches, 2);
    EXPECT_EQ(LoggedRequests("Present") - presents, 1);
    EXPECT_NE(logDir->Read("ztest.log").find("Present OK -   1 2+10"), std::string::npos);
}

TEST_F(Z39SearchTest, RowThreeWithoutRowTwoSearchesRowOneOnly) {
    SearchOutcome out = Start(
        4, {{"", G("题名"), "computer"}, {G("并且"), "ISBN", ""}, {G("或者"), G("著者"), "x"}});
    EXPECT_FALSE(out.connectionFailed);
    EXPECT_NE(dir.Read("_zinit.~").find("\r\nf @attr 1=4 computer\r\nshow\r\n"), std::string::npos);
}

TEST_F(Z39SearchTest, AuthenticationLineWhenConfigured) {
    SearchOutcome out = Start(6, {{"", "ISBN", "123"}});
    EXPECT_FALSE(out.connectionFailed);
    EXPECT_TRUE(
        dir.Read("_zinit.~").starts_with("authentication reader secret\r\nopen 127.0.0.1:"));
    state.settings.PROXYSIGN = 1;
    state.settings.PROXYIP = "127.0.0.1";
    state.settings.PROXYPORT = std::to_string(ztest->port());
    Start(4, {{"", "ISBN", "123"}});
    EXPECT_TRUE(dir.Read("_zinit.~")
                    .starts_with("proxy 127.0.0.1:" + std::to_string(ztest->port()) + "\r\nopen "));
}

TEST_F(Z39SearchTest, ClosedPortIsAConnectionFailure) {
    SearchOutcome out = Start(5, {{"", "ISBN", "123"}});
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    // The status bar also names the server and the cause.
    EXPECT_TRUE(out.statusDetail.starts_with("[127.0.0.1:")) << GbkToUtf8(out.statusDetail);
    EXPECT_NE(out.statusDetail.find(G("连接失败")), std::string::npos)
        << GbkToUtf8(out.statusDetail);
    EXPECT_NE(dir.Read("_mess.~").find("Connecting...error"), std::string::npos);
}

}  // namespace
}  // namespace z39
