#include <gtest/gtest.h>

#include "backends/shared_catalogue.h"
#include "catalogue_db.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "record_import.h"
#include "search/search_session.h"
#include "support/catalogue_server_process.h"
#include "support/fakes.h"
#include "support/marc_builder.h"

namespace z39 {
namespace {

// Counts requests and passes them to the real client.
class CountingHttp final : public HttpClient {
  public:
    HttpResult Get(const std::string& url, int timeoutMs, const CancelToken* cancel) override {
        urls.push_back(url);
        return real.Get(url, timeoutMs, cancel);
    }
    CurlHttpClient real;
    std::vector<std::string> urls;
};

// Sends a where-clause as it stands, past the translation of the search rows.
class RawWhere final : public SearchBackend {
  public:
    RawWhere(SharedCatalogueBackend& ks, std::string where) : ks_(ks), where_(std::move(where)) {}
    PageResult Fetch(const TargetProfile& target, const SearchRequest& request,
                     CancelToken& cancel) override {
        return ks_.FetchWhere(target.entry, where_, request, request.firstPage ? 1 : request.count,
                              cancel);
    }

  private:
    SharedCatalogueBackend& ks_;
    std::string where_;
};

class SharedCatalogueSearch : public ::testing::TestWithParam<bool> {
  protected:
    static void SetUpTestSuite() { server = new test::CatalogueServerProcess(300); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(server && server->ok());
        state.files = MakeWorkingFiles(dir.path());
        state.settings.KSIP = "127.0.0.1";
        state.settings.KSPORT = std::to_string(server->port());
        state.settings.KSUSEHTTP = GetParam() ? 1 : 0;
        dir.Write("z39svr.cfg", "");
        state.settings.KSDEFAULT = 1;
        targets.Load(dir.File("z39svr.cfg"), state.settings);
    }
    SearchOutcome Start(std::vector<SearchCondition> rows, const std::string& count = "10") {
        return session.Start(targets, rows, count);
    }
    std::vector<std::string> StoredRecords(const std::string& where) {
        ks::CatalogueDb db(server->dbPath(), false);
        std::vector<std::string> out;
        for (auto& hit : db.Search(ks::ParseWhereClause(where).clause, 1, 1000, false).hits)
            out.push_back(hit.record);
        return out;
    }

    static test::CatalogueServerProcess* server;
    test::TempDir dir;
    AppState state;
    RecordStore store{dir.File("_list.~")};
    ResultIndex index;
    test::RecordingUi ui;
    CountingHttp http;
    SteadyClock clock;
    TargetSelection targets;
    SharedCatalogueBackend ks{http, [] { return std::make_unique<PosixTcpClient>(); }, clock};
    test::UnreachedBackend other;
    BackendRegistry backends = test::RegistryOf(ks, other, other);
    SearchSession session{{state, store, index, ui, backends}};
};
test::CatalogueServerProcess* SharedCatalogueSearch::server = nullptr;

TEST_P(SharedCatalogueSearch, AWrongCheckDigitIsSearchedAsTypedAndNothingIsTakenForIt) {
    // 9787536692930 is in the catalogue; one digit off in the check digit, in either length,
    // is another number, not that book.
    for (const char* typed : {"9787536692931", "978-7-5366-9293-9", "7536692934"}) {
        SearchOutcome out = Start({{"", "ISBN", typed}});
        EXPECT_EQ(out.total, 0) << typed;
        EXPECT_TRUE(out.tickRows.empty()) << typed;
        EXPECT_FALSE(out.autoSave) << typed;
        EXPECT_TRUE(out.statusMessage.starts_with(G("ISBN[") + typed + G("]的校验位有误（应为")))
            << GbkToUtf8(out.statusMessage);
    }
    // The launch query of a host program hands nothing back either.
    state.launch.launchQuery = "ISBN@9787536692931";
    SearchOutcome launch = Start({{"", "ISBN", "9787536692931"}});
    EXPECT_EQ(launch.total, 0);
    EXPECT_FALSE(launch.autoSave);
    // The right number still finds the book, ticked and handed over as ever.
    SearchOutcome right = Start({{"", "ISBN", "9787536692930"}});
    EXPECT_EQ(right.total, 1);
    EXPECT_TRUE(right.autoSave);
}

TEST_P(SharedCatalogueSearch, HyphenatedTenDigitIsbn) {
    SearchOutcome out = Start({{"", "ISBN", "7-5366-9293-5"}});
    EXPECT_EQ(out.total, 1);
    ASSERT_EQ(out.rows.size(), 1u);
    EXPECT_EQ(out.tickRows, std::vector<int>{0});
    EXPECT_EQ(out.selectRow, 0);
    EXPECT_FALSE(out.nextEnabled);
    EXPECT_EQ(out.focus, SearchOutcome::Focus::kList);
    EXPECT_EQ(out.statusMessage, FoundStatus(1));
    EXPECT_EQ(out.hitLabel, G("共有 1 条"));
    EXPECT_TRUE(out.searchCompleted);
    EXPECT_EQ(index.RecordAt(0, store), StoredRecords("ma_isbn='9787536692930'")[0]);
}

TEST_P(SharedCatalogueSearch, WorkedPagingExampleByteForByte) {
    const std::string word = G(ks::kPagingTitleWord);
    index.SetSorted(false);
    // edNum 1 on the first page: the one record the first request brings, nothing more.
    SearchOutcome out = Start({{"", G("题名"), word}}, "1");
    EXPECT_EQ(out.total, 25);
    EXPECT_EQ(out.rows.size(), 1u);
    EXPECT_EQ(out.nextStart, 2);
    EXPECT_TRUE(out.nextEnabled);
    EXPECT_EQ(out.focus, SearchOutcome::Focus::kNext);
    EXPECT_EQ(out.statusMessage, FoundStatus(25) + ShownStatus(1, 25));
    const std::vector<int64_t> expectedNext = {12, 22, 26};
    for (int64_t expected : expectedNext) {
        out = session.Next(std::to_string(out.nextStart), "10");
        EXPECT_EQ(out.nextStart, expected);
        // Until every hit is listed the status says how far the list has come.
        EXPECT_EQ(out.statusMessage, expected > 25
                                         ? ReceivedStatus()
                                         : FoundStatus(25) + ShownStatus(expected - 1, 25));
    }
    EXPECT_FALSE(out.nextEnabled);
    EXPECT_EQ(out.focus, SearchOutcome::Focus::kList);
    auto stored = StoredRecords("ma_name like '" + word + "%'");
    ASSERT_EQ(index.size(), 25u);
    for (size_t i = 0; i < 25; ++i) EXPECT_EQ(index.RecordAt(i, store), stored[i]) << i;
}

// The first page is filled up to edNum by a next-page request right after the first
// request, which stays as it was; F3 goes on from there. Read in the server's own log.
TEST_P(SharedCatalogueSearch, TheFirstPageShowsAPage) {
    test::CatalogueServerProcess logged(300, "", {}, "", true, true);
    ASSERT_TRUE(logged.ok());
    state.settings.KSPORT = std::to_string(logged.port());
    targets.Load(dir.File("z39svr.cfg"), state.settings);
    index.SetSorted(false);
    const std::string word = G(ks::kPagingTitleWord);
    SearchOutcome out = Start({{"", G("题名"), word}}, "10");
    EXPECT_EQ(out.total, 25);
    EXPECT_EQ(out.rows.size(), 10u);
    EXPECT_EQ(out.nextStart, 11);
    EXPECT_TRUE(out.nextEnabled);
    EXPECT_EQ(out.focus, SearchOutcome::Focus::kNext);
    EXPECT_EQ(out.hitLabel, G("共有 25 条"));
    EXPECT_EQ(out.statusMessage, FoundStatus(25) + ShownStatus(10, 25));
    EXPECT_EQ(GbkToUtf8(ShownStatus(10, 25)), "已显示 10/25 条");
    const std::string transport = GetParam() ? " http " : " tcp ";
    ASSERT_TRUE(logged.process().WaitForOutput(transport + "next 2@9 ", 5000))
        << logged.process().output();
    const std::string& log = logged.process().output();
    const size_t first = log.find(transport + "first 1@1 where=[");
    ASSERT_NE(first, std::string::npos) << GbkToUtf8(log);
    EXPECT_LT(first, log.find(transport + "next 2@9 "));
    out = session.Next("11", "10");
    EXPECT_EQ(out.rows.size(), 20u);
    EXPECT_TRUE(logged.process().WaitForOutput(transport + "next 11@10 ", 5000))
        << logged.process().output();
    EXPECT_EQ(out.statusMessage, FoundStatus(25) + ShownStatus(20, 25));
    out = session.Next("21", "10");
    EXPECT_EQ(out.statusMessage, ReceivedStatus());
    EXPECT_FALSE(out.nextEnabled);
    auto stored = StoredRecords("ma_name like '" + word + "%'");
    ASSERT_EQ(index.size(), 25u);
    for (size_t i = 0; i < 25; ++i) EXPECT_EQ(index.RecordAt(i, store), stored[i]) << i;

    // Fewer hits than edNum: the fill brings the rest, and the status is the count alone.
    out = Start({{"", G("题名"), word}}, "30");
    EXPECT_EQ(out.rows.size(), 25u);
    EXPECT_FALSE(out.nextEnabled);
    EXPECT_EQ(out.focus, SearchOutcome::Focus::kList);
    EXPECT_EQ(out.statusMessage, FoundStatus(25));
}

TEST_P(SharedCatalogueSearch, AllNumberAsksForEverythingLeftOnIsbnSearches) {
    state.settings.ALLNUMBER = "1";
    SearchOutcome out =
        Start({{"", "ISBN", "9787536692930"}, {G("或者"), "ISBN", "9787506365437"}}, "1");
    EXPECT_EQ(out.total, 2);
    out = session.Next("2", "10");
    EXPECT_EQ(out.rows.size(), 2u);
    EXPECT_EQ(out.nextStart, 3);
}

TEST_P(SharedCatalogueSearch, TwoRowsAndOr) {
    SearchOutcome both = Start({{"", G("题名"), G("三体")}, {G("并且"), "ISBN", "9787536692930"}});
    EXPECT_EQ(both.total, 1);
    SearchOutcome either =
        Start({{"", G("题名"), G("活着")}, {G("或者"), "ISBN", "9787536692930"}});
    EXPECT_EQ(either.total, 2);
    SearchOutcome neither =
        Start({{"", G("题名"), G("活着")}, {G("并且"), "ISBN", "9787536692930"}});
    EXPECT_EQ(neither.total, 0);
    EXPECT_EQ(neither.statusMessage, NoDataStatus());
}

TEST_P(SharedCatalogueSearch, LaunchQueryPinyinSearchSavesTheOnlyHit) {
    state.launch.launchQuery = "NAME@!hlm";
    SearchOutcome out = Start({{"", G("题名"), "!hlm"}});
    EXPECT_EQ(out.total, 1);
    EXPECT_TRUE(out.autoSave);
    EXPECT_FALSE(out.searchCompleted);  // the compact window never grows
    state.launch.keepFullWindow = true;
    out = Start({{"", G("题名"), "!hlm"}});
    EXPECT_FALSE(out.autoSave);
    EXPECT_TRUE(out.launchFinished);
    EXPECT_EQ(out.focus, SearchOutcome::Focus::kSave);
}

TEST_P(SharedCatalogueSearch, DiscoveryThroughHostsFile) {
    state.settings.KSIP = "127.0.0.1:" + std::to_string(server->httpPort());
    state.settings.KSPORT = "-" + std::to_string(server->port());
    targets.Load(dir.File("z39svr.cfg"), state.settings);
    SearchOutcome out = Start({{"", "ISBN", "9787536692930"}});
    EXPECT_EQ(out.total, 1);
    EXPECT_EQ(state.discoveredHost, "127.0.0.1");
    size_t requests = http.urls.size();
    Start({{"", "ISBN", "9787536692930"}});
    size_t hostsRequests = 0;
    for (auto& u : http.urls) hostsRequests += u.ends_with("/hosts.txt");
    EXPECT_EQ(hostsRequests, 1u);
    EXPECT_EQ(http.urls.size(), requests + (GetParam() ? 1 : 0));
}

TEST_P(SharedCatalogueSearch, TitlesWithPercentAndAnyLetterCaseAreFoundAtOnce) {
    // Imported while the server runs: found by the very next request.
    const std::vector<std::string> titles = {"100%" + G("敦煌学导论新编"), G("Java编程思想")};
    {
        ks::CatalogueDb db(server->dbPath(), true);
        for (const auto& title : titles) {
            std::string record = test::MarcBuilder()
                                     .Data("200", "1 ", {{'a', GbkToUtf8(title)}})
                                     .Data("210", "  ", {{'c', "x"}})
                                     .Build();
            ks::RecordKeys keys = ks::ExtractKeys(record);
            if (StoredRecords("ma_name='" + ReplaceAll(title, "'", "''") + "'").empty())
                db.Insert(record, keys.isbn, keys.name, keys.namepy);
        }
    }
    SearchOutcome out = Start({{"", G("题名"), "100%" + G("敦煌学导论")}});
    EXPECT_FALSE(out.connectionFailed);
    EXPECT_EQ(out.total, 1);
    ASSERT_EQ(out.rows.size(), 1u);
    EXPECT_NE(out.rows[0].find("100%"), std::string::npos);
    out = Start({{"", G("题名"), G("JAVA编程")}});
    EXPECT_EQ(out.total, 1);
    ASSERT_EQ(out.rows.size(), 1u);
    EXPECT_NE(out.rows[0].find("Java"), std::string::npos);
}

TEST_P(SharedCatalogueSearch, StartBeyondTheTotalIsAnEmptyPageNotAFailure) {
    SearchOutcome out =
        Start({{"", G("题名"), G(ks::kPagingTitleWord)}}, "1");  // 25 hits, record 1 shown
    ASSERT_EQ(out.total, 25);
    out = session.Next("30", "10");  // asks 30@-4: sent as it is, answered with no records
    EXPECT_FALSE(out.connectionFailed);
    EXPECT_EQ(out.rows.size(), 1u);
    EXPECT_FALSE(out.nextEnabled);
}

TEST_P(SharedCatalogueSearch, RefusedRequestsFailAlikeOnBothTransports) {
    state.discoveredHost = "kept until a failure";
    RawWhere injected(ks, " ma_name='x' or 1=1");
    backends.Add(TargetKind::kSharedCatalogue, injected);
    SearchOutcome out = Start({{"", G("题名"), "x"}});
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    EXPECT_EQ(state.discoveredHost, "");
}

TEST(SharedCatalogueForms, PlusIsABlankInAFormEncodedQuery) {
    test::CatalogueServerProcess server(50);
    ASSERT_TRUE(server.ok());
    // As a browser or curl's form encoding sends it.
    HttpResult r = CurlHttpClient().Get(
        server.HttpBase() + "/GetZ39Marc.asp?begin=1&num=1&where=ma_isbn+%3D+%279787536692930%27",
        5000);
    ASSERT_TRUE(r.ok) << r.status << " " << r.body;
    EXPECT_TRUE(r.body.starts_with("BAG_BEGIN1REC_BEGIN"));
}

TEST_P(SharedCatalogueSearch, EmptyFirstValueIsRefused) {
    SearchOutcome out = Start({{"", "ISBN", "   "}, {G("并且"), "ISBN", "1"}});
    EXPECT_EQ(out.refusedMessage, G("请输入查询条件"));
}

INSTANTIATE_TEST_SUITE_P(Transports, SharedCatalogueSearch, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Http" : "Tcp"; });

}  // namespace
}  // namespace z39
