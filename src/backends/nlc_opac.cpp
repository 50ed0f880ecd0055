#include "backends/nlc_opac.h"

#include <cstdio>

#include "backends/opac_record.h"
#include "common/gbk_text.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

// Bytes that would end or change a query-string value are sent as %XX.
std::string EscapeQueryValue(const std::string& value) {
    return PercentEscape(value, [](unsigned char b) {
        return b < 0x21 || b >= 0x7F || b == '%' || b == '&' || b == '#' || b == '+';
    });
}

std::string SixDigits(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06d", n);
    return buf;
}

}  // namespace

std::string DigitsOnly(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c >= '0' && c <= '9') out += c;
    return out;
}

namespace {

std::string BookData(const HttpResult& r) { return r.ok ? Trim(Utf8ToGbk(r.body)) : std::string(); }

}  // namespace

std::string GetOneBookData(HttpClient& http, const std::string& url) {
    return BookData(http.Get(url, kOpacTimeoutMs));
}

std::string GetCsUrl(HttpClient& http, const std::string& baseAddress) {
    std::string page = GetOneBookData(http, baseAddress);
    if (page.empty()) return {};
    size_t form = page.find("name=\"form1\"");
    if (form == std::string::npos) return {};
    std::string rest = page.substr(form + 1);
    size_t action = rest.find("action=\"");
    if (action == std::string::npos) return {};
    rest = rest.substr(action + 8);
    size_t end = rest.find("\">");
    if (end == std::string::npos) return {};
    return rest.substr(0, end);
}

std::string SetNumberOf(const std::string& page) {
    static const std::string setNumber = "SET-NUMBER:";
    static const std::string onclick = "onclick=\"var setno=''==''?'";
    size_t at = page.find(setNumber);
    if (at != std::string::npos) return DigitsOnly(page.substr(at + setNumber.size(), 10));
    at = page.find(onclick);
    if (at != std::string::npos) {
        size_t from = at + onclick.size() + 2;
        return from < page.size() ? DigitsOnly(page.substr(from, 10)) : std::string();
    }
    return {};
}

int HitCountOf(const std::string& page) {
    static const std::string marker = G("第         1 条记录(共");
    size_t at = page.find(marker);
    if (at == std::string::npos) return -1;
    std::string digits = DigitsOnly(page.substr(at + marker.size(), 11));
    int hits = 0;
    for (char c : digits) {
        hits = hits * 10 + (c - '0');
        if (hits > kOpacMaxRecords) return kOpacMaxRecords;
    }
    return hits;
}

NlcOpacBackend::NlcOpacBackend(AppState& state, RecordStore& store, ResultIndex& index,
                               HttpClient& http, UserInterface& ui)
    : state_(state), store_(store), index_(index), http_(http), ui_(ui) {}

SearchOutcome NlcOpacBackend::NextPage(const TargetEntry&, const std::string&, int64_t total,
                                       int64_t nextStart, int64_t) {
    SearchOutcome out;
    MarkConnectionFailed(out);
    out.total = total;
    out.nextStart = nextStart;
    return out;
}

SearchOutcome NlcOpacBackend::FirstPage(const TargetEntry&, const std::string& isbn) {
    SearchOutcome out;
    const std::string form = GetCsUrl(http_, state_.settings.OPACURL);
    if (form.empty()) {
        MarkConnectionFailed(out);
        // The compact launch window must still grow to show what happened.
        out.searchCompleted = true;
        return out;
    }
    const std::string page =
        GetOneBookData(http_, form + "?func=find-m&request=" + EscapeQueryValue(Trim(isbn)) +
                                  "&format=000&adjacent=Y&find_base=NLC01&find_code=ISB");
    const std::string setNumber = SetNumberOf(page);
    int hits = setNumber.empty() ? 0 : std::max(0, HitCountOf(page));
    if (hits > 0) {
        index_.Clear();
        std::vector<std::string> urls;
        for (int i = 1; i <= hits; ++i)
            urls.push_back(form + "?func=full-set-set&set_number=" + setNumber +
                           "&set_entry=" + SixDigits(i) + "&format=001");
        // The pages come in any order; they are stored and listed in entry order, as
        // fetching them one after the other would.
        std::vector<HttpResult> pages =
            http_.GetMany(urls, kOpacTimeoutMs, kOpacParallelPages, [&](size_t done) {
                state_.statusMessage = ReceivingStatus(static_cast<int>(done), hits);
                ui_.ProcessPendingEvents();
            });
        std::vector<ResultIndex::Result> results;
        for (const auto& page : pages) {
            std::string record = BookDataToBookMarc(PageToFieldLines(BookData(page)));
            results.push_back({DisplayLine(record), std::move(record)});
        }
        index_.AddResults(results, store_);
    }
    out.total = hits;
    out.rows = index_.Rows();
    out.nextStart = static_cast<int64_t>(out.rows.size()) + 1;
    out.hitLabel = HitLabel(hits);
    out.statusMessage = hits < 1 ? NoDataStatus() : FoundStatus(hits);

    const LaunchMode& launch = state_.launch;
    if (!launch.launchQuery.empty()) {
        if (hits > 0 && !out.rows.empty()) out.tickRows = {0};
        if (hits == 1 && !launch.keepFullWindow && !state_.searchCompleted) {
            out.autoSave = true;
            return out;
        }
    } else if (hits == 1 && out.rows.size() == 1) {
        out.tickRows = {0};
        out.selectRow = 0;
    }
    out.focus = SearchOutcome::Focus::kList;
    if (!out.rows.empty()) out.selectRow = 0;
    if (!launch.launchQuery.empty()) {
        out.launchFinished = true;
        out.focus = SearchOutcome::Focus::kSave;
    }
    out.searchCompleted = true;
    return out;
}

}  // namespace z39
