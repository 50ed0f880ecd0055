#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

#include "../tests/support/marc_builder.h"
#include "common/gbk_text.h"
#include "records/marc_record.h"
#include "records/record_store.h"

namespace {

std::string RealisticRecord(int i) {
    return z39::test::MarcBuilder()
        .Control("001", "CAL" + std::to_string(100000 + i))
        .Control("005", "20240101093000.0")
        .Data("010", "  ", {{'a', "978-7-302-14751-0"}, {'d', "CNY45.00"}})
        .Data("100", "  ", {{'a', "20240101d2007    em y0chiy50      ea"}})
        .Data("101", "0 ", {{'a', "chi"}})
        .Data("200", "1 ",
              {{'a', "数据结构与算法分析"},
               {'e', "C++语言描述"},
               {'f', "(美) 马克·艾伦·维斯著"},
               {'g', "张怀勇等译"}})
        .Data("210", "  ", {{'a', "北京"}, {'c', "人民邮电出版社"}, {'d', "2007"}})
        .Data("215", "  ", {{'a', "545页"}, {'c', "图"}, {'d', "26cm"}})
        .Data("606", "0 ", {{'a', "数据结构"}, {'x', "程序设计"}})
        .Data("690", "  ", {{'a', "TP311.12"}, {'v', "4"}})
        .Data("701", " 1", {{'a', "维斯"}, {'4', "著"}})
        .Data("801", " 0", {{'a', "CN"}, {'b', "NLC"}, {'c', "20240101"}})
        .Build();
}

void BM_DisplayLine(benchmark::State& state) {
    std::string record = RealisticRecord(1);
    for (auto _ : state) benchmark::DoNotOptimize(z39::DisplayLine(record));
}
BENCHMARK(BM_DisplayLine);

void BM_DetailLines(benchmark::State& state) {
    std::string record = RealisticRecord(1);
    z39::FieldLabels labels{{"200", z39::G("题名与责任")}};
    for (auto _ : state) benchmark::DoNotOptimize(z39::DetailLines(record, labels));
}
BENCHMARK(BM_DetailLines);

// LoadRecord of random numbers from a store holding `range(0)` records.
void BM_LoadRecord(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    std::string path =
        (std::filesystem::temp_directory_path() / ("z39bench_list_" + std::to_string(count) + ".~"))
            .string();
    std::filesystem::remove(path);
    {
        z39::RecordStore writer(path);
        for (int i = 0; i < count; ++i) writer.StoreRecord(i, RealisticRecord(i));
    }
    z39::RecordStore store(path);
    benchmark::DoNotOptimize(store.LoadRecord(0));  // first load indexes the file
    std::mt19937 rng(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(store.LoadRecord(static_cast<int>(rng() % count)));
    std::filesystem::remove(path);
}
BENCHMARK(BM_LoadRecord)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
