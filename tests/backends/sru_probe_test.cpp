// The probe of an SRU server whose explain record names its own indexes.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "backends/target_probe.h"
#include "common/gbk_text.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

// An SRU server that knows only the "bib" set: its explain record lists bib.title and
// bib.isbn, and a search on any other index is refused with diagnostic 16.
class OwnIndexSruServer {
  public:
    OwnIndexSruServer() {
        server_.Get("/db", [](const httplib::Request& req, httplib::Response& res) {
            if (req.get_param_value("operation") == "explain") {
                res.set_content(
                    "<explainResponse xmlns=\"http://www.loc.gov/zing/srw/\"><record><recordData>"
                    "<explain xmlns=\"http://explain.z3950.org/dtd/2.0/\"><indexInfo>"
                    "<set name=\"bib\" identifier=\"info:x/bib\"/>"
                    "<index><title>title</title><map><name set=\"bib\">title</name></map></index>"
                    "<index><title>isbn</title><map><name set=\"bib\">isbn</name></map></index>"
                    "</indexInfo><schemaInfo><schema name=\"marcxml\" "
                    "identifier=\"info:srw/schema/1/marcxml-v1.1\"/></schemaInfo></explain>"
                    "</recordData></record></explainResponse>",
                    "text/xml");
                return;
            }
            const std::string query = req.get_param_value("query");
            std::string body =
                "<searchRetrieveResponse xmlns=\"http://www.loc.gov/zing/srw/\">"
                "<version>1.1</version><numberOfRecords>0</numberOfRecords>";
            if (query.find("bib.") == std::string::npos)
                body +=
                    "<diagnostics><diagnostic xmlns=\"http://www.loc.gov/zing/srw/diagnostic/\">"
                    "<uri>info:srw/diagnostic/1/16</uri><details>" +
                    query.substr(0, query.find('=')) + "</details></diagnostic></diagnostics>";
            res.set_content(body + "</searchRetrieveResponse>", "text/xml");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~OwnIndexSruServer() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

TEST(SruProbe, TheExplainRecordsOwnIndexesAreSuggestedWhereTheUsualOnesAreRefused) {
    OwnIndexSruServer server;
    TargetProfile t;
    t.kind = TargetKind::kSru;
    t.entry.address = "http://127.0.0.1";
    t.entry.port = std::to_string(server.port());
    t.entry.database = "db";
    test::TempDir dir;
    ProbeSetup setup;
    setup.workFolder = dir.File("probe");
    TargetMemory memory;
    CancelToken cancel;
    ProbeReport r = ProbeTarget(t, {}, setup, memory, cancel);
    EXPECT_TRUE(r.connected);
    EXPECT_EQ(r.sruIndexes, (std::vector<std::string>{"bib.title", "bib.isbn"}));
    EXPECT_TRUE(r.sruMarcxml);
    EXPECT_EQ(r.syntaxes, std::vector<std::string>{"MARCXML"});
    ASSERT_EQ(r.fields.size(), ProbeFields().size());
    for (const FieldProbe& f : r.fields) {
        EXPECT_EQ(f.state, FieldState::kUnsupported) << GbkToUtf8(f.field);
        EXPECT_NE(GbkToUtf8(f.evidence).find(f.index), std::string::npos) << GbkToUtf8(f.evidence);
    }
    EXPECT_EQ(r.suggestedIndexes,
              (std::map<std::string, std::string>{{"isbn", "bib.isbn"}, {"title", "bib.title"}}));
    EXPECT_EQ(r.SuggestedOptionsText(), " index.isbn=bib.isbn index.title=bib.title");

    // With the suggestions taken, the fields the server has are searched.
    r.ApplySuggestions(t.entry);
    t.sru.indexes = t.entry.indexes;
    ProbeReport again = ProbeTarget(t, {}, setup, memory, cancel);
    EXPECT_EQ(again.SearchableFields(), (std::vector<std::string>{"ISBN", G("题名")}));
    EXPECT_TRUE(again.suggestedIndexes.empty());
    EXPECT_EQ(again.failure, "");
}

}  // namespace
}  // namespace z39
