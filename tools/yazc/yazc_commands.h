#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
        kCharset,       // charset NAME: propose NAME in character-set negotiation
        kQueryCharset,  // querycharset NAME: terms go out in NAME (the script is GBK)
        kFind,
        kShow,
        kInit,  // init: report the server's Init answer (name, version, services, charset)
        kEcho,  // echo TEXT: print "== TEXT", to mark where the next command's report begins
        kQuit,
        kUnknown
    };
    Kind kind = kEmpty;
    std::string arg1;    // proxy/open address, user, element set, syntax, charset, query
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

// How many records the search at `find` in `script` can bring with its answer
// ("piggyback"), saving the Present of the show that follows it: the show's count when it
// begins at the first record (a show without a range shows the first one). Nothing when
// no show follows before the next open, search or quit, or it begins further on (a Z39.50
// search answer brings records from the first only).
std::optional<int64_t> PiggybackCount(const std::vector<Command>& script, size_t find);

// The record syntaxes tried in turn while the server refuses the one asked for
// (diagnostics 238 and 239) and no "format" command chose one: USMARC, UNIMARC, CNMARC,
// then whatever MARC the server offers (no syntax asked).
inline constexpr const char* kSyntaxFallbacks[] = {"usmarc", "unimarc", "cnmarc", ""};

// True for the diagnostics that say a record is not available in the syntax asked for.
inline bool IsSyntaxRefusal(int code) { return code == 238 || code == 239; }

// A record as one line: CR and LF inside it become blanks.
std::string RecordLine(std::string_view raw);

// Whether `raw` is an ISO 2709 record: a five-digit leader length equal to its size, a
// five-digit base address inside it with the directory's field terminator just before,
// and the record terminator at its end. A text rendering (SUTRS, a "cnmarc: 001 ..."
// dump, XML) is not, and must never be written where records are expected.
bool IsIso2709(std::string_view raw);

}  // namespace yazc
