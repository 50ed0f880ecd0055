#include "backends/sru.h"

#include <libxml/tree.h>
#include <yaz/diagsrw.h>

#include <algorithm>
#include <cstdlib>

#include "backends/external_z39.h"
#include "common/gbk_text.h"
#include "records/isbn_forms.h"
#include "records/marc_charset.h"
#include "records/marcxml.h"

namespace z39 {
namespace {

constexpr const char* kDiagnosticPrefix = "info:srw/diagnostic/1/";
constexpr size_t kMaxDiagnosticBytes = 300;

// The key a field has among a target's index names.
std::string FieldKey(const std::string& field) {
    if (field == "ISBN") return "isbn";
    if (field == "ISSN") return "issn";
    if (field == G("题名")) return "title";
    if (field == G("著者")) return "author";
    if (field == G("出版者")) return "publisher";
    if (field == G("出版日期")) return "date";
    return {};
}

bool Unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string QueryEscape(std::string_view text) {
    return PercentEscape(text, [](unsigned char c) { return !Unreserved(c); });
}

std::string PathEscape(std::string_view text) {
    return PercentEscape(text, [](unsigned char c) { return !Unreserved(c) && c != '/'; });
}

// Why a transfer failed, for the user.
std::string TransferFailure(const HttpResult& http) {
    const std::string why = !http.error.empty() ? http.error
                            : http.status != 0  ? "HTTP status " + std::to_string(http.status)
                                                : "no answer";
    return G("连接SRU服务器失败：") + why;
}

bool ParseCount(const std::string& text, int64_t& out) {
    const std::string t = Trim(text);
    if (t.empty() || t.size() > 18) return false;
    for (char c : t)
        if (c < '0' || c > '9') return false;
    out = std::strtoll(t.c_str(), nullptr, 10);
    return true;
}

SruDiagnostic DiagnosticOf(const xmlNode* node) {
    return {Trim(TextOf(ChildElement(node, "uri"))), Trim(TextOf(ChildElement(node, "details"))),
            Trim(TextOf(ChildElement(node, "message")))};
}

// The MARCXML record a recordData holds: its first element, inside a collection if need be.
const xmlNode* RecordElementOf(const xmlNode* data) {
    const xmlNode* first = ChildElement(data);
    if (LocalName(first) == "collection") return ChildElement(first, "record");
    return first;
}

SruRecord RecordOf(const xmlNode* record) {
    SruRecord out;
    const std::string schema = Trim(TextOf(ChildElement(record, "recordSchema")));
    const xmlNode* data = ChildElement(record, "recordData");
    if (!data) {
        out.refusal = G("记录没有recordData");
        return out;
    }
    // A record packed as a string holds its XML as text.
    XmlDocument unpacked;
    const xmlNode* element = RecordElementOf(data);
    if (!element) {
        unpacked = ParseXml(TextOf(data));
        if (unpacked) element = xmlDocGetRootElement(unpacked.get());
        if (LocalName(element) == "collection") element = ChildElement(element, "record");
    }
    if (LocalName(element) == "diagnostic") {
        out.refusal = Utf8ToGbk(SruDiagnosticText(DiagnosticOf(element)));
        return out;
    }
    if (!IsMarcXmlRecord(element)) {
        out.refusal = G("记录不是MARCXML：") +
                      Utf8ToGbk(schema.empty() ? std::string(LocalName(element)) : schema);
        return out;
    }
    out.gbk = MarcXmlToGbk(element, &out.references, &out.refusal);
    return out;
}

}  // namespace

std::string CqlIndexFor(const std::string& field, const SruOptions& options) {
    const std::string key = FieldKey(field);
    if (auto own = options.indexes.find(key); !key.empty() && own != options.indexes.end())
        return own->second;
    if (key == "isbn") return "bath.isbn";
    if (key == "issn") return "bath.issn";
    if (key == "title") return "dc.title";
    if (key == "author") return "dc.creator";
    if (key == "publisher") return "dc.publisher";
    if (key == "date") return "dc.date";
    return "cql.serverChoice";
}

std::string QuoteCqlTerm(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '\\' || c == '"' || c == '*' || c == '?' || c == '^') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string BuildCqlQuery(const std::vector<SearchCondition>& rows, const SruOptions& options) {
    std::string cql;
    const auto used = ParticipatingRows(rows);
    for (size_t k = 0; k < used.size(); ++k) {
        const std::string index = CqlIndexFor(used[k].field, options);
        std::string term;
        if (used[k].field == "ISBN") {
            const std::vector<std::string> forms = IsbnSearchForms(used[k].value);
            for (size_t i = 0; i < forms.size(); ++i)
                term += (i > 0 ? " or " : "") + index + "=" + QuoteCqlTerm(GbkToUtf8(forms[i]));
            if (forms.size() > 1) term = "(" + term + ")";
        } else {
            term = index + "=" + QuoteCqlTerm(GbkToUtf8(used[k].value));
        }
        if (k == 0)
            cql = term;
        else
            cql += (IsAndJoiner(used[k].joiner) ? " and " : " or ") + term;
    }
    return cql;
}

std::string SruSearchUrl(const TargetEntry& entry, const std::string& cql, int64_t start,
                         int64_t maximum) {
    std::string base = Trim(entry.address);
    while (base.ends_with('/')) base.pop_back();
    // The port field, unless the address names one itself ("http://host:8080").
    const size_t scheme = base.find("://");
    const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t hostEnd = base.find('/', host);
    const bool ownPort = base.substr(host, hostEnd - host).find(':') != std::string::npos;
    const std::string port = Trim(entry.port);
    if (!port.empty() && !ownPort)
        base.insert(hostEnd == std::string::npos ? base.size() : hostEnd, ":" + port);
    std::string path = Trim(entry.database);
    while (path.starts_with('/')) path.erase(0, 1);
    return base + "/" + PathEscape(path) +
           "?version=1.1&operation=searchRetrieve&query=" + QueryEscape(cql) +
           "&startRecord=" + std::to_string(start) + "&maximumRecords=" + std::to_string(maximum) +
           "&recordSchema=marcxml&recordPacking=xml";
}

std::string SruDiagnosticText(const SruDiagnostic& d) {
    std::string text = d.message;
    if (text.empty() && d.uri.starts_with(kDiagnosticPrefix)) {
        int64_t code = 0;
        if (ParseCount(d.uri.substr(std::string_view(kDiagnosticPrefix).size()), code) &&
            code < 100000) {
            if (const char* meaning = yaz_diag_srw_str(static_cast<int>(code))) text = meaning;
        }
    }
    if (text.empty()) text = d.uri.empty() ? "diagnostic" : d.uri;
    if (!d.details.empty()) text += " (" + d.details + ")";
    // A message box line, not a page: a server's long text is cut, at a character's start.
    if (text.size() > kMaxDiagnosticBytes) {
        size_t cut = kMaxDiagnosticBytes;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text = text.substr(0, cut) + "...";
    }
    return text;
}

std::optional<SruResponse> ParseSruResponse(std::string_view body, size_t most) {
    XmlDocument doc = ParseXml(body);
    if (!doc) return std::nullopt;
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (LocalName(root) == "Envelope") root = ChildElement(ChildElement(root, "Body"));
    if (LocalName(root) != "searchRetrieveResponse") return std::nullopt;
    SruResponse out;
    out.hasCount = ParseCount(TextOf(ChildElement(root, "numberOfRecords")), out.numberOfRecords);
    if (const xmlNode* records = ChildElement(root, "records")) {
        for (const xmlNode* r = records->children; r && out.records.size() < most; r = r->next)
            if (LocalName(r) == "record") out.records.push_back(RecordOf(r));
    }
    if (const xmlNode* diagnostics = ChildElement(root, "diagnostics")) {
        for (const xmlNode* d = diagnostics->children; d; d = d->next)
            if (LocalName(d) == "diagnostic") out.diagnostics.push_back(DiagnosticOf(d));
    }
    return out;
}

SruBackend::SruBackend(HttpClient& http, int timeoutMs) : http_(http), timeoutMs_(timeoutMs) {}

PageResult SruBackend::Fetch(const TargetProfile& target, const SearchRequest& request,
                             CancelToken& cancel) {
    PageResult out;
    int64_t start = 1, ask = 1;
    if (!request.firstPage) {
        start = request.start;
        ask = std::min(request.total - request.start + 1, request.count);
        if (ask <= 0) {
            out.covered = 0;
            return out;
        }
    }
    const std::string url =
        SruSearchUrl(target.entry, BuildCqlQuery(request.rows, target.sru), start, ask);
    HttpResult http = http_.Get(url, timeoutMs_, &cancel);
    if (http.cancelled) {
        out.status = PageStatus::kCancelled;
        return out;
    }
    // Servers send diagnostics with 200 and, some, with 400 or 500: the body tells.
    const std::optional<SruResponse> sru =
        http.body.empty()
            ? std::nullopt
            : ParseSruResponse(http.body, static_cast<size_t>(std::max<int64_t>(1, ask)));
    if (!sru) {
        out.status = http.ok ? PageStatus::kRefused : PageStatus::kNoConnection;
        out.reason = http.ok ? G("目标数据库的应答不是SRU检索应答。") : TransferFailure(http);
        return out;
    }
    int withReferences = 0;
    SkippedRecords skipped;
    for (const SruRecord& record : sru->records) {
        if (!record.gbk) {
            if (skipped.count++ == 0) skipped.firstReport = record.refusal;
            continue;
        }
        if (record.references > 0) ++withReferences;
        out.records.push_back(*record.gbk);
    }
    // The first three say what went wrong; thousands (a hostile or broken server) would
    // make one message box no one can read and the window cannot lay out.
    constexpr size_t kShownDiagnostics = 3;
    std::string diagnostics;
    for (size_t i = 0; i < sru->diagnostics.size() && i < kShownDiagnostics; ++i)
        diagnostics += (diagnostics.empty() ? "" : "; ") + SruDiagnosticText(sru->diagnostics[i]);
    if (out.records.empty() && !diagnostics.empty()) {
        out.status = PageStatus::kRefused;
        out.reason = G("目标数据库拒绝了检索：") + Utf8ToGbk(diagnostics);
        if (sru->diagnostics.size() > kShownDiagnostics)
            out.reason += G("…及其他") +
                          std::to_string(sru->diagnostics.size() - kShownDiagnostics) + G("条");
        out.records.clear();
        return out;
    }
    if (!http.ok) {
        out.status = PageStatus::kNoConnection;
        out.reason = TransferFailure(http);
        out.records.clear();
        return out;
    }
    if (request.firstPage) {
        out.hasTotal = true;
        // The count is required; a server that leaves it out has at least what it sent.
        out.total =
            sru->hasCount ? sru->numberOfRecords : static_cast<int64_t>(sru->records.size());
    } else {
        // A server may send fewer than it was asked for (many cap maximumRecords): the
        // next page begins after what came, so no position is passed over.
        const int64_t came = static_cast<int64_t>(sru->records.size());
        out.covered = came > 0 ? std::min(came, ask) : ask;
    }
    if (!diagnostics.empty())
        out.notices.push_back(G("目标数据库的提示：") + Utf8ToGbk(diagnostics));
    for (std::string notice : {SkippedRecordsNotice(skipped), ReferencesNotice(withReferences)})
        if (!notice.empty()) out.notices.push_back(std::move(notice));
    return out;
}

}  // namespace z39
