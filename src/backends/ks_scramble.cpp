#include "backends/ks_scramble.h"

#include "common/gbk_text.h"

namespace z39 {
namespace {

std::string ShiftDigits(std::string_view text, int shift) {
    std::string out(text);
    for (char& c : out) {
        if (c >= '0' && c <= '9') c = static_cast<char>('0' + (c - '0' + shift) % 10);
    }
    return out;
}

int Shift(size_t recordBytes, size_t keyBytes) {
    return static_cast<int>((recordBytes + keyBytes) % 10);
}

}  // namespace

std::string ScrambleRecord(std::string_view key, std::string_view record) {
    return "BE" + ShiftDigits(record, Shift(record.size(), key.size())) + "ND";
}

std::string UnscrambleRecord(std::string_view key, std::string_view body) {
    std::string b = Trim(body);
    std::string k = Trim(key);
    if (b.size() < 4 || !b.starts_with("BE") || !b.ends_with("ND")) return b;
    std::string_view inner = std::string_view(b).substr(2, b.size() - 4);
    return ShiftDigits(inner, 10 - Shift(inner.size(), k.size()));
}

}  // namespace z39
