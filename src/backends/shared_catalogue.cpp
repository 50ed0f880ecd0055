#include "backends/shared_catalogue.h"

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

// The raw answer of one exchange; empty with `failed` when there was no connection.
struct Exchange {
    bool failed = false;
    std::string answer;
};

Exchange ExchangeHttp(KsContext& ctx, const std::string& url) {
    HttpResult r = ctx.http.Get(url, kKsHttpTimeoutMs);
    Exchange e;
    e.answer = r.ok ? r.body : std::string();
    e.failed = !e.answer.starts_with("BAG_BEGIN") || e.answer.find("BAG_END") == std::string::npos;
    return e;
}

Exchange ExchangeTcp(KsContext& ctx, const KsEndpoint& endpoint, const std::string& request) {
    Exchange e;
    if (!endpoint.host.empty()) ctx.tcp.Open(endpoint.host, endpoint.port);
    if (!ctx.tcp.Connected()) {
        e.failed = true;
        return e;
    }
    ctx.tcp.Send(request);
    std::string& answer = e.answer;
    answer = ctx.tcp.ReadAvailable();
    for (int round = 0; answer.empty() && round < kKsFirstDataRounds && ctx.tcp.Connected();
         ++round) {
        ctx.clock.SleepMs(kKsReadRoundMs);
        answer = ctx.tcp.ReadAvailable();
    }
    // Further pieces until the end marker, the peer closing, or a run of idle rounds.
    int idle = 0;
    while (!answer.empty() && answer.find("BAG_END") == std::string::npos && idle < kKsIdleRounds &&
           ctx.tcp.Connected()) {
        ctx.clock.SleepMs(kKsReadRoundMs);
        std::string more = ctx.tcp.ReadAvailable();
        if (more.empty()) {
            ++idle;
        } else {
            idle = 0;
            answer += more;
        }
    }
    ctx.tcp.Close();
    // An answer cut before its end marker has lost records: that is a failed exchange.
    if (answer.find("BAG_BEGIN") != std::string::npos &&
        answer.find("BAG_END") == std::string::npos)
        e.failed = true;
    return e;
}

bool UseHttp(const AppState& state) { return state.settings.KSUSEHTTP == 1; }

std::string HttpUrl(const KsEndpoint& endpoint, const std::string& query) {
    return "http://" + endpoint.host + ":" + std::to_string(endpoint.port + 1) +
           "/GetZ39Marc.asp?" + query;
}

void AddRecords(KsContext& ctx, const std::vector<std::string>& records) {
    for (const auto& record : records) ctx.index.AddResult(DisplayLine(record), record, ctx.store);
}

}  // namespace

void GetTesmarkIPAddr(AppState& state, int currentTarget, HttpClient& http) {
    if (currentTarget != kSharedCatalogueSlot || !state.settings.KSPORT.starts_with("-") ||
        !state.discoveredHost.empty())
        return;
    std::string site = Trim(state.settings.KSIP);
    HttpResult r = http.Get("http://" + site + "/hosts.txt", kKsHttpTimeoutMs);
    if (r.ok) {
        std::string address = CleanHostsBody(r.body);
        state.discoveredHost = address.size() > 20 ? std::string() : address;
        return;
    }
    state.discoveredHost.clear();
    std::string lower = LowerAscii(site);
    for (const char* maker : kMakerWebSites) {
        if (lower != maker) continue;
        HttpResult fallback =
            http.Get(std::string("http://") + kFallbackHostsSite + "/hosts.txt", kKsHttpTimeoutMs);
        if (fallback.ok) state.discoveredHost = CleanHostsBody(fallback.body);
    }
}

KsEndpoint ResolveKsEndpoint(const AppState& state, const TargetEntry& entry) {
    KsEndpoint e;
    std::string port = Trim(entry.port);
    if (port.starts_with("-")) {
        e.host = state.discoveredHost;
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
    if (bag == std::string::npos) return out;
    out.bagBegin = true;
    std::string_view rest = std::string_view(answer).substr(bag + 9);
    size_t rec = rest.find("REC_BEGIN");
    if (firstPage && rec != std::string_view::npos && rec > 0) {
        auto total = ToNumber(rest.substr(0, rec));
        out.hasTotal = true;
        out.totalOk = total.has_value();
        out.total = total.value_or(0);
    }
    size_t pos = rec;
    while (pos != std::string_view::npos) {
        size_t end = rest.find("REC_END", pos + 9);
        if (end == std::string_view::npos) break;
        std::string record(rest.substr(pos + 9, end - pos - 9));
        if (http) {
            size_t at = record.find("@@");
            record = at == std::string::npos
                         ? std::string()
                         : UnscrambleRecord(record.substr(0, at), record.substr(at + 2));
        }
        out.records.push_back(std::move(record));
        pos = rest.find("REC_BEGIN", end + 7);
    }
    return out;
}

namespace {

SearchOutcome Failed(KsContext& ctx) {
    SearchOutcome out;
    out.connectionFailed = true;
    out.statusMessage = ConnectionFailedStatus();
    ctx.state.discoveredHost.clear();
    return out;
}

}  // namespace

SearchOutcome GetMarcFromKS(KsContext& ctx, const TargetEntry& entry, const std::string& where) {
    GetTesmarkIPAddr(ctx.state, kSharedCatalogueSlot, ctx.http);
    KsEndpoint endpoint = ResolveKsEndpoint(ctx.state, entry);
    const bool http = UseHttp(ctx.state);
    Exchange ex = http ? ExchangeHttp(ctx, HttpUrl(endpoint, "begin=1&num=1&where=" +
                                                                 EscapeWhereForUrl(where)))
                       : ExchangeTcp(ctx, endpoint, "REQU_BEGININIT1@1@" + where + "BAG_END");
    KsAnswer answer = ParseKsAnswer(ex.answer, true, http);
    if (ex.failed || !answer.totalOk) {
        SearchOutcome out = Failed(ctx);
        FinishFailedFirstPage(out, ctx.state);
        return out;
    }
    ctx.index.Clear();
    AddRecords(ctx, answer.records);

    SearchOutcome out;
    out.total = answer.total;
    out.rows = ctx.index.Rows();
    out.nextStart = static_cast<int64_t>(out.rows.size()) + 1;
    out.hitLabel = HitLabel(out.total);
    out.statusMessage = out.total < 1 ? NoDataStatus() : FoundStatus(out.total);
    CompleteFirstPage(out, ctx.state);
    return out;
}

SearchOutcome GetMoreFromKS(KsContext& ctx, const TargetEntry& entry, const std::string& where,
                            int64_t total, int64_t nextStart, int64_t count) {
    GetTesmarkIPAddr(ctx.state, kSharedCatalogueSlot, ctx.http);
    KsEndpoint endpoint = ResolveKsEndpoint(ctx.state, entry);
    const bool http = UseHttp(ctx.state);
    const std::string range = std::to_string(nextStart) + "@" + std::to_string(count) + "@";
    Exchange ex =
        http ? ExchangeHttp(ctx, HttpUrl(endpoint, "next=ok&begin=" + std::to_string(nextStart) +
                                                       "&num=" + std::to_string(count) +
                                                       "&where=" + EscapeWhereForUrl(where)))
             : ExchangeTcp(ctx, endpoint, "REQU_BEGIN" + range + where + "BAG_END");
    if (ex.failed) {
        SearchOutcome out = Failed(ctx);
        out.total = total;
        out.nextStart = nextStart;
        out.rows = ctx.index.Rows();
        return out;
    }
    KsAnswer answer = ParseKsAnswer(ex.answer, false, http);
    AddRecords(ctx, answer.records);

    SearchOutcome out;
    out.total = total;
    out.rows = ctx.index.Rows();
    out.nextStart = nextStart + count;
    if (out.nextStart > total) out.nextStart = total + 1;
    CompleteFurtherPage(out, ctx.state);
    out.statusMessage = ReceivedStatus();
    return out;
}

}  // namespace z39
