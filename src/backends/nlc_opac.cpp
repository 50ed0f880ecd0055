#include "backends/nlc_opac.h"

#include <cstdio>

#include "backends/opac_record.h"
#include "common/gbk_text.h"
#include "records/marc_charset.h"
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

// A page's text in GBK; what GBK lacks is kept as references, counted in `references`.
std::string BookData(const HttpResult& r, int* references = nullptr) {
    return r.ok ? Trim(Utf8ToGbkKeepingAll(r.body, references)) : std::string();
}

}  // namespace

std::string GetOneBookData(HttpClient& http, const std::string& url, const CancelToken* cancel,
                           HttpConnections* connections) {
    TransferLimits limits;
    limits.timeoutMs = kOpacTimeoutMs;
    limits.connections = connections;
    return BookData(http.GetWithin(url, limits, cancel));
}

namespace {

// The scheme and host of an http or https address ("http://host"); empty for any other.
std::string Origin(const std::string& url) {
    const std::string lower = LowerAscii(Trim(url));
    for (const std::string scheme : {"http://", "https://"}) {
        if (!lower.starts_with(scheme)) continue;
        const size_t end = lower.find_first_of(":/?#", scheme.size());
        const std::string host = lower.substr(
            scheme.size(), end == std::string::npos ? std::string::npos : end - scheme.size());
        return host.empty() ? std::string() : scheme + host;
    }
    return {};
}

}  // namespace

std::string GetCsUrl(HttpClient& http, const std::string& baseAddress, const CancelToken* cancel,
                     HttpConnections* connections) {
    std::string action = FormAction(GetOneBookData(http, baseAddress, cancel, connections));
    // A page may not aim the client elsewhere: the form is followed only over http or
    // https, and only on the host of OPACURL.
    if (action.empty() || Origin(action).empty() || Origin(action) != Origin(baseAddress))
        return {};
    return action;
}

std::string FormAction(const std::string& page) {
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

namespace {

// Record pages that gave no record: how many, and the first with its reason.
struct PageFailures {
    int count = 0;
    std::string first;
    void Add(size_t entry, const std::string& why) {
        if (count++ == 0) first = "entry " + std::to_string(entry) + ": " + why;
    }
};

std::string FailedPagesNotice(const PageFailures& f) {
    return G("有[") + std::to_string(f.count) + G("]个记录页面没有取得（出错、超时、超过") +
           std::to_string(kOpacMaxPageBytes / (1024 * 1024)) +
           G(" MB或没有内容），这些记录没有列出。\r\n") + f.first;
}

std::string TooLongRecordsNotice(const PageFailures& f) {
    return G("有[") + std::to_string(f.count) +
           G("]条记录超过ISO "
             "2709的长度（字段9999字节、记录99999字节），没有列出，也不会保存。\r\n") +
           f.first;
}

}  // namespace

NlcOpacBackend::NlcOpacBackend(HttpClient& http, int setTimeoutMs)
    : http_(http), setTimeoutMs_(setTimeoutMs) {}

PageResult NlcOpacBackend::Fetch(const TargetProfile&, const SearchRequest& request,
                                 CancelToken& cancel) {
    PageResult out;
    auto cancelled = [&] {
        if (!cancel.cancelled()) return false;
        out = PageResult{};
        out.status = PageStatus::kCancelled;
        return true;
    };
    if (!request.firstPage || request.rows.empty()) {
        out.status = PageStatus::kNoConnection;
        return out;
    }
    HttpConnections connections;
    const std::string form = GetCsUrl(http_, request.settings.OPACURL, &cancel, &connections);
    if (cancelled()) return out;
    if (form.empty()) {
        out.status = PageStatus::kNoConnection;
        return out;
    }
    const std::string page = GetOneBookData(
        http_,
        form + "?func=find-m&request=" + EscapeQueryValue(Trim(request.rows[0].value)) +
            "&format=000&adjacent=Y&find_base=NLC01&find_code=ISB",
        &cancel, &connections);
    if (cancelled()) return out;
    const std::string setNumber = SetNumberOf(page);
    const int hits = setNumber.empty() ? 0 : std::max(0, HitCountOf(page));
    out.hasTotal = true;
    out.total = hits;
    if (hits > 0) {
        std::vector<std::string> urls;
        for (int i = 1; i <= hits; ++i)
            urls.push_back(form + "?func=full-set-set&set_number=" + setNumber +
                           "&set_entry=" + SixDigits(i) + "&format=001");
        // The pages come in any order; they are kept in entry order, as fetching them one
        // after the other would.
        TransferLimits limits;
        limits.timeoutMs = kOpacTimeoutMs;
        limits.parallel = kOpacParallelPages;
        limits.maxBodyBytes = kOpacMaxPageBytes;
        limits.setTimeoutMs = setTimeoutMs_;
        limits.connections = &connections;
        std::vector<HttpResult> pages = http_.GetMany(
            urls, limits,
            [&](size_t done) {
                if (request.progress) request.progress(static_cast<int>(done), hits);
            },
            &cancel);
        if (cancelled()) return out;
        int withReferences = 0;
        PageFailures failed, tooLong;
        for (size_t i = 0; i < pages.size(); ++i) {
            const HttpResult& one = pages[i];
            int references = 0;
            const std::string lines = PageToFieldLines(BookData(one, &references));
            // A page that failed, or held no field, is no record.
            if (lines.empty()) {
                failed.Add(i + 1, one.ok ? std::string("no record on the page") : one.error);
                continue;
            }
            auto record = BookDataToBookMarc(lines);
            if (!record) {
                tooLong.Add(i + 1, "over ISO 2709's lengths");
                continue;
            }
            out.records.push_back(std::move(*record));
            if (references > 0) ++withReferences;
        }
        if (failed.count > 0) out.notices.push_back(FailedPagesNotice(failed));
        if (tooLong.count > 0) out.notices.push_back(TooLongRecordsNotice(tooLong));
        if (withReferences > 0) out.notices.push_back(ReferencesNotice(withReferences));
    }
    return out;
}

}  // namespace z39
