#include "backends/http_client.h"

#include <curl/curl.h>

#include <memory>

namespace z39 {
namespace {

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

struct EasyCloser {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

// Keeps the body; a body past the cap ends the transfer (a write error), however long the
// peer would go on sending.
size_t Append(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    if (body->size() + size * count > kMaxHttpBodyBytes) return 0;
    body->append(data, size * count);
    return size * count;
}

}  // namespace

HttpResult CurlHttpClient::Get(const std::string& url, int timeoutMs) {
    static CurlGlobal global;
    HttpResult result;
    std::unique_ptr<CURL, EasyCloser> curl(curl_easy_init());
    if (!curl) {
        result.error = "curl_easy_init failed";
        return result;
    }
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &result.body);
    CURLcode rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    if (rc != CURLE_OK) {
        result.error = curl_easy_strerror(rc);
        result.body.clear();
    } else if (result.status < 200 || result.status >= 300) {
        result.error = "HTTP status " + std::to_string(result.status);
    } else {
        result.ok = true;
    }
    return result;
}

}  // namespace z39
