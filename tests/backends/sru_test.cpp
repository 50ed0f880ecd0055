#include "backends/sru.h"

#include <gtest/gtest.h>

#include "backends/backend_kinds.h"
#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_record.h"
#include "records/marcxml.h"
#include "support/fakes.h"
#include "support/temp_dir.h"
#include "targets/target_editor.h"
#include "targets/target_profile.h"

namespace z39 {
namespace {

const std::string kMarcNs = "http://www.loc.gov/MARC21/slim";

// A MARCXML record (CNMARC fields) with `title` (UTF-8) in 200 $a.
std::string MarcXml(const std::string& title, const std::string& ns = kMarcNs) {
    return "<record xmlns=\"" + ns +
           "\"><leader>00000nam a2200000   450 </leader>"
           "<controlfield tag=\"001\">B0001</controlfield>"
           "<datafield tag=\"010\" ind1=\" \" ind2=\" \"><subfield code=\"a\">978-7-5366-9293-0"
           "</subfield></datafield>"
           "<datafield tag=\"200\" ind1=\"1\" ind2=\" \"><subfield code=\"a\">" +
           title + "</subfield></datafield></record>";
}

std::string Response(const std::string& records, int hits = 1,
                     const std::string& ns = "http://www.loc.gov/zing/srw/") {
    return "<?xml version=\"1.0\"?><zs:searchRetrieveResponse xmlns:zs=\"" + ns +
           "\"><zs:version>1.1</zs:version><zs:numberOfRecords>" + std::to_string(hits) +
           "</zs:numberOfRecords><zs:records>" + records +
           "</zs:records></zs:searchRetrieveResponse>";
}

std::string Record(const std::string& data, const std::string& schema = "marcxml",
                   const std::string& packing = "xml") {
    return "<zs:record><zs:recordSchema>" + schema + "</zs:recordSchema><zs:recordPacking>" +
           packing + "</zs:recordPacking><zs:recordData>" + data + "</zs:recordData></zs:record>";
}

std::string Diagnostics(const std::string& uri, const std::string& message,
                        const std::string& details = "") {
    return "<?xml version=\"1.0\"?><searchRetrieveResponse xmlns=\"http://www.loc.gov/zing/srw/\">"
           "<version>1.1</version><diagnostics><diagnostic "
           "xmlns=\"http://www.loc.gov/zing/srw/diagnostic/\"><uri>" +
           uri + "</uri>" + (details.empty() ? "" : "<details>" + details + "</details>") +
           (message.empty() ? "" : "<message>" + message + "</message>") +
           "</diagnostic></diagnostics></searchRetrieveResponse>";
}

TargetEntry SruEntry() {
    TargetEntry e;
    e.address = "http://sru.test";
    e.port = "8080";
    e.database = "biblios";
    return e;
}

TEST(CqlQuery, RowsIndexesJoinersAndIsbnForms) {
    const SruOptions e;  // no indexes of its own
    EXPECT_EQ(BuildCqlQuery({{"", G("题名"), G("敦煌学")}}, e), "dc.title=\"敦煌学\"");
    EXPECT_EQ(BuildCqlQuery({{"", G("著者"), "Ba Jin"},
                             {G("并且"), G("出版者"), G("作家")},
                             {G("或者"), G("出版日期"), "2005"},
                             {G("并且"), "ISSN", "1000-0135"}},
                            e),
              "dc.creator=\"Ba Jin\" and dc.publisher=\"作家\" or dc.date=\"2005\" and "
              "bath.issn=\"1000-0135\"");
    // The forms a server may index, as for Z39.50; an invalid ISBN goes as entered alone.
    EXPECT_EQ(BuildCqlQuery({{"", "ISBN", "9787536692930"}}, e),
              "(bath.isbn=\"9787536692930\" or bath.isbn=\"978-7-5366-9293-0\" or "
              "bath.isbn=\"7536692935\" or bath.isbn=\"7-5366-9293-5\")");
    EXPECT_EQ(BuildCqlQuery({{"", "ISBN", "12345"}, {G("并且"), G("题名"), "x"}}, e),
              "bath.isbn=\"12345\" and dc.title=\"x\"");
    // Rows after an empty one take no part.
    EXPECT_EQ(
        BuildCqlQuery(
            {{"", G("题名"), "a"}, {G("并且"), G("著者"), ""}, {G("或者"), G("著者"), "b"}}, e),
        "dc.title=\"a\"");
}

TEST(CqlQuery, TermsAreReadAsTheyStand) {
    EXPECT_EQ(QuoteCqlTerm("a \"b\" c*d?e^f\\g"), "\"a \\\"b\\\" c\\*d\\?e\\^f\\\\g\"");
    EXPECT_EQ(QuoteCqlTerm("!bj"), "\"!bj\"");  // no pinyin rule outside the shared catalogue
    // A target's own index names, as the list file gives them, in its profile.
    TargetEntry listed = SruEntry();
    listed.indexes = {{"title", "title"}, {"isbn", "local.isbn"}};
    const SruOptions own = ProfileOf(4, listed).sru;
    EXPECT_EQ(CqlIndexFor(G("题名"), own), "title");
    EXPECT_EQ(CqlIndexFor("ISBN", own), "local.isbn");
    EXPECT_EQ(CqlIndexFor(G("著者"), own), "dc.creator");
    EXPECT_EQ(CqlIndexFor("unknown", own), "cql.serverChoice");
}

TEST(SruUrl, AddressPortDatabaseAndPage) {
    TargetEntry e = SruEntry();
    EXPECT_EQ(SruSearchUrl(e, "dc.title=\"敦煌\"", 1, 1),
              "http://sru.test:8080/biblios?version=1.1&operation=searchRetrieve&query=dc.title%"
              "3D%22%E6%95%A6%E7%85%8C%22&startRecord=1&maximumRecords=1&recordSchema=marcxml&"
              "recordPacking=xml");
    e.address = " https://sru.test/ ";
    e.port = "";
    e.database = "/sru/my db";
    EXPECT_TRUE(SruSearchUrl(e, "x", 11, 10).starts_with("https://sru.test/sru/my%20db?"));
    EXPECT_NE(SruSearchUrl(e, "x", 11, 10).find("&startRecord=11&maximumRecords=10&"),
              std::string::npos);
    // The port goes after the host, and an address that names its own keeps it.
    e.address = "http://sru.test/cgi";
    e.port = "8080";
    e.database = "db";
    EXPECT_TRUE(SruSearchUrl(e, "x", 1, 1).starts_with("http://sru.test:8080/cgi/db?"));
    e.address = "http://sru.test:9000/cgi";
    EXPECT_TRUE(SruSearchUrl(e, "x", 1, 1).starts_with("http://sru.test:9000/cgi/db?"));
}

TEST(SruTarget, KindEditorAndOwnIndexes) {
    EXPECT_TRUE(IsSruAddress("HTTP://host"));
    EXPECT_TRUE(IsSruAddress(" https://host"));
    EXPECT_FALSE(IsSruAddress("http://"));
    EXPECT_FALSE(IsSruAddress("host.http://"));
    EXPECT_EQ(KindOf(4, SruEntry()), TargetKind::kSru);
    TargetEntry opac = SruEntry();
    opac.address = "http://opac.nlc.cn";
    opac.database = "opac";
    EXPECT_EQ(KindOf(4, opac), TargetKind::kWebOpac);  // as it always was
    EXPECT_EQ(CapabilitiesOf(TargetKind::kSru).fields, CapabilitiesOf(TargetKind::kZ39).fields);

    // The editor takes an SRU address without a port, and keeps the target's own index
    // names (which it does not show) when the row is modified.
    test::TempDir dir;
    dir.Write("z39svr.cfg",
              "{Test\n[sru\n(biblios,http://sru.test,,0,,) index.title=title\n]\n}\n");
    TargetList list = GetZ39SvrPara(dir.File("z39svr.cfg"), Z39Settings{});
    ASSERT_EQ(list.TargetTable[4].indexes.at("title"), "title");
    TargetEditor editor(list, dir.File("z39svr.cfg"));
    TargetEntry row = editor.Modify();
    row.indexes.clear();
    row.port = "";
    row.address = "https://sru.test";
    EXPECT_EQ(editor.Confirm(row).field, "");
    row.address = "sru.test";
    EXPECT_EQ(editor.Modify().address, "https://sru.test");
    EXPECT_EQ(editor.Confirm(row).field, "db_port");  // a Z39.50 server needs its port
    editor.Cancel();
    TargetList back = GetZ39SvrPara(dir.File("z39svr.cfg"), Z39Settings{});
    EXPECT_EQ(back.TargetTable[4].address, "https://sru.test");
    EXPECT_EQ(back.TargetTable[4].indexes.at("title"), "title");
    EXPECT_EQ(KindOf(4, back.TargetTable[4]), TargetKind::kSru);
}

TEST(SruResponse, VersionsPackingsAndWhatIsNotAnAnswer) {
    auto one = ParseSruResponse(Response(Record(MarcXml("Java")), 7));
    ASSERT_TRUE(one);
    EXPECT_TRUE(one->hasCount);
    EXPECT_EQ(one->numberOfRecords, 7);
    ASSERT_EQ(one->records.size(), 1u);
    ASSERT_TRUE(one->records[0].gbk);
    EXPECT_TRUE(IsWellFormedIso2709(*one->records[0].gbk));

    // SRU 2.0's namespace, a record packed as an escaped string, a SOAP envelope.
    std::string escaped = ReplaceAll(ReplaceAll(MarcXml("Java"), "&", "&amp;"), "<", "&lt;");
    auto two = ParseSruResponse(Response(Record(escaped, "marcxml", "string"), 1,
                                         "http://docs.oasis-open.org/ns/search-ws/sruResponse"));
    ASSERT_TRUE(two && two->records.size() == 1 && two->records[0].gbk);
    EXPECT_EQ(*two->records[0].gbk, *one->records[0].gbk);
    auto soap = ParseSruResponse(
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
        "<SOAP-ENV:Body>" +
        Response(Record(MarcXml("Java"))).substr(21) + "</SOAP-ENV:Body></SOAP-ENV:Envelope>");
    ASSERT_TRUE(soap && soap->records.size() == 1);

    EXPECT_FALSE(ParseSruResponse("<html><body>Not found</body></html>"));
    EXPECT_FALSE(ParseSruResponse("<explainResponse/>"));
    EXPECT_FALSE(ParseSruResponse(Response(Record(MarcXml("Java"))).substr(0, 200)));
    EXPECT_FALSE(ParseSruResponse(""));
    // A document type declaration could make a small answer huge: never read.
    EXPECT_FALSE(
        ParseSruResponse("<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
                         "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><searchRetrieveResponse>&b;</"
                         "searchRetrieveResponse>"));
    auto noCount = ParseSruResponse(
        "<searchRetrieveResponse><numberOfRecords>x1</numberOfRecords>"
        "</searchRetrieveResponse>");
    ASSERT_TRUE(noCount);
    EXPECT_FALSE(noCount->hasCount);
}

TEST(SruResponse, RecordsThatAreNotMarcxml) {
    auto r = ParseSruResponse(Response(
        Record("<srw_dc:dc xmlns:srw_dc=\"info:srw/schema/1/dc-schema\"><title>x</title>"
               "</srw_dc:dc>",
               "dc") +
            Record(MarcXml("x", "http://example.org/other")) +
            Record("<diagnostic xmlns=\"http://www.loc.gov/zing/srw/diagnostic/\"><uri>info:srw/"
                   "diagnostic/1/67</uri></diagnostic>",
                   "info:srw/schema/1/diagnostics-v1.1") +
            Record("<record xmlns=\"" + kMarcNs + "\"><leader>short</leader></record>"),
        4));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->records.size(), 4u);
    for (const auto& rec : r->records) EXPECT_FALSE(rec.gbk);
    EXPECT_EQ(r->records[0].refusal, G("记录不是MARCXML：dc"));
    EXPECT_EQ(r->records[1].refusal, G("记录不是MARCXML：marcxml"));
    EXPECT_EQ(r->records[2].refusal, "Record not available in this schema");
    EXPECT_EQ(r->records[3].refusal, G("记录没有字段"));
}

TEST(SruResponse, DiagnosticText) {
    EXPECT_EQ(SruDiagnosticText({"info:srw/diagnostic/1/16", "dc.foo", ""}),
              "Unsupported index (dc.foo)");
    EXPECT_EQ(SruDiagnosticText({"info:srw/diagnostic/1/16", "", "Index not known here"}),
              "Index not known here");
    EXPECT_EQ(SruDiagnosticText({"info:x/local/7", "", ""}), "info:x/local/7");
    std::string longText;
    for (int i = 0; i < 200; ++i) longText += "错";  // 600 bytes of UTF-8
    const std::string cut = SruDiagnosticText({"", "", longText});
    EXPECT_EQ(cut, longText.substr(0, 300) + "...");  // 100 whole characters
    EXPECT_EQ(SruDiagnosticText({"info:srw/diagnostic/1/99999999999999999999", "", ""}),
              "info:srw/diagnostic/1/99999999999999999999");
}

std::string Field(const std::string& tag, const std::string& text) {
    return "<datafield tag=\"" + tag + "\" ind1=\"1\" ind2=\" \"><subfield code=\"a\">" + text +
           "</subfield></datafield>";
}

std::string RecordOfFields(const std::string& fields) {
    return "<record xmlns=\"" + kMarcNs + "\"><leader>00000nam a2200000   450 </leader>" + fields +
           "</record>";
}

TEST(MarcXml, StraightToGbkWithGbkLimitsAndNothingCut) {
    auto gbk = MarcXmlToGbk(MarcXml("敦煌学"));
    ASSERT_TRUE(gbk);
    EXPECT_TRUE(IsWellFormedIso2709(*gbk));
    EXPECT_EQ(gbk->substr(5, 7), "nam  22");  // leader/09 no longer says Unicode
    auto fields = ReadFields(*gbk).fields;
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[2].tag, "200");
    EXPECT_EQ(fields[2].data,
              "1 \x1F"
              "a" +
                  G("敦煌学") + "\x1E");

    // 3,400 Chinese characters: 10,200 bytes in UTF-8, 6,800 in GBK, which ISO 2709 holds.
    std::string long3400;
    for (int i = 0; i < 3400; ++i) long3400 += "汉";
    auto fits = MarcXmlToGbk(RecordOfFields(Field("330", long3400)));
    ASSERT_TRUE(fits);
    EXPECT_EQ(ReadFields(*fits).fields[0].data.size(), 2u + 2u + 6800u + 1u);

    // 10,004 fields, and a record over 99,999 bytes only in UTF-8: the first is refused
    // whole with its size, the second kept whole.
    std::string many;
    for (int i = 0; i < 10004; ++i) many += Field("300", "x");
    std::string why;
    EXPECT_FALSE(MarcXmlToGbk(RecordOfFields(many), nullptr, &why));
    EXPECT_NE(why.find(G("超出ISO 2709的限度")), std::string::npos) << GbkToUtf8(why);
    std::string big;
    for (int i = 0; i < 16; ++i)
        big += Field("330", std::string(1, 'a') + std::string([] {
                                std::string t;
                                for (int k = 0; k < 2500; ++k) t += "汉";
                                return t;
                            }()));
    auto kept = MarcXmlToGbk(RecordOfFields(big));
    ASSERT_TRUE(kept);
    EXPECT_EQ(ReadFields(*kept).fields.size(), 16u);
    EXPECT_EQ(MarcXmlToGbk(RecordOfFields(Field("330", std::string(10000, 'x'))), nullptr, &why),
              std::nullopt);

    // A decomposed letter GBK holds whole is written whole; a character it lacks as a
    // reference, counted.
    int refs = 0;
    auto composed = MarcXmlToGbk(RecordOfFields(Field("200", "Cafe\xCC\x81 \xEA\xB0\x80")), &refs);
    ASSERT_TRUE(composed);
    EXPECT_EQ(ReadFields(*composed).fields[0].data,
              "1 \x1F"
              "aCaf" +
                  G("é") + " &#xAC00;\x1E");
    EXPECT_EQ(refs, 1);

    // An indicator that is no single ASCII character is refused, not dropped.
    EXPECT_FALSE(MarcXmlToGbk(RecordOfFields(
        "<datafield tag=\"200\" ind1=\"&#x4E00;\" ind2=\" \"><subfield code=\"a\">x</subfield>"
        "</datafield>")));
    EXPECT_FALSE(MarcXmlToGbk("<collection/>"));
}

class SruFetch : public ::testing::Test {
  protected:
    SruFetch() { target.kind = TargetKind::kSru, target.entry = SruEntry(); }
    PageResult First(const std::vector<SearchCondition>& rows) {
        SearchRequest r;
        r.rows = rows;
        return backend.Fetch(target, r, cancel);
    }
    std::string FirstUrl(const std::string& cql) { return SruSearchUrl(target.entry, cql, 1, 1); }
    test::FakeHttp http;
    SruBackend backend{http, 1234};
    TargetProfile target;
    CancelToken cancel;
    const std::vector<SearchCondition> rows = {{"", G("题名"), G("敦煌学")}};
    const std::string cql = "dc.title=\"敦煌学\"";
};

TEST_F(SruFetch, FirstPageInGbk) {
    http.Answer(FirstUrl(cql), Response(Record(MarcXml("敦煌学 𠀋")), 25));
    PageResult page = First(rows);
    EXPECT_EQ(http.lastTimeoutMs, 1234);
    ASSERT_TRUE(page.ok()) << page.reason;
    EXPECT_TRUE(page.hasTotal);
    EXPECT_EQ(page.total, 25);
    ASSERT_EQ(page.records.size(), 1u);
    EXPECT_EQ(page.records[0][9], ' ');  // leader/09 no longer claims Unicode
    EXPECT_NE(page.records[0].find(G("敦煌学") + " &#x2000B;"), std::string::npos);
    ASSERT_EQ(page.notices.size(), 1u);  // the character GBK lacks is reported
    EXPECT_NE(page.notices[0].find("&#x"), std::string::npos);
}

TEST_F(SruFetch, FurtherPageAsksForTheRestOfTheRange) {
    SearchRequest r;
    r.rows = rows;
    r.firstPage = false;
    r.start = 21;
    r.count = 10;
    r.total = 25;
    const std::string url = SruSearchUrl(target.entry, cql, 21, 5);
    http.Answer(url, Response(Record(MarcXml("a")) + Record("<x/>", "dc"), 25));
    PageResult page = backend.Fetch(target, r, cancel);
    ASSERT_EQ(http.requests, std::vector<std::string>{url});
    EXPECT_TRUE(page.ok());
    EXPECT_EQ(page.covered, 2);  // the two positions that came, the refused one too
    EXPECT_EQ(page.records.size(), 1u);
    ASSERT_EQ(page.notices.size(), 1u);
    EXPECT_NE(page.notices[0].find("[1]"), std::string::npos);
    EXPECT_NE(page.notices[0].find(G("记录不是MARCXML：dc")), std::string::npos);
}

TEST_F(SruFetch, AServerThatSendsLessThanAskedLosesNoPosition) {
    SearchRequest r;
    r.rows = rows;
    r.firstPage = false;
    r.start = 2;
    r.count = 12;
    r.total = 25;
    // The server caps a page at 3: the next page starts after the third.
    http.Answer(SruSearchUrl(target.entry, cql, 2, 12),
                Response(Record(MarcXml("a")) + Record(MarcXml("b")) + Record("<x/>", "dc"), 25));
    PageResult page = backend.Fetch(target, r, cancel);
    EXPECT_EQ(page.covered, 3);
    EXPECT_EQ(page.records.size(), 2u);
}

TEST_F(SruFetch, FailuresAreNeverNoData) {
    // A diagnostic, with 200 and with 400.
    http.Answer(FirstUrl(cql), Diagnostics("info:srw/diagnostic/1/16", "", "dc.title"));
    PageResult page = First(rows);
    EXPECT_EQ(page.status, PageStatus::kRefused);
    EXPECT_FALSE(page.hasTotal);
    EXPECT_EQ(page.reason, G("目标数据库拒绝了检索：") + "Unsupported index (dc.title)");
    http.Answer(FirstUrl(cql), Diagnostics("info:srw/diagnostic/1/10", "Syntax error"), 400);
    page = First(rows);
    EXPECT_EQ(page.status, PageStatus::kRefused);
    EXPECT_EQ(page.reason, G("目标数据库拒绝了检索：") + "Syntax error");
    // A page that is not SRU, a server error without one, no server at all.
    http.Answer(FirstUrl(cql), "<html><body>Welcome</body></html>");
    EXPECT_EQ(First(rows).status, PageStatus::kRefused);
    http.Answer(FirstUrl(cql), "Internal error", 500);
    page = First(rows);
    EXPECT_EQ(page.status, PageStatus::kNoConnection);
    EXPECT_NE(page.reason.find("HTTP status 500"), std::string::npos);
    http.answers.clear();
    page = First(rows);
    EXPECT_EQ(page.status, PageStatus::kNoConnection);
    EXPECT_FALSE(page.hasTotal);
}

TEST_F(SruFetch, ThousandsOfDiagnosticsMakeOneShortReason) {
    std::string many;
    for (int i = 0; i < 5000; ++i)
        many +=
            "<diagnostic xmlns=\"http://www.loc.gov/zing/srw/diagnostic/\"><uri>info:srw/"
            "diagnostic/1/16</uri><message>" +
            std::string(300, 'x') + "</message></diagnostic>";
    http.Answer(FirstUrl(cql),
                "<searchRetrieveResponse xmlns=\"http://www.loc.gov/zing/srw/\">"
                "<version>1.1</version><diagnostics>" +
                    many + "</diagnostics></searchRetrieveResponse>");
    PageResult page = First(rows);
    EXPECT_EQ(page.status, PageStatus::kRefused);
    EXPECT_LT(page.reason.size(), 1200u);
    EXPECT_TRUE(page.reason.ends_with(G("…及其他4997条"))) << GbkToUtf8(page.reason);
}

TEST_F(SruFetch, RecordsBeyondWhatWasAskedAreNotRead) {
    std::string flood;
    for (int i = 0; i < 2000; ++i) flood += Record(MarcXml("r" + std::to_string(i)));
    http.Answer(FirstUrl(cql), Response(flood, 47694));
    PageResult page = First(rows);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page.total, 47694);
    EXPECT_EQ(page.records.size(), 1u);  // a first page asks for one
}

TEST_F(SruFetch, CancelledTransfer) {
    struct CancelledHttp final : HttpClient {
        HttpResult Get(const std::string&, int, const CancelToken*) override {
            HttpResult r;
            r.cancelled = true;
            return r;
        }
    } cancelled;
    SruBackend b(cancelled);
    SearchRequest r;
    r.rows = rows;
    EXPECT_EQ(b.Fetch(target, r, cancel).status, PageStatus::kCancelled);
}

}  // namespace
}  // namespace z39
