// SRU targets against yaz-ztest, which answers Z39.50 and SRU on one port: the same search
// through both routes, paging, and the server's diagnostics.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "backends/external_z39.h"
#include "backends/sru.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_record.h"
#include "support/fakes.h"
#include "support/session_harness.h"
#include "support/temp_dir.h"
#include "support/zebra_process.h"
#include "support/ztest_process.h"

namespace z39 {
namespace {

// yaz-ztest searches CQL through YAZ's mapping to Bib-1, with the ISBN and ISSN indexes that
// Debian's copy of the mapping leaves out.
std::string ServerConfig(const test::TempDir& dir) {
    std::ifstream in("/usr/share/yaz/etc/pqf.properties");
    std::stringstream mapping;
    mapping << in.rdbuf() << "\nindex.bath.isbn = 1=7\nindex.bath.issn = 1=8\n";
    dir.Write("pqf.properties", mapping.str());
    dir.Write("ztest.xml", "<yazgfs><server id=\"s\"><cql2rpn>" + dir.File("pqf.properties") +
                               "</cql2rpn></server></yazgfs>\n");
    return dir.File("ztest.xml");
}

// The two routes to one server: SRU through the real HTTP client, Z39.50 through yazc.
struct Routes {
    test::TempDir dir;
    CurlHttpClient http;
    SruBackend sruBackend{http};
    test::RecordingUi ui;
    SteadyClock steady;
    test::FakeClock fake;
    ProcessRunner runner{ui, steady, 30000};
    ExternalZ39Backend z39Backend{runner, fake, Z39WorkFilesIn(dir.path()),
                                  test::BinDir() + "/yazc"};
};

class SruSearchTest : public ::testing::Test, protected Routes {
  protected:
    static void SetUpTestSuite() {
        serverDir = new test::TempDir;
        ztest = new test::ZtestProcess(serverDir->File("ztest.log"), ServerConfig(*serverDir));
    }
    static void TearDownTestSuite() {
        delete ztest;
        ztest = nullptr;
        delete serverDir;
        serverDir = nullptr;
    }
    static int HttpRequests() {
        const std::string log = serverDir->Read("ztest.log");
        int n = 0;
        for (size_t at = log.find("[request] GET /"); at != std::string::npos;
             at = log.find("[request] GET /", at + 1))
            ++n;
        return n;
    }
    void SetUp() override { ASSERT_TRUE(ztest && ztest->ok()) << "yaz-ztest did not start"; }

    test::SessionHarness& Sru(const std::string& database = "Default") {
        TargetEntry e;
        e.address = "http://127.0.0.1";
        e.port = std::to_string(ztest->port());
        e.database = database;
        sru = std::make_unique<test::SessionHarness>(dir.File("_sru.~"), TargetKind::kSru, e);
        sru->index.SetSorted(false);
        return *sru;
    }
    test::SessionHarness& Z39() {
        TargetEntry e;
        e.address = "127.0.0.1";
        e.port = std::to_string(ztest->port());
        e.database = "Default";
        z39 = std::make_unique<test::SessionHarness>(dir.File("_z39.~"), TargetKind::kZ39, e);
        z39->index.SetSorted(false);
        return *z39;
    }
    static std::vector<std::string> Listed(test::SessionHarness& h) {
        std::vector<std::string> out;
        for (size_t i = 0; i < h.index.size(); ++i) out.push_back(h.index.RecordAt(i, h.store));
        return out;
    }

    static test::ZtestProcess* ztest;
    static test::TempDir* serverDir;
    std::unique_ptr<test::SessionHarness> sru, z39;
};
test::ZtestProcess* SruSearchTest::ztest = nullptr;
test::TempDir* SruSearchTest::serverDir = nullptr;

// yaz-ztest finds as many records as a numeric term says.
std::vector<SearchCondition> Hits(int n) { return test::TitleRows(std::to_string(n)); }

TEST_F(SruSearchTest, PagesOneRequestEachAndListsEveryRecord) {
    test::SessionHarness& h = Sru();
    const int before = HttpRequests();
    SearchOutcome out = h.Start(sruBackend, Hits(25), "12");
    ASSERT_FALSE(out.connectionFailed) << out.notice;
    EXPECT_EQ(out.total, 25);
    // The first request brings one record; the next fills the page up to edNum.
    EXPECT_EQ(out.rows.size(), 12u);
    EXPECT_TRUE(out.nextEnabled);
    out = h.Next("13", "12");
    EXPECT_EQ(out.rows.size(), 24u);
    out = h.Next(std::to_string(out.nextStart), "12");
    EXPECT_EQ(out.rows.size(), 25u);
    EXPECT_FALSE(out.nextEnabled);
    EXPECT_EQ(HttpRequests() - before, 4);
    const std::string log = serverDir->Read("ztest.log");
    EXPECT_NE(log.find("startRecord=1&maximumRecords=1"), std::string::npos);
    EXPECT_NE(log.find("startRecord=2&maximumRecords=11"), std::string::npos);
    EXPECT_NE(log.find("startRecord=13&maximumRecords=12"), std::string::npos);
    EXPECT_NE(log.find("startRecord=25&maximumRecords=1"), std::string::npos);
    for (const std::string& record : Listed(h)) {
        EXPECT_TRUE(IsWellFormedIso2709(record));
        EXPECT_FALSE(DisplayLine(record).empty());
    }
}

// The ISO 2709 made from MARCXML against the USMARC record yaz-ztest sends over Z39.50: the
// same bytes, leader and directory included, for every record of the set.
TEST_F(SruSearchTest, SameRecordsAsTheZ39Route) {
    test::SessionHarness& s = Sru();
    test::SessionHarness& z = Z39();
    SearchOutcome bySru = s.Start(sruBackend, Hits(24), "30");
    SearchOutcome byZ39 = z.Start(z39Backend, Hits(24), "30");
    ASSERT_EQ(bySru.total, 24);
    ASSERT_EQ(byZ39.total, 24);  // edNum 30: the first page is filled with the whole set
    const std::vector<std::string> a = Listed(s), b = Listed(z);
    ASSERT_EQ(a.size(), 24u);
    ASSERT_EQ(b.size(), 24u);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i], b[i]) << "record " << i + 1;
}

TEST_F(SruSearchTest, DiagnosticIsARefusalInTheServersWords) {
    test::SessionHarness& h = Sru();
    SearchOutcome out = h.Start(sruBackend, Hits(3));
    ASSERT_EQ(out.total, 3);
    // No such index: yaz-ztest says so with diagnostic 16.
    h.profile.sru.indexes["title"] = "dc.nosuchindex";
    out = h.Start(sruBackend, Hits(3));
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.total, 0);
    EXPECT_NE(out.notice.find("Unsupported index"), std::string::npos) << out.notice;
    EXPECT_EQ(h.index.size(), 0u);
}

// Zebra keeping the test books as MARCXML (its DOM filter, from GBK and from UTF-8 input),
// answering SRU with the MARCXML and Z39.50 with ISO 2709 made from it in the character set
// of its input.
class SruZebraTest : public ::testing::Test, protected Routes {
  protected:
    static void SetUpTestSuite() {
        fromGbk = new test::ZebraProcess(25, {"gbk", "sru"});
        fromUtf8 = new test::ZebraProcess(25, {"utf-8", "sru"});
    }
    static void TearDownTestSuite() {
        delete fromGbk;
        delete fromUtf8;
    }
    void SetUp() override {
        ASSERT_TRUE(fromGbk->ok() && fromUtf8->ok()) << "zebrasrv did not start";
    }
    static TargetEntry EntryOf(const test::ZebraProcess& zebra, bool sru) {
        TargetEntry e;
        e.address = sru ? "http://127.0.0.1" : "127.0.0.1";
        e.port = std::to_string(zebra.port());
        e.database = "Default";
        return e;
    }
    // Every record a search for `rows` lists, 30 to a page.
    std::vector<std::string> All(const test::ZebraProcess& zebra, bool sru,
                                 const std::vector<SearchCondition>& rows) {
        test::SessionHarness h(dir.File(sru ? "_sru.~" : "_z39.~"),
                               sru ? TargetKind::kSru : TargetKind::kZ39, EntryOf(zebra, sru));
        h.index.SetSorted(false);
        SearchOutcome out =
            h.Start(sru ? static_cast<SearchBackend&>(sruBackend) : z39Backend, rows, "30");
        EXPECT_FALSE(out.connectionFailed) << GbkToUtf8(out.notice);
        EXPECT_EQ(out.notice, "");
        if (out.nextEnabled) h.Next("2", "30");
        std::vector<std::string> records;
        for (size_t i = 0; i < h.index.size(); ++i) records.push_back(h.index.RecordAt(i, h.store));
        return records;
    }
    // The GBK records the server was given, by their 001.
    static std::map<std::string, std::string> Originals() {
        std::string data = ReadWholeFile(fromGbk->folder() + "/records.mrc").value_or("");
        std::map<std::string, std::string> out;
        while (data.size() >= 5) {
            const size_t length = std::stoul(data.substr(0, 5));
            const std::string record = data.substr(0, length);
            out[ReadFields(record).fields.at(0).data] = record;
            data.erase(0, length);
        }
        return out;
    }

    static test::ZebraProcess *fromGbk, *fromUtf8;
};
test::ZebraProcess* SruZebraTest::fromGbk = nullptr;
test::ZebraProcess* SruZebraTest::fromUtf8 = nullptr;

TEST_F(SruZebraTest, AChineseTitleOverSruGivesTheGbkRecordsOfTheZ39Route) {
    const std::map<std::string, std::string> originals = Originals();
    ASSERT_EQ(originals.size(), 25u);
    for (const test::ZebraProcess* zebra : {fromGbk, fromUtf8}) {
        const std::vector<std::string> bySru = All(*zebra, true, test::TitleRows(G("编程")));
        const std::vector<std::string> byZ39 = All(*zebra, false, test::TitleRows(G("编程")));
        ASSERT_EQ(bySru.size(), 25u);
        ASSERT_EQ(byZ39.size(), 25u);
        for (size_t i = 0; i < bySru.size(); ++i) {
            EXPECT_EQ(bySru[i], byZ39[i]) << "record " << i;
            // ... and both are the GBK record the server was given, byte for byte.
            const std::string id = ReadFields(bySru[i]).fields.at(0).data;
            EXPECT_EQ(bySru[i], originals.at(id)) << "record " << i;
        }
    }
    // The record holds 9787000000001: its ISBN-10, hyphenated, finds it through the forms.
    const std::vector<std::string> one = All(*fromUtf8, true, {{"", "ISBN", "7-00-000000-7"}});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], originals.at(ReadFields(one[0]).fields.at(0).data));
}

}  // namespace
}  // namespace z39
