#include "backends/search_condition.h"

#include "common/gbk_text.h"
#include "records/isbn_forms.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

std::string QuotePqfTerm(const std::string& value) {
    std::string escaped;
    bool quote = value.empty() || value.front() == '@';
    for (char c : value) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == ' ') quote = true;
        escaped += c;
    }
    return quote ? "\"" + escaped + "\"" : escaped;
}

std::string QuoteSqlLiteral(const std::string& value) { return ReplaceAll(value, "'", "''"); }

}  // namespace

bool IsAndJoiner(const std::string& joiner) {
    static const std::string andText = G("并且");
    return joiner == andText;
}

std::vector<SearchCondition> ParticipatingRows(const std::vector<SearchCondition>& rows) {
    std::vector<SearchCondition> used;
    for (const auto& row : rows) {
        std::string value = Trim(row.value);
        if (value.empty()) break;
        used.push_back({row.joiner, Trim(row.field), value});
    }
    return used;
}

std::string GetWhereString(const std::string& field, const std::string& value) {
    static const std::string title = G("题名"), author = G("著者"), publisher = G("出版者");
    const char* use = "31";
    if (field == "ISBN") {
        use = "7";
    } else if (field == "ISSN") {
        use = "8";
    } else if (field == title) {
        use = "4";
    } else if (field == author) {
        use = "1003";
    } else if (field == publisher) {
        use = "1018";
    }
    return std::string("@attr 1=") + use + " " + QuotePqfTerm(value);
}

std::string GetWhereStringKS(const std::string& field, const std::string& value,
                             const LaunchMode& launch) {
    std::string v = Trim(value);
    if (field == "ISBN") {
        // A wrong check digit is searched as typed (hyphens and blanks aside), not corrected
        // into another book's number.
        if (WrongCheckDigit(v)) {
            std::string typed;
            for (char c : v)
                if (c != '-' && c != ' ') typed += c;
            return "ma_isbn='" + QuoteSqlLiteral(typed) + "'";
        }
        return "ma_isbn='" + QuoteSqlLiteral(NormaliseIsbn(v)) + "'";
    }
    if (!launch.launchQuery.empty() && v.starts_with("!")) {
        std::string key = Trim(v.substr(1));
        if (key.size() <= 2) return "ma_namepy='" + QuoteSqlLiteral(key) + "'";
        return "ma_namepy like '" + QuoteSqlLiteral(key) + "%'";
    }
    if (v.size() <= 5) return "ma_name='" + QuoteSqlLiteral(v) + "'";
    return "ma_name like '" + QuoteSqlLiteral(v) + "%'";
}

std::string GetIsbnTerms(const std::string& value) {
    std::vector<std::string> forms = IsbnSearchForms(value);
    std::string ors, terms;
    for (size_t i = 0; i < forms.size(); ++i) {
        if (i > 0) ors += "@or ";
        terms += (i > 0 ? " " : "") + GetWhereString("ISBN", forms[i]);
    }
    return ors + terms;
}

std::string BuildFindCommand(const std::vector<SearchCondition>& rows) {
    std::string q;
    auto used = ParticipatingRows(rows);
    for (size_t k = 0; k < used.size(); ++k) {
        std::string term = used[k].field == "ISBN" ? GetIsbnTerms(used[k].value)
                                                   : GetWhereString(used[k].field, used[k].value);
        if (k == 0) {
            q = " " + term;
        } else {
            q = (IsAndJoiner(used[k].joiner) ? " @and " : " @or ") + term + q;
        }
    }
    return "f" + q;
}

std::string BuildWhereClause(const std::vector<SearchCondition>& rows, const LaunchMode& launch) {
    std::string w;
    auto used = ParticipatingRows(rows);
    for (size_t k = 0; k < used.size(); ++k) {
        std::string term = GetWhereStringKS(used[k].field, used[k].value, launch);
        if (k == 0) {
            w = " " + term;
        } else {
            w += (IsAndJoiner(used[k].joiner) ? " and " : " or ") + term;
        }
    }
    return w;
}

}  // namespace z39
