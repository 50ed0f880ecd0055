#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Data text is GBK bytes in std::string. Every length counts bytes.
namespace z39 {

// Removes leading and trailing bytes with values up to 32.
std::string Trim(std::string_view text);

// The lines of a text, split at LF, each without its line break (LF, CR LF, or a CR that
// ends the text). A last line without a line break counts; there is no empty line after a
// final line break.
std::vector<std::string> TextLines(std::string_view text);

// Reads "0" + trimmed text as a signed 32-bit decimal. Empty text reads 0; a sign,
// any non-digit or an overflow does not convert (nullopt).
std::optional<int32_t> ToNumber(std::string_view text);

// The same read as a signed 64-bit decimal: hit counts, which may pass 2^31.
std::optional<int64_t> ToNumber64(std::string_view text);

// ToNumber, or `fallback` when the text does not convert.
int32_t ToNumberOr(std::string_view text, int32_t fallback);

// UTF-8 to GBK. A character without a GBK form, and every byte of invalid UTF-8,
// becomes one "?".
std::string Utf8ToGbk(std::string_view utf8);

// UTF-8 to GBK losing nothing: a character without a GBK form becomes the numeric
// character reference "&#xXXXX;" (upper-case hex, at least four digits), and so does each
// byte of invalid UTF-8 (as U+FFFD). `references`, when given, grows by one for each.
std::string Utf8ToGbkKeepingAll(std::string_view utf8, int* references = nullptr);

// True when the text is well-formed UTF-8 (shortest forms, no surrogates, up to U+10FFFF).
bool IsValidUtf8(std::string_view text);

// The offset of the first byte that does not start a GBK character as glibc's iconv reads
// GBK (strictly: no user-defined area, no lone lead byte); nothing when every byte does.
std::optional<size_t> InvalidGbkAt(std::string_view text);
inline bool IsValidGbk(std::string_view text) { return !InvalidGbkAt(text).has_value(); }

// GBK to UTF-8. A byte that does not start a valid GBK character becomes U+FFFD.
std::string GbkToUtf8(std::string_view gbk);

// The program's own texts are written as UTF-8 literals in the source and turned
// into GBK here, so that comparisons and files see the GBK bytes.
inline std::string G(std::string_view utf8) { return Utf8ToGbk(utf8); }

// Case-insensitive comparison of GBK text: ASCII letters fold, double-byte
// characters compare exactly (their second byte may look like a letter).
bool EqualsNoCase(std::string_view a, std::string_view b);

// Lower-cases the ASCII letters of GBK text, leaving double-byte characters alone.
std::string LowerAscii(std::string_view text);

// Replaces every occurrence of `from` (non-empty) by `to`, scanning left to right.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// Every byte for which `escape` is true written as %XX (upper-case hex), the rest as it is.
std::string PercentEscape(std::string_view text, bool (*escape)(unsigned char));

// True for the first byte of a GBK double-byte character.
inline bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

}  // namespace z39
