#pragma once

#include <optional>
#include <string>
#include <vector>

namespace z39 {

// An OPAC full-record page (GBK) as field lines, CR LF after each: a five-character label
// (tag and indicators) and the value cell's text, "&nbsp;" turned into blanks.
std::string PageToFieldLines(const std::string& page);

// Field lines to one ISO 2709 record text. Subfields are put into the order of the
// subfield order table; repeated fields of one tag become one field. The leader's record
// length counts every byte of the record, terminator included. Nothing when a field would
// be over 9,999 bytes or the record over 99,999: ISO 2709 cannot say such lengths.
std::optional<std::string> BookDataToBookMarc(const std::string& fieldLines);

// The work list BookDataToBookMarc builds, in its sorted order (for tests).
std::vector<std::string> WorkList(const std::string& fieldLines);

// Assembles leader, directory and data from a sorted work list.
std::string DoAllFieldsValue(const std::vector<std::string>& workList);

}  // namespace z39
