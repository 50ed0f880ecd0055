#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace z39 {

// What the save check made of a record: the record to write, or why it is not written.
struct GatedRecord {
    std::optional<std::string> record;
    std::string reason;  // GBK, when refused
    bool ok() const { return record.has_value(); }
};

// The one check every record passes before it is written to the daily file, lib.tmp or
// the hand-off store. A CR, LF, NUL or 0x1D inside a field (the record's own terminator
// aside) becomes a blank, as the record store writes it, and so does a 0x1E that ends no
// field; the record is then refused unless it is one well-formed ISO 2709 record (at most
// 99,999 bytes, no field over 9,999) with printable ASCII indicators and every byte valid
// GBK as glibc's iconv reads it.
GatedRecord CheckRecordForSaving(std::string_view record);

// The message line for a refused record: what it is (its display line, or its 001) and why.
std::string RefusedRecordText(std::string_view record, const std::string& reason);

}  // namespace z39
