#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backends/search_condition.h"
#include "search/search_outcome.h"
#include "search/search_services.h"
#include "targets/target_selection.h"

namespace z39 {

// One search of the search window and its further pages. The session alone fills the
// record store and the result index from what a back end fetched, numbers the records,
// applies the completion rules, writes AppState and says in a SearchOutcome what the
// window shows. It runs on the window's thread, one fetch at a time.
class SearchSession {
  public:
    explicit SearchSession(const SearchServices& services);

    // btInitClick: refuses an empty first value; otherwise resets the search (list and
    // record store) and fetches the first page from the current target. `countText` is
    // edNum.
    SearchOutcome Start(const TargetSelection& targets, const std::vector<SearchCondition>& rows,
                        const std::string& countText);
    // The same on a target given as it is.
    SearchOutcome Start(const TargetProfile& target, const std::vector<SearchCondition>& rows,
                        const std::string& countText);

    // btNextClick with edBegin and edNum as they stand.
    SearchOutcome Next(const std::string& startText, const std::string& countText);

    int64_t total() const { return total_; }
    int64_t nextStart() const { return nextStart_; }
    const TargetProfile& target() const { return target_; }

  private:
    SearchRequest Request() const;
    PageResult Fetch(const SearchRequest& request);
    SearchOutcome FirstPageOutcome(const PageResult& page);
    SearchOutcome FurtherPageOutcome(const PageResult& page, int64_t start);
    // Lists and stores the well-formed records; returns how many were refused.
    int AddRecords(const std::vector<std::string>& records);
    SearchOutcome Remember(SearchOutcome outcome, const std::string& countText);

    SearchServices s_;
    TargetProfile target_;
    SearchBackend* backend_ = nullptr;  // the current target's kind; none before a search
    std::vector<SearchCondition> rows_;
    int64_t total_ = 0;
    int64_t nextStart_ = 1;
};

}  // namespace z39
