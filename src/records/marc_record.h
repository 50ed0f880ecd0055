#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/ini_file.h"

namespace z39 {

// Reading of record texts: ISO 2709 records in GBK on one line (0x1F subfield
// delimiter, 0x1E field terminator). Nothing here trusts the record: numbers that
// point outside it are cut to what is there.

// Field names of the detail view by three-digit tag (section "MARC标志" of Z39.ini).
using FieldLabels = std::map<std::string, std::string>;

// Section name "MARC标志" in GBK.
const std::string& FieldLabelSection();
FieldLabels LoadFieldLabels(const IniFile& ini);

// The text a display line holds for a record whose numbers cannot be read.
const std::string& BadRecordLine();

// One-line summary: title to byte 34, responsibility to 60, place to 69, publisher to
// 85, date to 95, then the ISBN. Empty for a record under 20 bytes; BadRecordLine()
// when a number of the leader or directory cannot be read. CNMARC fields (200, 210, 010)
// give the line; a record with a 245 and no 200 is read as MARC21 (245, 100/110, 260/264,
// 020).
std::string DisplayLine(std::string_view record);

// The parts of the display line, whole and trimmed, each apart (a report's columns):
// empty where the record has none, all empty when its numbers cannot be read.
struct RecordSummary {
    std::string title, responsibility, place, publisher, date, isbn;
};
RecordSummary SummariseRecord(std::string_view record);

// One line per directory entry that can be read: label (12 bytes), tag, indicators
// and subfields (or the control field's data), passed through ShowControls.
std::vector<std::string> DetailLines(std::string_view record, const FieldLabels& labels);

// Trims, cuts to `width` bytes (width 34 keeps 31 and adds "..."), drops a double-byte
// character cut in half, pads with blanks to `width`.
std::string FitColumn(std::string_view text, size_t width);

// 0x1F becomes " $", any other byte below 32 a blank.
std::string ShowControls(std::string_view text);

// The 13-digit ISBN of a 10- or 13-digit input (hyphens and blanks ignored, check digit
// recomputed); anything else comes back trimmed and unchanged.
std::string NormaliseIsbn(std::string_view text);

// A field's data by directory entry, for the record readers of other modules.
struct MarcField {
    std::string tag;
    std::string data;  // indicators, subfields and terminator (as much as the record holds)
};

// The fields whose directory entries can be read; `ok` is false when a number could not.
struct MarcFields {
    std::vector<MarcField> fields;
    bool ok = true;
};
MarcFields ReadFields(std::string_view record);

// The value of the first subfield `code` of a field's data; `found` tells whether it exists.
std::string Subfield(std::string_view fieldData, char code, bool* found = nullptr);

}  // namespace z39
