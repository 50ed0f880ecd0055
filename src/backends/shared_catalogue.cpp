#include "backends/shared_catalogue.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

#include "backends/ks_scramble.h"
#include "common/gbk_text.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

std::string CleanHostsBody(const std::string& body) {
    std::string address = Trim(body);
    address = Trim(ReplaceAll(address, "\r", " "));
    return Trim(ReplaceAll(address, "\n", " "));
}

bool UseHttp(const Z39Settings& settings) { return settings.KSUSEHTTP == 1; }

// An IPv6 address as written in a URL or a setting may be in brackets ("[::1]").
bool IsIpv6Address(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    in6_addr parsed{};
    return ::inet_pton(AF_INET6, host.c_str(), &parsed) == 1;
}

// The host for a socket: without brackets.
std::string SocketHost(const std::string& host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']' && IsIpv6Address(host))
        return host.substr(1, host.size() - 2);
    return host;
}

// The host for a URL: an IPv6 address in brackets.
std::string UrlHost(const std::string& host) {
    const std::string bare = SocketHost(host);
    return IsIpv6Address(bare) ? "[" + bare + "]" : host;
}

std::string HttpUrl(const KsEndpoint& endpoint, const std::string& query) {
    return "http://" + UrlHost(endpoint.host) + ":" + std::to_string(endpoint.port + 1) +
           "/GetZ39Marc.asp?" + query;
}

}  // namespace

SharedCatalogueBackend::SharedCatalogueBackend(HttpClient& http, TcpConnector connect, Clock& clock)
    : http_(http), connect_(std::move(connect)), clock_(clock) {}

SharedCatalogueBackend::Exchange SharedCatalogueBackend::ExchangeHttp(const std::string& url,
                                                                      CancelToken& cancel) {
    HttpResult r = http_.Get(url, kKsHttpTimeoutMs, &cancel);
    Exchange e;
    e.cancelled = r.cancelled || cancel.cancelled();
    e.answer = r.ok ? r.body : std::string();
    e.failed = !e.answer.starts_with("BAG_BEGIN") || e.answer.find("BAG_END") == std::string::npos;
    if (e.failed)
        e.cause = !r.error.empty() ? r.error
                  : r.status != 0  ? "HTTP " + std::to_string(r.status)
                  : r.ok           ? G("应答不完整")
                                   : G("没有应答");
    return e;
}

SharedCatalogueBackend::Exchange SharedCatalogueBackend::ExchangeTcp(const KsEndpoint& endpoint,
                                                                     const std::string& request,
                                                                     CancelToken& cancel) {
    Exchange e;
    std::unique_ptr<TcpClient> tcp = connect_();
    if (!endpoint.host.empty()) tcp->Open(SocketHost(endpoint.host), endpoint.port);
    if (!tcp->Connected()) {
        e.failed = true;
        e.cause = endpoint.host.empty() ? G("不知道服务器地址") : G("连接失败");
        e.socketErrors = tcp->TakeErrors();
        return e;
    }
    tcp->Send(request);
    const int64_t deadline = clock_.NowMs() + kKsExchangeDeadlineMs;
    // A round waits until the answer is readable, the token is cancelled or the round ends.
    auto wait = [&] { clock_.SleepUntilEitherReadable(tcp->fd(), cancel.fd(), kKsReadRoundMs); };
    std::string& answer = e.answer;
    answer = tcp->ReadAvailable();
    for (int round = 0; answer.empty() && round < kKsFirstDataRounds && tcp->Connected() &&
                        clock_.NowMs() < deadline && !cancel.cancelled();
         ++round) {
        wait();
        answer = tcp->ReadAvailable();
    }
    // Further pieces until the end marker, the peer closing, a run of idle rounds, the
    // whole exchange's deadline or the size cap. Only new bytes are searched for the marker.
    int idle = 0;
    bool ended = answer.find("BAG_END") != std::string::npos;
    bool waitFirst = false;  // a round's pause only after a read that found nothing
    while (!answer.empty() && !ended && idle < kKsIdleRounds && tcp->Connected() &&
           !cancel.cancelled()) {
        if (clock_.NowMs() >= deadline || answer.size() > kKsMaxAnswerBytes) {
            e.failed = true;
            break;
        }
        if (waitFirst) wait();
        std::string more = tcp->ReadAvailable();
        waitFirst = more.empty();
        if (more.empty()) {
            ++idle;
        } else {
            idle = 0;
            size_t from = answer.size() > 6 ? answer.size() - 6 : 0;
            answer += more;
            ended = answer.find("BAG_END", from) != std::string::npos;
        }
    }
    tcp->Close();
    e.socketErrors = tcp->TakeErrors();
    e.cancelled = cancel.cancelled();
    // An answer cut before its end marker has lost records, and one the peer closed without
    // sending (a refused request, a full server) is no answer: both are failed exchanges.
    if (!ended || answer.size() > kKsMaxAnswerBytes) e.failed = true;
    if (e.failed && e.cause.empty()) e.cause = answer.empty() ? G("没有应答") : G("应答不完整");
    return e;
}

std::string GetTesmarkIPAddr(const Z39Settings& settings, const std::string& known,
                             HttpClient& http, const CancelToken* cancel) {
    if (!settings.KSPORT.starts_with("-") || !known.empty()) return known;
    std::string site = Trim(settings.KSIP);
    HttpResult r = http.Get("http://" + UrlHost(site) + "/hosts.txt", kKsHttpTimeoutMs, cancel);
    if (r.ok) {
        std::string address = CleanHostsBody(r.body);
        // An IPv6 address may be longer than the 20 characters an address has room for.
        return address.size() > 20 && !IsIpv6Address(address) ? std::string() : address;
    }
    std::string lower = LowerAscii(site);
    for (const char* maker : kMakerWebSites) {
        if (lower != maker) continue;
        HttpResult fallback = http.Get(std::string("http://") + kFallbackHostsSite + "/hosts.txt",
                                       kKsHttpTimeoutMs, cancel);
        if (fallback.ok) return CleanHostsBody(fallback.body);
    }
    return {};
}

KsEndpoint ResolveKsEndpoint(const std::string& discoveredHost, const TargetEntry& entry) {
    KsEndpoint e;
    std::string port = Trim(entry.port);
    if (port.starts_with("-")) {
        e.host = discoveredHost;
        port.erase(0, 1);
    } else {
        e.host = entry.address;
    }
    e.port = ToNumberOr(port, 0);
    return e;
}

std::string EscapeWhereForUrl(const std::string& where) {
    return PercentEscape(Trim(where), [](unsigned char b) {
        return b == '%' || b == '&' || b == '#' || b == '+' || b < 0x21;
    });
}

KsAnswer ParseKsAnswer(const std::string& answer, bool firstPage, bool http) {
    KsAnswer out;
    size_t bag = answer.find("BAG_BEGIN");
    if (bag == std::string::npos) {
        out.wellFormed = false;
        return out;
    }
    out.bagBegin = true;
    std::string_view rest = std::string_view(answer).substr(bag + 9);
    // Strictly framed: [total] then REC_BEGIN record REC_END ..., then BAG_END and nothing
    // more. A record holding "REC_BEGIN" is no record: the answer is malformed.
    size_t rec = rest.find("REC_BEGIN");
    size_t head = std::min(rec, rest.find("BAG_END"));
    if (head == std::string_view::npos) {
        out.wellFormed = false;
        return out;
    }
    if (firstPage && head > 0) {
        auto total = ToNumber64(rest.substr(0, head));
        out.hasTotal = true;
        out.totalOk = total.has_value();
        out.total = total.value_or(0);
    } else if (head > 0) {
        out.wellFormed = false;
    }
    size_t pos = head;
    while (rest.substr(pos).starts_with("REC_BEGIN")) {
        size_t end = rest.find("REC_END", pos + 9);
        if (end == std::string_view::npos) {
            out.wellFormed = false;
            return out;
        }
        std::string_view body = rest.substr(pos + 9, end - pos - 9);
        if (body.find("REC_BEGIN") != std::string_view::npos) out.wellFormed = false;
        std::string record(body);
        if (http) {
            size_t at = record.find("@@");
            record = at == std::string::npos
                         ? std::string()
                         : UnscrambleRecord(record.substr(0, at), record.substr(at + 2));
        }
        out.records.push_back(std::move(record));
        pos = end + 7;
    }
    if (rest.substr(pos) != "BAG_END") out.wellFormed = false;
    return out;
}

int64_t SharedCatalogueCount(int64_t total, int64_t nextStart, int64_t edNum,
                             const std::string& allNumber, const std::string& where) {
    int64_t count = total - nextStart + 1;
    if (!(allNumber == "1" && where.find("ma_name") == std::string::npos))
        count = std::min(count, edNum);
    return count;
}

PageResult SharedCatalogueBackend::Fetch(const TargetProfile& target, const SearchRequest& request,
                                         CancelToken& cancel) {
    LaunchMode launch;
    launch.launchQuery = request.launchQuery;
    const std::string where = BuildWhereClause(request.rows, launch);
    const int64_t count = request.firstPage
                              ? 1
                              : SharedCatalogueCount(request.total, request.start, request.count,
                                                     request.settings.ALLNUMBER, where);
    return FetchWhere(target.entry, where, request, count, cancel);
}

PageResult SharedCatalogueBackend::FetchWhere(const TargetEntry& entry, const std::string& where,
                                              const SearchRequest& request, int64_t count,
                                              CancelToken& cancel) {
    PageResult out;
    out.discoveredHost = GetTesmarkIPAddr(request.settings, request.discoveredHost, http_, &cancel);
    KsEndpoint endpoint = ResolveKsEndpoint(out.discoveredHost, entry);
    const bool http = UseHttp(request.settings);
    const bool first = request.firstPage;
    const int64_t start = first ? 1 : request.start;
    const std::string range = std::to_string(start) + "@" + std::to_string(count) + "@";
    Exchange ex;
    if (http) {
        ex = ExchangeHttp(HttpUrl(endpoint, (first ? std::string() : std::string("next=ok&")) +
                                                "begin=" + std::to_string(start) +
                                                "&num=" + std::to_string(count) +
                                                "&where=" + EscapeWhereForUrl(where)),
                          cancel);
    } else {
        ex = ExchangeTcp(endpoint,
                         (first ? "REQU_BEGININIT" : "REQU_BEGIN") + range + where + "BAG_END",
                         cancel);
    }
    // The window shows each socket error as the message the design has for it.
    for (int code : ex.socketErrors)
        out.alerts.push_back({SocketErrorTitle(), std::to_string(code)});
    if (ex.cancelled) {
        out.status = PageStatus::kCancelled;
        return out;
    }
    KsAnswer answer = ParseKsAnswer(ex.answer, first, http);
    if (ex.failed || !answer.totalOk || !answer.wellFormed) {
        out.status = PageStatus::kNoConnection;
        out.where = endpoint.host + ":" + std::to_string(endpoint.port + (http ? 1 : 0));
        out.cause = !ex.cause.empty() ? ex.cause : G("应答不完整或不是共享编目库的应答");
        out.discoveredHost.clear();
        return out;
    }
    // No more records than were asked for: a server that sends more may not flood the list.
    for (auto& record : answer.records) {
        if (static_cast<int64_t>(out.records.size()) >= count) break;
        out.records.push_back(std::move(record));
    }
    if (first) {
        out.hasTotal = true;
        out.total = answer.total;
    } else {
        // A server caps the records of one answer: the next page starts after what came
        // back, so asking for "all that remain" loses nothing.
        const int64_t received = static_cast<int64_t>(out.records.size());
        out.covered = received > 0 && received < count ? received : count;
    }
    return out;
}

}  // namespace z39
