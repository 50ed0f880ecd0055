#include <gtest/gtest.h>

#include <filesystem>

#include "backends/ks_scramble.h"
#include "catalogue_db.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "http_request.h"
#include "protocol.h"
#include "record_import.h"
#include "records/marc_record.h"
#include "support/temp_dir.h"

namespace ks {
namespace {

TEST(Scramble, RoundTripsWithAndWithoutDigits) {
    for (std::string record : {std::string("00123nam0 22000"), std::string("no digits here"),
                               DemoRecord(3, 10), std::string()}) {
        for (std::string key : {"1", "12345", ""}) {
            std::string body = z39::ScrambleRecord(key, record);
            EXPECT_TRUE(body.starts_with("BE") && body.ends_with("ND"));
            EXPECT_EQ(body.size(), record.size() + 4);
            EXPECT_EQ(z39::UnscrambleRecord(" " + key + " ", body + "\r\n"), record);
        }
    }
    // s = (7 + 1) mod 10 = 8: 0 -> 8, 5 -> 3.
    EXPECT_EQ(z39::ScrambleRecord("9", "ab05xyz"), "BEab83xyzND");
    EXPECT_EQ(z39::UnscrambleRecord("9", " plain "), "plain");
}

TEST(Import, SplitsRecordsAndSkipsLineBreaksBetweenThem) {
    std::string a = DemoRecord(0, 10), b = DemoRecord(1, 10);
    auto records = SplitIsoRecords(a + "\r\n" + b + "\n\ntrailing");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].bytes, a);
    EXPECT_EQ(records[1].bytes, b);
    EXPECT_EQ(records[1].offset, a.size() + 2);
    EXPECT_FALSE(ExtractKeys(records[2].bytes).ok);
}

TEST(Import, KeysOfARecordAndDamagedRecordsRefused) {
    RecordKeys keys = ExtractKeys(DemoRecord(0, 10));
    ASSERT_TRUE(keys.ok) << keys.error;
    EXPECT_EQ(keys.isbn, "9787536692930");
    EXPECT_EQ(keys.name, z39::G("三体"));
    EXPECT_EQ(keys.namepy, "ST");
    std::string damaged = DemoRecord(0, 10);
    damaged[0] = '9';  // length in the leader no longer matches
    EXPECT_FALSE(ExtractKeys(damaged).ok);
    EXPECT_FALSE(ExtractKeys("short").ok);
}

TEST(Import, PinyinInitials) {
    EXPECT_EQ(PinyinInitials(z39::G("数据结构")), "SJJG");
    EXPECT_EQ(PinyinInitials(z39::G("C++程序设计 第2版")), "CCXSJD2B");
    EXPECT_EQ(PinyinInitials(z39::G("红楼梦：全2册")), "HLMQ2C");
    EXPECT_EQ(PinyinInitials(""), "");
}

TEST(Protocol, TcpFraming) {
    Framing f = ParseTcpRequest("REQU_BEGININIT1@1@ ma_name='x'BAG_END");
    ASSERT_EQ(f.state, Framing::kComplete);
    EXPECT_TRUE(f.request.first);
    EXPECT_EQ(f.request.start, 1);
    EXPECT_EQ(f.request.count, 1);
    EXPECT_EQ(f.request.where, " ma_name='x'");
    f = ParseTcpRequest("REQU_BEGIN12@10@ ma_name='a@b'BAG_END");
    ASSERT_EQ(f.state, Framing::kComplete);
    EXPECT_FALSE(f.request.first);
    EXPECT_EQ(f.request.start, 12);
    EXPECT_EQ(f.request.where, " ma_name='a@b'");
    EXPECT_EQ(ParseTcpRequest("REQU_BEG").state, Framing::kIncomplete);
    EXPECT_EQ(ParseTcpRequest("REQU_BEGININIT1@1@ ma_na").state, Framing::kIncomplete);
    EXPECT_EQ(ParseTcpRequest("GET / HTTP/1.0").state, Framing::kBad);
    EXPECT_EQ(ParseTcpRequest("REQU_BEGINx@1@wBAG_END").state, Framing::kBad);
    EXPECT_EQ(ParseTcpRequest("REQU_BEGIN1BAG_END").state, Framing::kBad);
    EXPECT_EQ(ParseTcpRequest("REQU_BEGIN" + std::string(70000, 'x')).state, Framing::kBad);
    // A start beyond the total gives a count of zero or less, sent as it is.
    f = ParseTcpRequest("REQU_BEGIN30@-4@ ma_name='x'BAG_END");
    ASSERT_EQ(f.state, Framing::kComplete);
    EXPECT_EQ(f.request.count, -4);
    EXPECT_EQ(ParseTcpRequest("REQU_BEGIN1@-@wBAG_END").state, Framing::kBad);
    EXPECT_EQ(ParseTcpRequest("REQU_BEGIN1@--1@wBAG_END").state, Framing::kBad);
}

TEST(Protocol, TcpFramingIsStrictAndScansOnlyNewBytes) {
    // "BAG_END" inside a title does not end the request.
    Framing f =
        ParseTcpRequest("REQU_BEGININIT1@10@ ma_name='xBAG_ENDy' or ma_name='''BAG_END'BAG_END");
    ASSERT_EQ(f.state, Framing::kComplete);
    EXPECT_EQ(f.request.where, " ma_name='xBAG_ENDy' or ma_name='''BAG_END'");
    EXPECT_EQ(ParseTcpRequest("REQU_BEGIN1@1@ ma_name='x'BAG_ENDmore").state, Framing::kBad);
    // Blanks before the request count against the limit.
    EXPECT_EQ(ParseTcpRequest(std::string(70000, ' ')).state, Framing::kBad);
    EXPECT_EQ(ParseTcpRequest(std::string(60000, ' ') + "REQU_BEGIN1@1@").state,
              Framing::kIncomplete);
    // Fed in two pieces, the end is found across them, and the scan never goes back.
    const std::string whole = "  REQU_BEGININIT1@5@ ma_name='BAG_END''x'BAG_END";
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        TcpScan scan;
        std::string received = whole.substr(0, cut);
        Framing first = ParseTcpRequest(received, scan);
        EXPECT_NE(first.state, Framing::kBad) << cut;
        EXPECT_LE(scan.pos, received.size());
        Framing second = ParseTcpRequest(whole, scan);
        ASSERT_EQ(second.state, Framing::kComplete) << cut;
        EXPECT_EQ(second.request.where, " ma_name='BAG_END''x'") << cut;
    }
}

TEST(Protocol, HttpRequestHeadAndFormEncoding) {
    HttpRequestHead h = ParseHttpRequestHead(
        "GET /GetZ39Marc.asp?begin=1 HTTP/1.1\r\nHost: x\r\nRange: bytes=0-,0-\r\n\r\n");
    ASSERT_EQ(h.state, HttpRequestHead::kComplete);
    EXPECT_EQ(h.method, "GET");
    EXPECT_EQ(h.target, "/GetZ39Marc.asp?begin=1");
    EXPECT_EQ(ParseHttpRequestHead("GET / HTTP/1.0\n\n").state, HttpRequestHead::kComplete);
    EXPECT_EQ(ParseHttpRequestHead("GET / HTTP/1.1\r\nHost: x\r\n").state,
              HttpRequestHead::kIncomplete);
    EXPECT_EQ(ParseHttpRequestHead("GET /\r\n\r\n").state, HttpRequestHead::kBad);
    EXPECT_EQ(ParseHttpRequestHead("GET x HTTP/1.1\r\n\r\n").state, HttpRequestHead::kBad);
    EXPECT_EQ(ParseHttpRequestHead("GET / HTTP/1.1\r\nX: " + std::string(70000, 'a')).state,
              HttpRequestHead::kBad);
    // Standard form encoding: "+" is a blank, "%2B" a plus.
    Framing f =
        ParseHttpTarget("/GetZ39Marc.asp?begin=1&num=-4&where=ma_namepy+like+%27A%2BB%25%27");
    ASSERT_EQ(f.state, Framing::kComplete);
    EXPECT_EQ(f.request.where, "ma_namepy like 'A+B%'");
    EXPECT_EQ(f.request.count, -4);
    EXPECT_EQ(HttpResponse(200, "text/plain", "ab"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
              "Connection: close\r\n\r\nab");
}

TEST(Protocol, HttpTargetAndAnswers) {
    Framing f =
        ParseHttpTarget("/GetZ39Marc.asp?next=ok&begin=2&num=10&where=ma_name='%CA%FD'%20and%2");
    ASSERT_EQ(f.state, Framing::kComplete);
    EXPECT_FALSE(f.request.first);
    EXPECT_EQ(f.request.where, "ma_name='\xCA\xFD' and%2");
    EXPECT_EQ(ParseHttpTarget("/GetZ39Marc.asp?begin=1&num=1").state, Framing::kBad);
    EXPECT_EQ(ParseHttpTarget("/GetZ39Marc.asp?begin=a&num=1&where=x").state, Framing::kBad);

    CatalogueDb::Page page;
    page.total = 25;
    page.hits = {{7, "rec1"}, {12, "rec22"}};
    EXPECT_EQ(FormatTcpAnswer(page, true),
              "BAG_BEGIN25REC_BEGINrec1REC_ENDREC_BEGINrec22REC_ENDBAG_END");
    EXPECT_EQ(FormatTcpAnswer(page, false),
              "BAG_BEGINREC_BEGINrec1REC_ENDREC_BEGINrec22REC_ENDBAG_END");
    EXPECT_EQ(FormatHttpAnswer(page, true),
              "BAG_BEGIN25REC_BEGIN7@@" + z39::ScrambleRecord("7", "rec1") +
                  "REC_ENDREC_BEGIN12@@" + z39::ScrambleRecord("12", "rec22") + "REC_ENDBAG_END");
}

TEST(DemoCatalogue, DeterministicWellFormedAndTwentyFivePagingTitles) {
    const int total = 400;
    int paging = 0;
    for (int n = 0; n < total; ++n) {
        std::string record = DemoRecord(n, total);
        EXPECT_EQ(record, DemoRecord(n, total));
        RecordKeys keys = ExtractKeys(record);
        ASSERT_TRUE(keys.ok) << n << keys.error;
        EXPECT_EQ(keys.isbn.size(), 13u);
        EXPECT_EQ(z39::NormaliseIsbn(keys.isbn), keys.isbn) << "check digit of record " << n;
        if (keys.name.starts_with(z39::G(kPagingTitleWord))) ++paging;
        EXPECT_EQ(z39::ReadFields(record).fields.size(), 12u);
        EXPECT_NE(z39::DisplayLine(record), z39::BadRecordLine());
    }
    EXPECT_EQ(paging, 25);
    for (size_t i = 0; i < KnownBooks().size(); ++i)
        EXPECT_EQ(ExtractKeys(DemoRecord(static_cast<int64_t>(i), total)).isbn,
                  KnownBooks()[i].isbn);
}

int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST(CatalogueDbHandle, AConstructorThatFailsAfterOpeningClosesTheDatabase) {
    z39::test::TempDir dir;
    // SQLite opens a file that is not a database lazily; the first statement then fails,
    // inside the constructor, after the handle exists.
    dir.Write("not-a-db", std::string(4096, 'x'));
    const int before = OpenDescriptors();
    for (int i = 0; i < 20; ++i)
        EXPECT_THROW(CatalogueDb(dir.File("not-a-db"), true), std::runtime_error);
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace ks
