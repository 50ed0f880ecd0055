#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/cancel_token.h"
#include "common/clock.h"

namespace z39 {

// The largest body a GET keeps: past it the transfer ends as a failure.
inline constexpr size_t kMaxHttpBodyBytes = 32 * 1024 * 1024;

struct HttpResult {
    bool ok = false;  // a 2xx answer arrived in time
    long status = 0;
    std::string body;
    std::string error;       // why it failed
    bool cancelled = false;  // the cancel token ended it
};

// Connections that one thread's GETs (one search's pages, say) use again: a server that
// keeps a connection open gets the next request on it. Each request then asks for that
// ("Connection: Keep-Alive", as HTTP/1.0 does); a server that closes anyway costs a new
// connection, as without this. Closes what it holds when it goes.
class HttpConnections {
  public:
    HttpConnections();
    ~HttpConnections();
    HttpConnections(const HttpConnections&) = delete;
    HttpConnections& operator=(const HttpConnections&) = delete;

    void* share() const { return share_; }      // libcurl's share handle, or null
    void* headers() const { return headers_; }  // the request header asking to keep it

  private:
    void* share_ = nullptr;
    void* headers_ = nullptr;
};

// How a set of GETs is bounded.
struct TransferLimits {
    int timeoutMs = 10000;  // each transfer
    int parallel = 1;       // transfers at the same time
    // A longer body ends its transfer as a failure ("body over N bytes").
    size_t maxBodyBytes = kMaxHttpBodyBytes;
    // All transfers together (0: no such bound); what has not ended then fails as timed out.
    int setTimeoutMs = 0;
    // Kept between transfers, and between calls, when given; each transfer its own when not.
    HttpConnections* connections = nullptr;
};

// HTTP GET with a time-out for the whole transfer, the body in memory (at most
// kMaxHttpBodyBytes). Never uses a proxy. A cancel token, when given, ends the transfers
// early as failures marked `cancelled`.
class HttpClient {
  public:
    // `clock` (not owned; null: the steady clock) times the bound of a set of GETs.
    explicit HttpClient(Clock* clock = nullptr);
    virtual ~HttpClient() = default;
    virtual HttpResult Get(const std::string& url, int timeoutMs,
                           const CancelToken* cancel = nullptr) = 0;

    // One GET within `limits` (its connections too).
    HttpResult GetWithin(const std::string& url, const TransferLimits& limits,
                         const CancelToken* cancel = nullptr);

    // Called as each transfer of GetMany ends: how many have ended so far.
    using Progress = std::function<void(size_t done)>;

    // Several GETs within `limits`; the results in the order of `urls`, whatever order
    // they end in. This one fetches one after the other; a client that can do better
    // overrides it.
    virtual std::vector<HttpResult> GetMany(const std::vector<std::string>& urls,
                                            const TransferLimits& limits,
                                            const Progress& progress = {},
                                            const CancelToken* cancel = nullptr);

  protected:
    Clock& clock() const { return *clock_; }

  private:
    Clock* clock_;
};

// libcurl, HTTP/1.0, through the multi interface, which also waits on the cancel token.
// Holds no handle between calls: one client serves several threads at once.
class CurlHttpClient final : public HttpClient {
  public:
    using HttpClient::HttpClient;
    HttpResult Get(const std::string& url, int timeoutMs,
                   const CancelToken* cancel = nullptr) override;
    std::vector<HttpResult> GetMany(const std::vector<std::string>& urls,
                                    const TransferLimits& limits, const Progress& progress = {},
                                    const CancelToken* cancel = nullptr) override;
};

}  // namespace z39
