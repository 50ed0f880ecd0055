#include "common/ini_file.h"

#include <optional>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/z39_error.h"

namespace z39 {
namespace {

struct Line {
    size_t begin;  // offset of the first byte of the line
    size_t end;    // offset just past the line's text (before CR LF)
    size_t next;   // offset of the next line
};

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t pos = 0;
    // A line ends at LF, CR LF or a lone CR, as the other readers of our files have it.
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        size_t next = text.size();
        if (end == std::string::npos) {
            end = text.size();
        } else {
            next = end + 1;
            if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
        }
        lines.push_back({pos, end, next});
        pos = next;
    }
    return lines;
}

// Only blanks and tabs surround names and values in the file format.
std::string_view StripBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<std::string_view> SectionName(std::string_view line) {
    line = StripBlanks(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    size_t close = line.find(']');
    if (close == std::string_view::npos) return StripBlanks(line.substr(1));
    return StripBlanks(line.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> ParseKeyLine(std::string_view line) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyLine{StripBlanks(line.substr(0, eq)), StripBlanks(line.substr(eq + 1))};
}

// Lines [first, last) of the first section named `section`, or nullopt.
struct SectionRange {
    size_t header;
    size_t first;
    size_t last;
};

std::optional<SectionRange> FindSection(const std::string& text, const std::vector<Line>& lines,
                                        std::string_view section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        auto name = SectionName(
            std::string_view(text).substr(lines[i].begin, lines[i].end - lines[i].begin));
        if (!name || !EqualsNoCase(*name, section)) continue;
        size_t j = i + 1;
        while (j < lines.size() && !SectionName(std::string_view(text).substr(
                                       lines[j].begin, lines[j].end - lines[j].begin)))
            ++j;
        return SectionRange{i, i + 1, j};
    }
    return std::nullopt;
}

// Ends an unfinished last line. A lone CR already begins a line break; adding CR LF after
// it would leave the CR inside the line's text (a key's value, a section name).
void EndLastLine(std::string& text) {
    if (text.empty() || text.back() == '\n') return;
    text += text.back() == '\r' ? "\n" : "\r\n";
}

std::string_view LineText(const std::string& text, const Line& line) {
    return std::string_view(text).substr(line.begin, line.end - line.begin);
}

}  // namespace

IniFile::IniFile(std::string path, size_t maxValueBytes)
    : path_(std::move(path)), maxValueBytes_(maxValueBytes) {}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
    auto text = ReadWholeFile(path_);
    if (!text) return std::string(fallback);
    auto lines = SplitLines(*text);
    auto range = FindSection(*text, lines, section);
    if (!range) return std::string(fallback);
    for (size_t i = range->first; i < range->last; ++i) {
        auto kv = ParseKeyLine(LineText(*text, lines[i]));
        if (kv && EqualsNoCase(kv->key, key)) {
            return std::string(kv->value.substr(0, maxValueBytes_));
        }
    }
    return std::string(fallback);
}

std::vector<std::pair<std::string, std::string>> IniFile::ReadSection(
    std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> out;
    auto text = ReadWholeFile(path_);
    if (!text) return out;
    auto lines = SplitLines(*text);
    auto range = FindSection(*text, lines, section);
    if (!range) return out;
    for (size_t i = range->first; i < range->last; ++i) {
        auto kv = ParseKeyLine(LineText(*text, lines[i]));
        if (kv && !kv->key.empty())
            out.emplace_back(std::string(kv->key),
                             std::string(kv->value.substr(0, maxValueBytes_)));
    }
    return out;
}

bool IniFile::HasSection(std::string_view section) const {
    auto text = ReadWholeFile(path_);
    if (!text) return false;
    return FindSection(*text, SplitLines(*text), section).has_value();
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    std::string text = ReadWholeFile(path_).value_or(std::string());
    auto lines = SplitLines(text);
    std::string keyLine = std::string(key) + "=" + std::string(value);
    std::string updated;
    auto range = FindSection(text, lines, section);
    if (!range) {
        updated = text;
        EndLastLine(updated);
        updated += "[" + std::string(section) + "]\r\n" + keyLine + "\r\n";
    } else {
        std::optional<size_t> hit;
        size_t lastContent = range->header;
        for (size_t i = range->first; i < range->last; ++i) {
            auto line = LineText(text, lines[i]);
            if (!StripBlanks(line).empty()) lastContent = i;
            auto kv = ParseKeyLine(line);
            if (kv && EqualsNoCase(kv->key, key)) {
                hit = i;
                break;
            }
        }
        if (hit) {
            // Keep the existing spelling of the key and the line's own ending.
            auto kv = ParseKeyLine(LineText(text, lines[*hit]));
            updated = text.substr(0, lines[*hit].begin) + std::string(kv->key) + "=" +
                      std::string(value) + text.substr(lines[*hit].end);
        } else {
            const Line& after = lines[lastContent];
            std::string prefix = text.substr(0, after.next);
            EndLastLine(prefix);
            updated = prefix + keyLine + "\r\n" + text.substr(after.next);
        }
    }
    if (!ReplaceFileAtomically(path_, updated, Links::follow))
        throw Z39Error("Unable to write to " + path_);
}

}  // namespace z39
