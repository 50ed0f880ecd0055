#include "backends/shared_catalogue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "backends/ks_scramble.h"
#include "common/gbk_text.h"
#include "search/search_session.h"
#include "support/fakes.h"
#include "support/marc_builder.h"
#include "support/scripted_server.h"
#include "support/session_harness.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

using test::FakeHttp;

TEST(KsUrl, EscapingKeepsTheWorkedExamplesAndMendsTheRest) {
    EXPECT_EQ(EscapeWhereForUrl(" ma_name='" + G("数据") + "'"), "ma_name='" + G("数据") + "'");
    EXPECT_EQ(EscapeWhereForUrl(" ma_name like 'a b%' "), "ma_name%20like%20'a%20b%25'");
    EXPECT_EQ(EscapeWhereForUrl("ma_name='%20'"), "ma_name='%2520'");
    EXPECT_EQ(EscapeWhereForUrl("ma_name='A&B#C+D\tE'"), "ma_name='A%26B%23C%2BD%09E'");
}

TEST(KsEndpoint, PortAndDiscoveredHost) {
    const std::string discovered = "10.0.0.5";
    TargetEntry entry;
    entry.address = "ks.example.org";
    entry.port = "-210";
    KsEndpoint e = ResolveKsEndpoint(discovered, entry);
    EXPECT_EQ(e.host, "10.0.0.5");
    EXPECT_EQ(e.port, 210);
    entry.port = "-";
    EXPECT_EQ(ResolveKsEndpoint(discovered, entry).port, 0);
    entry.port = " 2100 ";
    e = ResolveKsEndpoint(discovered, entry);
    EXPECT_EQ(e.host, "ks.example.org");
    EXPECT_EQ(e.port, 2100);
}

TEST(KsAnswerParsing, TotalsRecordsAndDamage) {
    KsAnswer a = ParseKsAnswer("BAG_BEGIN0BAG_END", true, false);
    EXPECT_TRUE(a.bagBegin);
    EXPECT_EQ(a.total, 0);
    EXPECT_TRUE(a.records.empty());
    a = ParseKsAnswer("junkBAG_BEGIN25REC_BEGINr1REC_ENDBAG_END", true, false);
    EXPECT_EQ(a.total, 25);
    EXPECT_EQ(a.records, std::vector<std::string>{"r1"});
    a = ParseKsAnswer("BAG_BEGIN2xREC_BEGINr1REC_ENDBAG_END", true, false);
    EXPECT_FALSE(a.totalOk);
    EXPECT_FALSE(ParseKsAnswer("nothing", true, false).bagBegin);
    // Further pages carry no total; a record cut short is not taken.
    a = ParseKsAnswer("BAG_BEGINREC_BEGINaREC_ENDREC_BEGINbREC_ENDREC_BEGINc", false, false);
    EXPECT_EQ(a.records, (std::vector<std::string>{"a", "b"}));
    // HTTP records are key "@@" scrambled body; no "@@" gives an empty record.
    std::string body = ScrambleRecord("17", "00123 rec 45");
    a = ParseKsAnswer("BAG_BEGIN2REC_BEGIN17@@" + body + "REC_ENDREC_BEGINbadREC_ENDBAG_END", true,
                      true);
    EXPECT_EQ(a.records, (std::vector<std::string>{"00123 rec 45", ""}));
}

TEST(KsPaging, WorkedExampleArithmetic) {
    const std::string title = " ma_name like 'x%'", isbn = " ma_isbn='1'";
    EXPECT_EQ(SharedCatalogueCount(25, 2, 10, "0", title), 10);
    EXPECT_EQ(SharedCatalogueCount(25, 12, 10, "0", title), 10);
    EXPECT_EQ(SharedCatalogueCount(25, 22, 10, "0", title), 4);
    EXPECT_EQ(SharedCatalogueCount(25, 2, 10, "1", isbn), 24);
    EXPECT_EQ(SharedCatalogueCount(25, 2, 10, "1", title), 10);
    EXPECT_EQ(SharedCatalogueCount(25, 30, 10, "0", title), -4);  // sent unchanged
}

TEST(SearchSessionStart, NoTargetChosenIsAFailureWithoutAnyExchange) {
    test::TempDir dir;
    dir.Write("z39svr.cfg", "");
    AppState state;
    state.files = MakeWorkingFiles(dir.path());
    RecordStore store(dir.File("_list.~"));
    ResultIndex index;
    FakeHttp http;
    test::RecordingUi ui;
    test::FakeClock clock;
    TargetSelection targets;
    targets.Load(dir.File("z39svr.cfg"), state.settings);
    ASSERT_EQ(targets.CurrentTarget(), 0);
    SharedCatalogueBackend ks(
        http, [] { return std::make_unique<PosixTcpClient>(); }, clock);
    test::UnreachedBackend other;
    BackendRegistry backends = test::RegistryOf(ks, other, other);
    SearchSession session({state, store, index, ui, backends});
    SearchOutcome out = session.Start(targets, {{"", "ISBN", "1"}}, "10");
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    EXPECT_TRUE(http.requests.empty());
    EXPECT_TRUE(session.Next("1", "10").connectionFailed);
    EXPECT_EQ(other.calls, 0);
}

TEST(HostDiscovery, CleansTheAddressAndFallsBackOnlyForTheMakersSites) {
    Z39Settings settings;
    settings.KSIP = " web.example.org ";
    settings.KSPORT = "-210";
    FakeHttp http;
    http.Answer("http://web.example.org/hosts.txt", "  10.0.0.5\r\n");
    std::string host = GetTesmarkIPAddr(settings, "", http);
    EXPECT_EQ(host, "10.0.0.5");
    EXPECT_EQ(http.lastTimeoutMs, 6000);
    EXPECT_EQ(GetTesmarkIPAddr(settings, host, http), host);  // known: no second request
    EXPECT_EQ(http.requests.size(), 1u);

    http.Answer("http://web.example.org/hosts.txt", "<html>an error page of some length</html>");
    EXPECT_EQ(GetTesmarkIPAddr(settings, "", http), "");

    settings.KSIP = "WWW.daiheng.example.com";
    http.Answer("http://ks2.daiheng.example.com/hosts.txt", "10.1.2.3\n");
    EXPECT_EQ(GetTesmarkIPAddr(settings, "", http), "10.1.2.3");
    EXPECT_EQ(http.requests.back(), "http://ks2.daiheng.example.com/hosts.txt");

    size_t before = http.requests.size();
    settings.KSPORT = "210";  // no "-": nothing to discover
    EXPECT_EQ(GetTesmarkIPAddr(settings, "", http), "");
    EXPECT_EQ(http.requests.size(), before);
}

// The shared catalogue over a scripted loopback server.
class KsFaultTest : public ::testing::Test {
  protected:
    SharedCatalogueBackend& Backend() {
        backend = std::make_unique<SharedCatalogueBackend>(
            *http, [] { return std::make_unique<PosixTcpClient>(); }, *clock);
        return *backend;
    }
    // The first page alone (edNum 1: nothing follows it to fill the list).
    SearchOutcome Search(int port, bool useHttp = false) {
        state.settings.KSUSEHTTP = useHttp ? 1 : 0;
        h.profile.entry.address = "127.0.0.1";
        h.profile.entry.port = std::to_string(port - (useHttp ? 1 : 0));
        return h.Start(Backend(), test::TitleRows("x"), "1");
    }
    std::string record = test::MarcBuilder().Data("200", "1 ", {{'a', "书名"}}).Build();
    test::TempDir dir;
    test::SessionHarness h{dir.File("_list.~"), TargetKind::kSharedCatalogue};
    AppState& state = h.state;
    RecordStore& store = h.store;
    test::RecordingUi ui;
    std::unique_ptr<SharedCatalogueBackend> backend;
    CurlHttpClient realHttp;
    HttpClient* http = &realHttp;
    SteadyClock steady;
    test::FakeClock fake;
    Clock* clock = &steady;
};

TEST_F(KsFaultTest, AnswerInTwoPiecesLosesNothing) {
    test::ScriptedServer server({{{{"BAG_BEGIN2REC_BEGIN" + record + "REC_END", 0},
                                   {"REC_BEGIN" + record + "REC_ENDBAG_END", 300}}}});
    SearchOutcome out = Search(server.port());
    EXPECT_EQ(server.requests()[0], "REQU_BEGININIT1@1@ ma_name='x'BAG_END");
    EXPECT_EQ(out.total, 2);
    // Both pieces are read; the first page asked for one record and keeps one.
    EXPECT_EQ(out.rows.size(), 1u);
    EXPECT_EQ(out.statusMessage, FoundStatus(2) + ShownStatus(1, 2));
    EXPECT_EQ(store.LoadRecord(0), record);
    EXPECT_EQ(store.LoadRecord(1), "");
}

TEST_F(KsFaultTest, WhatIsNoWholeIso2709RecordIsNeitherListedNorHandedOver) {
    std::string shortLeader = record;
    shortLeader.replace(0, 5, "00099");  // the leader says a length the record does not have
    test::MarcBuilder big;
    big.Data("200", "1 ", {{'a', "x"}});
    for (int i = 0; i < 12; ++i) big.Raw(std::to_string(330 + i), std::string(9000, 'a'));
    const std::string huge = big.Build();  // past 99,999 bytes: its leader cannot say so
    ASSERT_GT(huge.size(), 99999u);
    for (const std::string& bad :
         {std::string("hello, I am not a MARC record"), shortLeader, huge}) {
        test::ScriptedServer server({{{{"BAG_BEGIN1REC_BEGIN" + bad + "REC_ENDBAG_END", 0}}}});
        state.launch.launchQuery = "NAME@x";  // one hit would be handed over at once
        SearchOutcome out = Search(server.port());
        EXPECT_FALSE(out.connectionFailed);
        EXPECT_EQ(out.total, 1);
        EXPECT_TRUE(out.rows.empty());
        EXPECT_FALSE(out.autoSave);
        EXPECT_EQ(store.LoadRecord(0), "");
        EXPECT_NE(out.notice.find(G("没有列出，也不会保存")), std::string::npos);
    }
}

TEST_F(KsFaultTest, ConnectionRefusedShowsTheSocketErrorAndFails) {
    int port;
    {
        test::ScriptedServer closed({});
        port = closed.port();
    }
    state.discoveredHost = "stale";
    SearchOutcome out = Search(port);
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    EXPECT_FALSE(out.nextEnabled);
    EXPECT_TRUE(out.searchCompleted);
    EXPECT_EQ(state.discoveredHost, "");
    // The socket error comes back as a value, for the window to show; the back end, which
    // may run on a worker, shows nothing itself.
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(out.alerts,
              (std::vector<UserMessage>{{G("网络了解错误"), std::to_string(ECONNREFUSED)}}));
}

TEST_F(KsFaultTest, SilentServerEndsAfterTheIdleLimit) {
    test::ScriptedServer server({{{}, true}});
    clock = &fake;
    SearchOutcome out = Search(server.port());
    EXPECT_EQ(fake.NowMs(), 60000);     // 600 rounds of 100 ms, none of them real
    EXPECT_TRUE(out.connectionFailed);  // no answer at all is no "no data"
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
}

TEST_F(KsFaultTest, ReplyCutBeforeItsEndIsAFailure) {
    test::ScriptedServer server({{{{"BAG_BEGIN3REC_BEGIN" + record + "REC_ENDREC_BEGIN00", 0}}}});
    SearchOutcome out = Search(server.port());
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
}

TEST_F(KsFaultTest, NoDataUnparsableTotalAndHttpErrors) {
    test::ScriptedServer server(
        {{{{"BAG_BEGIN0BAG_END", 0}}},
         {{{"BAG_BEGIN2xREC_BEGIN" + record + "REC_ENDBAG_END", 0}}},
         {{{"HTTP/1.0 500 Internal Server Error\r\n\r\nBAG_BEGIN0BAG_END", 0}}},
         {{{"HTTP/1.0 200 OK\r\n\r\nBAG_BEGIN1REC_BEGIN9@@BEbadND", 0}}}});
    SearchOutcome out = Search(server.port());
    EXPECT_EQ(out.total, 0);
    EXPECT_TRUE(out.rows.empty());
    EXPECT_EQ(out.statusMessage, NoDataStatus());
    EXPECT_EQ(out.hitLabel, G("共有 0 条"));
    EXPECT_TRUE(Search(server.port()).connectionFailed);
    EXPECT_TRUE(Search(server.port() + 0, true).connectionFailed);  // HTTP 500
    EXPECT_TRUE(Search(server.port(), true).connectionFailed);      // cut HTTP body
    EXPECT_TRUE(ui.messages.empty());
}

// Sleeps a hundredth of what it is asked and counts the whole: a 120 s deadline passes in
// about a second and a quarter of real time.
class ScaledClock final : public Clock {
  public:
    int64_t NowMs() override { return now_; }
    void SleepMs(int ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(ms * 10));
        now_ += ms;
    }

  private:
    int64_t now_ = 0;
};

long OwnPeakRssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    return -1;
}

TEST_F(KsFaultTest, EndlessAnswerFailsAtTheSizeCapWithMemoryBounded) {
    test::ScriptedServer::Script endless{{{"BAG_BEGIN5REC_BEGIN", 0}}, false, [](int fd) {
                                             static const std::string chunk(65536, 'x');
                                             return ::send(fd, chunk.data(), chunk.size(),
                                                           MSG_NOSIGNAL) > 0;
                                         }};
    test::ScriptedServer server({endless});
    [[maybe_unused]] const long before = OwnPeakRssKb();
    // Without the cap the exchange would run into its 120 s deadline, past the test's limit.
    SearchOutcome out = Search(server.port());
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
#if !defined(__SANITIZE_ADDRESS__)                   // its quarantine keeps freed memory counted
    EXPECT_LT(OwnPeakRssKb() - before, 256 * 1024);  // the cap plus a copy or two
#endif
}

TEST_F(KsFaultTest, TricklingAnswerFailsAtTheExchangeDeadline) {
    test::ScriptedServer::Script trickle{
        {{"BAG_BEGIN5", 0}}, false, [](int fd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return ::send(fd, "x", 1, MSG_NOSIGNAL) > 0;
        }};
    test::ScriptedServer server({trickle});
    ScaledClock scaled;
    clock = &scaled;
    SearchOutcome out = Search(server.port());
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_GE(scaled.NowMs(), kKsExchangeDeadlineMs);
    EXPECT_LT(scaled.NowMs(), kKsExchangeDeadlineMs + 1000);
}

TEST_F(KsFaultTest, MoreRecordsThanAskedAreNotKeptAndHugeHitCountsRead) {
    std::string many;
    const std::string tiny = test::MarcBuilder().Data("200", "1 ", {{'a', "t"}}).Build();
    for (int i = 0; i < 100000; ++i) many += "REC_BEGIN" + tiny + "REC_END";
    test::ScriptedServer server({{{{"BAG_BEGIN1000000000000" + many + "BAG_END", 0}}},
                                 {{{"BAG_BEGIN" + many + "BAG_END", 0}}}});
    auto started = std::chrono::steady_clock::now();
    SearchOutcome out = Search(server.port());
    EXPECT_FALSE(out.connectionFailed);
    EXPECT_EQ(out.total, 1000000000000);
    EXPECT_EQ(out.statusMessage, FoundStatus(1000000000000) + ShownStatus(1, 1000000000000));
    EXPECT_EQ(out.rows.size(), 1u);
    out = h.Next("2", "10");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count();
    EXPECT_EQ(out.rows.size(), 11u);
    EXPECT_EQ(out.nextStart, 12);
    std::printf("100,000 records sent for 1 and 10 asked: %lld ms\n", static_cast<long long>(ms));
}

TEST_F(KsFaultTest, MalformedAnswersFailAndACappedPageMovesOnByWhatCame) {
    std::string three;
    for (int i = 0; i < 3; ++i) three += "REC_BEGIN" + record + "REC_END";
    test::ScriptedServer server(
        {{{{"BAG_BEGIN1REC_BEGIN" + record + "REC_BEGINREC_ENDBAG_END", 0}}},
         {{{"BAG_BEGIN1REC_BEGIN" + record + "REC_ENDjunkBAG_END", 0}}},
         {{{"BAG_BEGIN25REC_BEGIN" + record + "REC_ENDBAG_END", 0}}},
         {{{"BAG_BEGIN" + three + "BAG_END", 0}}},
         {{}}});
    EXPECT_TRUE(Search(server.port()).connectionFailed);  // a record nesting REC_BEGIN
    EXPECT_TRUE(Search(server.port()).connectionFailed);  // bytes between the frames
    SearchOutcome out = Search(server.port());
    ASSERT_FALSE(out.connectionFailed);
    // Asked for 24, the server sent 3 (its cap): the next page starts after those 3.
    out = h.Next("2", "24");
    EXPECT_EQ(out.rows.size(), 4u);
    EXPECT_EQ(out.nextStart, 5);
    EXPECT_TRUE(out.nextEnabled);
    // A peer that closes without a word: a failure, and the list stays as it was.
    out = h.Next("5", "10");
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.rows.size(), 4u);
}

}  // namespace
}  // namespace z39
