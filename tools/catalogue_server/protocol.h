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

// Framing of a TCP request: "REQU_BEGIN" ["INIT"] start "@" count "@" where "BAG_END".
struct Framing {
    enum State { kIncomplete, kComplete, kBad } state = kIncomplete;
    Request request;
    std::string error;
};
Framing ParseTcpRequest(std::string_view received);

// The HTTP request from the raw target "/GetZ39Marc.asp?begin=S&num=N&where=W[&next=ok]".
Framing ParseHttpTarget(std::string_view target);

// "%XX" decoded; a "%" not followed by two hex digits stays as it is.
std::string PercentDecode(std::string_view text);

// The answers. TCP records are raw; HTTP records are id "@@" scrambled body.
std::string FormatTcpAnswer(const CatalogueDb::Page& page, bool first);
std::string FormatHttpAnswer(const CatalogueDb::Page& page, bool first);

// What a refused TCP request gets.
inline constexpr const char* kRefusedTcpAnswer = "BAG_BEGIN0BAG_END";

}  // namespace ks
