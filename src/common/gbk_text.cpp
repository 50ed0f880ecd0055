#include "common/gbk_text.h"

#include <iconv.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace z39 {
namespace {

// One iconv descriptor per direction and thread, closed when the thread ends.
class IconvHandle {
  public:
    IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
        }
    }
    ~IconvHandle() { iconv_close(cd_); }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

// Length of the UTF-8 sequence that `lead` starts, 1 for a byte that starts none.
size_t Utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2) return 2;
    return 1;
}

// Runs iconv over the whole input; on a byte sequence it cannot take, calls
// `onBad(position)`, which appends the replacement and returns how many bytes to skip.
template <typename OnBad>
std::string Convert(iconv_t cd, std::string_view in, OnBad onBad) {
    std::string out;
    out.reserve(in.size() * 3 / 2 + 16);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    size_t pos = 0;
    char buffer[4096];
    while (pos < in.size()) {
        char* src = const_cast<char*>(in.data() + pos);
        size_t srcLeft = in.size() - pos;
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, dst - buffer);
        pos = in.size() - srcLeft;
        if (rc == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            size_t skip = onBad(out, pos);
            pos += skip;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> TextLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t lf = text.find('\n', pos);
        size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::string_view line = text.substr(pos, end - pos);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.emplace_back(line);
        pos = lf == std::string_view::npos ? text.size() : lf + 1;
    }
    return lines;
}

std::string Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
    return std::string(text.substr(begin, end - begin));
}

namespace {

// "0" + trimmed text read whole as a decimal of type T.
template <typename T>
std::optional<T> ReadNumber(std::string_view text) {
    std::string digits = "0" + Trim(text);
    T value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<int32_t> ToNumber(std::string_view text) { return ReadNumber<int32_t>(text); }

std::optional<int64_t> ToNumber64(std::string_view text) { return ReadNumber<int64_t>(text); }

int32_t ToNumberOr(std::string_view text, int32_t fallback) {
    return ToNumber(text).value_or(fallback);
}

std::string Utf8ToGbk(std::string_view utf8) {
    thread_local IconvHandle cd("CP936", "UTF-8");
    return Convert(cd.get(), utf8, [&](std::string& out, size_t pos) {
        out += '?';
        size_t len = Utf8SequenceLength(static_cast<unsigned char>(utf8[pos]));
        // Skip a whole well-formed character, but only one byte of a broken one.
        for (size_t i = 1; i < len; ++i) {
            if (pos + i >= utf8.size() ||
                (static_cast<unsigned char>(utf8[pos + i]) & 0xC0) != 0x80)
                return size_t{1};
        }
        return len;
    });
}

namespace {

// The code point of the well-formed UTF-8 sequence at `pos` and its length; length 0 when
// the bytes there are no well-formed sequence.
std::pair<uint32_t, size_t> DecodeUtf8(std::string_view s, size_t pos) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[pos + i]); };
    const size_t len = Utf8SequenceLength(b(0));
    if (len == 1) return {b(0), b(0) < 0x80 ? 1u : 0u};
    if (pos + len > s.size()) return {0, 0};
    uint32_t cp = b(0) & (0xFF >> (len + 1));
    for (size_t i = 1; i < len; ++i) {
        if ((b(i) & 0xC0) != 0x80) return {0, 0};
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    static const uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kShortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
    return {cp, len};
}

std::string Reference(uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "&#x%04X;", static_cast<unsigned>(cp));
    return buf;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        auto [cp, len] = DecodeUtf8(text, pos);
        if (len == 0) return false;
        pos += len;
    }
    return true;
}

std::string Utf8ToGbkKeepingAll(std::string_view utf8, int* references) {
    // Strict GBK, the set the saved records are checked against.
    thread_local IconvHandle cd("GBK", "UTF-8");
    return Convert(cd.get(), utf8, [&](std::string& out, size_t pos) {
        auto [cp, len] = DecodeUtf8(utf8, pos);
        out += Reference(len == 0 ? 0xFFFD : cp);
        if (references) ++*references;
        return len == 0 ? size_t{1} : len;
    });
}

std::optional<size_t> InvalidGbkAt(std::string_view text) {
    thread_local IconvHandle cd("UTF-8", "GBK");
    std::optional<size_t> bad;
    // The first byte iconv cannot take ends the look: the rest is skipped.
    Convert(cd.get(), text, [&](std::string&, size_t pos) {
        bad = pos;
        return text.size() - pos;
    });
    return bad;
}

std::string GbkToUtf8(std::string_view gbk) {
    thread_local IconvHandle cd("UTF-8", "CP936");
    return Convert(cd.get(), gbk, [](std::string& out, size_t) {
        out += "\xEF\xBF\xBD";
        return size_t{1};
    });
}

namespace {
char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        if (IsGbkLead(static_cast<unsigned char>(out[i])) && i + 1 < out.size()) {
            ++i;
            continue;
        }
        out[i] = FoldAscii(out[i]);
    }
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

std::string PercentEscape(std::string_view text, bool (*escape)(unsigned char)) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (escape(b)) {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    size_t pos = 0;
    while (true) {
        size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos || from.empty()) break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace z39
