#pragma once

#include <functional>
#include <memory>
#include <string>

#include "backends/search_backend.h"
#include "backends/target_memory.h"
#include "common/user_interface.h"
#include "records/record_store.h"
#include "records/result_index.h"
#include "state/app_state.h"

namespace z39 {

// What a search works with: the run's shared values, the record store and result index
// the session fills, the user, and the back ends by kind of target. main() builds them
// all once; tests give loopback or fake ones. Everything outlives the search window.
struct SearchServices {
    AppState& state;
    RecordStore& store;
    ResultIndex& index;
    UserInterface& ui;
    const BackendRegistry& backends;
    std::string targetListPath = "z39svr.cfg";
    // A search over several databases fetches each through back ends of its own, made
    // here for database `source` (0, 1, ...) and kept for the run. Empty: every database
    // shares `backends` (only for back ends that may run on several threads at once).
    std::function<std::unique_ptr<BackendRegistry>(int source)> sourceBackends = {};
    // What the run has learned of its targets (the target editor's test feeds it too);
    // null: the editor's tests keep their own.
    TargetMemory* memory = nullptr;
};

}  // namespace z39
