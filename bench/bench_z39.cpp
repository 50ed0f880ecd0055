// A first Z39.50 search of 10 records through the client's path (script, runner, yazc,
// files, record store: the first record, then the next nine, as F2 and F3 fetch them)
// beside the same 10 records fetched by Debian's yaz-client alone, both against a real
// indexing server (Zebra) on loopback. The two fixed waits of the path (200 ms, 500 ms)
// are left out: the clock is a fake.
#include <benchmark/benchmark.h>

#include "../tests/support/child_process.h"
#include "../tests/support/fakes.h"
#include "../tests/support/session_harness.h"
#include "../tests/support/temp_dir.h"
#include "backends/external_z39.h"
#include "backends/search_condition.h"
#include "common/file_util.h"

namespace {

// Zebra serving 30 books titled "Java 编程 N", started once for the run.
class ZebraServer {
  public:
    ZebraServer()
        : process_({"/usr/bin/python3", std::string(Z39_SOURCE_DIR) + "/tests/x11/zebra.py",
                    dir_.File("zebra"), "30"}) {
        if (process_.WaitForOutput("\n", 60000)) {
            const std::string& out = process_.output();
            size_t at = out.find("listening ");
            if (at != std::string::npos) port_ = std::stoi(out.substr(at + 10));
        }
    }
    int port() const { return port_; }

  private:
    z39::test::TempDir dir_;
    z39::test::ChildProcess process_;
    int port_ = 0;
};

ZebraServer& Zebra() {
    static ZebraServer server;
    return server;
}

const char* kQuery = "f @attr 1=4 Java";

void BM_FirstTenThroughClientPath(benchmark::State& state) {
    if (Zebra().port() == 0) return state.SkipWithError("zebrasrv did not start");
    z39::test::TempDir dir;
    z39::test::RecordingUi ui;
    z39::test::FakeClock clock;
    z39::SteadyClock steady;
    z39::ProcessRunner runner(ui, steady);
    z39::ExternalZ39Backend backend(runner, clock, z39::Z39WorkFilesIn(dir.path()),
                                    z39::test::BinDir() + "/yazc");
    z39::TargetEntry entry;
    entry.address = "127.0.0.1";
    entry.port = std::to_string(Zebra().port());
    entry.database = "Default";
    z39::test::SessionHarness h(dir.File("_list.~"), z39::TargetKind::kZ39, entry);
    for (auto _ : state) {
        auto out = h.Start(backend, z39::test::TitleRows("Java"));
        out = h.Next("2", "9");
        if (out.connectionFailed || h.index.size() != 10) state.SkipWithError("search failed");
    }
}
BENCHMARK(BM_FirstTenThroughClientPath)->Unit(benchmark::kMillisecond);

void BM_FirstTenByYazClientAlone(benchmark::State& state) {
    if (Zebra().port() == 0) return state.SkipWithError("zebrasrv did not start");
    z39::test::TempDir dir;
    z39::test::RecordingUi ui;
    z39::SteadyClock steady;
    z39::ProcessRunner runner(ui, steady);
    dir.Write("script", "open 127.0.0.1:" + std::to_string(Zebra().port()) +
                            "/Default\r\nelements F\r\n" + kQuery + "\r\nshow 1+10\r\nquit\r\n");
    for (auto _ : state) {
        z39::DeleteFileIfExists(dir.File("marc"));
        runner.Run("/usr/bin/yaz-client -m " + dir.File("marc"), dir.File("script"),
                   dir.File("out"), "");
    }
}
BENCHMARK(BM_FirstTenByYazClientAlone)->Unit(benchmark::kMillisecond);

}  // namespace
