#pragma once

#include <cstdint>
#include <string>

#include "backends/search_outcome.h"
#include "targets/target_table.h"

namespace z39 {

// One kind of target: the shared catalogue, a Z39.50 server through the external client,
// or the national library's web OPAC. A back end is built once over the run's record store
// and result index, fills them page by page, and says in a SearchOutcome what the search
// window shows. Expected failures (no connection, no hits) are outcomes, not exceptions.
class SearchBackend {
  public:
    virtual ~SearchBackend() = default;

    // The first page of a new search; the caller has cleared the list, the record store
    // and the external client's record file. `query` is what this kind of target reads:
    // the where-clause, the find command or the ISBN.
    virtual SearchOutcome FirstPage(const TargetEntry& entry, const std::string& query) = 0;

    // A further page from `nextStart` of `total`; `count` is the page size the user set
    // (edNum). A back end without further pages answers as a failed connection.
    virtual SearchOutcome NextPage(const TargetEntry& entry, const std::string& query,
                                   int64_t total, int64_t nextStart, int64_t count) = 0;
};

}  // namespace z39
