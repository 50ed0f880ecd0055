#include "search/multi_search.h"

#include <gtest/gtest.h>

#include <deque>

#include "common/gbk_text.h"
#include "records/marc_record.h"
#include "records/record_quality.h"
#include "support/fakes.h"
#include "support/marc_builder.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

// A short record of a book: title and ISBN only.
std::string Short(const std::string& isbn, const std::string& title) {
    return test::MarcBuilder()
        .Data("010", "  ", {{'a', isbn}})
        .Data("200", "1 ", {{'a', title}})
        .Build();
}

// A fuller record of the same book: price, responsibility, publisher, date, subject, class.
std::string Full(const std::string& isbn, const std::string& title) {
    return test::MarcBuilder()
        .Data("010", "  ", {{'a', isbn}, {'d', "CNY20.00"}})
        .Data("200", "1 ", {{'a', title}, {'f', "某某著"}})
        .Data("210", "  ", {{'a', "北京"}, {'c', "某出版社"}, {'d', "2008"}})
        .Data("606", "0 ", {{'a', "主题"}})
        .Data("690", "  ", {{'a', "I247.5"}})
        .Build();
}

// Answers each fetch with the next page of its script and keeps the requests it got.
class ScriptBackend final : public SearchBackend {
  public:
    PageResult Fetch(const TargetProfile&, const SearchRequest& request, CancelToken&) override {
        requests.push_back(request);
        if (pages.empty()) return PageResult{};
        PageResult page = pages.front();
        pages.pop_front();
        return page;
    }
    std::deque<PageResult> pages;
    std::vector<SearchRequest> requests;
};

PageResult First(int64_t total, std::vector<std::string> records) {
    PageResult page;
    page.hasTotal = true;
    page.total = total;
    page.records = std::move(records);
    return page;
}

PageResult Further(std::vector<std::string> records) {
    PageResult page;
    page.records = std::move(records);
    return page;
}

PageResult Refused() {
    PageResult page;
    page.status = PageStatus::kNoConnection;
    page.where = "127.0.0.1:9";
    page.cause = G("拒绝连接");
    return page;
}

constexpr const char* kBookA = "9787536692930";
constexpr const char* kBookB = "9787020024759";

// Several databases, each with its own scripted back end, searched through a real
// MultiSearch as the window does it.
class SeveralDatabases : public ::testing::Test {
  protected:
    ChainTarget Database(const std::string& name, TargetKind kind) {
        ChainTarget t;
        t.name = name;
        t.profile.kind = kind;
        t.profile.slot = static_cast<int>(backends.size()) + 1;
        backends.push_back(std::make_unique<ScriptBackend>());
        kinds.push_back(kind);
        return t;
    }
    ScriptBackend& Of(size_t i) { return *backends[i]; }
    std::string RecordAt(size_t row) { return index.RecordAt(row, store); }

    test::TempDir dir;
    AppState state;
    RecordStore store{dir.File("_list.~")};
    ResultIndex index;
    test::RecordingUi ui;
    BackendRegistry shared;
    std::vector<std::unique_ptr<ScriptBackend>> backends;
    std::vector<TargetKind> kinds;
    SearchServices services = [this] {
        SearchServices s{state, store, index, ui, shared};
        s.sourceBackends = [this](int source) {
            auto registry = std::make_unique<BackendRegistry>();
            registry->Add(kinds[static_cast<size_t>(source)],
                          *backends[static_cast<size_t>(source)]);
            return registry;
        };
        return s;
    }();
    MultiSearch search{services};
};

TEST_F(SeveralDatabases, OneListWithTheSourceOnEveryRowAndTheFullerCopyFirst) {
    index.SetSorted(false);
    std::vector<ChainTarget> set = {Database("ks_lib", TargetKind::kSharedCatalogue),
                                    Database("gbk", TargetKind::kZ39),
                                    Database("down", TargetKind::kZ39)};
    Of(0).pages = {First(2, {Short(kBookA, "甲书"), Short(kBookB, "乙书")})};
    Of(1).pages = {First(1, {Full(kBookA, "甲书")})};
    Of(2).pages = {Refused()};
    SearchOutcome out = search.Start(set, {{"", "ISBN", kBookA}}, "10");

    ASSERT_EQ(out.rows.size(), 3u);
    // Book A's two records stand together, the fuller (from the second database) first.
    EXPECT_NE(out.rows[0].find("[gbk]"), std::string::npos);
    EXPECT_NE(out.rows[0].find(G("同书2条，此条最全")), std::string::npos);
    EXPECT_NE(out.rows[1].find("[ks_lib]"), std::string::npos);
    EXPECT_NE(out.rows[1].find(G("同书另一条")), std::string::npos);
    EXPECT_EQ(RecordAt(0), Full(kBookA, "甲书"));
    EXPECT_EQ(RecordAt(2), Short(kBookB, "乙书"));
    EXPECT_EQ(search.SourceOf(index.RecordNumberAt(0)), "gbk");
    // The display line stands as it would for one database, the source after it.
    EXPECT_EQ(out.rows[2].substr(0, DisplayLine(Short(kBookB, "乙书")).size()),
              DisplayLine(Short(kBookB, "乙书")));

    EXPECT_EQ(out.total, 3);
    EXPECT_EQ(out.hitLabel, HitLabel(3));
    EXPECT_EQ(out.statusMessage, G("检索了3个数据库：2个查到数据，1个失败（down：拒绝连接）。"));
    EXPECT_FALSE(out.nextEnabled);
    EXPECT_FALSE(out.connectionFailed);  // what the others found stands
    EXPECT_TRUE(out.tickRows.empty());   // two books: the user picks

    // Sorted lists order the books by their best record; the copies stay behind it.
    index.SetSorted(true);
    Of(0).pages = {First(2, {Short(kBookB, "乙书"), Short(kBookA, "甲书")})};
    Of(1).pages = {First(1, {Full(kBookA, "甲书")})};
    Of(2).pages = {First(0, {})};
    out = search.Start(set, {{"", "ISBN", kBookA}}, "10");
    ASSERT_EQ(out.rows.size(), 3u);
    EXPECT_EQ(RecordAt(0), Full(kBookA, "甲书"));
    EXPECT_EQ(RecordAt(1), Short(kBookA, "甲书"));
    EXPECT_EQ(out.statusMessage, G("检索了3个数据库：2个查到数据，1个没有数据。"));
}

TEST_F(SeveralDatabases, EqualRecordsFollowTheOrderOfTheTicksAndTheTenDigitFormIsTheSameBook) {
    std::vector<ChainTarget> set = {Database("first", TargetKind::kZ39),
                                    Database("second", TargetKind::kZ39)};
    Of(0).pages = {First(1, {Short("7-5366-9293-5", "甲书")})};
    Of(1).pages = {First(1, {Short(kBookA, "甲书")})};
    SearchOutcome out = search.Start(set, {{"", "ISBN", kBookA}}, "10");
    ASSERT_EQ(out.rows.size(), 2u);
    EXPECT_NE(out.rows[0].find("[first]"), std::string::npos);
    EXPECT_NE(out.rows[1].find(G("同书另一条")), std::string::npos);
    EXPECT_EQ(out.tickRows, std::vector<int>{0});  // one book: its best record is ticked
}

TEST_F(SeveralDatabases, ADatabaseThatCannotSearchARowIsLeftOutAndSaysSo) {
    std::vector<ChainTarget> set = {Database("ks_lib", TargetKind::kSharedCatalogue),
                                    Database("opac", TargetKind::kWebOpac),
                                    Database("z", TargetKind::kZ39)};
    Of(2).pages = {First(0, {})};
    SearchOutcome out =
        search.Start(set, {{"", G("题名"), "x"}, {G("并且"), G("著者"), "y"}}, "10");
    EXPECT_TRUE(Of(0).requests.empty());
    EXPECT_TRUE(Of(1).requests.empty());
    EXPECT_EQ(Of(2).requests.size(), 1u);
    EXPECT_EQ(out.statusMessage,
              G("检索了1个数据库：0个查到数据，1个没有数据，2个未参加（ks_lib：不能检索著者；opac："
                "不能检索题名）。"));

    // None that can: nothing runs, and the status says why.
    MultiStep step = search.BeginStart({set[0]}, {{"", G("著者"), "y"}}, "10");
    ASSERT_TRUE(step.done.has_value());
    EXPECT_TRUE(step.fetches.empty());
    EXPECT_NE(step.done->statusMessage.find(G("不能检索著者")), std::string::npos);
    // An empty first value is refused before anything.
    EXPECT_EQ(search.BeginStart(set, {{"", "ISBN", " "}}, "10").done->refusedMessage,
              EmptyQueryMessage());
}

TEST_F(SeveralDatabases, EachDatabaseFillsItsFirstPageAndF3AsksOnlyThoseWithMore) {
    std::vector<ChainTarget> set = {Database("big", TargetKind::kZ39),
                                    Database("small", TargetKind::kZ39)};
    std::vector<std::string> books;
    for (int n = 0; n < 12; ++n) books.push_back(Short("", "Book " + std::to_string(n)));
    Of(0).pages = {First(25, {books[0]}), Further({books.begin() + 1, books.begin() + 5})};
    Of(1).pages = {First(2, {books[10], books[11]})};
    MultiStep step = search.BeginStart(set, {{"", G("题名"), "Book"}}, "5");
    ASSERT_EQ(step.fetches.size(), 2u);
    CancelToken cancel;
    // Pages come back in any order; the second database answers first.
    SourceStep small = search.Finish(1, step.fetches[1].fetch.Run(cancel));
    EXPECT_FALSE(small.finished);
    EXPECT_FALSE(small.more.has_value());
    EXPECT_EQ(small.outcome.rows.size(), 2u);
    EXPECT_EQ(small.outcome.statusMessage, G("已回答 1/2 个数据库"));
    EXPECT_EQ(search.answered(), 1);
    SourceStep big = search.Finish(0, step.fetches[0].fetch.Run(cancel));
    ASSERT_TRUE(big.more.has_value());
    EXPECT_FALSE(big.finished);
    EXPECT_EQ(big.more->fetch.request.start, 2);
    EXPECT_EQ(big.more->fetch.request.count, 4);
    big = search.Finish(0, big.more->fetch.Run(cancel));
    ASSERT_TRUE(big.finished);
    EXPECT_EQ(big.outcome.rows.size(), 7u);
    EXPECT_EQ(big.outcome.total, 27);
    EXPECT_TRUE(big.outcome.nextEnabled);
    EXPECT_EQ(big.outcome.statusMessage, G("检索了2个数据库：2个查到数据。") + ShownStatus(7, 27));

    Of(0).pages = {Further({books[5], books[6]})};
    MultiStep next = search.BeginNext("5");
    ASSERT_EQ(next.fetches.size(), 1u);  // only the database with more
    EXPECT_EQ(next.fetches[0].source, 0u);
    EXPECT_EQ(next.fetches[0].fetch.request.start, 6);
    EXPECT_EQ(next.fetches[0].fetch.request.count, 5);
    SourceStep more = search.Finish(0, next.fetches[0].fetch.Run(cancel));
    EXPECT_TRUE(more.finished);
    EXPECT_EQ(more.outcome.rows.size(), 9u);
    EXPECT_TRUE(more.outcome.keepTicks);
}

TEST_F(SeveralDatabases, ALaunchQueryHandsBackTheBestRecordOfOneBookAtOnce) {
    state.launch.launchQuery = std::string("ISBN@") + kBookA;
    std::vector<ChainTarget> set = {Database("ks_lib", TargetKind::kSharedCatalogue),
                                    Database("gbk", TargetKind::kZ39),
                                    Database("down", TargetKind::kZ39)};
    Of(0).pages = {First(1, {Short(kBookA, "甲书")})};
    Of(1).pages = {First(1, {Full(kBookA, "甲书")})};
    Of(2).pages = {Refused()};
    SearchOutcome out = search.Start(set, {{"", "ISBN", kBookA}}, "10");
    EXPECT_TRUE(out.autoSave);
    EXPECT_EQ(out.tickRows, std::vector<int>{0});
    EXPECT_EQ(RecordAt(0), Full(kBookA, "甲书"));

    // Two books: the host program's user picks.
    Of(0).pages = {First(1, {Short(kBookA, "甲书")})};
    Of(1).pages = {First(1, {Full(kBookB, "乙书")})};
    Of(2).pages = {Refused()};
    out = search.Start(set, {{"", "ISBN", kBookA}}, "10");
    EXPECT_FALSE(out.autoSave);
    EXPECT_TRUE(out.tickRows.empty());
    EXPECT_TRUE(out.launchFinished);

    // Nothing anywhere (one database cancelled): the window offers "选择或退出.F5".
    Of(0).pages = {First(0, {})};
    Of(1).pages = {First(0, {})};
    MultiStep step = search.BeginStart(set, {{"", "ISBN", kBookA}}, "10");
    CancelToken cancel;
    search.Finish(0, step.fetches[0].fetch.Run(cancel));
    search.Finish(1, step.fetches[1].fetch.Run(cancel));
    PageResult cancelled;
    cancelled.status = PageStatus::kCancelled;
    SourceStep last = search.Finish(2, cancelled);
    EXPECT_TRUE(last.finished);
    EXPECT_TRUE(last.outcome.launchFinished);
    EXPECT_FALSE(last.outcome.autoSave);
    EXPECT_EQ(last.outcome.statusMessage,
              G("检索了3个数据库：0个查到数据，2个没有数据，1个已取消（down）。"));
}

TEST_F(SeveralDatabases, AWrongCheckDigitTicksNothingAndABrokenRecordIsNotListed) {
    state.launch.launchQuery = "ISBN@9787536692931";
    std::vector<ChainTarget> set = {Database("a", TargetKind::kZ39),
                                    Database("b", TargetKind::kZ39)};
    std::string broken = Short(kBookA, "甲书");
    broken[3] = '9';  // the leader's length lies
    Of(0).pages = {First(2, {Short(kBookA, "甲书"), broken})};
    Of(1).pages = {First(0, {})};
    SearchOutcome out = search.Start(set, {{"", "ISBN", "9787536692931"}}, "10");
    EXPECT_EQ(out.rows.size(), 1u);
    EXPECT_FALSE(out.autoSave);
    EXPECT_TRUE(out.tickRows.empty());
    EXPECT_TRUE(out.statusMessage.starts_with(G("ISBN[9787536692931]的校验位有误")));
    EXPECT_NE(out.notice.find("[a] "), std::string::npos);
}

TEST(BookKey, TheSameBookWhateverTheFormOfItsIsbnOrItsTitle) {
    EXPECT_EQ(BookKey(Short("7-5366-9293-5", "x")), BookKey(Short(kBookA, "y")));
    EXPECT_NE(BookKey(Short(kBookA, "x")), BookKey(Short(kBookB, "x")));
    // No ISBN (or an invalid one): the title with case, blanks and punctuation ignored,
    // and the year.
    auto dated = [](const std::string& isbn, const std::string& title, const std::string& date) {
        return test::MarcBuilder()
            .Data("010", "  ", {{'a', isbn}})
            .Data("200", "1 ", {{'a', title}})
            .Data("210", "  ", {{'d', date}})
            .Build();
    };
    EXPECT_EQ(BookKey(dated("", "Red  Sorghum：小说", "2008")),
              BookKey(dated("9787536692931", "red sorghum 小说", "2008.5")));
    EXPECT_NE(BookKey(dated("", "Red Sorghum", "2008")), BookKey(dated("", "Red Sorghum", "2010")));
    EXPECT_EQ(BookKey(test::MarcBuilder().Control("001", "1").Build()), "");
}

}  // namespace
}  // namespace z39
