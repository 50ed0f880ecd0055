#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ks {

// A parsed where-clause of the shared catalogue protocol:
//   clause := term { ("and" | "or") term }
//   term   := column "=" literal | column "like" literal
//   column := ma_isbn | ma_name | ma_namepy
//   literal:= '...' with '' standing for one quote; a like literal may end in "%", the
//             only wildcard (a "%" or "_" before it is an ordinary character)
// "and" binds tighter than "or". Keywords and columns are matched without case; blanks
// between tokens are free. It never becomes SQL text: ToSql binds every literal.
struct Term {
    std::string column;   // one of the three, lower case
    std::string value;    // the literal, unquoted; upper-cased for ma_namepy
    bool prefix = false;  // like '...%'
};

struct WhereClause {
    std::vector<std::vector<Term>> anyOf;  // OR of AND groups
};

struct ParseResult {
    bool ok = false;
    WhereClause clause;
    std::string error;  // why it was refused
};

inline constexpr size_t kMaxClauseBytes = 8192;
inline constexpr size_t kMaxTerms = 32;

ParseResult ParseWhereClause(std::string_view text);

// The clause written back in its canonical form (parses to the same clause).
std::string Render(const WhereClause& clause);

// ASCII letters upper-cased, GBK double-byte characters left as they are (their trail
// bytes may fall in the letter range). Titles are compared through it, both sides.
std::string GbkUpper(std::string_view text);

// SQL condition with "?" placeholders and the values to bind, in order. Titles are
// compared as gbk_upper(ma_name), a function every catalogue connection registers and
// an index serves.
struct SqlCondition {
    std::string sql;
    std::vector<std::string> params;
};
// The two engines the catalogue runs on: SQLite numbers nothing ("?"), PostgreSQL numbers
// its parameters ("$1" ...) from `firstParam` on and keeps the folded title in a column.
enum class SqlDialect { kSqlite, kPostgres };
SqlCondition ToSql(const WhereClause& clause, SqlDialect dialect = SqlDialect::kSqlite,
                   int firstParam = 1);

bool operator==(const Term& a, const Term& b);

}  // namespace ks
