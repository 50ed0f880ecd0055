#pragma once

#include <string>

#include "common/gbk_text.h"
#include "records/iso2709.h"

namespace z39::test {

// A daily file or lib.tmp as strictly as a cataloguing system's importer reads it: lines
// ended by CR LF, each one well-formed ISO 2709 record with no CR, LF or NUL in it, and
// every byte valid GBK. Empty when all holds, else what does not. Every test that saves
// checks what it saved with this.
inline std::string StrictRecords(const std::string& data) {
    if (!data.empty() && !data.ends_with("\x1D\r\n")) return "does not end with a record and CR LF";
    size_t from = 0, n = 0;
    while (from < data.size()) {
        const size_t end = data.find("\r\n", from);
        const std::string line = data.substr(from, end - from);
        ++n;
        if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            return "record " + std::to_string(n) + " holds CR, LF or NUL";
        if (!IsWellFormedIso2709(line)) return "record " + std::to_string(n) + " is not ISO 2709";
        if (auto bad = InvalidGbkAt(line))
            return "record " + std::to_string(n) + " byte " + std::to_string(*bad) +
                   " is no GBK character";
        from = end + 2;
    }
    return {};
}

}  // namespace z39::test
