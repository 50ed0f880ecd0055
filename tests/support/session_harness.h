#pragma once

#include <string>
#include <vector>

#include "backends/search_backend.h"
#include "common/gbk_text.h"
#include "records/record_store.h"
#include "records/result_index.h"
#include "search/search_session.h"
#include "state/app_state.h"
#include "support/fakes.h"

namespace z39::test {

// One target searched through a real SearchSession, as the search window does it: the
// session fills the store and index and says what the window shows.
struct SessionHarness {
    explicit SessionHarness(const std::string& storePath, TargetKind kind = TargetKind::kZ39,
                            TargetEntry entry = {})
        : store(storePath) {
        profile.kind = kind;
        profile.slot = kind == TargetKind::kSharedCatalogue ? kSharedCatalogueSlot : 2;
        profile.entry = std::move(entry);
        // A target without an address is refused before its back end is asked.
        if (profile.entry.address.empty()) profile.entry.address = "127.0.0.1";
    }
    SearchOutcome Start(SearchBackend& backend, const std::vector<SearchCondition>& rows,
                        const std::string& count = "10") {
        backends.Add(profile.kind, backend);
        return session.Start(profile, rows, count);
    }
    SearchOutcome Next(const std::string& start, const std::string& count = "10") {
        return session.Next(start, count);
    }

    AppState state;
    RecordStore store;
    ResultIndex index;
    RecordingUi ui;
    BackendRegistry backends;
    TargetProfile profile;
    SearchSession session{SearchServices{state, store, index, ui, backends}};
};

// A title row: the find command "f @attr 1=4 <title>", the where-clause " ma_name='<title>'".
inline std::vector<SearchCondition> TitleRows(const std::string& title) {
    return {{"", G("题名"), title}};
}

}  // namespace z39::test
