#pragma once

#include <string>

#include "backends/http_client.h"
#include "backends/search_backend.h"

namespace z39 {

inline constexpr int kOpacTimeoutMs = 60000;
inline constexpr int kOpacMaxRecords = 30;
// Record pages fetched at the same time.
inline constexpr int kOpacParallelPages = 6;
// All record pages of one search together, however slowly each arrives.
inline constexpr int kOpacSetTimeoutMs = 60000;
// The most a record page may hold; a record that fits ISO 2709 needs far less.
inline constexpr size_t kOpacMaxPageBytes = 2 * 1024 * 1024;

// The characters '0' to '9' of a text, in order.
std::string DigitsOnly(const std::string& text);

// One GET: the body converted from UTF-8 to GBK (what GBK lacks as "&#xXXXX;") and
// trimmed; empty on any failure. With `connections`, an open one is used again.
std::string GetOneBookData(HttpClient& http, const std::string& url,
                           const CancelToken* cancel = nullptr,
                           HttpConnections* connections = nullptr);

// The action address of the start page's form "form1", or empty. Only an http or https
// address on the host of `baseAddress` is taken.
std::string GetCsUrl(HttpClient& http, const std::string& baseAddress,
                     const CancelToken* cancel = nullptr, HttpConnections* connections = nullptr);

// The action address of the form "form1" in a page, as it stands; empty when none.
std::string FormAction(const std::string& page);

// The set number of a result page (digits only; empty when there is none).
std::string SetNumberOf(const std::string& resultPage);

// The hit count of a result page, at most 30; -1 when the page has no hit-count marker.
int HitCountOf(const std::string& resultPage);

// Searches the national library's web OPAC by ISBN (GetMarcFromNlcOpac): the first row's
// value, all hits in one page. The request's progress hears of each record page as it
// arrives. The requests of one search share connections where the catalogue keeps them
// open. There is no further page to fetch: asking for one fails as a lost connection.
class NlcOpacBackend final : public SearchBackend {
  public:
    // `setTimeoutMs` bounds the fetch of all record pages together.
    explicit NlcOpacBackend(HttpClient& http, int setTimeoutMs = kOpacSetTimeoutMs);
    PageResult Fetch(const TargetProfile& target, const SearchRequest& request,
                     CancelToken& cancel) override;

  private:
    HttpClient& http_;
    int setTimeoutMs_;
};

}  // namespace z39
