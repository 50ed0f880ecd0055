#include "batch/isbn_list.h"

#include <unicode/ustring.h>

#include <algorithm>
#include <optional>

#include <unordered_map>

#include "common/gbk_text.h"
#include "records/isbn_forms.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The columns of a line: split at commas, semicolons, tabs and bars, quotes dropped.
std::vector<std::string> Columns(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == ',' || c == ';' || c == '\t' || c == '|') {
            out.emplace_back();
        } else if (c != '"' && c != '\'') {
            out.back() += c;
        }
    }
    for (auto& column : out) column = Trim(column);
    return out;
}

// A column that may be an ISBN: digits with blanks and hyphens between them, an X last,
// and 10 or 13 digits in all (an X counting as one).
bool LooksLikeIsbn(const std::string& column) {
    int digits = 0;
    for (size_t i = 0; i < column.size(); ++i) {
        const char c = column[i];
        if (IsDigit(c)) {
            ++digits;
        } else if ((c == 'x' || c == 'X') && digits == 9) {
            ++digits;
        } else if (c != '-' && c != ' ') {
            return false;
        }
    }
    return digits == 10 || digits == 13;
}

bool IsComment(const std::string& line) {
    return line.starts_with("#") || line.starts_with(";") || line.starts_with("//");
}

// A spreadsheet's "Unicode text" is UTF-16 (little-endian, with a byte-order mark; some
// tools write big-endian or leave the mark out): its text as UTF-8, or nothing when `text`
// is not UTF-16. Without a mark, NULs in every other byte of an ISBN list tell.
std::optional<std::string> Utf16AsUtf8(std::string_view text) {
    bool little;
    if (text.starts_with("\xFF\xFE")) {
        little = true;
        text.remove_prefix(2);
    } else if (text.starts_with("\xFE\xFF")) {
        little = false;
        text.remove_prefix(2);
    } else {
        const size_t look = std::min<size_t>(text.size() & ~size_t{1}, 4096);
        if (look < 2) return std::nullopt;
        size_t evenNul = 0, oddNul = 0;
        for (size_t i = 0; i < look; ++i) (i % 2 ? oddNul : evenNul) += text[i] == '\0';
        if (oddNul * 10 >= look / 2 * 9 && evenNul == 0) {
            little = true;
        } else if (evenNul * 10 >= look / 2 * 9 && oddNul == 0) {
            little = false;
        } else {
            return std::nullopt;
        }
    }
    std::u16string units(text.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        const auto lo = static_cast<unsigned char>(text[2 * i + (little ? 0 : 1)]);
        const auto hi = static_cast<unsigned char>(text[2 * i + (little ? 1 : 0)]);
        units[i] = static_cast<char16_t>(lo | (hi << 8));
    }
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    const auto* chars = reinterpret_cast<const UChar*>(units.data());
    const auto count = static_cast<int32_t>(units.size());
    u_strToUTF8WithSub(nullptr, 0, &length, chars, count, 0xFFFD, nullptr, &status);
    std::string utf8(static_cast<size_t>(length), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8WithSub(utf8.data(), length, nullptr, chars, count, 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return std::nullopt;
    return utf8;
}

}  // namespace

std::vector<BatchItem> ParseIsbnList(std::string_view text) {
    const std::optional<std::string> fromUtf16 = Utf16AsUtf8(text);
    std::string_view bytes = fromUtf16 ? std::string_view(*fromUtf16) : text;
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);  // a spreadsheet's mark
    const std::string gbk = IsValidUtf8(bytes) ? Utf8ToGbk(bytes) : std::string(bytes);
    std::vector<BatchItem> items;
    std::unordered_map<std::string, int> firstLine;  // by ISBN
    int number = 0;
    // Line by line in place: LF, CR LF, or a lone CR (old Mac exports) ends a line.
    for (size_t pos = 0; pos < gbk.size();) {
        size_t end = gbk.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = gbk.size();
        const std::string_view raw = std::string_view(gbk).substr(pos, end - pos);
        pos = end + (gbk.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        ++number;
        // No list line that names a book is this long: it is reported as it begins, not
        // taken apart (a file that is no list, say).
        if (raw.size() > kMaxListLine) {
            BatchItem item;
            item.line = number;
            item.input = Trim(FitColumn(raw.substr(0, 40), 40)) + G("…（该行超过64KB，已跳过）");
            items.push_back(std::move(item));
            continue;
        }
        const std::string line = Trim(raw);
        if (line.empty() || IsComment(line)) continue;
        bool anyDigit = false;
        for (char c : line) anyDigit = anyDigit || IsDigit(c);
        if (!anyDigit) continue;
        const std::vector<std::string> columns = Columns(line);
        BatchItem item;
        item.line = number;
        for (const auto& column : columns) {
            bool digit = false;
            for (char c : column) digit = digit || IsDigit(c);
            if (digit) {
                item.input = column;
                break;
            }
        }
        for (const auto& column : columns) {
            if (!LooksLikeIsbn(column)) continue;
            item.input = column;
            if (auto forms = IsbnFormsOf(column)) item.isbn = forms->isbn13;
            break;
        }
        if (item.valid()) {
            auto [first, isNew] = firstLine.emplace(item.isbn, item.line);
            if (!isNew) item.duplicateOf = first->second;
        }
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace z39
