// The shared catalogue's answers: first and further pages, TCP and HTTP forms.
#include "backends/ks_scramble.h"
#include "backends/shared_catalogue.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool first = data[0] & 1, http = data[0] & 2;
    std::string answer = AsText(data + 1, size - 1);
    z39::KsAnswer parsed = z39::ParseKsAnswer(answer, first, http);
    FUZZ_CHECK(parsed.bagBegin || parsed.records.empty());
    // Scrambling round-trips whatever the record holds.
    std::string key = std::to_string(size);
    FUZZ_CHECK(z39::UnscrambleRecord(key, z39::ScrambleRecord(key, answer)) == answer);
    z39::EscapeWhereForUrl(answer);
    return 0;
}
