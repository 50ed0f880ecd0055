#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backends/search_outcome.h"
#include "search/search_condition.h"
#include "search/search_services.h"
#include "targets/target_selection.h"

namespace z39 {

// What the search window shares between a first search and its further pages: the
// target, the held query, the total, the next start and the result index.
class SearchSession {
  public:
    explicit SearchSession(const SearchServices& services);

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

  private:
    SearchOutcome Remember(SearchOutcome outcome, const std::string& countText);

    SearchServices s_;
    int target_ = 0;
    SearchBackend* backend_ = nullptr;  // the current target's kind; none before a search
    TargetEntry entry_;
    std::string query_;
    int64_t total_ = 0;
    int64_t nextStart_ = 1;
};

}  // namespace z39
