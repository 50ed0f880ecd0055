// Server-side time of shared-catalogue searches on a large demo catalogue.
// The catalogue (Z39_BENCH_RECORDS records, default 1,000,000) is built once into
// $TMPDIR/z39bench_catalogue_N.db and reused by later runs.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "catalogue_db.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "record_import.h"
#include "where_clause.h"

namespace {

int64_t RecordCount() {
    const char* n = std::getenv("Z39_BENCH_RECORDS");
    return n ? std::atoll(n) : 1000000;
}

const std::string& CataloguePath() {
    static const std::string path = [] {
        int64_t n = RecordCount();
        std::string p = (std::filesystem::temp_directory_path() /
                         ("z39bench_catalogue_" + std::to_string(n) + ".db"))
                            .string();
        if (!std::filesystem::exists(p)) {
            std::string building = p + ".building";
            std::filesystem::remove(building);
            {
                ks::CatalogueDb db(building, true);
                db.Begin();
                for (int64_t i = 0; i < n; ++i) {
                    std::string record = ks::DemoRecord(i, n);
                    ks::RecordKeys keys = ks::ExtractKeys(record);
                    db.Insert(record, keys.isbn, keys.name, keys.namepy);
                }
                db.Commit();
            }
            std::filesystem::rename(building, p);
        }
        return p;
    }();
    return path;
}

void Search(benchmark::State& state, const std::string& where) {
    ks::CatalogueDb db(CataloguePath(), false);
    ks::WhereClause clause = ks::ParseWhereClause(where).clause;
    int64_t total = 0;
    for (auto _ : state) {
        auto page = db.Search(clause, 1, 1, true);
        total = page.total;
        benchmark::DoNotOptimize(page);
    }
    state.counters["total"] = static_cast<double>(total);
}

void BM_IsbnFirstPage(benchmark::State& state) { Search(state, " ma_isbn='9787536692930'"); }
void BM_TitlePrefixFirstPage(benchmark::State& state) {
    Search(state, " ma_name like '" + z39::G("数据结构") + "%'");
}
void BM_PagingWordFirstPage(benchmark::State& state) {
    Search(state, " ma_name like '" + z39::G(ks::kPagingTitleWord) + "%'");
}
BENCHMARK(BM_IsbnFirstPage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TitlePrefixFirstPage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PagingWordFirstPage)->Unit(benchmark::kMicrosecond);

}  // namespace
