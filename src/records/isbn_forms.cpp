#include "records/isbn_forms.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "common/gbk_text.h"

namespace z39 {
namespace {

struct Range {
    std::string low, high;  // equal lengths: the registrant's
};

// prefix + group -> the registrant ranges of the group.
const std::map<std::string, std::vector<Range>>& RangeTable() {
    static const std::map<std::string, std::vector<Range>> table = [] {
        struct Row {
            const char* group;
            const char* ranges;
        };
        static const Row rows[] = {
#include "isbn_ranges.inc"
        };
        std::map<std::string, std::vector<Range>> out;
        for (const Row& row : rows) {
            std::vector<Range>& ranges = out[row.group];
            std::string_view text = row.ranges;
            while (!text.empty()) {
                size_t blank = text.find(' ');
                std::string_view pair = text.substr(0, blank);
                size_t colon = pair.find(':');
                ranges.push_back(
                    {std::string(pair.substr(0, colon)), std::string(pair.substr(colon + 1))});
                text =
                    blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
            }
        }
        return out;
    }();
    return table;
}

char Check13(std::string_view twelve) {
    int sum = 0;
    for (size_t i = 0; i < 12; ++i) sum += (twelve[i] - '0') * (i % 2 ? 3 : 1);
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

char Check10(std::string_view nine) {
    int sum = 0;
    for (size_t i = 0; i < 9; ++i) sum += (nine[i] - '0') * static_cast<int>(10 - i);
    int check = (11 - sum % 11) % 11;
    return check == 10 ? 'X' : static_cast<char>('0' + check);
}

bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Group, registrant and publication of a 13-digit ISBN; false when the table has none.
bool Split(const std::string& isbn13, std::string& group, std::string& registrant,
           std::string& publication) {
    const std::string prefix = isbn13.substr(0, 3);
    const std::string rest = isbn13.substr(3, 9);  // without the check digit
    for (size_t length = 1; length <= 5 && length < rest.size(); ++length) {
        auto hit = RangeTable().find(prefix + rest.substr(0, length));
        if (hit == RangeTable().end()) continue;
        const std::string after = rest.substr(length);
        for (const Range& r : hit->second) {
            const size_t n = r.low.size();
            if (n >= after.size()) continue;  // no digit would be left for the publication
            const std::string code = after.substr(0, n);
            if (code >= r.low && code <= r.high) {
                group = rest.substr(0, length);
                registrant = code;
                publication = after.substr(n);
                return true;
            }
        }
        return false;  // groups are prefix-free: no other length can match
    }
    return false;
}

}  // namespace

std::optional<IsbnForms> IsbnFormsOf(std::string_view text) {
    std::string s;
    for (char c : text) {
        if (c == '-' || static_cast<unsigned char>(c) <= 32) continue;
        s += c == 'x' ? 'X' : c;
    }
    IsbnForms f;
    if (s.size() == 10) {
        if (!AllDigits(s.substr(0, 9)) || Check10(s.substr(0, 9)) != s[9]) return std::nullopt;
        f.isbn10 = s;
        f.isbn13 = "978" + s.substr(0, 9);
        f.isbn13 += Check13(f.isbn13);
    } else if (s.size() == 13) {
        if (!AllDigits(s) || Check13(s) != s[12]) return std::nullopt;
        if (!s.starts_with("978") && !s.starts_with("979")) return std::nullopt;
        f.isbn13 = s;
        if (s.starts_with("978")) f.isbn10 = s.substr(3, 9) + Check10(s.substr(3, 9));
    } else {
        return std::nullopt;
    }
    std::string group, registrant, publication;
    if (Split(f.isbn13, group, registrant, publication)) {
        const std::string parts = group + "-" + registrant + "-" + publication + "-";
        f.isbn13Hyphenated = f.isbn13.substr(0, 3) + "-" + parts + f.isbn13.back();
        if (!f.isbn10.empty()) f.isbn10Hyphenated = parts + f.isbn10.back();
    }
    return f;
}

std::optional<char> WrongCheckDigit(std::string_view text) {
    std::string s;
    for (char c : text) {
        if (c == '-' || static_cast<unsigned char>(c) <= 32) continue;
        s += c == 'x' ? 'X' : c;
    }
    if (s.size() == 10 && AllDigits(s.substr(0, 9)) &&
        (std::isdigit(static_cast<unsigned char>(s[9])) || s[9] == 'X')) {
        const char check = Check10(s.substr(0, 9));
        if (check != s[9]) return check;
    } else if (s.size() == 13 && AllDigits(s) && (s.starts_with("978") || s.starts_with("979"))) {
        const char check = Check13(s);
        if (check != s[12]) return check;
    }
    return std::nullopt;
}

std::vector<std::string> IsbnSearchForms(std::string_view entered) {
    std::vector<std::string> forms = {Trim(entered)};
    auto f = IsbnFormsOf(entered);
    if (!f) return forms;
    for (const std::string* form :
         {&f->isbn13, &f->isbn13Hyphenated, &f->isbn10, &f->isbn10Hyphenated}) {
        if (!form->empty() && std::find(forms.begin(), forms.end(), *form) == forms.end())
            forms.push_back(*form);
    }
    return forms;
}

}  // namespace z39
