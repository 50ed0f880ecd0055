#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ks {

// One record cut from an ISO 2709 file: its bytes (terminator included) and where it began.
struct RawRecord {
    size_t offset;
    std::string bytes;
};

// Cuts a file into records ended by 0x1D; line breaks between records are skipped.
// Trailing bytes without a terminator come back as a last record (which will not read).
std::vector<RawRecord> SplitIsoRecords(std::string_view file);

// The search keys of a record.
struct RecordKeys {
    bool ok = false;
    std::string error;
    std::string isbn;    // NormaliseIsbn of 010 $a
    std::string name;    // 200 $a, trimmed
    std::string namepy;  // pinyin initials of 200 $a
};

// Checks that the record reads (leader, directory, a 200 field) and extracts its keys.
RecordKeys ExtractKeys(const std::string& record);

// One upper-case letter per Chinese character (its pinyin initial), ASCII letters
// (upper-cased) and digits kept, everything else dropped. Input and output GBK.
std::string PinyinInitials(std::string_view gbk);

}  // namespace ks
