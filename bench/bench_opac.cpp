// A web-OPAC search of 30 record pages whose server takes 100 ms for each, the pages
// fetched together (at most kOpacParallelPages at a time) beside one after the other.
#include <benchmark/benchmark.h>

#include "../tests/support/fakes.h"
#include "../tests/support/opac_server.h"
#include "../tests/support/session_harness.h"
#include "../tests/support/temp_dir.h"
#include "backends/nlc_opac.h"
#include "demo_catalogue.h"

namespace {

// Fetches one page after the other, as the search did before.
class OneAtATimeHttp final : public z39::HttpClient {
  public:
    z39::HttpResult Get(const std::string& url, int timeoutMs,
                        const z39::CancelToken* cancel) override {
        return real.Get(url, timeoutMs, cancel);
    }
    z39::CurlHttpClient real;
};

std::vector<std::string> ThirtyRecords() {
    std::vector<std::string> records;
    for (int i = 0; i < 30; ++i) records.push_back(ks::DemoRecord(i, 30));
    return records;
}

z39::test::OpacServer& Server() {
    static z39::test::OpacServer server(ThirtyRecords());
    server.recordDelayMs = [](size_t) { return 100; };
    return server;
}

void Search(benchmark::State& state, z39::HttpClient& http) {
    z39::test::OpacServer& server = Server();
    z39::test::TempDir dir;
    z39::test::SessionHarness h(dir.File("_list.~"), z39::TargetKind::kWebOpac);
    h.state.settings.OPACURL = server.Base();
    z39::NlcOpacBackend backend(http);
    for (auto _ : state) {
        auto out = h.Start(backend, {{"", "ISBN", "7-5366-9293-9"}});
        if (out.rows.size() != 30) state.SkipWithError("not 30 records");
    }
}

void BM_ThirtyPagesTogether(benchmark::State& state) {
    z39::CurlHttpClient http;
    Search(state, http);
}
BENCHMARK(BM_ThirtyPagesTogether)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ThirtyPagesOneAfterTheOther(benchmark::State& state) {
    OneAtATimeHttp http;
    Search(state, http);
}
BENCHMARK(BM_ThirtyPagesOneAfterTheOther)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
