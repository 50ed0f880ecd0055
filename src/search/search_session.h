#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "backends/http_client.h"
#include "backends/tcp_client.h"
#include "common/clock.h"
#include "common/user_interface.h"
#include "records/record_store.h"
#include "records/result_index.h"
#include "search/search_condition.h"
#include "search/search_outcome.h"
#include "targets/target_selection.h"

namespace z39 {

// The Z39.50 and web-OPAC back ends plug in here.
class Z39Backend {
  public:
    virtual ~Z39Backend() = default;
    virtual SearchOutcome FirstPage(const TargetEntry& entry, const std::string& findCommand) = 0;
    virtual SearchOutcome NextPage(const TargetEntry& entry, const std::string& findCommand,
                                   int64_t total, int64_t nextStart, int64_t count) = 0;
};

class OpacBackend {
  public:
    virtual ~OpacBackend() = default;
    virtual SearchOutcome FirstPage(const TargetEntry& entry, const std::string& isbn) = 0;
};

// What the search window shares between a first search and its further pages: the
// target, the held query, the total, the next start and the result index.
class SearchSession {
  public:
    struct Services {
        AppState& state;
        RecordStore& store;
        ResultIndex& index;
        HttpClient& http;
        TcpClient& tcp;
        Clock& clock;
        Z39Backend* z39 = nullptr;
        OpacBackend* opac = nullptr;
    };
    explicit SearchSession(Services services);

    // btInitClick: refuses an empty first value; otherwise resets the search (list,
    // record store, the external client's record file) and runs the first page on the
    // current target. `countText` is edNum.
    SearchOutcome Start(const TargetSelection& targets, const std::vector<SearchCondition>& rows,
                        const std::string& countText);

    // btNextClick with edBegin and edNum as they stand.
    SearchOutcome Next(const std::string& startText, const std::string& countText);

    int64_t total() const { return total_; }
    int64_t nextStart() const { return nextStart_; }
    const std::string& heldQuery() const { return query_; }
    int target() const { return target_; }

    // The count a further shared-catalogue page asks for.
    static int64_t SharedCatalogueCount(int64_t total, int64_t nextStart, int64_t edNum,
                                        const std::string& allNumber, const std::string& where);

  private:
    SearchOutcome Remember(SearchOutcome outcome, const std::string& countText);

    Services s_;
    int target_ = 0;
    bool webOpac_ = false;
    TargetEntry entry_;
    std::string query_;
    int64_t total_ = 0;
    int64_t nextStart_ = 1;
};

}  // namespace z39
