#pragma once

#include <string>

namespace z39 {

struct HttpResult {
    bool ok = false;  // a 2xx answer arrived in time
    long status = 0;
    std::string body;
    std::string error;  // why it failed
};

// HTTP GET with a time-out, the body in memory. Never uses a proxy.
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
