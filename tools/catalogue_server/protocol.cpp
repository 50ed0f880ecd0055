#include "protocol.h"

#include "backends/ks_scramble.h"
#include "common/gbk_text.h"

namespace ks {
namespace {

constexpr std::string_view kBegin = "REQU_BEGIN";
constexpr std::string_view kEnd = "BAG_END";

// A decimal number, blanks around it allowed, with an optional minus sign: a start beyond
// the total gives a count of zero or less, which the client sends as it is.
bool ReadNumber(std::string_view text, int64_t& out) {
    std::string trimmed = z39::Trim(text);
    bool negative = !trimmed.empty() && trimmed[0] == '-';
    auto n = z39::ToNumber(negative ? trimmed.substr(1) : trimmed);
    if (!n || (negative && trimmed.size() == 1)) return false;
    out = negative ? -static_cast<int64_t>(*n) : *n;
    return true;
}

Framing Bad(std::string why) {
    Framing f;
    f.state = Framing::kBad;
    f.error = std::move(why);
    return f;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Frame(const CatalogueStore::Page& page, bool first, bool http) {
    std::string out = "BAG_BEGIN";
    if (first) out += std::to_string(page.total);
    for (const auto& hit : page.hits) {
        std::string piece = hit.record;
        if (http) {
            std::string key = std::to_string(hit.id);
            piece = key + "@@" + z39::ScrambleRecord(key, hit.record);
        }
        // A record holding a framing word (from a catalogue filled before import refused
        // such records) would break the whole answer: it is left out.
        bool frameable = true;
        for (const char* word : {"REC_BEGIN", "REC_END", "BAG_BEGIN", "BAG_END"})
            if (piece.find(word) != std::string::npos) frameable = false;
        if (frameable) out += "REC_BEGIN" + piece + "REC_END";
    }
    out += kEnd;
    return out;
}

}  // namespace

Framing ParseTcpRequest(std::string_view received) {
    TcpScan scan;
    return ParseTcpRequest(received, scan);
}

Framing ParseTcpRequest(std::string_view received, TcpScan& scan) {
    if (received.size() > kMaxRequestBytes) return Bad("request over 64 KiB");
    size_t lead = 0;
    while (lead < received.size() && static_cast<unsigned char>(received[lead]) <= 32) ++lead;
    std::string_view rest = received.substr(lead);
    if (rest.size() < kBegin.size()) {
        if (kBegin.substr(0, rest.size()) != rest)
            return Bad("request does not begin with REQU_BEGIN");
        scan.pos = received.size();
        return {};
    }
    if (!rest.starts_with(kBegin)) return Bad("request does not begin with REQU_BEGIN");
    // The end marker outside quotes; only bytes not scanned before are looked at.
    size_t end = std::string_view::npos;
    size_t i = std::max(scan.pos, lead + kBegin.size());
    for (; i < received.size(); ++i) {
        char c = received[i];
        if (c == '\'') {
            scan.inQuote = !scan.inQuote;
        } else if (!scan.inQuote && c == 'D' && i + 1 >= lead + kBegin.size() + kEnd.size() &&
                   received.substr(i + 1 - kEnd.size(), kEnd.size()) == kEnd) {
            end = i + 1 - kEnd.size() - lead;
            break;
        }
    }
    scan.pos = i;
    if (end == std::string_view::npos) return {};
    if (lead + end + kEnd.size() != received.size()) return Bad("bytes after BAG_END");
    std::string_view body = rest.substr(kBegin.size(), end - kBegin.size());
    Framing f;
    f.state = Framing::kComplete;
    if (body.starts_with("INIT")) {
        f.request.first = true;
        body.remove_prefix(4);
    }
    size_t at1 = body.find('@');
    size_t at2 = at1 == std::string_view::npos ? at1 : body.find('@', at1 + 1);
    if (at2 == std::string_view::npos) return Bad("expected start@count@where");
    if (!ReadNumber(body.substr(0, at1), f.request.start) ||
        !ReadNumber(body.substr(at1 + 1, at2 - at1 - 1), f.request.count))
        return Bad("start and count must be decimal numbers");
    f.request.where = std::string(body.substr(at2 + 1));
    return f;
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
            continue;
        }
        if (text[i] == '%' && i + 2 < text.size()) {
            int hi = HexValue(text[i + 1]);
            int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

Framing ParseHttpTarget(std::string_view target) {
    if (target.size() > kMaxRequestBytes) return Bad("request over 64 KiB");
    size_t q = target.find('?');
    std::string_view query =
        q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    bool haveBegin = false, haveNum = false, haveWhere = false;
    Framing f;
    f.state = Framing::kComplete;
    f.request.first = true;
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        size_t eq = pair.find('=');
        std::string_view key = pair.substr(0, eq);
        std::string value =
            eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1));
        if (key == "begin") {
            if (!ReadNumber(value, f.request.start)) return Bad("begin must be a decimal number");
            haveBegin = true;
        } else if (key == "num") {
            if (!ReadNumber(value, f.request.count)) return Bad("num must be a decimal number");
            haveNum = true;
        } else if (key == "where") {
            f.request.where = value;
            haveWhere = true;
        } else if (key == "next") {
            f.request.first = false;
        }
    }
    if (!haveBegin || !haveNum || !haveWhere) return Bad("begin, num and where are required");
    return f;
}

std::string FormatTcpAnswer(const CatalogueStore::Page& page, bool first) {
    return Frame(page, first, false);
}
std::string FormatHttpAnswer(const CatalogueStore::Page& page, bool first) {
    return Frame(page, first, true);
}

}  // namespace ks
