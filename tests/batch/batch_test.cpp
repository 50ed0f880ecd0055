#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "batch/batch_chain.h"
#include "batch/batch_engine.h"
#include "batch/batch_journal.h"
#include "batch/batch_run.h"
#include "batch/isbn_list.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "support/marc_builder.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

std::string RecordFor(const std::string& isbn, const std::string& title) {
    return test::MarcBuilder()
        .Control("001", isbn)
        .Data("010", "  ", {{'a', isbn}})
        .Data("200", "1 ", {{'a', title}})
        .Build();
}

TEST(IsbnList, FormsColumnsCommentsAndDuplicates) {
    const std::string text =
        "\xEF\xBB\xBF# delivery of 9 December\r\n"
        "ISBN,书名,定价\r\n"
        "978-7-5366-9293-0,三体,23.00\r\n"
        "  7-5063-6543-x  \r\n"
        "\"9787506365437\"\t活着\r\n"  // the same book as the line before, as ISBN-13
        "9787536692930\r\n"            // the first line again
        "978 7 302 12593 8\r\n"
        "; a remark\r\n"
        "12345\r"
        "9787536692931\n";  // a wrong check digit
    const std::vector<BatchItem> items = ParseIsbnList(text);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].isbn, "9787536692930");
    EXPECT_EQ(items[0].input, "978-7-5366-9293-0");
    EXPECT_EQ(items[0].line, 3);
    EXPECT_EQ(items[1].isbn, "9787506365437");
    EXPECT_EQ(items[2].isbn, "9787302125938");
    EXPECT_FALSE(items[3].valid());
    EXPECT_EQ(items[3].input, "12345");
    EXPECT_FALSE(items[4].valid());
    // The same list in GBK reads the same.
    const auto gbk = ParseIsbnList(G(text.substr(3)));
    ASSERT_EQ(gbk.size(), items.size());
    for (size_t i = 0; i < gbk.size(); ++i) EXPECT_EQ(gbk[i].isbn, items[i].isbn);
}

// Answers from a table: ISBN to records per target address; "down" fails to connect.
class TableBackend final : public SearchBackend {
  public:
    explicit TableBackend(
        std::map<std::string, std::map<std::string, std::vector<std::string>>> holdings)
        : holdings_(std::move(holdings)) {}
    PageResult Fetch(const TargetProfile& target, const SearchRequest& request,
                     CancelToken& cancel) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const int now = ++inFlight_[target.entry.address];
            const int all = ++allInFlight_;
            peak_[target.entry.address] = std::max(peak_[target.entry.address], now);
            peakAll_ = std::max(peakAll_, all);
            asked_[target.entry.address]++;
        }
        for (int i = 0; i < delayMs && !cancel.cancelled(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --inFlight_[target.entry.address];
            --allInFlight_;
        }
        PageResult page;
        if (cancel.cancelled()) {
            page.status = PageStatus::kCancelled;
            return page;
        }
        if (target.entry.address == "down") {
            page.status = PageStatus::kNoConnection;
            return page;
        }
        page.hasTotal = true;
        auto& held = holdings_[target.entry.address];
        if (auto hit = held.find(request.rows.at(0).value); hit != held.end()) {
            page.records = hit->second;
            page.total = static_cast<int64_t>(hit->second.size());
        }
        return page;
    }
    int delayMs = 0;
    std::map<std::string, int> inFlight_;  // all of these under mutex_
    int allInFlight_ = 0;
    std::mutex mutex_;
    std::map<std::string, int> peak_;
    int peakAll_ = 0;
    std::map<std::string, int> asked_;

  private:
    std::map<std::string, std::map<std::string, std::vector<std::string>>> holdings_;
};

class OneBackend final : public BatchBackends {
  public:
    explicit OneBackend(SearchBackend& b) : b_(b) {}
    SearchBackend* For(TargetKind) override { return &b_; }

  private:
    SearchBackend& b_;
};

ChainTarget Target(const std::string& address) {
    ChainTarget t;
    t.name = address;
    t.profile.kind = TargetKind::kZ39;
    t.profile.entry.address = address;
    return t;
}

class BatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 40; ++i) isbns.push_back(Isbn(i));
        // a holds the even ones, b every third (two records for multiples of 9), none
        // the rest.
        std::map<std::string, std::map<std::string, std::vector<std::string>>> holdings;
        for (int i = 0; i < 40; ++i) {
            if (i % 2 == 0)
                holdings["a"][isbns[i]] = {RecordFor(isbns[i], "A" + std::to_string(i))};
            if (i % 3 == 0) {
                holdings["b"][isbns[i]] = {RecordFor(isbns[i], "B" + std::to_string(i))};
                if (i % 9 == 0) holdings["b"][isbns[i]].push_back(RecordFor(isbns[i], "C"));
            }
        }
        backend = std::make_unique<TableBackend>(holdings);
        std::string list = "# test list\n";
        for (const auto& isbn : isbns) list += isbn + "\n";
        list += "not-an-isbn 1\n";
        dir.Write("list.txt", list);
        MakeDirectories(dir.File("marc"));
    }
    // The 13-digit ISBN 978-7-5366-0000-? with a counting middle part.
    static std::string Isbn(int n) {
        std::string body = "97875366" + std::string(4 - std::to_string(n + 1000).size() + 0, '0') +
                           std::to_string(1000 + n);
        body = body.substr(0, 12);
        int sum = 0;
        for (int i = 0; i < 12; ++i) sum += (body[i] - '0') * (i % 2 ? 3 : 1);
        return body + std::to_string((10 - sum % 10) % 10);
    }
    BatchRunSetup Setup(std::vector<ChainTarget> chain) {
        BatchRunSetup s;
        s.listPath = dir.File("list.txt");
        s.marcPath = dir.File("marc") + "/";
        s.chain = std::move(chain);
        s.today = [] { return std::string("20261209"); };
        return s;
    }
    BatchBackendsFactory Factory() {
        return [this](int) { return std::make_unique<OneBackend>(*backend); };
    }
    std::string Daily() { return ReadWholeFile(dir.File("marc/marc20261209.txt")).value_or(""); }

    test::TempDir dir;
    std::vector<std::string> isbns;
    std::unique_ptr<TableBackend> backend;
};

TEST_F(BatchTest, TheChainDecidesInOrderAndRecordsAreSavedInListOrder) {
    BatchRunSetup setup = Setup({Target("down"), Target("a"), Target("b")});
    setup.limits = {8, 3};
    backend->delayMs = 5;
    auto first = std::make_unique<BatchRun>(setup);
    BatchRun& run = *first;
    std::string error;
    ASSERT_TRUE(run.Prepare(&error)) << error;
    CancelToken cancel;
    std::vector<size_t> order;
    ASSERT_TRUE(run.Execute(
        Factory(), cancel, [&](size_t i) { order.push_back(i); }, &error));
    ASSERT_TRUE(run.Finish(&error)) << error;
    const auto& rows = run.rows();
    ASSERT_EQ(rows.size(), 41u);
    std::string expected;
    int number = 0;
    for (int i = 0; i < 40; ++i) {
        const BatchRow& row = rows[static_cast<size_t>(i)];
        EXPECT_EQ(row.failedTargets, std::vector<std::string>{"down"}) << i;
        if (i % 2 == 0) {
            EXPECT_EQ(row.state, BatchState::kFound) << i;
            EXPECT_EQ(row.target, "a");
            expected += row.records[0] + "\r\n";
            EXPECT_EQ(row.dailyNumber, ++number);
        } else if (i % 9 == 0) {
            EXPECT_EQ(row.state, BatchState::kSeveral) << i;
            EXPECT_EQ(row.records.size(), 2u);
            EXPECT_EQ(row.saved, SaveMark::kNotSaved);
        } else if (i % 3 == 0) {
            EXPECT_EQ(row.state, BatchState::kFound) << i;
            EXPECT_EQ(row.target, "b");
            expected += row.records[0] + "\r\n";
            ++number;
        } else {
            // "down" could not be asked: not known to be missing.
            EXPECT_EQ(row.state, BatchState::kFailed) << i;
        }
    }
    EXPECT_EQ(rows[40].state, BatchState::kInvalid);
    EXPECT_EQ(Daily(), expected);
    EXPECT_LE(backend->peak_["a"], 3);
    EXPECT_LE(backend->peakAll_, 8);
    EXPECT_GE(backend->peakAll_, 2);  // several at once
    // The report and the not-found list.
    const std::string csv = ReadWholeFile(run.FilePath(".report.csv")).value_or("");
    EXPECT_TRUE(csv.starts_with("\xEF\xBB\xBFISBN,state,target,record,number,reason\r\n"));
    EXPECT_NE(csv.find("\"" + isbns[0] + "\",\"found\",\"a\",\"A0"), std::string::npos);
    EXPECT_NE(csv.find("\"" + isbns[9] + "\",\"several\",\"b\",\"\","), std::string::npos);
    EXPECT_NE(csv.find("\"not-an-isbn 1\",\"invalid ISBN\""), std::string::npos);
    EXPECT_EQ(ReadWholeFile(run.FilePath(".notfound.txt")).value_or("").find(isbns[1] + "\r\n"),
              0u);

    // While a run holds the list, a second one is told so and starts nothing.
    {
        BatchRun second(setup);
        EXPECT_FALSE(second.Prepare(&error));
        EXPECT_TRUE(second.busy());
        EXPECT_NE(error.find(G("正由另一个批处理在处理")), std::string::npos);
    }
    first.reset();

    // Choosing a candidate saves it after the others.
    BatchRun again(setup);
    ASSERT_TRUE(again.Prepare(&error));
    EXPECT_EQ(CountRows(again.rows()).pending, 41);  // the last run ended: a new one
    ASSERT_TRUE(again.Execute(Factory(), cancel, {}, &error));
    const BatchCounts counts = CountRows(again.rows());
    EXPECT_EQ(counts.saved, 0);
    EXPECT_EQ(counts.alreadySaved, 20 + 5);
    ASSERT_TRUE(again.Choose(9, 1, &error));
    EXPECT_EQ(again.rows()[9].saved, SaveMark::kSaved);
    EXPECT_EQ(again.rows()[9].dailyNumber, number + 1);
    EXPECT_TRUE(Daily().ends_with(again.rows()[9].records[1] + "\r\n"));
}

TEST_F(BatchTest, ACancelledRunGoesOnWhereItStoppedAndATornJournalLineIsLeftOut) {
    BatchRunSetup setup = Setup({Target("a"), Target("b")});
    setup.limits = {4, 4};
    backend->delayMs = 20;
    std::string error;
    {
        BatchRun run(setup);
        ASSERT_TRUE(run.Prepare(&error));
        CancelToken cancel;
        int seen = 0;
        const auto start = std::chrono::steady_clock::now();
        run.Execute(
            Factory(), cancel,
            [&](size_t) {
                if (++seen == 12) cancel.Cancel();
            },
            &error);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_GT(CountRows(run.rows()).pending, 0);
        ASSERT_TRUE(run.Finish(&error));
    }
    // A power cut in the middle of a line.
    AppendToFile(dir.File("marc/list.journal"), "D\t9787536610007\t1\t61\t\t3030");
    const std::map<std::string, int> askedBefore = backend->asked_;
    BatchRun resumed(setup);
    ASSERT_TRUE(resumed.Prepare(&error));
    const int pendingAtStart = CountRows(resumed.rows()).pending;
    EXPECT_LT(pendingAtStart, 41);
    CancelToken cancel;
    ASSERT_TRUE(resumed.Execute(Factory(), cancel, {}, &error));
    // Only what had not ended was asked again: at most two targets each.
    int askedAgain = 0;
    for (const auto& [target, n] : backend->asked_)
        askedAgain += n - (askedBefore.count(target) ? askedBefore.at(target) : 0);
    EXPECT_LE(askedAgain, 2 * pendingAtStart);

    // The same as a run that was never stopped, byte for byte.
    test::TempDir other;
    other.Write("list.txt", ReadWholeFile(dir.File("list.txt")).value());
    MakeDirectories(other.File("marc"));
    BatchRunSetup plain = setup;
    plain.listPath = other.File("list.txt");
    plain.marcPath = other.File("marc") + "/";
    BatchRun whole(plain);
    ASSERT_TRUE(whole.Prepare(&error));
    ASSERT_TRUE(whole.Execute(Factory(), cancel, {}, &error));
    EXPECT_EQ(Daily(), ReadWholeFile(other.File("marc/marc20261209.txt")).value_or("x"));
    EXPECT_EQ(BatchReportCsv(resumed.rows()), BatchReportCsv(whole.rows()));
}

TEST_F(BatchTest, ASaveBegunBeforeACrashIsRecognisedNotRepeated) {
    BatchRunSetup setup = Setup({Target("a")});
    std::string error;
    CancelToken cancel;
    std::string firstReport;
    {
        BatchRun first(setup);
        ASSERT_TRUE(first.Prepare(&error));
        ASSERT_TRUE(first.Execute(Factory(), cancel, {}, &error));
        firstReport = BatchReportCsv(first.rows());
    }
    // Take the run back to the moment the third record was written and its journal line
    // was not: the journal ends after that save's first line, the daily file after the
    // record.
    const std::string journal = ReadWholeFile(dir.File("marc/list.journal")).value();
    size_t cut = 0;
    for (int saving = 0; saving < 3; ++saving) cut = journal.find("\nP\t", cut + 1);
    ASSERT_NE(cut, std::string::npos);
    cut = journal.find('\n', cut + 1);
    ReplaceFileAtomically(dir.File("marc/list.journal"), journal.substr(0, cut + 1));
    const std::string daily = Daily();
    size_t end = 0;
    for (int record = 0; record < 3; ++record) end = daily.find("\x1D\r\n", end) + 3;
    ReplaceFileAtomically(dir.File("marc/marc20261209.txt"), daily.substr(0, end));
    BatchRun resumed(setup);
    ASSERT_TRUE(resumed.Prepare(&error));
    ASSERT_TRUE(resumed.Execute(Factory(), cancel, {}, &error));
    EXPECT_EQ(BatchReportCsv(resumed.rows()), firstReport);
    EXPECT_EQ(CountRows(resumed.rows()).alreadySaved, 0);
    EXPECT_EQ(resumed.rows()[4].saved, SaveMark::kSaved);
    EXPECT_EQ(resumed.rows()[4].dailyNumber, 3);
}

TEST(BatchChain, NamesAsTheTreeShowsThem) {
    Z39Settings settings;
    settings.KSIP = "127.0.0.1";
    TargetList list;
    list.TargetTable[1] = SharedCatalogueEntry(settings);
    for (int slot : {2, 3, 4}) {
        TargetEntry& e = list.TargetTable[static_cast<size_t>(slot)];
        e.address = "host" + std::to_string(slot);
        e.library = slot == 4 ? "lib4" : "lib2";
        e.database = slot == 2 ? "uc" : "books";
    }
    list.TargetTable[3].library = "lib3";
    std::string error;
    auto chain = ResolveChain(list, {"ks_lib", "UC", "lib4/books"}, &error);
    ASSERT_TRUE(chain.has_value()) << error;
    ASSERT_EQ(chain->size(), 3u);
    EXPECT_EQ((*chain)[0].profile.kind, TargetKind::kSharedCatalogue);
    EXPECT_EQ((*chain)[1].profile.entry.address, "host2");
    EXPECT_EQ((*chain)[2].profile.entry.address, "host4");
    EXPECT_EQ((*chain)[2].name, "lib4/books");  // two databases are called "books"
    EXPECT_FALSE(ResolveChain(list, {"books"}, &error).has_value());
    EXPECT_NE(error.find(G("有多个")), std::string::npos);
    EXPECT_FALSE(ResolveChain(list, {"nowhere"}, &error).has_value());
    list.CurrentTarget = 3;
    auto fallback = DefaultChain(list);
    ASSERT_EQ(fallback.size(), 2u);
    EXPECT_EQ(fallback[1].name, "lib3/books");
}

}  // namespace
}  // namespace z39
