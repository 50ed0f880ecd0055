#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backends/search_condition.h"
#include "common/cancel_token.h"
#include "common/user_interface.h"
#include "state/z39_settings.h"
#include "targets/target_profile.h"

namespace z39 {

// What one fetch asks of a back end: the search form's rows as the user left them, the
// page, and what the back end needs to know of the run. Texts are GBK.
struct SearchRequest {
    std::vector<SearchCondition> rows;
    bool firstPage = true;
    int64_t start = 1;   // further page: the first position asked (from 1)
    int64_t count = 10;  // further page: the page size the user set (edNum)
    int64_t total = 0;   // further page: the total the first page reported
    Z39Settings settings;
    std::string launchQuery;     // the host program's query (the pinyin rule reads it)
    std::string discoveredHost;  // shared catalogue: the address /hosts.txt gave, if known
    // Called on the fetching thread as parts of a page arrive (done of all).
    std::function<void(int done, int all)> progress;
};

enum class PageStatus {
    kOk,
    kNoConnection,  // no server reached, or the exchange broke off
    kRefused,       // the server answered with a refusal
    kCancelled,     // the cancel token ended the fetch
};

// What one fetch brought back. A back end touches nothing shared: what a page changes is
// all here, for the caller to apply.
struct PageResult {
    PageStatus status = PageStatus::kOk;
    std::string reason;     // why a fetch failed, for the user (GBK); empty: nothing to add
    bool hasTotal = false;  // the page reported a hit count
    int64_t total = 0;
    std::vector<std::string> records;  // GBK ISO 2709 texts, in arrival order
    // Further page: how many positions of the result set it covered; -1: as many as
    // records came.
    int64_t covered = -1;
    std::vector<std::string> notices;  // for the user: records left out and the like (GBK)
    std::string discoveredHost;        // shared catalogue: the address known afterwards
    // A failed fetch: where it went (address:port) and, when known, why, in a few words
    // for the status bar (GBK): refused, no answer in time, the external client missing.
    std::string where;
    std::string cause;
    // Messages the window shows as they are, before anything else of the page (title and
    // text, GBK): a TCP client's socket error codes.
    std::vector<UserMessage> alerts;

    bool ok() const { return status == PageStatus::kOk; }
};

// One kind of target behind one call. Fetch translates the rows into the kind's own query
// language, speaks its protocol and converts what it receives at its own edge. Expected
// failures are statuses, never exceptions; raised errors (files we write) are Z39Error.
// An instance keeps no state between fetches that another fetch could see, so instances
// built over their own clients may run on several threads at once.
class SearchBackend {
  public:
    virtual ~SearchBackend() = default;
    virtual PageResult Fetch(const TargetProfile& target, const SearchRequest& request,
                             CancelToken& cancel) = 0;
};

// One fetch that never throws: what a back end throws (a file of the external client it
// could not write or read, say) becomes a failed page with its text as the reason. Every
// fetch on a worker thread goes through here.
PageResult FetchCatching(SearchBackend& backend, const TargetProfile& target,
                         const SearchRequest& request, CancelToken& cancel);

// The back ends of a run, found by the kind of target they serve: given (Add) or owned
// (Own, as BuildBackends makes them).
class BackendRegistry {
  public:
    BackendRegistry() = default;
    BackendRegistry(BackendRegistry&&) = default;
    BackendRegistry& operator=(BackendRegistry&&) = default;
    virtual ~BackendRegistry() = default;
    void Add(TargetKind kind, SearchBackend& backend) { backends_[kind] = &backend; }
    void Own(TargetKind kind, std::unique_ptr<SearchBackend> backend) {
        backends_[kind] = backend.get();
        owned_.push_back(std::move(backend));
    }
    // Null when no back end serves the kind.
    SearchBackend* For(TargetKind kind) const {
        auto hit = backends_.find(kind);
        return hit == backends_.end() ? nullptr : hit->second;
    }

  protected:
    // Lets go of every back end (those owned are destroyed).
    void Clear() {
        backends_.clear();
        owned_.clear();
    }

  private:
    std::map<TargetKind, SearchBackend*> backends_;
    std::vector<std::unique_ptr<SearchBackend>> owned_;
};

}  // namespace z39
