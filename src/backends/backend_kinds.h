#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backends/http_client.h"
#include "backends/process_runner.h"
#include "backends/search_backend.h"
#include "backends/target_memory.h"
#include "backends/target_probe.h"
#include "common/clock.h"

namespace z39 {

// What a run provides to build back ends from. Each user of back ends (the search window,
// each batch worker) builds its own set over its own clients and working folder; the
// target memory is the run's, shared by all of them.
struct BackendContext {
    HttpClient& http;
    ProcessRunner& runner;
    Clock& clock;
    std::string workFolder;       // this set's own folder (the external client's files)
    TargetMemory& memory;         // the run's
    std::string clientPath = {};  // the external client; empty: yazc beside the program
};

// What a kind of target offers and where its completion of a search differs.
struct KindCapabilities {
    std::vector<std::string> fields;   // the search fields its form offers (GBK)
    bool isbnOnly = false;             // the first row is fixed to ISBN, no page fields
    bool failureEndsLaunch = false;    // a failed first page still offers "选择或退出.F5"
    bool launchTicksFirstRow = false;  // a launch query ticks row 1 of several hits
    bool furtherPageReceived = false;  // a further page says "已接收完数据" instead of the count
    bool failureForgetsHost = true;  // a failure makes the catalogue's host be found anew
    bool learnsHost = false;         // its pages say the shared catalogue's host
};

// One row of the table: a kind, how to build an instance, what it offers.
struct BackendKind {
    TargetKind kind = TargetKind::kNone;
    std::function<std::unique_ptr<SearchBackend>(const BackendContext&)> make;
    KindCapabilities capabilities;
    // What a probe asks of this kind beyond one timed search (null: only that search).
    KindProbe probe;
};

// The table of kinds. The program's four are there from the start; a new kind is one
// adapter and one row (a test adds a fake one). Adding a row of a kind already there
// replaces it. Rows are added before back ends are built, not while searches run.
void RegisterBackendKind(BackendKind row);

// The capabilities of `kind`; those of a Z39.50 target for a kind not in the table.
const KindCapabilities& CapabilitiesOf(TargetKind kind);

// The probe of `kind` (null when its row has none, or there is no row).
KindProbe ProbeOfKind(TargetKind kind);

// One back end of every kind in the table, built from `context` and owned by the registry.
std::unique_ptr<BackendRegistry> BuildBackends(const BackendContext& context);
// The same into a registry of the caller's (one that also owns the clients, say).
void AddBackends(BackendRegistry& registry, const BackendContext& context);

}  // namespace z39
