#include "records/iso2709.h"

#include <cstdio>

namespace z39 {
namespace {

bool Number(std::string_view text, size_t pos, size_t len, size_t& out) {
    if (pos + len > text.size()) return false;
    out = 0;
    for (size_t i = pos; i < pos + len; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + static_cast<size_t>(text[i] - '0');
    }
    return true;
}

// A one-digit leader length as MARC readers take it: a digit from `least` up, or else
// the usual value.
size_t LeaderDigit(std::string_view record, size_t pos, char least, size_t usual) {
    const char c = record[pos];
    return c >= least && c <= '9' ? static_cast<size_t>(c - '0') : usual;
}

std::string Digits(size_t value, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*zu", width, value);
    return buf;
}

}  // namespace

bool IsWellFormedIso2709(std::string_view record) {
    size_t length = 0, base = 0;
    if (record.size() < 26 || record.size() > kMaxIso2709Record) return false;
    if (!Number(record, 0, 5, length) || length != record.size()) return false;
    if (!Number(record, 12, 5, base) || base < 25 || base >= length) return false;
    if (record[base - 1] != '\x1E' || record.back() != '\x1D') return false;
    if ((base - 1 - 24) % 12 != 0) return false;
    // The directory is read with 4 length and 5 start digits; a leader saying otherwise
    // would have a reader see other fields than these.
    if (LeaderDigit(record, 20, '3', 4) != 4 || LeaderDigit(record, 21, '4', 5) != 5) return false;
    const size_t indicators = LeaderDigit(record, 10, '1', 2);
    const size_t dataLength = length - 1 - base;  // the data before the record terminator
    for (size_t entry = 24; entry < base - 1; entry += 12) {
        size_t len = 0, start = 0;
        if (!Number(record, entry + 3, 4, len) || !Number(record, entry + 7, 5, start))
            return false;
        if (len == 0 || start + len > dataLength) return false;
        if (record[base + start + len - 1] != '\x1E') return false;
        // A data field holds its indicators (plain ASCII) before its terminator.
        if (record.compare(entry, 2, "00") != 0) {
            if (len < indicators + 1) return false;
            for (size_t i = 0; i < indicators; ++i)
                if (static_cast<unsigned char>(record[base + start + i]) >= 0x80) return false;
        }
    }
    return true;
}

std::optional<std::string> BuildIso2709(std::string_view leader,
                                        const std::vector<MarcField>& fields) {
    std::string directory, data;
    for (const auto& f : fields) {
        std::string body = f.data;
        if (body.empty() || body.back() != '\x1E') body += '\x1E';
        if (body.size() > kMaxIso2709Field) return std::nullopt;
        std::string tag = f.tag.substr(0, 3);
        tag.resize(3, ' ');
        directory += tag + Digits(body.size(), 4) + Digits(data.size(), 5);
        data += body;
        if (data.size() > kMaxIso2709Record) return std::nullopt;
    }
    directory += '\x1E';
    const size_t base = 24 + directory.size();
    const size_t total = base + data.size() + 1;
    if (total > kMaxIso2709Record) return std::nullopt;
    std::string head(leader.substr(0, 24));
    head.resize(24, ' ');
    head.replace(0, 5, Digits(total, 5));
    head.replace(12, 5, Digits(base, 5));
    return head + directory + data + '\x1D';
}

}  // namespace z39
