#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "backends/search_condition.h"
#include "search/search_outcome.h"
#include "search/search_services.h"
#include "targets/target_selection.h"

namespace z39 {

// One fetch of a search, ready to run on any thread: the back end, the target and the
// request are its own (values; the back end outlives it). Run never throws: what a back end
// throws becomes a failed page with its text as the reason.
struct PendingFetch {
    SearchBackend* backend = nullptr;
    TargetProfile target;
    SearchRequest request;
    PageResult Run(CancelToken& cancel) const;
};

// A request for `rows` with what the run knows (settings, the launch query, the shared
// catalogue's discovered host); the page fields are the caller's.
SearchRequest RequestOf(const AppState& state, const std::vector<SearchCondition>& rows);

// What beginning a search or a page gives: an outcome at once (a refused query, no back end
// for the target), or a fetch to run and hand to the matching Finish.
struct SearchStep {
    std::optional<SearchOutcome> done;
    std::optional<PendingFetch> fetch;
};

// One search of the search window and its further pages. The session alone fills the
// record store and the result index from what a back end fetched, numbers the records,
// applies the completion rules, writes AppState and says in a SearchOutcome what the
// window shows. Begin and Finish run on the window's thread; the fetch between them may run
// on a worker, one at a time.
class SearchSession {
  public:
    explicit SearchSession(const SearchServices& services);

    // btInitClick in two steps: refuses an empty first value; otherwise resets the search
    // (list and record store) and gives the first page's fetch, whose page FinishStart
    // lists.
    SearchStep BeginStart(const TargetProfile& target, const std::vector<SearchCondition>& rows,
                          const std::string& countText);
    SearchOutcome FinishStart(const PageResult& page);
    // After a first page that brought fewer records than edNum asked for while more hits
    // exist: the further page that fills it (from after what came, for the rest of edNum).
    // Nothing to run otherwise. FinishFill gives the first page's outcome with the filled
    // list, in place of the one FinishStart gave.
    SearchStep BeginFill();
    SearchOutcome FinishFill(const PageResult& page);
    // btNextClick in two steps.
    SearchStep BeginNext(const std::string& startText, const std::string& countText);
    SearchOutcome FinishNext(const PageResult& page);

    // btInitClick: refuses an empty first value; otherwise resets the search (list and
    // record store) and fetches the first page from the current target, filled up to
    // edNum as BeginFill says. `countText` is edNum.
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
    // What a fetched page teaches the run (the shared catalogue's host).
    void Learn(const PageResult& page);
    // "[address:port cause]" for a page that reached no server.
    std::string Where(const PageResult& page) const;
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
    std::string count_;                   // edNum of the step begun
    int64_t pendingStart_ = 1;            // the start of the further page begun
    std::optional<SearchOutcome> first_;  // the first page's outcome, until it is filled
};

}  // namespace z39
