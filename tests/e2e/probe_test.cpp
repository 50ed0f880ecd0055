// The probe of one target against real servers on loopback, and what it leaves in the
// run's memory.
#include "backends/target_probe.h"

#include <gtest/gtest.h>

#include "backends/backend_kinds.h"
#include "common/gbk_text.h"
#include "support/free_port.h"
#include "support/temp_dir.h"
#include "support/ztest_process.h"
#include "targets/target_table.h"

namespace z39 {
namespace {

TargetProfile Z39Target(int port) {
    TargetProfile t;
    t.kind = TargetKind::kZ39;
    t.slot = 3;
    t.entry.address = "127.0.0.1";
    t.entry.port = std::to_string(port);
    t.entry.database = "Default";
    t.entry.auth = "0";
    return t;
}

ProbeSetup ProbeIn(const test::TempDir& dir) {
    ProbeSetup s;
    s.workFolder = dir.File("probe");
    s.clientPath = test::BinDir() + "/yazc";
    s.deadlineMs = 20000;
    return s;
}

// yaz-ztest answers every search: each field is searchable, USMARC comes back whatever
// syntax is asked, and its Init answer names it.
TEST(Probe, ATestServerIsReachedItsInitReadAndEveryFieldSearched) {
    test::ZtestProcess ztest;
    ASSERT_TRUE(ztest.ok());
    test::TempDir dir;
    TargetMemory memory;
    CancelToken cancel;
    ProbeReport r = ProbeTarget(Z39Target(ztest.port()), {}, ProbeIn(dir), memory, cancel);
    EXPECT_TRUE(r.resolved && r.connected) << GbkToUtf8(r.failure);
    EXPECT_EQ(r.failure, "");
    EXPECT_GE(r.connectMs, 0);
    EXPECT_GE(r.searchMs, 0);
    EXPECT_NE(r.implementation.find("YAZ"), std::string::npos) << r.implementation;
    EXPECT_NE(std::find(r.services.begin(), r.services.end(), "search"), r.services.end());
    EXPECT_EQ(r.syntaxes, std::vector<std::string>{"USMARC"});
    EXPECT_EQ(r.SearchableFields().size(), ProbeFields().size());
    EXPECT_FALSE(r.authenticationNeeded);
    const std::string csv = ProbeCsvRow(r);
    EXPECT_NE(csv.find(",yes,"), std::string::npos) << csv;
}

// A port nothing listens on is reported unreachable, in words, without a search.
TEST(Probe, APortThatRefusesIsUnreachable) {
    test::TempDir dir;
    TargetMemory memory;
    CancelToken cancel;
    ProbeReport r = ProbeTarget(Z39Target(test::FreePort()), {}, ProbeIn(dir), memory, cancel);
    EXPECT_TRUE(r.resolved);
    EXPECT_FALSE(r.connected);
    EXPECT_EQ(r.searchMs, -1);
    EXPECT_NE(GbkToUtf8(r.failure).find("拒绝"), std::string::npos) << GbkToUtf8(r.failure);
    TargetProfile noAddress = Z39Target(210);
    noAddress.entry.address.clear();
    r = ProbeTarget(noAddress, {}, ProbeIn(dir), memory, cancel);
    EXPECT_EQ(r.failure, MissingAddressMessage(noAddress));
}

// A kind of the table probes through its row; what it learns of character sets is in the
// run's memory afterwards, and the timed search asks its title field for the word found.
class WordBackend final : public SearchBackend {
  public:
    explicit WordBackend(std::string* asked) : asked_(asked) {}
    PageResult Fetch(const TargetProfile&, const SearchRequest& request, CancelToken&) override {
        *asked_ = request.rows.front().field + "=" + request.rows.front().value;
        PageResult page;
        page.hasTotal = true;
        page.total = 3;
        return page;
    }

  private:
    std::string* asked_;
};

TEST(Probe, AKindsOwnProbeFeedsTheMemoryAndTheTimedSearch) {
    const auto kFake = static_cast<TargetKind>(43);
    static std::string asked;
    BackendKind row;
    row.kind = kFake;
    row.make = [](const BackendContext&) { return std::make_unique<WordBackend>(&asked); };
    row.capabilities.fields = {G("题名"), "ISBN"};
    row.probe = [](const ProbeContext&, const TargetProfile&, ProbeReport& r) {
        r.queryCharset = "UTF-8";
        r.recordCharset = "UTF-8";
        r.suggestedCharset = "UTF-8";
        r.sampleTerm = G("敦煌");
        r.connected = r.resolved = true;
    };
    RegisterBackendKind(row);
    TargetProfile t = Z39Target(210);
    t.kind = kFake;
    test::TempDir dir;
    TargetMemory memory;
    CancelToken cancel;
    ProbeReport r = ProbeTarget(t, {}, ProbeIn(dir), memory, cancel);
    EXPECT_EQ(asked, G("题名=敦煌"));
    EXPECT_GE(r.searchMs, 0);
    EXPECT_EQ(memory.QueryCharset(t.entry), RecordCharset::kUtf8);
    EXPECT_EQ(memory.RecordCharsetOf(t.entry), RecordCharset::kUtf8);
    EXPECT_EQ(r.SuggestedOptionsText(), " charset=UTF-8");
    TargetEntry entry = t.entry;
    entry.syntax = "UNIMARC";
    r.ApplySuggestions(entry);
    EXPECT_EQ(TargetOptionsText(entry), " charset=UTF-8 format=UNIMARC");
}

}  // namespace
}  // namespace z39
