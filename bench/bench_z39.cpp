// One first Z39.50 search through the client's path (script, runner, yazc, files, record
// store) beside the same search by yaz-client alone, both against yaz-ztest on loopback.
// The two fixed waits of the path (200 ms, 500 ms) are left out: the clock is a fake.
#include <benchmark/benchmark.h>

#include "../tests/support/fakes.h"
#include "../tests/support/temp_dir.h"
#include "../tests/support/ztest_process.h"
#include "backends/external_z39.h"
#include "common/file_util.h"
#include "search/search_condition.h"

namespace {

z39::test::ZtestProcess& Ztest() {
    static z39::test::ZtestProcess server;
    return server;
}

void BM_FirstSearchThroughClientPath(benchmark::State& state) {
    z39::test::TempDir dir;
    z39::AppState app;
    app.files = z39::MakeWorkingFiles(dir.path());
    z39::RecordStore store(app.files.recordListPath);
    z39::ResultIndex index;
    z39::test::RecordingUi ui;
    z39::test::FakeClock clock;
    z39::ProcessRunner runner(ui);
    z39::ExternalZ39Backend backend(app, store, index, runner, clock,
                                    z39::test::BinDir() + "/yazc");
    z39::TargetEntry entry;
    entry.address = "127.0.0.1";
    entry.port = std::to_string(Ztest().port());
    entry.database = "Default";
    for (auto _ : state) {
        store.Clear();
        auto out = backend.FirstPage(entry, "f @attr 1=4 computer");
        if (out.connectionFailed) state.SkipWithError("search failed");
    }
}
BENCHMARK(BM_FirstSearchThroughClientPath)->Unit(benchmark::kMillisecond);

void BM_FirstSearchByYazClientAlone(benchmark::State& state) {
    z39::test::TempDir dir;
    z39::test::RecordingUi ui;
    z39::ProcessRunner runner(ui);
    dir.Write("script", "open 127.0.0.1:" + std::to_string(Ztest().port()) +
                            "/Default\r\nelements F\r\nf @attr 1=4 computer\r\nshow\r\nquit\r\n");
    for (auto _ : state) {
        runner.Run("/usr/bin/yaz-client -m " + dir.File("marc"), dir.File("script"),
                   dir.File("out"), "");
    }
}
BENCHMARK(BM_FirstSearchByYazClientAlone)->Unit(benchmark::kMillisecond);

}  // namespace
