#include "backends/http_client.h"

#include <curl/curl.h>

#include <algorithm>
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
struct MultiCloser {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using Easy = std::unique_ptr<CURL, EasyCloser>;

// Keeps the body; a body past the cap ends the transfer (a write error), however long the
// peer would go on sending.
size_t Append(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    if (body->size() + size * count > kMaxHttpBodyBytes) return 0;
    body->append(data, size * count);
    return size * count;
}

// The options every GET of ours has; the body goes to `body`.
void SetUp(CURL* c, const std::string& url, int timeoutMs, std::string* body) {
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Whatever a page names, only the web is spoken: no gopher, file, dict or smtp.
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, body);
}

// The result of a finished transfer.
void Finish(CURL* c, CURLcode rc, HttpResult& result) {
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    if (rc != CURLE_OK) {
        result.error = curl_easy_strerror(rc);
        result.body.clear();
    } else if (result.status < 200 || result.status >= 300) {
        result.error = "HTTP status " + std::to_string(result.status);
    } else {
        result.ok = true;
    }
}

CurlGlobal& Global() {
    static CurlGlobal global;
    return global;
}

HttpResult CancelledResult() {
    HttpResult r;
    r.error = "cancelled";
    r.cancelled = true;
    return r;
}

}  // namespace

std::vector<HttpResult> HttpClient::GetMany(const std::vector<std::string>& urls, int timeoutMs,
                                            int, const Progress& progress,
                                            const CancelToken* cancel) {
    std::vector<HttpResult> results;
    for (const auto& url : urls) {
        results.push_back(cancel && cancel->cancelled() ? CancelledResult()
                                                        : Get(url, timeoutMs, cancel));
        if (progress) progress(results.size());
    }
    return results;
}

HttpResult CurlHttpClient::Get(const std::string& url, int timeoutMs, const CancelToken* cancel) {
    return GetMany({url}, timeoutMs, 1, {}, cancel).front();
}

std::vector<HttpResult> CurlHttpClient::GetMany(const std::vector<std::string>& urls, int timeoutMs,
                                                int parallel, const Progress& progress,
                                                const CancelToken* cancel) {
    Global();
    std::vector<HttpResult> results(urls.size());
    std::unique_ptr<CURLM, MultiCloser> multi(curl_multi_init());
    if (!multi) {
        for (auto& r : results) r.error = "curl_multi_init failed";
        return results;
    }
    // The handles in flight, by the position of their URL; each leaves the multi handle
    // before it is cleaned up.
    std::vector<Easy> easy(urls.size());
    size_t next = 0, running = 0, done = 0;
    const size_t limit = static_cast<size_t>(std::max(1, parallel));
    auto start = [&](size_t i) {
        easy[i].reset(curl_easy_init());
        if (!easy[i]) {
            results[i].error = "curl_easy_init failed";
            ++done;
            if (progress) progress(done);
            return;
        }
        SetUp(easy[i].get(), urls[i], timeoutMs, &results[i].body);
        curl_easy_setopt(easy[i].get(), CURLOPT_PRIVATE, reinterpret_cast<char*>(i));
        curl_multi_add_handle(multi.get(), easy[i].get());
        ++running;
    };
    curl_waitfd stop{cancel ? cancel->fd() : -1, CURL_WAIT_POLLIN, 0};
    while (done < urls.size()) {
        if (cancel && cancel->cancelled()) {
            // What has not ended fails as cancelled; the handles leave before they go.
            for (size_t i = 0; i < urls.size(); ++i) {
                if (easy[i]) {
                    curl_multi_remove_handle(multi.get(), easy[i].get());
                    easy[i].reset();
                    results[i] = CancelledResult();
                } else if (i >= next) {
                    results[i] = CancelledResult();
                }
            }
            return results;
        }
        while (next < urls.size() && running < limit) start(next++);
        int active = 0;
        curl_multi_perform(multi.get(), &active);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            char* tag = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &tag);
            size_t i = reinterpret_cast<size_t>(tag);
            Finish(msg->easy_handle, msg->data.result, results[i]);
            curl_multi_remove_handle(multi.get(), msg->easy_handle);
            easy[i].reset();
            --running;
            ++done;
            if (progress) progress(done);
        }
        if (done < urls.size() && running > 0)
            curl_multi_poll(multi.get(), stop.fd >= 0 ? &stop : nullptr, stop.fd >= 0 ? 1 : 0, 100,
                            nullptr);
    }
    return results;
}

}  // namespace z39
