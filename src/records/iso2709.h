#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/marc_record.h"

namespace z39 {

inline constexpr size_t kMaxIso2709Record = 99999;
inline constexpr size_t kMaxIso2709Field = 9999;

// True when `record` is one well-formed ISO 2709 record: the leader's length is its size
// (at most 99,999 bytes), the base address lies inside it with the directory's terminator
// just before it, every directory entry lies inside the data and ends at a field
// terminator, every data field holds its indicators, and the record terminator is last.
bool IsWellFormedIso2709(std::string_view record);

// A record from a leader (its first 24 bytes; lengths are recomputed) and fields whose
// data ends with the field terminator (added when missing). Nothing when a field would
// exceed 9,999 bytes or the record 99,999: ISO 2709 cannot say such lengths.
std::optional<std::string> BuildIso2709(std::string_view leader,
                                        const std::vector<MarcField>& fields);

}  // namespace z39
