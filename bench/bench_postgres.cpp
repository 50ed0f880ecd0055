// The catalogue on SQLite and on PostgreSQL side by side: a first page with its total for an
// ISBN and for a title prefix on Z39_BENCH_RECORDS demo records (default 1,000,000), then
// 2,000 requests from 20 clients through two front ends on one PostgreSQL database.
// PostgreSQL runs on a throw-away cluster of the benchmark's own.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "../tests/support/catalogue_server_process.h"
#include "../tests/support/loopback.h"
#include "../tests/support/pg_cluster.h"
#include "catalogue_db.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "pg_catalogue.h"
#include "record_import.h"

namespace {

int64_t RecordCount() {
    const char* n = std::getenv("Z39_BENCH_RECORDS");
    return n ? std::atoll(n) : 1000000;
}

void Fill(ks::CatalogueStore& store, int64_t n) {
    store.Begin();
    for (int64_t i = 0; i < n; ++i) {
        std::string record = ks::DemoRecord(i, n);
        ks::RecordKeys keys = ks::ExtractKeys(record);
        store.Insert(record, keys.isbn, keys.name, keys.namepy);
    }
    store.Commit();
}

z39::test::PgCluster& Cluster() {
    static z39::test::PgCluster cluster;
    return cluster;
}

const std::string& SqlitePath() {
    static const std::string path = [] {
        std::string p = (std::filesystem::temp_directory_path() /
                         ("z39bench_catalogue_" + std::to_string(RecordCount()) + ".db"))
                            .string();
        if (!std::filesystem::exists(p)) {
            std::string building = p + ".building";
            std::filesystem::remove(building);
            {
                ks::CatalogueDb db(building, true);
                Fill(db, RecordCount());
            }
            std::filesystem::rename(building, p);
        }
        return p;
    }();
    return path;
}

const std::string& PostgresUri() {
    static const std::string uri = [] {
        if (Cluster().uri().empty()) return std::string();
        ks::PgCatalogue store(Cluster().uri(), true);
        Fill(store, RecordCount());
        store.Analyse();
        return Cluster().uri();
    }();
    return uri;
}

void Search(benchmark::State& state, bool postgres, const std::string& where) {
    const std::string& db = postgres ? PostgresUri() : SqlitePath();
    if (db.empty()) return state.SkipWithError("PostgreSQL is not installed");
    auto store = ks::OpenCatalogue(db, false);
    ks::WhereClause clause = ks::ParseWhereClause(where).clause;
    int64_t total = 0;
    for (auto _ : state) {
        auto page = store->Search(clause, 1, 1, true);
        total = page.total;
        benchmark::DoNotOptimize(page);
    }
    state.counters["total"] = static_cast<double>(total);
}

const std::string kIsbn = " ma_isbn='9787536692930'";
std::string TitlePrefix() { return " ma_name like '" + z39::G("数据结构") + "%'"; }

void BM_SqliteIsbn(benchmark::State& s) { Search(s, false, kIsbn); }
void BM_PostgresIsbn(benchmark::State& s) { Search(s, true, kIsbn); }
void BM_SqliteTitlePrefix(benchmark::State& s) { Search(s, false, TitlePrefix()); }
void BM_PostgresTitlePrefix(benchmark::State& s) { Search(s, true, TitlePrefix()); }
BENCHMARK(BM_SqliteIsbn)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PostgresIsbn)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqliteTitlePrefix)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PostgresTitlePrefix)->Unit(benchmark::kMicrosecond);

// 2,000 requests, 20 clients, half to each of two front ends on the one database.
void BM_PostgresTwoFrontEnds2000Requests(benchmark::State& state) {
    if (PostgresUri().empty()) return state.SkipWithError("PostgreSQL is not installed");
    z39::test::CatalogueServerProcess one(0, "", {}, PostgresUri(), false);
    z39::test::CatalogueServerProcess two(0, "", {}, PostgresUri(), false);
    if (!one.ok() || !two.ok()) return state.SkipWithError("front ends did not start");
    const std::string request =
        "REQU_BEGININIT1@5@ ma_name like '" + z39::G(ks::kPagingTitleWord) + "%'BAG_END";
    int64_t bad = 0;
    for (auto _ : state) {
        std::atomic<int64_t> failed{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 20; ++c) {
            clients.emplace_back([&, c] {
                for (int i = 0; i < 100; ++i) {
                    int port = (c + i) % 2 ? one.port() : two.port();
                    std::string a = z39::test::TcpExchange(port, request);
                    if (!a.ends_with("BAG_END") || a.find("REC_BEGIN") == std::string::npos)
                        ++failed;
                }
            });
        }
        for (auto& t : clients) t.join();
        bad += failed;
    }
    state.counters["failed"] = static_cast<double>(bad);
}
BENCHMARK(BM_PostgresTwoFrontEnds2000Requests)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
