#include <gtest/gtest.h>

#include <deque>

#include "common/gbk_text.h"
#include "support/marc_builder.h"
#include "support/session_harness.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

std::string Book(int n) {
    return test::MarcBuilder()
        .Control("001", "B" + std::to_string(n))
        .Data("200", "1 ", {{'a', "Book " + std::to_string(n)}})
        .Build();
}

// Answers each fetch with the next page of its script and keeps the requests it got.
class PagesBackend final : public SearchBackend {
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

PageResult Page(int64_t total, std::vector<int> books, bool first) {
    PageResult page;
    page.hasTotal = first;
    page.total = total;
    for (int n : books) page.records.push_back(Book(n));
    return page;
}

class FirstPageFill : public ::testing::Test {
  protected:
    test::TempDir dir;
    test::SessionHarness h{dir.File("_list.~")};
    PagesBackend backend;
};

// A target without an address (the shared catalogue on a first run, KSIP empty) says so
// before anything is sent, and the list stays as it was.
TEST_F(FirstPageFill, ATargetWithoutAnAddressSaysWhereToSetIt) {
    backend.pages = {Page(1, {1}, true)};
    h.Start(backend, test::TitleRows("x"), "10");
    h.profile.entry.address = " ";
    const size_t asked = backend.requests.size();
    SearchOutcome out = h.Start(backend, test::TitleRows("y"), "10");
    EXPECT_EQ(backend.requests.size(), asked);
    EXPECT_NE(out.refusedMessage.find(G("服务器地址没有设置")), std::string::npos);
    EXPECT_EQ(h.index.size(), 1u);
    h.profile.kind = TargetKind::kSharedCatalogue;
    out = h.Start(backend, test::TitleRows("y"), "10");
    EXPECT_NE(out.refusedMessage.find(G("岱恒共享编目库的地址没有设置")), std::string::npos);
    EXPECT_NE(out.refusedMessage.find(G("参数配置")), std::string::npos);
}

TEST_F(FirstPageFill, AskedFromAfterWhatCameForTheRestOfEdNum) {
    backend.pages = {Page(25, {1}, true), Page(0, {2, 3, 4, 5, 6, 7, 8, 9, 10}, false)};
    SearchOutcome out = h.Start(backend, test::TitleRows("x"), "10");
    ASSERT_EQ(backend.requests.size(), 2u);
    EXPECT_TRUE(backend.requests[0].firstPage);
    EXPECT_FALSE(backend.requests[1].firstPage);
    EXPECT_EQ(backend.requests[1].start, 2);
    EXPECT_EQ(backend.requests[1].count, 9);
    EXPECT_EQ(backend.requests[1].total, 25);
    EXPECT_EQ(out.rows.size(), 10u);
    EXPECT_EQ(out.nextStart, 11);
    EXPECT_TRUE(out.nextEnabled);
    EXPECT_EQ(out.statusMessage, FoundStatus(25) + ShownStatus(10, 25));
    EXPECT_EQ(h.session.nextStart(), 11);

    // One hit, or as many as edNum asked for: nothing follows the first request.
    backend.requests.clear();
    backend.pages = {Page(1, {1}, true)};
    out = h.Start(backend, test::TitleRows("x"), "10");
    EXPECT_EQ(backend.requests.size(), 1u);
    EXPECT_EQ(out.statusMessage, FoundStatus(1));
    backend.requests.clear();
    backend.pages = {Page(25, {1}, true)};
    out = h.Start(backend, test::TitleRows("x"), "1");
    EXPECT_EQ(backend.requests.size(), 1u);
    EXPECT_EQ(out.statusMessage, FoundStatus(25) + ShownStatus(1, 25));
}

TEST_F(FirstPageFill, TheHostProgramSeesWhatItSawAndTheOtherEditionIsListed) {
    h.state.launch.launchQuery = "NAME@x";
    backend.pages = {Page(2, {1}, true), Page(0, {2}, false)};
    SearchOutcome out = h.Start(backend, test::TitleRows("x"), "10");
    ASSERT_EQ(out.rows.size(), 2u);
    EXPECT_EQ(out.tickRows, std::vector<int>{0});  // as the first page ticked it
    EXPECT_FALSE(out.autoSave);
    EXPECT_TRUE(out.launchFinished);
    EXPECT_EQ(out.focus, SearchOutcome::Focus::kSave);
    EXPECT_FALSE(out.nextEnabled);
    EXPECT_EQ(out.statusMessage, FoundStatus(2));
}

TEST_F(FirstPageFill, AFillThatFailsKeepsTheFirstPageAndSaysWhy) {
    PageResult lost;
    lost.status = PageStatus::kNoConnection;
    lost.where = "127.0.0.1:210";
    lost.cause = "refused";
    backend.pages = {Page(25, {1}, true), lost};
    SearchOutcome out = h.Start(backend, test::TitleRows("x"), "10");
    EXPECT_EQ(out.rows.size(), 1u);
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    EXPECT_EQ(out.statusDetail, "[127.0.0.1:210 refused]");
    EXPECT_EQ(out.nextStart, 2);
    EXPECT_TRUE(out.nextEnabled);  // F3 may try again from there
    EXPECT_EQ(out.total, 25);

    PageResult cancelled;
    cancelled.status = PageStatus::kCancelled;
    backend.pages = {Page(25, {1}, true), cancelled};
    out = h.Start(backend, test::TitleRows("x"), "10");
    EXPECT_EQ(out.rows.size(), 1u);
    EXPECT_EQ(out.statusMessage, CancelledStatus());
}

TEST_F(FirstPageFill, AWrongCheckDigitStillLeadsTheStatusAndTicksNothing) {
    backend.pages = {Page(3, {1}, true), Page(0, {2, 3}, false)};
    SearchOutcome out = h.Start(backend, {{"", "ISBN", "9787536692931"}}, "10");
    EXPECT_EQ(out.rows.size(), 3u);
    EXPECT_TRUE(out.tickRows.empty());
    EXPECT_TRUE(out.statusMessage.starts_with(G("ISBN[9787536692931]的校验位有误")));
    EXPECT_TRUE(out.statusMessage.ends_with(FoundStatus(3)));
}

}  // namespace
}  // namespace z39
