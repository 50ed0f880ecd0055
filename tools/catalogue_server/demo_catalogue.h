#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ks {

// An ISO 2709 record from (tag, field data without terminator) pairs, GBK.
std::string BuildIsoRecord(const std::vector<std::pair<std::string, std::string>>& fields);

// The demo catalogue's record number `n` (0-based) of `total`: deterministic, CNMARC,
// GBK. The first records are well-known real books; 25 records spread over the
// catalogue have titles beginning with kPagingTitleWord.
std::string DemoRecord(int64_t n, int64_t total);

// A title word that exactly 25 demo records begin with (UTF-8), for paging demos.
inline constexpr const char* kPagingTitleWord = "敦煌学";

// The real books at the head of the demo catalogue: ISBN-13 and title (UTF-8).
struct KnownBook {
    const char* isbn;
    const char* title;
};
const std::vector<KnownBook>& KnownBooks();

}  // namespace ks
