#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backends/http_client.h"
#include "backends/search_backend.h"
#include "backends/tcp_client.h"
#include "common/clock.h"
#include "state/z39_settings.h"
#include "targets/target_table.h"

namespace z39 {

// The maker's web sites and the fallback host that publishes the catalogue's address.
inline constexpr const char* kMakerWebSites[] = {"www.daiheng.example.com",
                                                 "ks.daiheng.example.com"};
inline constexpr const char* kFallbackHostsSite = "ks2.daiheng.example.com";

inline constexpr int kKsHttpTimeoutMs = 6000;
inline constexpr int kKsReadRoundMs = 100;
inline constexpr int kKsFirstDataRounds = 600;  // 60 s until anything arrives
inline constexpr int kKsIdleRounds = 60;        // then 6 s without data ends the read
// However the data trickles, one exchange ends within this, and an answer past this size is
// refused: both are reported as a failed connection.
inline constexpr int64_t kKsExchangeDeadlineMs = 120000;
inline constexpr size_t kKsMaxAnswerBytes = 32 * 1024 * 1024;

// GetTesmarkIPAddr: the catalogue's address as known after looking at KSIP's /hosts.txt,
// which is asked only when KSPORT begins with "-" and no address is `known` yet. Empty when
// none could be found.
std::string GetTesmarkIPAddr(const Z39Settings& settings, const std::string& known,
                             HttpClient& http, const CancelToken* cancel = nullptr);

// Host and port of the exchange: the discovered host for a "-" port, else the entry's
// address; the port is "0" + the digits (after the "-").
struct KsEndpoint {
    std::string host;
    int port = 0;
};
KsEndpoint ResolveKsEndpoint(const std::string& discoveredHost, const TargetEntry& entry);

// The where-clause trimmed and escaped for a URL: "%" and blank as the protocol has them,
// and "&", "#", "+" and bytes below 0x21 as %XX. Other bytes (GBK text) go as they are.
std::string EscapeWhereForUrl(const std::string& where);

// A parsed answer. `bagBegin` false: no "BAG_BEGIN" in it. `wellFormed` false: not
// BAG_BEGIN [total] {REC_BEGIN record REC_END} BAG_END exactly (a failed exchange).
struct KsAnswer {
    bool bagBegin = false;
    bool wellFormed = true;
    bool totalOk = true;  // false when the text before the first record is not a number
    bool hasTotal = false;
    int64_t total = 0;
    std::vector<std::string> records;  // unscrambled for HTTP
};
KsAnswer ParseKsAnswer(const std::string& answer, bool firstPage, bool http);

// The count a further page asks for: what remains, at most edNum, unless ALLNUMBER is "1"
// and the search is not by title (then all that remain).
int64_t SharedCatalogueCount(int64_t total, int64_t nextStart, int64_t edNum,
                             const std::string& allNumber, const std::string& where);

// The shared cataloguing database over its framed TCP protocol or HTTP (KSUSEHTTP):
// GetMarcFromKS for a first page (one record and the total), GetMoreFromKS for a further
// one. Each exchange has a socket of its own from `connect`.
class SharedCatalogueBackend final : public SearchBackend {
  public:
    SharedCatalogueBackend(HttpClient& http, TcpConnector connect, Clock& clock);

    PageResult Fetch(const TargetProfile& target, const SearchRequest& request,
                     CancelToken& cancel) override;

    // The same with the where-clause already made: a first page when `request.firstPage`,
    // else exactly `count` records from `request.start`.
    PageResult FetchWhere(const TargetEntry& entry, const std::string& where,
                          const SearchRequest& request, int64_t count, CancelToken& cancel);

  private:
    struct Exchange {
        bool failed = false;  // no connection, or no complete answer
        bool cancelled = false;
        std::string answer;
        std::string cause;              // why it failed, when known (GBK)
        std::vector<int> socketErrors;  // the TCP client's error codes, in order
    };
    Exchange ExchangeHttp(const std::string& url, CancelToken& cancel);
    Exchange ExchangeTcp(const KsEndpoint& endpoint, const std::string& request,
                         CancelToken& cancel);

    HttpClient& http_;
    TcpConnector connect_;
    Clock& clock_;
};

}  // namespace z39
