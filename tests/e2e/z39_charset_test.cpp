// The Z39.50 path against Zebra servers keeping the same records in GBK and in UTF-8, with
// nothing configured about their character sets: what the session lists is GBK, and the
// servers' logs show how many searches it took.
#include <gtest/gtest.h>

#include "backends/external_z39.h"
#include "backends/target_memory.h"
#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_charset.h"
#include "records/marc_record.h"
#include "support/fakes.h"
#include "support/session_harness.h"
#include "support/temp_dir.h"
#include "support/zebra_process.h"

namespace z39 {
namespace {

int Searches(const test::ZebraProcess& zebra) {
    const std::string log = zebra.Log();
    int n = 0;
    for (size_t at = log.find("[request] Search"); at != std::string::npos;
         at = log.find("[request] Search", at + 1))
        ++n;
    return n;
}

class Z39CharsetTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        gbk = new test::ZebraProcess(25);
        utf8 = new test::ZebraProcess(25, {"utf-8"});
    }
    static void TearDownTestSuite() {
        delete gbk;
        delete utf8;
    }
    void SetUp() override { ASSERT_TRUE(gbk->ok() && utf8->ok()) << "zebrasrv did not start"; }
    test::SessionHarness& On(const test::ZebraProcess& zebra,
                             const std::string& database = "Default") {
        TargetEntry e;
        e.address = "127.0.0.1";
        e.port = std::to_string(zebra.port());
        e.database = database;
        harness = std::make_unique<test::SessionHarness>(dir.File("_list.~"), TargetKind::kZ39, e);
        harness->index.SetSorted(false);
        return *harness;
    }
    static test::ZebraProcess* gbk;
    static test::ZebraProcess* utf8;
    test::TempDir dir;
    test::RecordingUi ui;
    SteadyClock steady;
    test::FakeClock fake;
    ProcessRunner runner{ui, steady, 30000};
    ExternalZ39Backend backend{runner, fake, Z39WorkFilesIn(dir.path()), test::BinDir() + "/yazc"};
    std::unique_ptr<test::SessionHarness> harness;
};
test::ZebraProcess* Z39CharsetTest::gbk = nullptr;
test::ZebraProcess* Z39CharsetTest::utf8 = nullptr;

// Zebra answers a search of a database it lacks with diagnostic 109 instead of a result
// set: the user hears the server's refusal, not "no data".
TEST_F(Z39CharsetTest, ADiagnosticInPlaceOfAResultSetIsARefusalNotNoData) {
    test::SessionHarness& h = On(*gbk, "NoSuchDatabase");
    SearchOutcome out = h.Start(backend, {{"", "ISBN", "9787000000001"}}, "10");
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_NE(out.statusMessage, NoDataStatus());
    EXPECT_NE(out.notice.find(G("目标数据库拒绝了检索：search failed:")), std::string::npos)
        << GbkToUtf8(out.notice);
    EXPECT_NE(out.notice.find("(109)"), std::string::npos) << GbkToUtf8(out.notice);
}

// The searches below ask for edNum 1, so that the first request is the only one the first
// page makes and the server's count of searches is the charset tries alone.
TEST_F(Z39CharsetTest, AChineseTitleOnTheUtf8ServerIsFoundAndListedInGbk) {
    test::SessionHarness& h = On(*utf8);
    const int before = Searches(*utf8);
    SearchOutcome out = h.Start(backend, test::TitleRows(G("编程")), "1");
    ASSERT_FALSE(out.connectionFailed) << GbkToUtf8(out.notice);
    EXPECT_EQ(out.total, 25);
    EXPECT_EQ(out.statusMessage, FoundStatus(25) + ShownStatus(1, 25));
    EXPECT_EQ(Searches(*utf8) - before, 2);  // GBK found nothing, UTF-8 did
    out = h.Next("2", "10");
    EXPECT_EQ(out.rows.size(), 11u);
    EXPECT_EQ(Searches(*utf8) - before, 3);  // a further page pays once
    for (size_t i = 0; i < h.index.size(); ++i) {
        const std::string record = h.index.RecordAt(i, h.store);
        EXPECT_TRUE(IsWellFormedIso2709(record)) << i;
        EXPECT_EQ(DetectRecordCharset(record), RecordCharset::kGbk) << i;
        EXPECT_NE(DisplayLine(record).find(G("编程")), std::string::npos) << i;
    }
    EXPECT_EQ(out.notice, "");
    // The target is known now: a new search goes out in UTF-8 at once.
    h.Start(backend, test::TitleRows(G("编程")), "1");
    EXPECT_EQ(Searches(*utf8) - before, 4);
}

// Two instances over one run's target memory (the window and a batch worker, or two
// workers): what the first learned of the UTF-8 server, the second uses at once.
TEST_F(Z39CharsetTest, WhatOneInstanceLearnedTheOthersOfTheRunUse) {
    TargetMemory memory;
    test::TempDir otherDir;
    ExternalZ39Backend first(runner, fake, Z39WorkFilesIn(dir.path()), test::BinDir() + "/yazc",
                             &memory);
    ExternalZ39Backend second(runner, fake, Z39WorkFilesIn(otherDir.path()),
                              test::BinDir() + "/yazc", &memory);
    const int before = Searches(*utf8);
    EXPECT_EQ(On(*utf8).Start(first, test::TitleRows(G("编程")), "1").total, 25);
    EXPECT_EQ(Searches(*utf8) - before, 2);  // one failed GBK try, then UTF-8
    EXPECT_EQ(On(*utf8).Start(second, test::TitleRows(G("编程")), "1").total, 25);
    EXPECT_EQ(Searches(*utf8) - before, 3);  // no second GBK try
}

TEST_F(Z39CharsetTest, TheGbkServerGetsOneSearchAsBefore) {
    test::SessionHarness& h = On(*gbk);
    const int before = Searches(*gbk);
    SearchOutcome out = h.Start(backend, test::TitleRows(G("编程")), "1");
    EXPECT_EQ(out.total, 25);
    EXPECT_EQ(Searches(*gbk) - before, 1);
    EXPECT_EQ(dir.Read("_zinit.~").find("querycharset"), std::string::npos);
    // Found on both: the UTF-8 server's records are the GBK server's once converted.
    const std::string fromGbk = h.store.LoadRecord(0);
    test::SessionHarness& other = On(*utf8);
    other.Start(backend, test::TitleRows(G("编程")), "1");
    EXPECT_EQ(other.store.LoadRecord(0), fromGbk);
}

TEST_F(Z39CharsetTest, AnExplicitSettingSendsTheQueryInItsCharacterSetAtOnce) {
    test::SessionHarness& h = On(*utf8);
    h.profile.z39.charset = "UTF-8";
    const int before = Searches(*utf8);
    SearchOutcome out = h.Start(backend, test::TitleRows(G("编程")), "1");
    EXPECT_EQ(out.total, 25);
    EXPECT_EQ(Searches(*utf8) - before, 1);
    EXPECT_NE(dir.Read("_zinit.~").find("querycharset UTF-8\r\n"), std::string::npos);
    // An ISBN has nothing to convert and is sent once whatever the server keeps.
    test::SessionHarness& isbn = On(*utf8);
    const int beforeIsbn = Searches(*utf8);
    out = isbn.Start(backend, {{"", "ISBN", "9787000000001"}}, "1");
    EXPECT_EQ(out.total, 1);
    EXPECT_EQ(Searches(*utf8) - beforeIsbn, 1);
}

}  // namespace
}  // namespace z39
