#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace z39 {

// One line of a batch list that asks for a book.
struct BatchItem {
    int line = 0;         // in the list file, from 1
    std::string input;    // the token as the list has it (GBK, trimmed)
    std::string isbn;     // its 13 digits; empty when the token is not a valid ISBN
    int duplicateOf = 0;  // the line of the first item asking for the same ISBN; 0: none
    bool valid() const { return !isbn.empty(); }
};

// The books a list asks for, in list order. The text may be GBK, UTF-8 or UTF-16 (told
// from its bytes). Blank lines, comment lines ("#", ";" or "//" first) and lines without a digit (a
// spreadsheet's heading) ask for nothing. Of a line with several columns (comma, semicolon,
// tab or bar between them, quotes allowed) the first ISBN-like column counts; blanks and
// hyphens inside it and a small x are fine. A line that asks for something but holds no
// valid ISBN is an item with an empty `isbn`. An ISBN listed again (in any form) is an item
// too, marked as a duplicate of the first: each is searched once, and every line asking
// for a book has its row.
std::vector<BatchItem> ParseIsbnList(std::string_view text);

// A list line longer than this is an invalid item showing how it begins.
inline constexpr size_t kMaxListLine = 64 * 1024;

}  // namespace z39
