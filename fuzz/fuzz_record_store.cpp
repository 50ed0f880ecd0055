// The record store's line reader against a plain scan of the same file.
#include <charconv>

#include "fuzz_support.h"
#include "records/record_store.h"

static std::string NaiveLoad(const std::string& file, int number) {
    size_t pos = 0;
    while (pos < file.size()) {
        size_t lf = file.find('\n', pos);
        if (lf == std::string::npos) break;  // an unfinished last line is not read
        std::string line = file.substr(pos, lf - pos);
        pos = lf + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t at = line.find('@');
        if (at == std::string::npos || at > 60) continue;
        std::string digits = "0" + line.substr(0, at);
        int n = 0;
        auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (ec != std::errc() || p != digits.data() + digits.size()) continue;
        if (n == number) return line.substr(at + 1);
    }
    return {};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = ScratchPath("list");
    std::string file = AsText(data, size);
    z39::ReplaceFileAtomically(path, file);
    z39::RecordStore store(path);
    for (int n : {0, 1, 2, 7, 10, 123}) FUZZ_CHECK(store.LoadRecord(n) == NaiveLoad(file, n));
    store.StoreRecord(5, file.substr(0, 64));
    store.LoadRecord(5);
    return 0;
}
