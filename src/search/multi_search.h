#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/record_quality.h"
#include "search/search_outcome.h"
#include "search/search_services.h"
#include "search/search_session.h"
#include "targets/target_names.h"

namespace z39 {

// How many databases of one search are fetched at the same time, at most.
inline constexpr int kMostFetchesAtOnce = 8;

// The byte column where a row of such a search names its database ("[name]"): after the
// widest display line.
inline constexpr size_t kSourceColumn = 114;

// One fetch of a search over several databases: which database (its place in the search)
// and the fetch itself.
struct SourceFetch {
    size_t source = 0;
    PendingFetch fetch;
};

// What beginning such a search or its further pages gives: an outcome at once (a refused
// query, no database that can take it), or the fetches to run, each handed to Finish.
struct MultiStep {
    std::optional<SearchOutcome> done;
    std::vector<SourceFetch> fetches;
};

// What one database's page makes of the list.
struct SourceStep {
    SearchOutcome outcome;            // the list as it stands, to show at once
    std::optional<SourceFetch> more;  // this database's page that fills its first page
    bool finished = false;            // no database is still awaited: the step's last outcome
};

// The search window's search over every ticked database at once. Each database is fetched
// through back ends of its own; as each answers, its records join one list in which records
// of the same book (BookKey) stand together, the best first (AssessRecord and BetterRecord,
// then the order of the databases), each row the display line and the database it came
// from. Begin and Finish run on the window's thread; the fetches between them run on
// workers, several at once.
class MultiSearch {
  public:
    explicit MultiSearch(const SearchServices& services);
    ~MultiSearch();
    MultiSearch(const MultiSearch&) = delete;
    MultiSearch& operator=(const MultiSearch&) = delete;

    // F2: refuses an empty first value; otherwise resets the list and gives the first
    // page's fetch of every database that can search the rows in use (the others are left
    // out, and the status says so). `countText` is edNum.
    MultiStep BeginStart(const std::vector<ChainTarget>& sources,
                         const std::vector<SearchCondition>& rows, const std::string& countText);
    // F3: the next page of every database that has more.
    MultiStep BeginNext(const std::string& countText);
    // A database's page (a fetch not run because the search was cancelled: a cancelled
    // page). The first page that brought fewer than edNum while the database has more is
    // filled by the `more` it gives, as a single database's is.
    SourceStep Finish(size_t source, const PageResult& page);

    // The whole search here, one database after the other (tests, tools).
    SearchOutcome Start(const std::vector<ChainTarget>& sources,
                        const std::vector<SearchCondition>& rows, const std::string& countText);
    SearchOutcome Next(const std::string& countText);

    // "n/m": how many of the step's databases have answered, of how many were asked.
    int answered() const { return answered_; }
    int asked() const { return asked_; }
    // The database a listed record came from (GBK), and how full the record is; empty and
    // unassessed for a number not listed.
    std::string SourceOf(int number) const;
    RecordQuality QualityOf(int number) const;

  private:
    enum class State { kLeftOut, kWaiting, kFound, kNoHits, kFailed, kCancelled };
    struct Source {
        ChainTarget target;
        SearchBackend* backend = nullptr;
        State state = State::kWaiting;
        std::string why;  // left out or failed: in a few words (GBK)
        int64_t total = 0;
        int64_t nextStart = 1;
        int64_t listed = 0;    // records it brought
        bool awaited = false;  // a fetch of the running step has not come back
        bool filling = false;  // the fetch awaited fills its first page
        int64_t pendingStart = 1;
    };
    struct Held {
        int number = 0;
        size_t source = 0;
        std::string key;
        RecordQuality quality;
        std::string line;     // the display line
        std::string sortKey;  // its collation key
    };

    SearchBackend* BackendFor(size_t source, TargetKind kind);
    PendingFetch Fetch(size_t source) const;
    int AddRecords(size_t source, const std::vector<std::string>& records);
    void Arrange();
    SearchOutcome Outcome(bool finished);
    std::string Status(bool finished) const;
    void CompleteFirstStep(SearchOutcome& out) const;

    SearchServices s_;
    std::vector<Source> sources_;
    std::vector<std::unique_ptr<BackendRegistry>> own_;  // by database, kept for the run
    std::vector<Held> held_;
    std::vector<SearchCondition> rows_;
    std::vector<std::string> notices_;
    std::vector<UserMessage> alerts_;
    std::string count_;
    int groups_ = 0;
    int answered_ = 0;
    int asked_ = 0;
    bool firstStep_ = true;
};

}  // namespace z39
