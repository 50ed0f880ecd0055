#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace yazc {

// One line of the command script.
struct Command {
    enum Kind {
        kEmpty,
        kProxy,
        kAuthentication,
        kOpen,
        kElements,
        kFormat,
        kFind,
        kShow,
        kQuit,
        kUnknown
    };
    Kind kind = kEmpty;
    std::string arg1;    // proxy/open address, user, element set, syntax, query
    std::string arg2;    // password
    bool range = false;  // show START+COUNT
    int64_t start = 0;
    int64_t count = 0;
};

// Reads one command line (CR and LF at its end ignored). Never fails: what it cannot
// read is kUnknown.
Command ParseCommand(std::string_view line);

// The next records `show` presents: the record after `lastShown` alone, or START+COUNT.
// Returns [first, first + n) as 0-based positions clipped to `hits`; n may be 0.
struct ShowRange {
    int64_t first = 0;
    int64_t n = 0;
};
ShowRange RangeToShow(const Command& show, int64_t hits, int64_t lastShown);

// A record as one line: CR and LF inside it become blanks.
std::string RecordLine(std::string_view raw);

// Whether `raw` is an ISO 2709 record: a five-digit leader length equal to its size, a
// five-digit base address inside it with the directory's field terminator just before,
// and the record terminator at its end. A text rendering (SUTRS, a "cnmarc: 001 ..."
// dump, XML) is not, and must never be written where records are expected.
bool IsIso2709(std::string_view raw);

}  // namespace yazc
