#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace z39 {

// The forms of one valid ISBN. The hyphenated forms follow the ISBN agency's range table
// (built in from Debian's copy of it); they are empty when the table has no range for the
// number. A 979 ISBN has no ISBN-10.
struct IsbnForms {
    std::string isbn13;            // 9787536692930
    std::string isbn13Hyphenated;  // 978-7-5366-9293-0
    std::string isbn10;            // 7536692932
    std::string isbn10Hyphenated;  // 7-5366-9293-2
};

// The forms of `text`, an ISBN-10 or ISBN-13 with or without blanks and hyphens, a small or
// capital X; nothing when it is not a valid ISBN (length, digits, prefix or check digit).
std::optional<IsbnForms> IsbnFormsOf(std::string_view text);

// For a text that has an ISBN's shape (ten characters, nine digits then a digit or X; or
// thirteen digits beginning 978 or 979; blanks and hyphens aside) but a wrong check digit:
// the check digit it should have. Nothing for a valid ISBN or anything else. A wrong check
// digit means some digit is wrong: another book, or a guess, so such a value is searched as
// typed, never corrected.
std::optional<char> WrongCheckDigit(std::string_view text);

// What a server may index for an ISBN a user entered: the value as entered (trimmed) first,
// then the 13-digit form plain and hyphenated, then the 10-digit form plain and hyphenated,
// each once. An invalid ISBN gives the value as entered alone.
std::vector<std::string> IsbnSearchForms(std::string_view entered);

}  // namespace z39
