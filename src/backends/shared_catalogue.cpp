#include "backends/shared_catalogue.h"

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

bool UseHttp(const AppState& state) { return state.settings.KSUSEHTTP == 1; }

std::string HttpUrl(const KsEndpoint& endpoint, const std::string& query) {
    return "http://" + endpoint.host + ":" + std::to_string(endpoint.port + 1) +
           "/GetZ39Marc.asp?" + query;
}

}  // namespace

SharedCatalogueBackend::SharedCatalogueBackend(AppState& state, RecordStore& store,
                                               ResultIndex& index, HttpClient& http, TcpClient& tcp,
                                               Clock& clock)
    : state_(state), store_(store), index_(index), http_(http), tcp_(tcp), clock_(clock) {}

SharedCatalogueBackend::Exchange SharedCatalogueBackend::ExchangeHttp(const std::string& url) {
    HttpResult r = http_.Get(url, kKsHttpTimeoutMs);
    Exchange e;
    e.answer = r.ok ? r.body : std::string();
    e.failed = !e.answer.starts_with("BAG_BEGIN") || e.answer.find("BAG_END") == std::string::npos;
    return e;
}

SharedCatalogueBackend::Exchange SharedCatalogueBackend::ExchangeTcp(const KsEndpoint& endpoint,
                                                                     const std::string& request) {
    Exchange e;
    if (!endpoint.host.empty()) tcp_.Open(endpoint.host, endpoint.port);
    if (!tcp_.Connected()) {
        e.failed = true;
        return e;
    }
    tcp_.Send(request);
    const int64_t deadline = clock_.NowMs() + kKsExchangeDeadlineMs;
    std::string& answer = e.answer;
    answer = tcp_.ReadAvailable();
    for (int round = 0; answer.empty() && round < kKsFirstDataRounds && tcp_.Connected() &&
                        clock_.NowMs() < deadline;
         ++round) {
        clock_.SleepMs(kKsReadRoundMs);
        answer = tcp_.ReadAvailable();
    }
    // Further pieces until the end marker, the peer closing, a run of idle rounds, the
    // whole exchange's deadline or the size cap. Only new bytes are searched for the marker.
    int idle = 0;
    bool ended = answer.find("BAG_END") != std::string::npos;
    bool waitFirst = false;  // a round's pause only after a read that found nothing
    while (!answer.empty() && !ended && idle < kKsIdleRounds && tcp_.Connected()) {
        if (clock_.NowMs() >= deadline || answer.size() > kKsMaxAnswerBytes) {
            e.failed = true;
            break;
        }
        if (waitFirst) clock_.SleepMs(kKsReadRoundMs);
        std::string more = tcp_.ReadAvailable();
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
    tcp_.Close();
    // An answer cut before its end marker has lost records, and one the peer closed without
    // sending (a refused request, a full server) is no answer: both are failed exchanges.
    if (!ended || answer.size() > kKsMaxAnswerBytes) e.failed = true;
    return e;
}

// The records of a page, no more than were asked for: a server that sends more is not
// allowed to flood the list.
void SharedCatalogueBackend::AddRecords(const std::vector<std::string>& records, int64_t asked) {
    std::vector<ResultIndex::Result> page;
    for (const auto& record : records) {
        if (static_cast<int64_t>(page.size()) >= asked) break;
        page.push_back({DisplayLine(record), record});
    }
    index_.AddResults(page, store_);
}

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

SearchOutcome SharedCatalogueBackend::Failed() {
    SearchOutcome out;
    MarkConnectionFailed(out);
    state_.discoveredHost.clear();
    return out;
}

int64_t SharedCatalogueCount(int64_t total, int64_t nextStart, int64_t edNum,
                             const std::string& allNumber, const std::string& where) {
    int64_t count = total - nextStart + 1;
    if (!(allNumber == "1" && where.find("ma_name") == std::string::npos))
        count = std::min(count, edNum);
    return count;
}

SearchOutcome SharedCatalogueBackend::FirstPage(const TargetEntry& entry,
                                                const std::string& where) {
    GetTesmarkIPAddr(state_, kSharedCatalogueSlot, http_);
    KsEndpoint endpoint = ResolveKsEndpoint(state_, entry);
    const bool http = UseHttp(state_);
    Exchange ex =
        http ? ExchangeHttp(HttpUrl(endpoint, "begin=1&num=1&where=" + EscapeWhereForUrl(where)))
             : ExchangeTcp(endpoint, "REQU_BEGININIT1@1@" + where + "BAG_END");
    KsAnswer answer = ParseKsAnswer(ex.answer, true, http);
    if (ex.failed || !answer.totalOk || !answer.wellFormed) {
        SearchOutcome out = Failed();
        FinishFailedFirstPage(out, state_);
        return out;
    }
    index_.Clear();
    AddRecords(answer.records, 1);

    SearchOutcome out;
    out.total = answer.total;
    out.rows = index_.Rows();
    out.nextStart = static_cast<int64_t>(out.rows.size()) + 1;
    out.hitLabel = HitLabel(out.total);
    out.statusMessage = out.total < 1 ? NoDataStatus() : FoundStatus(out.total);
    CompleteFirstPage(out, state_);
    return out;
}

SearchOutcome SharedCatalogueBackend::NextPage(const TargetEntry& entry, const std::string& where,
                                               int64_t total, int64_t nextStart, int64_t count) {
    return GetMoreFromKS(
        entry, where, total, nextStart,
        SharedCatalogueCount(total, nextStart, count, state_.settings.ALLNUMBER, where));
}

SearchOutcome SharedCatalogueBackend::GetMoreFromKS(const TargetEntry& entry,
                                                    const std::string& where, int64_t total,
                                                    int64_t nextStart, int64_t count) {
    GetTesmarkIPAddr(state_, kSharedCatalogueSlot, http_);
    KsEndpoint endpoint = ResolveKsEndpoint(state_, entry);
    const bool http = UseHttp(state_);
    const std::string range = std::to_string(nextStart) + "@" + std::to_string(count) + "@";
    Exchange ex =
        http ? ExchangeHttp(HttpUrl(endpoint, "next=ok&begin=" + std::to_string(nextStart) +
                                                  "&num=" + std::to_string(count) +
                                                  "&where=" + EscapeWhereForUrl(where)))
             : ExchangeTcp(endpoint, "REQU_BEGIN" + range + where + "BAG_END");
    KsAnswer answer = ParseKsAnswer(ex.answer, false, http);
    if (ex.failed || !answer.wellFormed) {
        SearchOutcome out = Failed();
        out.total = total;
        out.nextStart = nextStart;
        out.rows = index_.Rows();
        return out;
    }
    AddRecords(answer.records, count);
    const int64_t received =
        std::min<int64_t>(static_cast<int64_t>(answer.records.size()), std::max<int64_t>(count, 0));

    SearchOutcome out;
    out.total = total;
    out.rows = index_.Rows();
    // A server caps the records of one answer: the next page starts after what came back,
    // so asking for "all that remain" loses nothing.
    out.nextStart = nextStart + (received > 0 && received < count ? received : count);
    if (out.nextStart > total) out.nextStart = total + 1;
    CompleteFurtherPage(out, state_);
    out.statusMessage = ReceivedStatus();
    return out;
}

}  // namespace z39
