#pragma once

#include <cstddef>
#include <string>

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
};

// libcurl, HTTP/1.0.
class CurlHttpClient final : public HttpClient {
  public:
    HttpResult Get(const std::string& url, int timeoutMs) override;
};

}  // namespace z39
