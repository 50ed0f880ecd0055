#pragma once

#include <string>
#include <vector>

#include "state/launch_mode.h"

namespace z39 {

// One row of the search form. Texts are GBK.
struct SearchCondition {
    std::string joiner;  // "并且" (and) or "或者" (or); row 1 has none
    std::string field;   // "题名", "ISBN", "ISSN", "著者", "出版者", "出版日期"
    std::string value;
};

inline constexpr int kSearchRows = 5;

// The rows that take part in a query: row 1 when its trimmed value is not empty, each
// further row only while every row above it took part and its own value is not empty.
// Fields and values come back trimmed.
std::vector<SearchCondition> ParticipatingRows(const std::vector<SearchCondition>& rows);

// The Z39.50 prefix-query term of one row: the Bib-1 use attribute of the field, a blank,
// and the value. The value is quoted when it holds a blank, begins with "@" or is empty,
// and every "\" and '"' in it is escaped, so the client's parser reads it back unchanged.
std::string GetWhereString(const std::string& field, const std::string& value);

// The prefix-query term of an ISBN row: the value as entered, then its other forms
// (IsbnSearchForms), each with the row's use attribute, joined by @or into one term.
std::string GetIsbnTerms(const std::string& value);

// The shared catalogue's where-clause term of one row. ISBN values are normalised;
// with a launch query, a title value beginning with "!" searches the pinyin initials.
// A "'" inside the value is doubled.
std::string GetWhereStringKS(const std::string& field, const std::string& value,
                             const LaunchMode& launch);

// "f" followed by the nested prefix query of the rows that take part.
std::string BuildFindCommand(const std::vector<SearchCondition>& rows);

// The shared catalogue's where-clause, with its leading blank.
std::string BuildWhereClause(const std::vector<SearchCondition>& rows, const LaunchMode& launch);

// True when a joiner reads exactly "并且".
bool IsAndJoiner(const std::string& joiner);

}  // namespace z39
