#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "backends/backend_kinds.h"
#include "batch/batch_backends.h"
#include "batch/batch_chain.h"
#include "batch/batch_engine.h"
#include "batch/batch_journal.h"
#include "batch/batch_run.h"
#include "batch/isbn_list.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/z39_error.h"
#include "records/daily_file.h"
#include "records/marc_record.h"
#include "records/record_gate.h"
#include "search/search_session.h"
#include "support/fakes.h"
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
    // Every line that asks for a book is an item; a book asked for again is marked with
    // the line that asked first.
    ASSERT_EQ(items.size(), 7u);
    EXPECT_EQ(items[0].isbn, "9787536692930");
    EXPECT_EQ(items[0].input, "978-7-5366-9293-0");
    EXPECT_EQ(items[0].line, 3);
    EXPECT_EQ(items[0].duplicateOf, 0);
    EXPECT_EQ(items[1].isbn, "9787506365437");
    EXPECT_EQ(items[1].duplicateOf, 0);
    EXPECT_EQ(items[2].isbn, "9787506365437");
    EXPECT_EQ(items[2].duplicateOf, 4);
    EXPECT_EQ(items[3].isbn, "9787536692930");
    EXPECT_EQ(items[3].duplicateOf, 3);
    EXPECT_EQ(items[4].isbn, "9787302125938");
    EXPECT_FALSE(items[5].valid());
    EXPECT_EQ(items[5].input, "12345");
    // A wrong check digit is no ISBN: never corrected into the book next to it.
    EXPECT_FALSE(items[6].valid());
    EXPECT_EQ(items[6].duplicateOf, 0);
    // The same list in GBK reads the same.
    const auto gbk = ParseIsbnList(G(text.substr(3)));
    ASSERT_EQ(gbk.size(), items.size());
    for (size_t i = 0; i < gbk.size(); ++i) EXPECT_EQ(gbk[i].isbn, items[i].isbn);
    // A line of megabytes is one invalid row that says how it begins.
    const auto huge = ParseIsbnList("9787536692930\n" + std::string(100 << 20, '7') + "\n");
    ASSERT_EQ(huge.size(), 2u);
    EXPECT_TRUE(huge[0].valid());
    EXPECT_FALSE(huge[1].valid());
    EXPECT_LT(huge[1].input.size(), 200u);
    EXPECT_NE(huge[1].input.find(G("超过64KB")), std::string::npos);
    // And saved by a spreadsheet as "Unicode text": UTF-16, little- or big-endian, with
    // or without the byte-order mark.
    auto utf16 = [](const std::string& utf8, bool little, bool mark) {
        std::string out = mark ? (little ? "\xFF\xFE" : "\xFE\xFF") : "";
        std::u16string units;
        for (size_t i = 0; i < utf8.size();) {
            const auto c = static_cast<unsigned char>(utf8[i]);
            const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            char32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
            for (int k = 1; k < n; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
            units += static_cast<char16_t>(cp);
            i += n;
        }
        for (char16_t u : units) {
            const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
            out += little ? std::string{lo, hi} : std::string{hi, lo};
        }
        return out;
    };
    for (bool little : {true, false})
        for (bool mark : {true, false}) {
            SCOPED_TRACE(std::string(little ? "LE" : "BE") + (mark ? " with mark" : ""));
            const auto wide = ParseIsbnList(utf16(text.substr(3), little, mark));
            ASSERT_EQ(wide.size(), items.size());
            for (size_t i = 0; i < wide.size(); ++i) {
                EXPECT_EQ(wide[i].isbn, items[i].isbn);
                EXPECT_EQ(wide[i].input.find('\0'), std::string::npos);
            }
        }
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

// A worker's back ends: `b` for the Z39.50 targets the tests' chains name.
std::unique_ptr<BackendRegistry> OneBackend(SearchBackend& b) {
    auto registry = std::make_unique<BackendRegistry>();
    registry->Add(TargetKind::kZ39, b);
    return registry;
}

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
        return [this](int, TargetMemory&) { return OneBackend(*backend); };
    }
    std::string Daily() { return ReadWholeFile(dir.File("marc/marc20261209.txt")).value_or(""); }
    // A run of `setup` cancelled once `changes` rows changed (and finished when `finish`);
    // how many rows it left pending, -1 when it could not start.
    int RunCancelledAfter(const BatchRunSetup& setup, int changes, bool finish) {
        std::string error;
        BatchRun run(setup);
        if (!run.Prepare(&error)) return -1;
        CancelToken cancel;
        int seen = 0;
        run.Execute(
            Factory(), cancel,
            [&](size_t) {
                if (++seen == changes) cancel.Cancel();
            },
            &error);
        if (finish && !run.Finish(&error)) return -1;
        return CountRows(run.rows()).pending;
    }

    test::TempDir dir;
    std::vector<std::string> isbns;
    std::unique_ptr<TableBackend> backend;
};

// A list that asks for a book twice, in two forms, keeps a row per line: the second is a
// duplicate of the first, searched once and saved once; an ISBN-10 with a wrong check
// digit beside the same book's ISBN-13 is its own row, invalid, never merged with it.
TEST_F(BatchTest, EveryLineKeepsItsRowAndDuplicatesAreMarked) {
    const std::string isbn10 = isbns[0].substr(3, 9) + "X";  // not this book's check digit
    dir.Write("list.txt", isbns[0] + "\n" + isbn10 + "\n" + isbns[2] + "\n" +
                              isbns[0].substr(0, 3) + "-" + isbns[0].substr(3) + "\n");
    BatchRun run(Setup({Target("a")}));
    std::string error;
    ASSERT_TRUE(run.Prepare(&error)) << error;
    ASSERT_EQ(run.rows().size(), 4u);
    CancelToken cancel;
    ASSERT_TRUE(run.Execute(
        Factory(), cancel, [](size_t) {}, &error));
    ASSERT_TRUE(run.Finish(&error));
    const auto& rows = run.rows();
    EXPECT_EQ(rows[0].state, BatchState::kFound);
    EXPECT_EQ(rows[1].state, BatchState::kInvalid);
    EXPECT_EQ(rows[2].state, BatchState::kFound);
    EXPECT_EQ(rows[3].state, BatchState::kDuplicate);
    EXPECT_EQ(rows[3].reason, G("与第1行的ISBN相同"));
    EXPECT_EQ(backend->asked_["a"], 2);  // the duplicate is not searched again
    EXPECT_EQ(Daily(), rows[0].records[0] + "\r\n" + rows[2].records[0] + "\r\n");
    const BatchCounts counts = CountRows(rows);
    EXPECT_EQ(counts.duplicate, 1);
    EXPECT_EQ(counts.pending, 0);
    const std::string csv = ReadWholeFile(run.FilePath(".report.csv")).value_or("");
    EXPECT_NE(csv.find("\"" + isbn10 + "\",\"ISBN无效\""), std::string::npos) << csv;
    EXPECT_NE(csv.find("\"" + isbns[0] + "\",\"重复\","), std::string::npos) << csv;
    EXPECT_NE(csv.find("\"与第1行的ISBN相同\"\r\n"), std::string::npos) << csv;
    // Not searched is not "not found": the not-found list leaves it out.
    EXPECT_EQ(ReadWholeFile(run.FilePath(".notfound.txt")).value_or(""), "");
}

// --best asks every target of the chain and takes the fullest record; without it the first
// target with hits decides, as ever.
TEST_F(BatchTest, BestAsksEveryTargetAndTakesTheFullestRecord) {
    const std::string shortA = RecordFor(isbns[0], "A");
    const std::string fullA = test::MarcBuilder()
                                  .Control("001", isbns[0])
                                  .Data("010", "  ", {{'a', isbns[0]}})
                                  .Data("200", "1 ", {{'a', "A"}, {'f', "someone"}})
                                  .Data("606", "0 ", {{'a', "subject"}})
                                  .Data("690", "  ", {{'a', "I247"}})
                                  .Build();
    std::map<std::string, std::map<std::string, std::vector<std::string>>> holdings;
    holdings["first"][isbns[0]] = {shortA};
    holdings["second"][isbns[0]] = {fullA};
    holdings["first"][isbns[1]] = {RecordFor(isbns[1], "B")};
    holdings["second"][isbns[2]] = {RecordFor(isbns[2], "C1"), RecordFor(isbns[2], "C2")};
    holdings["first"][isbns[2]] = {fullA};  // the fullest of three candidates
    backend = std::make_unique<TableBackend>(holdings);
    dir.Write("list.txt", isbns[0] + "\n" + isbns[1] + "\n" + isbns[2] + "\n");
    for (bool best : {false, true}) {
        test::TempDir out;
        BatchRunSetup setup = Setup({Target("first"), Target("down"), Target("second")});
        setup.marcPath = out.path() + "/";
        setup.best = best;
        BatchRun run(setup);
        std::string error;
        ASSERT_TRUE(run.Prepare(&error)) << error;
        CancelToken cancel;
        ASSERT_TRUE(run.Execute(
            Factory(), cancel, [](size_t) {}, &error))
            << error;
        const auto& rows = run.rows();
        EXPECT_EQ(rows[0].state, BatchState::kFound);
        EXPECT_EQ(rows[0].target, best ? "second" : "first");
        EXPECT_EQ(rows[0].records, std::vector<std::string>{best ? fullA : shortA});
        // Only one source has B: found there, the target that failed says nothing against it.
        EXPECT_EQ(rows[1].state, BatchState::kFound);
        EXPECT_EQ(rows[1].target, "first");
        if (best) {
            EXPECT_EQ(rows[1].failedTargets, std::vector<std::string>{"down"});
            // Several records of C: every candidate is kept, the fullest first.
            EXPECT_EQ(rows[2].state, BatchState::kSeveral);
            ASSERT_EQ(rows[2].records.size(), 3u);
            EXPECT_EQ(rows[2].records[0], fullA);
            EXPECT_EQ(rows[2].target, "first");
        } else {
            EXPECT_EQ(rows[2].state, BatchState::kFound);  // the first target's one record
        }
    }
}

TEST(BatchStates, ChineseWordsAndACancelledRun) {
    EXPECT_EQ(StateText(BatchState::kPending, SaveMark::kNotSaved), G("待检索"));
    EXPECT_EQ(StateText(BatchState::kPending, SaveMark::kNotSaved, true), G("已取消"));
    EXPECT_EQ(StateText(BatchState::kFound, SaveMark::kNotSaved, true), G("已找到"));
    EXPECT_EQ(StateText(BatchState::kFound, SaveMark::kSaved), G("已保存"));
    EXPECT_EQ(StateText(BatchState::kFound, SaveMark::kAlreadySaved), G("已保存过"));
    EXPECT_EQ(StateText(BatchState::kFound, SaveMark::kRefused), G("未通过检查"));
    EXPECT_EQ(StateText(BatchState::kFailed, SaveMark::kNotSaved), G("连接失败"));
    EXPECT_EQ(StateText(BatchState::kNotFound, SaveMark::kNotSaved), G("未找到"));
}

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
    EXPECT_TRUE(csv.starts_with("\xEF\xBB\xBF" + BatchReportHeader() + "\r\n"));
    EXPECT_EQ(BatchReportHeader(),
              "检索的ISBN,状态,目标数据库,题名,责任者,出版地,出版者,出版日期,ISBN,日文件序号,原因");
    // The record in its own columns: title, responsibility, place, publisher, date, ISBN.
    EXPECT_NE(csv.find("\"" + isbns[0] + "\",\"已保存\",\"a\",\"A0\",\"\",\"\",\"\",\"\",\"" +
                       isbns[0] + "\",1,\"\"\r\n"),
              std::string::npos)
        << csv;
    EXPECT_NE(csv.find("\"" + isbns[9] + "\",\"多条\",\"b\",\"\","), std::string::npos);
    EXPECT_NE(csv.find("\"not-an-isbn 1\",\"ISBN无效\""), std::string::npos);
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
    ASSERT_GT(RunCancelledAfter(setup, 12, true), 0);
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

// How often each ISBN's 001 stands in the daily files of `folder`.
std::map<std::string, int> SavedCounts(const std::string& folder) {
    std::map<std::string, int> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("marc") && !name.starts_with("imported")) continue;
        const std::string text = ReadWholeFile(entry.path().string()).value_or("");
        for (size_t from = 0; from < text.size();) {
            const size_t end = text.find("\x1D\r\n", from);
            if (end == std::string::npos) break;
            const std::string record = text.substr(from, end + 1 - from);
            EXPECT_TRUE(CheckRecordForSaving(record).ok()) << name;
            for (const auto& f : ReadFields(record).fields)
                if (f.tag == "001") ++out[f.data.substr(0, f.data.size() - 1)];
            from = end + 3;
        }
    }
    return out;
}

TEST_F(BatchTest, AFlippedJournalByteDropsOneLineAndNothingIsSavedTwiceAfterAnImportOrNextDay) {
    for (const bool nextDay : {false, true}) {
        SCOPED_TRACE(nextDay ? "resumed the next day" : "resumed after the import");
        test::TempDir folder;
        MakeDirectories(folder.File("marc"));
        BatchRunSetup setup = Setup({Target("a"), Target("b")});
        setup.marcPath = folder.File("marc") + "/";
        std::string error;
        CancelToken cancel;
        {
            // A run that saved everything but was stopped before it ended.
            BatchRun run(setup);
            ASSERT_TRUE(run.Prepare(&error));
            ASSERT_TRUE(run.Execute(Factory(), cancel, {}, &error));
        }
        // A byte flipped in the Saved line of the third save, ten lines in or more.
        const std::string path = folder.File("marc/list.journal");
        std::string journal = ReadWholeFile(path).value();
        size_t at = 0;
        for (int n = 0; n < 3; ++n) at = journal.find("\nS\t", at + 1);
        ASSERT_NE(at, std::string::npos);
        journal[at + 4] ^= 0x01;
        ReplaceFileAtomically(path, journal);
        const size_t linesBefore =
            static_cast<size_t>(std::count(journal.begin(), journal.end(), '\n'));
        // The cataloguing system imports the daily file (moves it away).
        std::rename(folder.File("marc/marc20261209.txt").c_str(),
                    folder.File("marc/imported.txt").c_str());
        if (nextDay) setup.today = [] { return std::string("20261210"); };
        BatchRun resumed(setup);
        ASSERT_TRUE(resumed.Prepare(&error)) << error;
        ASSERT_EQ(resumed.notices().size(), 1u);
        EXPECT_NE(resumed.notices()[0].find(G("有1行已损坏")), std::string::npos)
            << GbkToUtf8(resumed.notices()[0]);
        EXPECT_NE(resumed.notices()[0].find(G("其余") + std::to_string(linesBefore - 1)),
                  std::string::npos)
            << GbkToUtf8(resumed.notices()[0]);
        ASSERT_TRUE(resumed.Execute(Factory(), cancel, {}, &error));
        EXPECT_EQ(resumed.notices().size(), 2u);  // one save taken as done
        for (const auto& [isbn, times] : SavedCounts(folder.File("marc")))
            EXPECT_EQ(times, 1) << isbn;
        EXPECT_EQ(CountRows(resumed.rows()).saved, 20 + 5);
    }
}

TEST_F(BatchTest, TwoListsIntoOneFolderAtOnceSaveEachBookOnce) {
    // The second list holds the first's ISBNs in another order, and more.
    std::string other = "";
    for (int i = 39; i >= 0; --i) other += isbns[static_cast<size_t>(i)] + "\n";
    dir.Write("other.txt", other);
    BatchRunSetup one = Setup({Target("a"), Target("b")});
    BatchRunSetup two = one;
    two.listPath = dir.File("other.txt");
    backend->delayMs = 2;
    std::string e1, e2;
    bool ok1 = false, ok2 = false;
    BatchRun r1(one), r2(two);
    ASSERT_TRUE(r1.Prepare(&e1));
    ASSERT_TRUE(r2.Prepare(&e2));
    CancelToken c1, c2;
    std::thread t1([&] { ok1 = r1.Execute(Factory(), c1, {}, &e1); });
    std::thread t2([&] { ok2 = r2.Execute(Factory(), c2, {}, &e2); });
    t1.join();
    t2.join();
    ASSERT_TRUE(ok1 && ok2) << e1 << e2;
    const auto counts = SavedCounts(dir.File("marc"));
    EXPECT_EQ(counts.size(), 25u);
    for (const auto& [isbn, times] : counts) EXPECT_EQ(times, 1) << isbn;
    EXPECT_EQ(CountRows(r1.rows()).saved + CountRows(r2.rows()).saved, 25);
    EXPECT_EQ(CountRows(r1.rows()).alreadySaved + CountRows(r2.rows()).alreadySaved, 25);
}

TEST_F(BatchTest, QualifiedIsbnsInTheDailyFileCountAsSaved) {
    EXPECT_EQ(IsbnInText("9787536692930 (pbk.)"), "9787536692930");
    EXPECT_EQ(IsbnInText(G("7-5366-9293-5（精装）")), "9787536692930");
    EXPECT_EQ(IsbnInText("ISBN 978-7-5366-9293-0 : CNY23.00"), "9787536692930");
    EXPECT_EQ(IsbnInText("CNY23.00"), "");
    // A wrong check digit is another number, never corrected into this book's.
    EXPECT_EQ(IsbnInText("9787536692931 (pbk.)"), "");
    EXPECT_EQ(IsbnInText(G("7-5366-9293-X（精装）")), "");
    // The daily file holds book 0 under a qualified form of its ISBN.
    const std::string held = test::MarcBuilder()
                                 .Control("001", "other-copy")
                                 .Data("010", "  ", {{'a', isbns[0] + " (pbk.)"}})
                                 .Data("200", "1 ", {{'a', "A0"}})
                                 .Build();
    AppendToFile(dir.File("marc/marc20261209.txt"), held + "\r\n");
    BatchRun run(Setup({Target("a")}));
    std::string error;
    ASSERT_TRUE(run.Prepare(&error));
    CancelToken cancel;
    ASSERT_TRUE(run.Execute(Factory(), cancel, {}, &error));
    EXPECT_EQ(run.rows()[0].saved, SaveMark::kAlreadySaved);
    EXPECT_EQ(run.rows()[0].dailyNumber, 1);
}

// A back end that throws, as the Z39.50 one does when its client's record file is garbage
// or the temporary folder is full.
class ThrowingBackend final : public SearchBackend {
  public:
    PageResult Fetch(const TargetProfile&, const SearchRequest&, CancelToken&) override {
        throw Z39Error(G("文件[/tmp/x/_marc.~]的第一行不是命中数"));
    }
};

TEST_F(BatchTest, ADailyFilePlantedAsALinkStopsTheRunAndIsNotWrittenThrough) {
    dir.Write("victim.txt", "mine\n");
    ASSERT_EQ(::symlink(dir.File("victim.txt").c_str(), dir.File("marc/marc20261209.txt").c_str()),
              0);
    BatchRun run(Setup({Target("a")}));
    std::string error;
    ASSERT_TRUE(run.Prepare(&error));
    CancelToken cancel;
    EXPECT_FALSE(run.Execute(Factory(), cancel, {}, &error));
    EXPECT_NE(error.find(G("是符号链接")), std::string::npos) << GbkToUtf8(error);
    EXPECT_EQ(dir.Read("victim.txt"), "mine\n");
}

TEST_F(BatchTest, AServerThatSendsThousandsForOneIsbnLeavesTenCandidates) {
    std::vector<std::string> flood;
    for (int i = 0; i < 5000; ++i) flood.push_back(RecordFor(isbns[1], "F" + std::to_string(i)));
    backend = std::make_unique<TableBackend>(
        std::map<std::string, std::map<std::string, std::vector<std::string>>>{
            {"a", {{isbns[1], flood}}}});
    BatchRun run(Setup({Target("a")}));
    std::string error;
    ASSERT_TRUE(run.Prepare(&error));
    CancelToken cancel;
    ASSERT_TRUE(run.Execute(Factory(), cancel, {}, &error)) << GbkToUtf8(error);
    EXPECT_EQ(run.rows()[1].state, BatchState::kSeveral);
    EXPECT_EQ(run.rows()[1].records.size(), static_cast<size_t>(kMaxCandidates));
    // The journal holds ten candidates, not five thousand.
    uintmax_t journal = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.File("marc")))
        if (e.path().string().ends_with(".journal")) journal += e.file_size();
    EXPECT_GT(journal, 0u);
    EXPECT_LT(journal, 20000u);
}

// Journal lines reach the disk in groups: searching 20,000 rows that save nothing syncs
// once a group time has passed, while every line that leads to a save is synced at once.
TEST_F(BatchTest, JournalLinesAreSyncedInGroupsAndEverySaveAtOnce) {
    std::string list;
    for (int i = 0; i < 20000; ++i)
        list += i % 10 ? "no isbn " + std::to_string(i) + "\n" : Isbn(1000 + i / 10) + "\n";
    dir.Write("list.txt", list);
    test::FakeClock clock;  // stands still: no group time ever passes
    BatchRunSetup setup = Setup({Target("a")});
    setup.clock = &clock;
    {
        BatchRun run(setup);
        std::string error;
        ASSERT_TRUE(run.Prepare(&error));
        CancelToken cancel;
        ASSERT_TRUE(run.Execute(Factory(), cancel, {}, &error)) << GbkToUtf8(error);
        EXPECT_EQ(run.journalSyncs(), 0);
        ASSERT_TRUE(run.Finish(&error));
        EXPECT_EQ(run.journalSyncs(), 1);  // the end of the run
    }
    // Saves: the line before each record goes to the daily file, and the one after it.
    dir.Write("list.txt", isbns[0] + "\n" + isbns[2] + "\n" + isbns[1] + "\n");
    BatchRun saving(setup);
    std::string error;
    ASSERT_TRUE(saving.Prepare(&error));
    CancelToken cancel;
    ASSERT_TRUE(saving.Execute(Factory(), cancel, {}, &error)) << GbkToUtf8(error);
    EXPECT_EQ(saving.journalSyncs(), 4);
    // Time passing syncs the next line with those before it.
    BatchJournal journal(&clock);
    ASSERT_TRUE(journal.Open(dir.File("other.journal"), {"a"}, &error));
    BatchRow row;
    row.item.isbn = isbns[3];
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(journal.Searched(row));
    EXPECT_EQ(journal.syncs(), 0);
    clock.SleepMs(BatchJournal::kSyncEveryMs);
    ASSERT_TRUE(journal.Searched(row));
    EXPECT_EQ(journal.syncs(), 1);
}

TEST_F(BatchTest, WhatABackEndThrowsIsAFailedRowWithItsReason) {
    ThrowingBackend thrower;
    BatchRun run(Setup({Target("a")}));
    std::string error;
    ASSERT_TRUE(run.Prepare(&error));
    CancelToken cancel;
    ASSERT_TRUE(
        run.Execute([&](int, TargetMemory&) { return OneBackend(thrower); }, cancel, {}, &error));
    EXPECT_EQ(run.rows()[0].state, BatchState::kFailed);
    EXPECT_NE(run.rows()[0].reason.find(G("不是命中数")), std::string::npos);
    // A worker that gets no back ends at all (no working folder) fails its rows the same way.
    BatchRunSetup setup = Setup({Target("a")});
    setup.listPath = dir.File("list.txt");
    test::TempDir folder;
    setup.marcPath = folder.path() + "/";
    BatchRun none(setup);
    ASSERT_TRUE(none.Prepare(&error));
    ASSERT_TRUE(none.Execute([](int, TargetMemory&) { return std::unique_ptr<BackendRegistry>(); },
                             cancel, {}, &error));
    EXPECT_EQ(CountRows(none.rows()).failed, 40);
    EXPECT_NE(BatchReportCsv(none.rows()).find(GbkToUtf8(G("工作目录无法建立"))),
              std::string::npos);
}

// A kind of target none of the program's: one row of the table, and the window's search
// and a batch find it without another change.
class FakeKindBackend final : public SearchBackend {
  public:
    PageResult Fetch(const TargetProfile&, const SearchRequest& request, CancelToken&) override {
        PageResult page;
        page.hasTotal = true;
        page.total = 1;
        page.records = {RecordFor(request.rows.at(0).value, "Fake")};
        return page;
    }
};

TEST_F(BatchTest, AFakeKindIsOneRowOfTheTableForTheWindowAndTheBatch) {
    const auto kFake = static_cast<TargetKind>(42);
    BackendKind row;
    row.kind = kFake;
    row.make = [](const BackendContext&) { return std::make_unique<FakeKindBackend>(); };
    row.capabilities.fields = {"ISBN"};
    RegisterBackendKind(row);
    EXPECT_EQ(CapabilitiesOf(kFake).fields, std::vector<std::string>{"ISBN"});

    // The window: back ends built from the table, a search session on a target of the kind.
    test::RecordingUi ui;
    SteadyClock clock;
    CurlHttpClient http;
    ProcessRunner runner(ui, clock);
    TargetMemory memory;
    auto backends = BuildBackends({http, runner, clock, dir.path(), memory});
    AppState state;
    RecordStore store(dir.File("_list.~"));
    ResultIndex index;
    SearchSession session(SearchServices{state, store, index, ui, *backends});
    TargetProfile fake;
    fake.kind = kFake;
    fake.slot = 7;
    const SearchOutcome out = session.Start(fake, {{"", "ISBN", isbns[0]}}, "10");
    EXPECT_EQ(out.total, 1);
    ASSERT_EQ(out.rows.size(), 1u);

    // The batch: the real workers' back ends, a chain of that one target.
    ChainTarget target;
    target.name = "fake";
    target.profile = fake;
    BatchRun run(Setup({target}));
    std::string error;
    ASSERT_TRUE(run.Prepare(&error));
    CancelToken cancel;
    ASSERT_TRUE(run.Execute(RealBatchBackends(dir.File("work")), cancel, {}, &error));
    EXPECT_EQ(CountRows(run.rows()).found, 40);
    EXPECT_EQ(CountRows(run.rows()).saved, 40);
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
    // A database named twice (even in two ways) would be asked twice for every ISBN.
    std::vector<std::string> thousand(1000, "ks_lib");
    EXPECT_FALSE(ResolveChain(list, thousand, &error).has_value());
    EXPECT_NE(error.find(G("不止一次")), std::string::npos);
    EXPECT_FALSE(ResolveChain(list, {"lib4/books", "UC", "LIB4/books"}, &error).has_value());
    list.CurrentTarget = 3;
    auto fallback = DefaultChain(list);
    ASSERT_EQ(fallback.size(), 2u);
    EXPECT_EQ(fallback[1].name, "lib3/books");
}

// The window's runs keep their files in a folder of their own; one stopped while its
// journal still lay beside the daily files goes on from that journal there.
TEST_F(BatchTest, AWorkFolderTakesTheFilesAndTakesUpAJournalLeftBesideTheDailyFiles) {
    BatchRunSetup setup = Setup({Target("a"), Target("b")});
    setup.limits = {4, 4};
    backend->delayMs = 20;
    std::string error;
    ASSERT_GT(RunCancelledAfter(setup, 12, false), 0);
    ASSERT_TRUE(FileExists(dir.File("marc/list.journal")));
    setup.workFolder = dir.File("marc/batch") + "/";
    BatchRun moved(setup);
    ASSERT_TRUE(moved.Prepare(&error)) << error;
    EXPECT_GT(moved.restored(), 0);
    CancelToken cancel;
    ASSERT_TRUE(moved.Execute(Factory(), cancel, {}, &error));
    ASSERT_TRUE(moved.Finish(&error));
    EXPECT_FALSE(FileExists(dir.File("marc/list.journal")));
    for (const char* name : {"list.journal", "list.report.csv", "list.notfound.txt"})
        EXPECT_TRUE(FileExists(dir.File(std::string("marc/batch/") + name))) << name;
    EXPECT_FALSE(FileExists(dir.File("marc/list.report.csv")));
}

}  // namespace
}  // namespace z39
