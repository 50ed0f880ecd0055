#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace z39 {

// The largest body a GET keeps: past it the transfer ends as a failure.
inline constexpr size_t kMaxHttpBodyBytes = 32 * 1024 * 1024;

struct HttpResult {
    bool ok = false;  // a 2xx answer arrived in time
    long status = 0;
    std::string body;
    std::string error;  // why it failed
};

// HTTP GET with a time-out for the whole transfer, the body in memory (at most
// kMaxHttpBodyBytes). Never uses a proxy.
class HttpClient {
  public:
    virtual ~HttpClient() = default;
    virtual HttpResult Get(const std::string& url, int timeoutMs) = 0;

    // Called as each transfer of GetMany ends: how many have ended so far.
    using Progress = std::function<void(size_t done)>;

    // Several GETs, each with its own time-out, at most `parallel` at a time; the results
    // in the order of `urls`, whatever order they end in. This one fetches one after the
    // other; a client that can do better overrides it.
    virtual std::vector<HttpResult> GetMany(const std::vector<std::string>& urls, int timeoutMs,
                                            int parallel, const Progress& progress = {});
};

// libcurl, HTTP/1.0; GetMany through the multi interface.
class CurlHttpClient final : public HttpClient {
  public:
    HttpResult Get(const std::string& url, int timeoutMs) override;
    std::vector<HttpResult> GetMany(const std::vector<std::string>& urls, int timeoutMs,
                                    int parallel, const Progress& progress = {}) override;
};

}  // namespace z39
