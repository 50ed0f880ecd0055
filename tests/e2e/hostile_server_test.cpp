// catalogue-server under attack from loopback peers: every case is bounded in count and
// time, and the server must answer real requests throughout.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "backends/http_client.h"
#include "catalogue_db.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "server.h"
#include "support/catalogue_server_process.h"
#include "support/loopback.h"

namespace z39 {
namespace {

using test::CatalogueServerProcess;
using test::LoopbackConnection;
using test::TcpExchange;
using Ms = std::chrono::milliseconds;

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM").
long StatusKb(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Memory figures mean something only without AddressSanitizer, whose quarantine and shadow
// memory grow every process built with it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif
// How long a quick search may take while the workers are busy: generous on a loaded
// machine, and wider still where a sanitizer slows everything.
constexpr long kQuickMs = kMeasureMemory ? 500 : 2000;

// Room for a thousand and more connections in this process.
void RaiseFileLimit() {
    rlimit r{};
    ::getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = std::min<rlim_t>(r.rlim_max, 4096);
    ::setrlimit(RLIMIT_NOFILE, &r);
}

const std::string kIsbnRequest = "REQU_BEGININIT1@1@ ma_isbn='9787536692930'BAG_END";
const std::string kIsbnTarget = "/GetZ39Marc.asp?begin=1&num=1&where=ma_isbn%3D%279787536692930%27";

// The sockets the server process holds: its two listeners and its connections.
int ServerSockets(CatalogueServerProcess& target) {
    const std::string dir = "/proc/" + std::to_string(target.process().pid()) + "/fd";
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored).string().starts_with("socket:"))
            ++count;
    }
    return count;
}

// Polls `ready` until it holds or 20 s have passed.
template <typename Ready>
bool WaitUntil(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(Ms(10));
    }
    return true;
}

class HostileServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        RaiseFileLimit();
        // Every attack here comes from the same address as the real requests: no limit per
        // peer, so the table itself is what they fill.
        server = new CatalogueServerProcess(
            2000, "", {"--send-timeout-ms", "1500", "--max-per-peer", "5000"});
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server && server->ok()); }

    // A real request over TCP answers with the one record.
    bool TcpStillAnswers() {
        return TcpExchange(server->port(), kIsbnRequest).starts_with("BAG_BEGIN1REC_BEGIN");
    }
    bool HttpStillAnswers(int timeoutMs = 5000) {
        HttpResult r = http.Get(server->HttpBase() + kIsbnTarget, timeoutMs);
        return r.ok && r.body.starts_with("BAG_BEGIN1REC_BEGIN");
    }

    static CatalogueServerProcess* server;
    CurlHttpClient http;
};
CatalogueServerProcess* HostileServerTest::server = nullptr;

TEST_F(HostileServerTest, ManyRangesInOneRequestAreIgnored) {
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 399; ++i) ranges += ",0-";
    LoopbackConnection c(server->httpPort());
    ASSERT_TRUE(c.Send("GET /GetZ39Marc.asp?begin=1&num=1000&where=ma_name%20like%20%27" +
                       std::string("%B6%D8") + "%25%27 HTTP/1.1\r\nHost: x\r\nRange: " + ranges +
                       "\r\n\r\n"));
    std::string answer = c.ReadAll(5000);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer.substr(0, 80);
    EXPECT_EQ(answer.find("multipart"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("BAG_END"));
    EXPECT_TRUE(TcpStillAnswers());
    EXPECT_TRUE(HttpStillAnswers());
}

TEST_F(HostileServerTest, TwoHundredSlowHttpClientsDoNotHoldUpARealRequest) {
    std::vector<std::unique_ptr<LoopbackConnection>> slow;
    for (int i = 0; i < 200; ++i) {
        slow.push_back(std::make_unique<LoopbackConnection>(server->httpPort()));
        ASSERT_TRUE(slow.back()->ok());
        slow.back()->Send("G");
    }
    const std::string rest = "ET /GetZ39Marc.asp?begin=1&num=1&where=x HTTP/1.1\r\n";
    for (size_t round = 0; round < 4; ++round) {  // a byte now and then from each
        for (auto& c : slow) c->Send(rest.substr(round, 1));
        EXPECT_TRUE(HttpStillAnswers(1000)) << "round " << round;  // within 1 s, or not at all
        std::this_thread::sleep_for(Ms(100));
    }
}

TEST_F(HostileServerTest, OverCapacityTheRequestBegunLongestAgoMakesRoom) {
    // Each holds a request begun and never finished, from the newcomer's own address.
    std::vector<std::unique_ptr<LoopbackConnection>> held;
    for (int i = 0; i < 1100; ++i) {
        held.push_back(
            std::make_unique<LoopbackConnection>(i % 2 ? server->port() : server->httpPort()));
        if (!held.back()->ok() || !held.back()->Send(i % 2 ? "REQU_" : "GET ")) break;
    }
    const int kTable = static_cast<int>(ks::kMaxConnections);
    ASSERT_TRUE(WaitUntil([&] { return ServerSockets(*server) >= kTable; }));
    EXPECT_TRUE(TcpStillAnswers());
    // The table never grew past its size; the first ones held were the ones closed.
    EXPECT_LE(ServerSockets(*server), kTable + 2);
    EXPECT_TRUE(WaitUntil([&] { return held.front()->Gone(); }));
    EXPECT_FALSE(held.back()->Gone());
    held.clear();
    EXPECT_TRUE(TcpStillAnswers());
}

// One peer keeps 1,024 idle connections open and re-opens them as they are closed, while
// another address asks 20 real questions. With the limit per peer, most of the attack is
// refused at the door; without it, idle connections make room for the ones that speak.
void RealRequestsAnsweredUnderAnIdleFlood(const CatalogueServerProcess& target) {
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::thread attacker([&] {
        while (!stop) {
            std::vector<std::unique_ptr<LoopbackConnection>> idle;
            for (int i = 0; i < 1024 && !stop; ++i) {
                idle.push_back(std::make_unique<LoopbackConnection>(
                    i % 2 ? target.port() : target.httpPort(), 0, "127.0.0.2"));
                if (idle.back()->ok()) ++opened;
            }
            for (int i = 0; i < 20 && !stop; ++i) std::this_thread::sleep_for(Ms(25));
        }
    });
    while (opened < 1024) std::this_thread::sleep_for(Ms(10));
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const std::string answer = TcpExchange(target.port(), kIsbnRequest, 1000);
        const auto took = std::chrono::steady_clock::now() - start;
        if (answer.starts_with("BAG_BEGIN1REC_BEGIN") && took < std::chrono::seconds(1)) ++answered;
        std::this_thread::sleep_for(Ms(50));
    }
    stop = true;
    attacker.join();
    EXPECT_EQ(answered, 20);
    EXPECT_GE(opened, 1024);
}

TEST_F(HostileServerTest, IdleConnectionsMakeRoomForRequests) {
    RealRequestsAnsweredUnderAnIdleFlood(*server);
}

TEST(CatalogueServerLimits, OnePeerCannotTakeTheWholeTable) {
    RaiseFileLimit();
    CatalogueServerProcess limited(100);
    ASSERT_TRUE(limited.ok());
    RealRequestsAnsweredUnderAnIdleFlood(limited);
    // The peer's 65th connection is answered in place of its idle one held longest: the
    // peer never holds more than 64.
    std::vector<std::unique_ptr<LoopbackConnection>> held;
    for (int i = 0; i < 64; ++i)
        held.push_back(std::make_unique<LoopbackConnection>(limited.port(), 0, "127.0.0.3"));
    ASSERT_TRUE(WaitUntil([&] { return ServerSockets(limited) >= 64 + 2; }));
    LoopbackConnection over(limited.port(), 0, "127.0.0.3");
    over.Send(kIsbnRequest);
    EXPECT_TRUE(over.ReadAll(3000).starts_with("BAG_BEGIN1REC_BEGIN"));
    EXPECT_TRUE(WaitUntil([&] { return held.front()->Gone(); }));
    for (size_t i = 1; i < held.size(); ++i) EXPECT_FALSE(held[i]->Gone()) << i;
    EXPECT_TRUE(TcpExchange(limited.port(), kIsbnRequest).starts_with("BAG_BEGIN1REC_BEGIN"));
}

// One machine behind the address of an honest client: 150 slow HTTP connections, each
// sending a byte now and then, and 64 heavy requests whose answers are never read, each
// opened again as soon as the server closes it. The honest client on the same address asks
// 20 times meanwhile; the attacker never holds more than the peer's 64.
TEST(CatalogueServerLimits, OneMachineCannotLockOutItsNeighbours) {
    RaiseFileLimit();
    CatalogueServerProcess target(3000);
    ASSERT_TRUE(target.ok());
    const std::string heavy = "REQU_BEGININIT1@2147483647@ ma_name like '" +
                              G(ks::kPagingTitleWord) + "%' or ma_isbn like '9%'BAG_END";
    const std::string slowBytes = "GET /GetZ39Marc.asp?begin=1&num=1&where=x HTTP/1.1\r\n";
    std::atomic<bool> stop{false};
    std::atomic<int> reopened{0};
    std::thread attacker([&] {
        std::vector<std::unique_ptr<LoopbackConnection>> slow(150), sinks(64);
        std::vector<size_t> said(slow.size(), 0);
        while (!stop) {
            for (size_t i = 0; i < slow.size(); ++i) {
                if (!slow[i] || slow[i]->Gone()) {
                    if (slow[i]) ++reopened;
                    slow[i] = std::make_unique<LoopbackConnection>(target.httpPort());
                    said[i] = 0;
                }
                slow[i]->Send(slowBytes.substr(said[i]++ % slowBytes.size(), 1));
            }
            for (auto& s : sinks) {
                if (!s || s->Gone()) {
                    if (s) ++reopened;
                    s = std::make_unique<LoopbackConnection>(target.port(), 4096);
                    s->Send(heavy);
                }
            }
            std::this_thread::sleep_for(Ms(50));  // the attacker's pace
        }
    });
    // The attack is in place: the peer's 64 are taken and more keep coming.
    ASSERT_TRUE(WaitUntil([&] { return ServerSockets(target) >= 64 + 2 && reopened > 0; }));
    int answered = 0, most = 0;
    long slowestMs = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        LoopbackConnection honest(target.port());
        honest.Send(kIsbnRequest);
        const std::string answer = honest.ReadAll(2 * kQuickMs);
        const long ms = static_cast<long>(
            std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start).count());
        slowestMs = std::max(slowestMs, ms);
        if (answer.starts_with("BAG_BEGIN1REC_BEGIN") && ms <= 2 * kQuickMs)
            ++answered;
        else
            std::printf("honest request %d from port %d: %ld ms, [%s]\n", i, honest.LocalPort(), ms,
                        answer.substr(0, 60).c_str());
        most = std::max(most, ServerSockets(target));
    }
    stop = true;
    attacker.join();
    EXPECT_GE(answered, 19) << "the slowest took " << slowestMs << " ms";
    // Two listeners, the peer's 64 and the honest client's one.
    EXPECT_LE(most, 2 + 64 + 1);
    std::printf("honest answers during the attack: %d of 20, the slowest %ld ms; %d reopened\n",
                answered, slowestMs, reopened.load());
}

TEST_F(HostileServerTest, ClientsThatNeverReadAreDroppedAndMemoryStaysBounded) {
    const long before = StatusKb(server->process().pid(), "VmRSS");
    std::vector<std::unique_ptr<LoopbackConnection>> sinks;
    const std::string big = "REQU_BEGININIT1@2147483647@ ma_name like '" + G(ks::kPagingTitleWord) +
                            "%' or " + "ma_isbn like '9%'BAG_END";
    for (int i = 0; i < 50; ++i) {
        sinks.push_back(std::make_unique<LoopbackConnection>(server->port(), 4096));
        ASSERT_TRUE(sinks.back()->Send(big));
    }
    std::this_thread::sleep_for(Ms(800));
    const long during = StatusKb(server->process().pid(), "VmRSS");
    EXPECT_TRUE(TcpStillAnswers());
    // Each answer is at most 1000 records; 50 of them held for the send time-out only.
    if (kMeasureMemory) {
        EXPECT_LT(during - before, 200 * 1024)
            << before << " kB before, " << during << " kB during";
    }
    std::this_thread::sleep_for(Ms(2500));  // past the 1.5 s send time-out
    for (auto& s : sinks) {
        std::string got = s->ReadAll(2000);
        EXPECT_FALSE(got.ends_with("BAG_END"));  // dropped before the whole answer was taken
    }
    EXPECT_TRUE(TcpStillAnswers());
}

TEST_F(HostileServerTest, PaddingCountsAgainstTheLimitAndTitlesMayHoldTheEndMarker) {
    LoopbackConnection padded(server->port());
    ASSERT_TRUE(padded.Send(std::string(40000, ' ')));
    padded.Send(std::string(40000, ' '));
    EXPECT_EQ(padded.ReadAll(2000), "");
    EXPECT_TRUE(padded.closed());  // unanswered, and not left open
    EXPECT_EQ(TcpExchange(server->port(), "REQU_BEGININIT1@10@ ma_name='xBAG_ENDy'BAG_END"),
              "BAG_BEGIN0BAG_END");
    EXPECT_TRUE(TcpStillAnswers());
}

TEST(CatalogueServerLimits, TwentyHugeRequestsOnAHundredThousandRecordsStayBounded) {
    CatalogueServerProcess big(100000);
    ASSERT_TRUE(big.ok());
    const long start = StatusKb(big.process().pid(), "VmHWM");
    std::atomic<int> wellFormed{0};
    std::atomic<int> hugeDone{0};
    std::vector<std::thread> clients;
    // Meanwhile a cataloguer's ISBN searches: too long for the loop, the huge ones are the
    // workers', and a quick search is answered at once however busy they are.
    std::atomic<int> quickAnswered{0}, quickSlow{0};
    long slowestQuickMs = 0;
    std::thread quick([&] {
        while (hugeDone.load() < 20) {
            const auto begun = std::chrono::steady_clock::now();
            std::string answer =
                TcpExchange(big.port(), "REQU_BEGININIT1@1@ ma_isbn='9787536692930'BAG_END", 5000);
            const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - begun)
                                                  .count());
            slowestQuickMs = std::max(slowestQuickMs, ms);
            (answer.starts_with("BAG_BEGIN1REC_BEGIN") ? quickAnswered : quickSlow)++;
            if (ms > kQuickMs) ++quickSlow;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (int c = 0; c < 20; ++c) {
        clients.emplace_back([&, c] {
            std::string answer =
                c % 2 ? TcpExchange(big.port(),
                                    "REQU_BEGININIT1@2147483647@ ma_isbn like '9%'BAG_END")
                      : CurlHttpClient()
                            .Get("http://127.0.0.1:" + std::to_string(big.httpPort()) +
                                     "/GetZ39Marc.asp?begin=1&num=2147483647&where=ma_isbn+like+"
                                     "%279%25%27",
                                 30000)
                            .body;
            size_t records = 0;
            for (size_t at = answer.find("REC_BEGIN"); at != std::string::npos;
                 at = answer.find("REC_BEGIN", at + 1))
                ++records;
            if (answer.starts_with("BAG_BEGIN100000REC_BEGIN") && answer.ends_with("BAG_END") &&
                records == 1000)
                ++wellFormed;
            ++hugeDone;
        });
    }
    for (auto& t : clients) t.join();
    quick.join();
    EXPECT_GT(quickAnswered.load(), 0);
    EXPECT_EQ(quickSlow.load(), 0) << "the slowest quick search took " << slowestQuickMs << " ms";
    std::printf("quick searches during the huge ones: %d, the slowest %ld ms\n",
                quickAnswered.load(), slowestQuickMs);
    const long peak = StatusKb(big.process().pid(), "VmHWM");
    EXPECT_EQ(wellFormed.load(), 20);
    std::printf("catalogue-server peak RSS: %ld kB at start, %ld kB after 20 huge requests\n",
                start, peak);
    if (kMeasureMemory) {
        EXPECT_LT(peak, 150 * 1024);
    }
}

TEST(CatalogueServerLimits, SigtermUnderLoadStopsCleanlyAndLeavesTheCatalogueWhole) {
    CatalogueServerProcess server(3000);
    ASSERT_TRUE(server.ok());
    std::atomic<bool> stop{false};
    std::vector<std::thread> load;
    for (int c = 0; c < 8; ++c) {
        load.emplace_back([&] {
            while (!stop) TcpExchange(server.port(), kIsbnRequest);
        });
    }
    std::this_thread::sleep_for(Ms(300));
    ::kill(server.process().pid(), SIGTERM);
    int status = server.process().WaitFor(2000);  // not ended within 2 s: not 0
    stop = true;
    for (auto& t : load) t.join();
    EXPECT_EQ(status, 0);
    ks::CatalogueDb db(server.dbPath(), false);
    EXPECT_EQ(db.IntegrityCheck(), "ok");
    EXPECT_EQ(db.Count(), 3000);
}

TEST(CatalogueServerLimits, EveryAddressNeedsAHostsAddressAndDemoNeedsForce) {
    test::TempDir dir;
    test::ChildProcess made({test::BinDir() + "/catalogue-server", "demo", "--db", dir.File("c.db"),
                             "--records", "10"});
    ASSERT_EQ(made.Wait(), 0);
    test::ChildProcess again({test::BinDir() + "/catalogue-server", "demo", "--db",
                              dir.File("c.db"), "--records", "20"});
    EXPECT_NE(again.Wait(), 0);
    EXPECT_EQ(ks::CatalogueDb(dir.File("c.db"), false).Count(), 10);  // left as it was
    test::ChildProcess forced({test::BinDir() + "/catalogue-server", "demo", "--db",
                               dir.File("c.db"), "--records", "20", "--force"});
    EXPECT_EQ(forced.Wait(), 0);
    EXPECT_EQ(ks::CatalogueDb(dir.File("c.db"), false).Count(), 20);
    test::ChildProcess everywhere({test::BinDir() + "/catalogue-server", "serve", "--db",
                                   dir.File("c.db"), "--port", "1", "--bind", "0.0.0.0"});
    EXPECT_EQ(everywhere.WaitFor(5000), 64);
}

// The service passes its settings in the environment (its /etc/default file): they serve
// where the command line is silent, the command line wins, and a setting that is not a
// number stops the server before it starts. init makes an empty catalogue and leaves one
// that is there.
TEST(CatalogueServerSettings, EnvironmentCommandLineAndInit) {
    test::TempDir dir;
    const std::string db = dir.File("c.db");
    const std::string server = test::BinDir() + "/catalogue-server";
    test::ChildProcess init({server, "init"}, {"CATALOGUE_DB=" + db});
    ASSERT_EQ(init.Wait(), 0);
    EXPECT_EQ(ks::CatalogueDb(db, false).Count(), 0);
    test::ChildProcess demo({server, "demo", "--db", db, "--records", "5", "--force"});
    ASSERT_EQ(demo.Wait(), 0);
    test::ChildProcess again({server, "init", "--db", db});
    ASSERT_EQ(again.Wait(), 0);
    EXPECT_EQ(ks::CatalogueDb(db, false).Count(), 5);  // left as it was

    const int port = test::FreePortPair();
    test::ChildProcess serving({server, "serve"},
                               {"CATALOGUE_DB=" + db, "CATALOGUE_PORT=" + std::to_string(port),
                                "CATALOGUE_HOSTS_ADDRESS=", "CATALOGUE_MAX_PER_PEER=8"});
    ASSERT_TRUE(serving.WaitForOutput("listening", 10000));
    EXPECT_TRUE(test::LoopbackConnection(port).ok());
    test::ChildProcess overridden(
        {server, "serve", "--port", "1"},
        {"CATALOGUE_DB=" + db, "CATALOGUE_PORT=" + std::to_string(port), "CATALOGUE_BIND=0.0.0.0"});
    EXPECT_EQ(overridden.WaitFor(5000), 64);  // every address, and no hosts address
    const std::string freePort = "CATALOGUE_PORT=" + std::to_string(test::FreePortPair());
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"CATALOGUE_PORT=21o"},
                                                {freePort, "CATALOGUE_READ_TIMEOUT_MS=-5"},
                                                {freePort, "CATALOGUE_MAX_PER_PEER=lots"}}) {
        test::ChildProcess refused({server, "serve", "--db", db}, bad);
        EXPECT_EQ(refused.WaitFor(5000), 64) << bad.back();
    }
    test::ChildProcess portTypo({server, "serve", "--db", db, "--port", "21o"});
    EXPECT_EQ(portTypo.WaitFor(5000), 64);
    test::ChildProcess help({server, "--help"});
    EXPECT_TRUE(help.WaitForOutput("CATALOGUE_DB", 5000));
    EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
}  // namespace z39
