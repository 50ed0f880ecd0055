#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace z39 {

// The shared catalogue's record scrambling, the one definition both the server and the
// client use. key: the record's id in decimal. s := (byte length of the record + byte
// length of the key) mod 10; every ASCII digit d of the record becomes (d + s) mod 10;
// the body is "BE" + that + "ND".
std::string ScrambleRecord(std::string_view key, std::string_view record);

// The record back from a body and its key (both trimmed first). A body without both
// markers comes back trimmed and otherwise unchanged.
std::string UnscrambleRecord(std::string_view key, std::string_view body);

}  // namespace z39
