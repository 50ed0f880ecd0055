#include "where_clause.h"

#include <cctype>
#include <optional>

namespace ks {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool SameWord(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
    return true;
}

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    ParseResult Run() {
        ParseResult r;
        if (text_.size() > kMaxClauseBytes) return Fail("clause too long");
        std::vector<Term> group;
        size_t terms = 0;
        while (true) {
            auto term = ParseTerm();
            if (!term) return Fail(error_);
            if (++terms > kMaxTerms) return Fail("too many terms");
            group.push_back(std::move(*term));
            SkipBlanks();
            if (pos_ == text_.size()) break;
            std::string_view word = Word();
            if (SameWord(word, "and")) continue;
            if (SameWord(word, "or")) {
                r.clause.anyOf.push_back(std::move(group));
                group.clear();
                continue;
            }
            return Fail("expected and/or at byte " + std::to_string(pos_ - word.size()));
        }
        r.clause.anyOf.push_back(std::move(group));
        r.ok = true;
        return r;
    }

  private:
    ParseResult Fail(std::string why) {
        ParseResult r;
        r.error = std::move(why);
        return r;
    }

    void SkipBlanks() {
        while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    }

    // A run of letters, digits and "_" (empty when none).
    std::string_view Word() {
        SkipBlanks();
        size_t start = pos_;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
            ++pos_;
        return text_.substr(start, pos_ - start);
    }

    std::optional<Term> ParseTerm() {
        Term t;
        std::string_view column = Word();
        for (const char* known : {"ma_isbn", "ma_name", "ma_namepy"}) {
            if (SameWord(column, known)) t.column = known;
        }
        if (t.column.empty())
            return Error("unknown column at byte " + std::to_string(pos_ - column.size()));
        SkipBlanks();
        bool like = false;
        if (pos_ < text_.size() && text_[pos_] == '=') {
            ++pos_;
        } else if (SameWord(Word(), "like")) {
            like = true;
        } else {
            return Error("expected = or like after " + t.column);
        }
        SkipBlanks();
        if (pos_ >= text_.size() || text_[pos_] != '\'') return Error("expected a quoted literal");
        ++pos_;
        std::string value;
        while (true) {
            if (pos_ >= text_.size()) return Error("unterminated literal");
            char c = text_[pos_++];
            if (c == '\'') {
                if (pos_ < text_.size() && text_[pos_] == '\'') {
                    value += '\'';
                    ++pos_;
                    continue;
                }
                break;
            }
            value += c;
        }
        // Only the final "%" is the wildcard; a "%" or "_" inside is an ordinary character
        // (a title may hold one). A like without it is an exact match.
        if (like && !value.empty() && value.back() == '%') {
            value.pop_back();
            t.prefix = true;
        }
        if (t.column == "ma_namepy") {
            for (char& c : value) {
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            }
        }
        t.value = std::move(value);
        return t;
    }

    std::optional<Term> Error(std::string why) {
        error_ = std::move(why);
        return std::nullopt;
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
};

std::string Quote(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

// The smallest text greater than every text that starts with `prefix`; empty when none.
std::string PrefixUpperBound(std::string prefix) {
    while (!prefix.empty()) {
        auto last = static_cast<unsigned char>(prefix.back());
        if (last < 0xFF) {
            prefix.back() = static_cast<char>(last + 1);
            return prefix;
        }
        prefix.pop_back();
    }
    return {};
}

// The column as the index holds it: titles are matched without regard to Latin letter case.
std::string IndexedColumn(const std::string& column, SqlDialect dialect) {
    if (column != "ma_name") return column;
    return dialect == SqlDialect::kSqlite ? "gbk_upper(ma_name)" : "ma_name_ci";
}

}  // namespace

std::string GbkUpper(std::string_view text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        auto c = static_cast<unsigned char>(out[i]);
        if (c >= 0x81 && c <= 0xFE && i + 1 < out.size()) {
            ++i;  // a double-byte character: its trail byte may look like a letter
        } else if (c >= 'a' && c <= 'z') {
            out[i] = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

bool operator==(const Term& a, const Term& b) {
    return a.column == b.column && a.value == b.value && a.prefix == b.prefix;
}

ParseResult ParseWhereClause(std::string_view text) { return Parser(text).Run(); }

std::string Render(const WhereClause& clause) {
    std::string out;
    for (size_t g = 0; g < clause.anyOf.size(); ++g) {
        if (g > 0) out += " or ";
        for (size_t i = 0; i < clause.anyOf[g].size(); ++i) {
            const Term& t = clause.anyOf[g][i];
            if (i > 0) out += " and ";
            out += t.column + (t.prefix ? " like " : "=") + Quote(t.value + (t.prefix ? "%" : ""));
        }
    }
    return out;
}

SqlCondition ToSql(const WhereClause& clause, SqlDialect dialect, int firstParam) {
    SqlCondition out;
    int number = firstParam;
    auto param = [&](std::string value) {
        out.params.push_back(std::move(value));
        return dialect == SqlDialect::kSqlite ? std::string("?") : "$" + std::to_string(number++);
    };
    for (size_t g = 0; g < clause.anyOf.size(); ++g) {
        if (g > 0) out.sql += " OR ";
        out.sql += "(";
        for (size_t i = 0; i < clause.anyOf[g].size(); ++i) {
            const Term& t = clause.anyOf[g][i];
            if (i > 0) out.sql += " AND ";
            const std::string column = IndexedColumn(t.column, dialect);
            const std::string value = t.column == "ma_name" ? GbkUpper(t.value) : t.value;
            if (!t.prefix) {
                out.sql += column + " = " + param(value);
                continue;
            }
            // A prefix is a range on the index: value <= column < next text.
            std::string upper = PrefixUpperBound(value);
            out.sql += "(" + column + " >= " + param(value);
            if (!upper.empty()) out.sql += " AND " + column + " < " + param(upper);
            out.sql += ")";
        }
        out.sql += ")";
    }
    return out;
}

}  // namespace ks
