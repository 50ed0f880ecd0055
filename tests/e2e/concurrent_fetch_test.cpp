// Back ends as independent instances: two fetches at once on two threads against real
// loopback servers, and a fetch cancelled while its server says nothing.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "backends/external_z39.h"
#include "backends/nlc_opac.h"
#include "backends/shared_catalogue.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "support/catalogue_server_process.h"
#include "support/fakes.h"
#include "support/opac_server.h"
#include "support/session_harness.h"
#include "support/temp_dir.h"
#include "support/zebra_process.h"

namespace z39 {
namespace {

// Everything one instance of a back end works with, its own and nobody else's.
struct Instance {
    explicit Instance(const std::string& folder)
        : runner(ui, steady, 30000),
          ks(
              http, [] { return std::make_unique<PosixTcpClient>(); }, steady),
          z39(runner, fake, Z39WorkFilesIn(folder), test::BinDir() + "/yazc"),
          opac(http) {}
    test::RecordingUi ui;
    SteadyClock steady;
    test::FakeClock fake;  // the Z39.50 path's fixed waits pass at once
    CurlHttpClient http;
    ProcessRunner runner;
    SharedCatalogueBackend ks;
    ExternalZ39Backend z39;
    NlcOpacBackend opac;
};

SearchRequest Request(std::vector<SearchCondition> rows) {
    SearchRequest r;
    r.rows = std::move(rows);
    return r;
}

SearchRequest FurtherPage(SearchRequest r, int64_t start, int64_t count, int64_t total) {
    r.firstPage = false;
    r.start = start;
    r.count = count;
    r.total = total;
    return r;
}

// Runs `a` and `b` each `rounds` times at once on two threads; every page must be what the
// same fetch gave alone, byte for byte.
void TwoAtOnce(SearchBackend& first, const TargetProfile& firstTarget, const SearchRequest& a,
               SearchBackend& second, const TargetProfile& secondTarget, const SearchRequest& b,
               int rounds) {
    CancelToken never;
    const PageResult aloneA = first.Fetch(firstTarget, a, never);
    const PageResult aloneB = second.Fetch(secondTarget, b, never);
    ASSERT_TRUE(aloneA.ok());
    ASSERT_TRUE(aloneB.ok());
    ASSERT_FALSE(aloneA.records.empty());
    ASSERT_FALSE(aloneB.records.empty());
    ASSERT_NE(aloneA.records, aloneB.records);
    std::vector<PageResult> gotA, gotB;
    std::thread ta([&] {
        CancelToken token;
        for (int i = 0; i < rounds; ++i) gotA.push_back(first.Fetch(firstTarget, a, token));
    });
    std::thread tb([&] {
        CancelToken token;
        for (int i = 0; i < rounds; ++i) gotB.push_back(second.Fetch(secondTarget, b, token));
    });
    ta.join();
    tb.join();
    for (int i = 0; i < rounds; ++i) {
        EXPECT_TRUE(gotA[i].ok()) << i;
        EXPECT_TRUE(gotB[i].ok()) << i;
        EXPECT_EQ(gotA[i].records, aloneA.records) << i;
        EXPECT_EQ(gotB[i].records, aloneB.records) << i;
        EXPECT_EQ(gotA[i].total, aloneA.total);
        EXPECT_EQ(gotB[i].total, aloneB.total);
    }
}

TargetProfile Target(TargetKind kind, const std::string& address, int port,
                     const std::string& database = "Default") {
    TargetProfile t;
    t.kind = kind;
    t.entry.address = address;
    t.entry.port = std::to_string(port);
    t.entry.database = database;
    return t;
}

TEST(TwoFetchesAtOnce, SharedCatalogueOverTcpAndHttp) {
    test::CatalogueServerProcess server(300);
    ASSERT_TRUE(server.ok());
    test::TempDir one, two;
    Instance a(one.path()), b(two.path());
    const TargetProfile target =
        Target(TargetKind::kSharedCatalogue, "127.0.0.1", server.port(), "ks_lib");
    SearchRequest isbn = Request({{"", "ISBN", "7-5366-9293-5"}});
    SearchRequest paging =
        FurtherPage(Request({{"", G("题名"), G(ks::kPagingTitleWord)}}), 2, 10, 25);
    paging.settings.KSUSEHTTP = 1;  // one over TCP, one over HTTP
    TwoAtOnce(a.ks, target, isbn, b.ks, target, paging, 20);
    EXPECT_TRUE(a.ui.messages.empty());
    EXPECT_TRUE(b.ui.messages.empty());
}

TEST(TwoFetchesAtOnce, ZebraThroughTheExternalClientInTwoWorkingFolders) {
    test::ZebraProcess zebra(30);
    ASSERT_TRUE(zebra.ok()) << "zebrasrv did not start";
    test::TempDir one, two;
    Instance a(one.path()), b(two.path());
    const TargetProfile target = Target(TargetKind::kZ39, "127.0.0.1", zebra.port());
    SearchRequest first = Request({{"", G("题名"), "Java"}});
    SearchRequest further = FurtherPage(first, 11, 10, 30);
    TwoAtOnce(a.z39, target, first, b.z39, target, further, 8);
    EXPECT_TRUE(FileExists(one.File("_marc.~")));
    EXPECT_TRUE(FileExists(two.File("_marc.~")));
}

TEST(TwoFetchesAtOnce, TwoWebOpacs) {
    std::vector<std::string> three, five;
    for (int i = 0; i < 3; ++i) three.push_back(ks::DemoRecord(i, 3));
    for (int i = 0; i < 5; ++i) five.push_back(ks::DemoRecord(i + 100, 200));
    test::OpacServer left(three), right(five);
    test::TempDir one, two;
    Instance a(one.path()), b(two.path());
    SearchRequest ra = Request({{"", "ISBN", "7-5366-9293-5"}}), rb = ra;
    ra.settings.OPACURL = left.Base();
    rb.settings.OPACURL = right.Base();
    const TargetProfile target = Target(TargetKind::kWebOpac, "opac.nlc.cn", 80, "opac");
    TwoAtOnce(a.opac, target, ra, b.opac, target, rb, 10);
}

// A loopback port that takes connections into its backlog and never answers.
class SilentListener {
  public:
    SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_.get(), 16);
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    int port() const { return port_; }

  private:
    UniqueFd fd_;
    int port_ = 0;
};

int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Our child processes still alive (or not yet reaped).
int Children() {
    int n = 0;
    const std::string me = std::to_string(::getpid());
    for (auto& e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(e.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string state, ppid;
        rest >> state >> ppid;
        if (ppid == me) ++n;
    }
    return n;
}

// Starts `fetch` on a thread, cancels it after a while, and says how long it took to end.
int64_t MsToEndAfterCancel(const std::function<PageResult(CancelToken&)>& fetch,
                           PageResult& result) {
    CancelToken token;
    std::chrono::steady_clock::time_point cancelledAt, endedAt;
    std::thread t([&] {
        result = fetch(token);
        endedAt = std::chrono::steady_clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancelledAt = std::chrono::steady_clock::now();
    token.Cancel();
    t.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(endedAt - cancelledAt).count();
}

TEST(CancelledFetch, EndsAtOnceAndLeavesNothingBehind) {
    SilentListener silent;
    test::TempDir folder;
    Instance in(folder.path());
    const int children = Children();
    const int descriptors = OpenDescriptors();
    const TargetProfile z39 = Target(TargetKind::kZ39, "127.0.0.1", silent.port());
    const TargetProfile ks = Target(TargetKind::kSharedCatalogue, "127.0.0.1", silent.port());
    SearchRequest isbn = Request({{"", "ISBN", "9787536692930"}});
    SearchRequest overHttp = isbn;
    overHttp.settings.KSUSEHTTP = 1;
    SearchRequest opac = isbn;
    opac.settings.OPACURL = "http://127.0.0.1:" + std::to_string(silent.port()) + "/F";
    // The HTTP port of the shared catalogue is the port + 1: make the target say port - 1.
    TargetProfile ksHttp = ks;
    ksHttp.entry.port = std::to_string(silent.port() - 1);
    struct Case {
        const char* name;
        std::function<PageResult(CancelToken&)> fetch;
    };
    const Case cases[] = {
        {"Z39.50 through the external client",
         [&](CancelToken& t) { return in.z39.Fetch(z39, isbn, t); }},
        {"shared catalogue over TCP", [&](CancelToken& t) { return in.ks.Fetch(ks, isbn, t); }},
        {"shared catalogue over HTTP",
         [&](CancelToken& t) { return in.ks.Fetch(ksHttp, overHttp, t); }},
        {"web OPAC", [&](CancelToken& t) { return in.opac.Fetch({}, opac, t); }},
    };
    for (const Case& c : cases) {
        PageResult result;
        const int64_t ms = MsToEndAfterCancel(c.fetch, result);
        // Cancelled, not timed out: the token ended it (the fetch's own time-out is 10 s).
        EXPECT_EQ(result.status, PageStatus::kCancelled) << c.name << " after " << ms << " ms";
        EXPECT_TRUE(result.records.empty()) << c.name;
        EXPECT_EQ(Children(), children) << c.name;
        EXPECT_EQ(OpenDescriptors(), descriptors) << c.name;
    }
}

// The search window's way: the session begins and finishes on one thread, the fetch runs
// on a worker, and Esc cancels it.
TEST(CancelledFetch, TheWindowsWorkerEndsAndTheSessionSaysSo) {
    SilentListener silent;
    test::TempDir folder;
    Instance in(folder.path());
    test::SessionHarness h(folder.File("_list.~"), TargetKind::kZ39);
    h.profile = Target(TargetKind::kZ39, "127.0.0.1", silent.port());
    h.backends.Add(TargetKind::kZ39, in.z39);
    SearchStep step = h.session.BeginStart(h.profile, {{"", "ISBN", "9787536692930"}}, "10");
    ASSERT_TRUE(step.fetch);
    PageResult page;
    MsToEndAfterCancel([&](CancelToken& t) { return step.fetch->Run(t); }, page);
    EXPECT_EQ(page.status, PageStatus::kCancelled);
    const SearchOutcome out = h.session.FinishStart(page);
    EXPECT_EQ(out.statusMessage, CancelledStatus());
    EXPECT_TRUE(out.rows.empty());
}

TEST(TwoFetchesAtOnce, TheWindowsWorkerAndABatchWorkerOnOneCatalogue) {
    test::CatalogueServerProcess server(50);
    ASSERT_TRUE(server.ok());
    test::TempDir folder;
    Instance window(folder.File("window")), batch(folder.File("batch"));
    test::SessionHarness h(folder.File("_list.~"), TargetKind::kSharedCatalogue);
    h.profile = Target(TargetKind::kSharedCatalogue, "127.0.0.1", server.port(), "ks_lib");
    h.backends.Add(TargetKind::kSharedCatalogue, window.ks);
    SearchStep step =
        h.session.BeginStart(h.profile, {{"", "ISBN", ks::KnownBooks()[0].isbn}}, "10");
    ASSERT_TRUE(step.fetch);
    PageResult page, other;
    CancelToken a, b;
    std::thread worker([&] { page = step.fetch->Run(a); });
    std::thread second([&] {
        SearchRequest r = Request({{"", "ISBN", ks::KnownBooks()[1].isbn}});
        other = batch.ks.Fetch(h.profile, r, b);
    });
    worker.join();
    second.join();
    const SearchOutcome out = h.session.FinishStart(page);
    EXPECT_EQ(out.total, 1);
    ASSERT_EQ(out.rows.size(), 1u);
    EXPECT_EQ(other.total, 1);
}

}  // namespace
}  // namespace z39
