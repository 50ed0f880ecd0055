#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue_db.h"

namespace ks {

// One search request of either transport.
struct Request {
    bool first = false;  // first page: the answer carries the total
    int64_t start = 1;
    int64_t count = 0;
    std::string where;
};

inline constexpr size_t kMaxRequestBytes = 64 * 1024;

// The most records one answer carries, however many were asked for; a client asking for
// more pages on from what came back.
inline constexpr int64_t kMaxRecordsPerAnswer = 1000;

// Framing of a TCP request: "REQU_BEGIN" ["INIT"] start "@" count "@" where "BAG_END".
// The request ends at the first "BAG_END" outside a quoted literal of the where-clause, so
// a title holding "BAG_END" is read whole. Blanks before "REQU_BEGIN" are allowed and count
// against kMaxRequestBytes like every other byte.
struct Framing {
    enum State { kIncomplete, kComplete, kBad } state = kIncomplete;
    Request request;
    std::string error;
};

// Where the search for a TCP request's end has got to, so each read scans only new bytes.
struct TcpScan {
    size_t pos = 0;
    bool inQuote = false;
};
Framing ParseTcpRequest(std::string_view received, TcpScan& scan);
Framing ParseTcpRequest(std::string_view received);

// The HTTP request from the raw target "/GetZ39Marc.asp?begin=S&num=N&where=W[&next=ok]".
Framing ParseHttpTarget(std::string_view target);

// A form-encoded query value: "+" is a blank, "%XX" a byte; a "%" not followed by two hex
// digits stays as it is.
std::string PercentDecode(std::string_view text);

// The answers. TCP records are raw; HTTP records are id "@@" scrambled body.
std::string FormatTcpAnswer(const CatalogueStore::Page& page, bool first);
std::string FormatHttpAnswer(const CatalogueStore::Page& page, bool first);

}  // namespace ks
