#include "http_request.h"

#include "protocol.h"

namespace ks {
namespace {

HttpRequestHead Bad(std::string why) {
    HttpRequestHead h;
    h.state = HttpRequestHead::kBad;
    h.error = std::move(why);
    return h;
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

}  // namespace

HttpRequestHead ParseHttpRequestHead(std::string_view received, size_t scanFrom) {
    if (received.size() > kMaxRequestBytes) return Bad("request over 64 KiB");
    // The head ends at the first empty line; look only at what is new (and the three
    // bytes before it, where the end may have begun).
    size_t from = scanFrom > 3 ? scanFrom - 3 : 0;
    size_t end = std::string_view::npos;
    for (size_t i = from; i < received.size(); ++i) {
        if (received[i] != '\n') continue;
        if (i >= 1 && received[i - 1] == '\n') {
            end = i;
            break;
        }
        if (i >= 2 && received[i - 1] == '\r' && received[i - 2] == '\n') {
            end = i;
            break;
        }
    }
    if (end == std::string_view::npos) return {};
    size_t lineEnd = received.find('\n');
    std::string_view line = received.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return Bad("malformed request line");
    std::string_view version = line.substr(sp2 + 1);
    if (!version.starts_with("HTTP/1.")) return Bad("not HTTP/1.x");
    HttpRequestHead h;
    h.state = HttpRequestHead::kComplete;
    h.method = std::string(line.substr(0, sp1));
    h.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
    if (h.target.empty() || h.target[0] != '/') return Bad("target must begin with /");
    return h;
}

std::string HttpResponse(int status, std::string_view contentType, std::string_view body) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    out += "Content-Type: ";
    out += contentType;
    out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

}  // namespace ks
