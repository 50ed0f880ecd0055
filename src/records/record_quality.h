#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace z39 {

// How full a record is, for choosing among records of one book from several sources.
struct RecordQuality {
    bool usable = false;  // one well-formed ISO 2709 record with a title (200 $a or 245 $a)
    int essentials = 0;   // cataloguing essentials present (see AssessRecord)
    int fields = 0;       // fields in its directory
};

// The essentials counted:
// - CNMARC: 010 $a a valid ISBN, 010 $d price, 100 $a, 101 $a, 200 $f, 210 $c, 210 $d,
//   215 $a, 606 $a, 690 $a, 701 or 702 $a;
// - MARC21 (a record with a 245 and no 200): 020 $a a valid ISBN, 008, the language (041 or
//   008/35-37), 100 or 110 $a, 245 $c, 260 or 264 $b, 260 or 264 $c, 300 $a, 650 $a, 050 or
//   082 $a, 700 $a.
// A subfield counts when it holds more than blanks.
RecordQuality AssessRecord(std::string_view record);

// True when `a` is the better record: usable before not, then more essentials, then more
// fields; on a tie neither is.
bool BetterRecord(const RecordQuality& a, const RecordQuality& b);

// The index of the best of `records` (GBK ISO 2709); on a tie the earliest, so the order
// given is the user's preference. 0 for an empty list.
size_t BestRecordIndex(const std::vector<std::string>& records);

// What tells records of one book apart from others, whatever their source: "I" and the
// 13-digit ISBN of 010 $a or 020 $a (the first valid one); where there is none, "T", the
// title (200 $a or 245 $a) with case, blanks and punctuation ignored, "|" and the year of
// publication. Empty for a record with neither: it is a book of its own.
std::string BookKey(std::string_view record);

}  // namespace z39
