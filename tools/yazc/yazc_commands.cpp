#include "yazc_commands.h"

#include <charconv>

namespace yazc {
namespace {

std::string_view Strip(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool ReadInt(std::string_view s, int64_t& out) {
    s = Strip(s);
    if (s.empty()) return false;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && ptr == s.data() + s.size();
}

}  // namespace

Command ParseCommand(std::string_view line) {
    Command c;
    line = Strip(line);
    if (line.empty()) return c;
    size_t blank = line.find_first_of(" \t");
    std::string_view word = line.substr(0, blank);
    std::string_view rest =
        blank == std::string_view::npos ? std::string_view() : Strip(line.substr(blank));
    if (word == "proxy") {
        c.kind = Command::kProxy;
        c.arg1 = rest;
    } else if (word == "authentication") {
        c.kind = Command::kAuthentication;
        size_t sep = rest.find_first_of(" \t");
        c.arg1 = rest.substr(0, sep);
        if (sep != std::string_view::npos) c.arg2 = Strip(rest.substr(sep));
    } else if (word == "open") {
        c.kind = Command::kOpen;
        c.arg1 = rest;
    } else if (word == "elements") {
        c.kind = Command::kElements;
        c.arg1 = rest;
    } else if (word == "format") {
        c.kind = Command::kFormat;
        c.arg1 = rest;
    } else if (word == "charset") {
        c.kind = Command::kCharset;
        c.arg1 = rest;
    } else if (word == "querycharset") {
        c.kind = Command::kQueryCharset;
        c.arg1 = rest;
    } else if (word == "f" || word == "find") {
        c.kind = Command::kFind;
        c.arg1 = rest;
    } else if (word == "show" || word == "s") {
        c.kind = Command::kShow;
        if (!rest.empty()) {
            size_t plus = rest.find('+');
            if (plus == std::string_view::npos || !ReadInt(rest.substr(0, plus), c.start) ||
                !ReadInt(rest.substr(plus + 1), c.count)) {
                c.kind = Command::kUnknown;
                c.arg1 = line;
                return c;
            }
            c.range = true;
        }
    } else if (word == "init") {
        c.kind = Command::kInit;
    } else if (word == "echo") {
        c.kind = Command::kEcho;
        c.arg1 = rest;
    } else if (word == "quit" || word == "exit") {
        c.kind = Command::kQuit;
    } else {
        c.kind = Command::kUnknown;
        c.arg1 = line;
    }
    return c;
}

std::optional<int64_t> PiggybackCount(const std::vector<Command>& script, size_t find) {
    for (size_t i = find + 1; i < script.size(); ++i) {
        const Command& c = script[i];
        if (c.kind == Command::kFind || c.kind == Command::kOpen || c.kind == Command::kQuit)
            return std::nullopt;
        if (c.kind != Command::kShow) continue;
        if (!c.range) return 1;
        if (c.start == 1 && c.count > 0) return c.count;
        return std::nullopt;
    }
    return std::nullopt;
}

ShowRange RangeToShow(const Command& show, int64_t hits, int64_t lastShown) {
    ShowRange r;
    if (!show.range) {
        r.first = lastShown;  // the record after the last one shown (0-based)
        r.n = r.first < hits ? 1 : 0;
        return r;
    }
    if (show.count <= 0 || show.start < 1 || show.start > hits) return r;
    r.first = show.start - 1;
    r.n = std::min(show.count, hits - r.first);
    return r;
}

bool IsIso2709(std::string_view raw) {
    auto number = [&](size_t pos, size_t len, int64_t& out) {
        out = 0;
        for (size_t i = pos; i < pos + len; ++i) {
            if (raw[i] < '0' || raw[i] > '9') return false;
            out = out * 10 + (raw[i] - '0');
        }
        return true;
    };
    if (raw.size() < 26) return false;
    int64_t length = 0, base = 0;
    if (!number(0, 5, length) || length != static_cast<int64_t>(raw.size())) return false;
    if (!number(12, 5, base) || base < 25 || base > length - 1) return false;
    return raw[static_cast<size_t>(base) - 1] == '\x1E' && raw.back() == '\x1D';
}

std::string RecordLine(std::string_view raw) {
    std::string out(raw);
    for (char& c : out) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return out;
}

}  // namespace yazc
