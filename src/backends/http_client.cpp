#include "backends/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

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

// Where one transfer's body goes, and how much of it may come.
struct Sink {
    std::string* body = nullptr;
    size_t max = kMaxHttpBodyBytes;
    bool over = false;
};

// Keeps the body; a body past the cap ends the transfer (a write error), however long the
// peer would go on sending.
size_t Append(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    if (sink->body->size() + size * count > sink->max) {
        sink->over = true;
        return 0;
    }
    sink->body->append(data, size * count);
    return size * count;
}

std::string OverCapError(size_t max) { return "body over " + std::to_string(max) + " bytes"; }

// The options every GET of ours has; the body goes to `sink`.
void SetUp(CURL* c, const std::string& url, int timeoutMs, Sink* sink,
           const HttpConnections* connections) {
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
    curl_easy_setopt(c, CURLOPT_WRITEDATA, sink);
    if (connections && connections->share()) {
        curl_easy_setopt(c, CURLOPT_SHARE, connections->share());
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, connections->headers());
    }
}

// The result of a finished transfer.
void Finish(CURL* c, CURLcode rc, const Sink& sink, HttpResult& result) {
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    if (rc != CURLE_OK) {
        result.error = sink.over ? OverCapError(sink.max) : curl_easy_strerror(rc);
        std::string().swap(result.body);  // its memory too
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

HttpResult SetTimedOutResult() {
    HttpResult r;
    r.error = "the time for all pages ran out";
    return r;
}

// The end of the set's time on `clock` (ms), or none.
std::optional<int64_t> SetDeadline(Clock& clock, const TransferLimits& limits) {
    if (limits.setTimeoutMs <= 0) return std::nullopt;
    return clock.NowMs() + limits.setTimeoutMs;
}

// A transfer's time-out, cut to what is left of the set's time (at least 1 ms).
int TimeoutWithin(Clock& clock, const TransferLimits& limits,
                  const std::optional<int64_t>& deadline) {
    if (!deadline) return limits.timeoutMs;
    const int64_t left = *deadline - clock.NowMs();
    return static_cast<int>(std::clamp<int64_t>(left, 1, limits.timeoutMs));
}

}  // namespace

HttpConnections::HttpConnections() {
    Global();
    CURLSH* share = curl_share_init();
    if (!share) return;
    curl_slist* headers = curl_slist_append(nullptr, "Connection: Keep-Alive");
    if (!headers ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK) {
        curl_slist_free_all(headers);
        curl_share_cleanup(share);
        return;  // each transfer then has its own connection, as without this
    }
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    share_ = share;
    headers_ = headers;
}

HttpConnections::~HttpConnections() {
    // Every transfer that used it has been cleaned up by now: GetMany owns its handles.
    if (share_) curl_share_cleanup(static_cast<CURLSH*>(share_));
    curl_slist_free_all(static_cast<curl_slist*>(headers_));
}

HttpClient::HttpClient(Clock* clock) : clock_(clock) {
    if (!clock_) {
        static SteadyClock steady;
        clock_ = &steady;
    }
}

HttpResult HttpClient::GetWithin(const std::string& url, const TransferLimits& limits,
                                 const CancelToken* cancel) {
    return GetMany({url}, limits, {}, cancel).front();
}

std::vector<HttpResult> HttpClient::GetMany(const std::vector<std::string>& urls,
                                            const TransferLimits& limits, const Progress& progress,
                                            const CancelToken* cancel) {
    std::vector<HttpResult> results;
    const auto deadline = SetDeadline(clock(), limits);
    for (const auto& url : urls) {
        if (cancel && cancel->cancelled()) {
            results.push_back(CancelledResult());
        } else if (deadline && clock().NowMs() >= *deadline) {
            results.push_back(SetTimedOutResult());
        } else {
            results.push_back(Get(url, TimeoutWithin(clock(), limits, deadline), cancel));
            HttpResult& r = results.back();
            if (r.body.size() > limits.maxBodyBytes) {
                r = HttpResult{};
                r.error = OverCapError(limits.maxBodyBytes);
            }
        }
        if (progress) progress(results.size());
    }
    return results;
}

HttpResult CurlHttpClient::Get(const std::string& url, int timeoutMs, const CancelToken* cancel) {
    TransferLimits limits;
    limits.timeoutMs = timeoutMs;
    return GetMany({url}, limits, {}, cancel).front();
}

std::vector<HttpResult> CurlHttpClient::GetMany(const std::vector<std::string>& urls,
                                                const TransferLimits& limits,
                                                const Progress& progress,
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
    std::vector<Sink> sinks(urls.size());
    size_t next = 0, running = 0, done = 0;
    const size_t limit = static_cast<size_t>(std::max(1, limits.parallel));
    const auto deadline = SetDeadline(clock(), limits);
    auto start = [&](size_t i) {
        easy[i].reset(curl_easy_init());
        if (!easy[i]) {
            results[i].error = "curl_easy_init failed";
            ++done;
            if (progress) progress(done);
            return;
        }
        sinks[i] = Sink{&results[i].body, limits.maxBodyBytes, false};
        SetUp(easy[i].get(), urls[i], TimeoutWithin(clock(), limits, deadline), &sinks[i],
              limits.connections);
        curl_easy_setopt(easy[i].get(), CURLOPT_PRIVATE, reinterpret_cast<char*>(i));
        curl_multi_add_handle(multi.get(), easy[i].get());
        ++running;
    };
    curl_waitfd stop{cancel ? cancel->fd() : -1, CURL_WAIT_POLLIN, 0};
    // Ends what has not ended with `result`; the handles leave before they go.
    auto endTheRest = [&](const HttpResult& result) {
        for (size_t i = 0; i < urls.size(); ++i) {
            if (easy[i]) {
                curl_multi_remove_handle(multi.get(), easy[i].get());
                easy[i].reset();
                results[i] = result;
            } else if (i >= next) {
                results[i] = result;
            }
        }
        return results;
    };
    while (done < urls.size()) {
        if (cancel && cancel->cancelled()) return endTheRest(CancelledResult());
        if (deadline && clock().NowMs() >= *deadline) return endTheRest(SetTimedOutResult());
        while (next < urls.size() && running < limit) start(next++);
        int active = 0;
        curl_multi_perform(multi.get(), &active);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            char* tag = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &tag);
            size_t i = reinterpret_cast<size_t>(tag);
            Finish(msg->easy_handle, msg->data.result, sinks[i], results[i]);
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
