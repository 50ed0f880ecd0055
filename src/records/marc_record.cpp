#include "records/marc_record.h"

#include <algorithm>
#include <optional>

#include "common/gbk_text.h"

namespace z39 {
namespace {

constexpr char kSubfield = '\x1F';

// A fixed-width number of the leader or directory: "0" + trimmed text, digits only.
// Bytes past the end of the record read as nothing.
std::optional<int32_t> NumberAt(std::string_view record, size_t pos, size_t len) {
    if (pos >= record.size()) return ToNumber("");
    return ToNumber(record.substr(pos, len));
}

std::string_view Clamp(std::string_view s, size_t pos, size_t len) {
    if (pos >= s.size()) return {};
    return s.substr(pos, len);
}

// Cuts an over-long subfield value to limit - 1 bytes and a blank.
std::string Limit(std::string value, size_t limit) {
    if (value.size() > limit) {
        value.resize(limit - 1);
        value += ' ';
    }
    return value;
}

// A MARC21 subfield without the ISBD punctuation that closes it (" /", " :", ";", ",", "=");
// a full stop stays, since it may end an initial.
std::string WithoutClosingPunctuation(std::string value) {
    value = Trim(value);
    while (!value.empty() && std::string_view(" /:;,=").find(value.back()) != std::string::npos)
        value.pop_back();
    return value;
}

// The fields a record's summary is made of. A record with a 245 title and no 200 is
// MARC21 (a USMARC target), whose 010 and 210 mean other things than in CNMARC.
struct SummaryFields {
    bool marc21 = false;
    const MarcField* title = nullptr;        // 200 (the last), or 245
    const MarcField* author = nullptr;       // MARC21: 100 or 110
    const MarcField* publication = nullptr;  // 210 (the last), or 260 (before 264)
    const MarcField* isbn = nullptr;         // 010 (the last), or 020
};

SummaryFields SelectSummaryFields(const std::vector<MarcField>& fields) {
    SummaryFields s;
    const MarcField *f010 = nullptr, *f200 = nullptr, *f210 = nullptr;
    const MarcField *f245 = nullptr, *f100 = nullptr, *f260 = nullptr, *f020 = nullptr;
    for (const auto& field : fields) {
        if (field.tag == "010") f010 = &field;
        if (field.tag == "200") f200 = &field;
        if (field.tag == "210") f210 = &field;
        if (field.tag == "245" && !f245) f245 = &field;
        if ((field.tag == "100" || field.tag == "110") && !f100) f100 = &field;
        if (field.tag == "260" && (!f260 || f260->tag == "264")) f260 = &field;
        if (field.tag == "264" && !f260) f260 = &field;
        if (field.tag == "020" && !f020) f020 = &field;
    }
    if (!f200 && f245) return {true, f245, f100, f260, f020};
    return {false, f200, nullptr, f210, f010};
}

// The CNMARC title: 200 $a with $e, or $h and $i, after a full-width colon.
std::string CnmarcTitle(std::string_view f200) {
    static const std::string colon = G("：");
    std::string title = Trim(Limit(Subfield(f200, 'a'), 80));
    std::string addition = Limit(Subfield(f200, 'e'), 80);
    if (addition.empty()) {
        std::string h = Limit(Subfield(f200, 'h'), 80);
        std::string i = Trim(Limit(Subfield(f200, 'i'), 80));
        addition = h;
        if (!h.empty() && !i.empty()) addition += colon + i;
        if (h.empty()) addition = i;
    }
    if (!addition.empty()) title += colon + addition;
    return title;
}

// The MARC21 title: 245 $a and $b. The responsibility: 100/110 $a, else 245 $c.
std::string Marc21Title(std::string_view f245) {
    std::string title = WithoutClosingPunctuation(Limit(Subfield(f245, 'a'), 80));
    std::string rest = WithoutClosingPunctuation(Limit(Subfield(f245, 'b'), 80));
    if (!rest.empty()) title += " : " + rest;
    return title;
}
std::string Marc21Responsibility(const SummaryFields& s) {
    return WithoutClosingPunctuation(
        Subfield(s.author ? s.author->data : s.title->data, s.author ? 'a' : 'c'));
}

// The display line of a MARC21 record (one with a 245), in the columns of the CNMARC one: 245 $a
// and $b, 100/110 $a or 245 $c, 260 (or 264) $a $b $c, 020 $a.
std::string Marc21DisplayLine(const SummaryFields& s) {
    std::string line = FitColumn(Marc21Title(s.title->data), 34);
    line = FitColumn(line + Limit(Marc21Responsibility(s), 46), 60);
    if (s.publication) {
        const std::pair<char, std::pair<size_t, size_t>> parts[] = {
            {'a', {8, 69}}, {'b', {30, 85}}, {'c', {10, 95}}};
        for (auto& [code, limits] : parts) {
            std::string value =
                Limit(WithoutClosingPunctuation(Subfield(s.publication->data, code)), limits.first);
            line = FitColumn(line + value, limits.second);
        }
    } else {
        line = FitColumn(line, 95);
    }
    if (s.isbn) line += Trim(Subfield(s.isbn->data, 'a'));
    return line;
}

}  // namespace

const std::string& FieldLabelSection() {
    static const std::string section = G("MARC标志");
    return section;
}

FieldLabels LoadFieldLabels(const IniFile& ini) {
    FieldLabels labels;
    for (auto& [key, value] : ini.ReadSection(FieldLabelSection())) labels.emplace(key, value);
    return labels;
}

const std::string& BadRecordLine() {
    static const std::string line = G("此记录数据有误");
    return line;
}

MarcFields ReadFields(std::string_view record) {
    MarcFields out;
    auto base = NumberAt(record, 12, 5);
    if (!base) {
        out.ok = false;
        return out;
    }
    int64_t count = (static_cast<int64_t>(*base) - 25) / 12;
    for (int64_t i = 0; i < count; ++i) {
        size_t entry = 24 + static_cast<size_t>(i) * 12;
        // Only whole directory entries inside the record are read.
        if (entry + 12 > record.size()) break;
        auto length = NumberAt(record, entry + 3, 4);
        auto start = NumberAt(record, entry + 7, 5);
        if (!length || !start) {
            out.ok = false;
            break;
        }
        size_t from = static_cast<size_t>(*base) + static_cast<size_t>(*start);
        out.fields.push_back({std::string(record.substr(entry, 3)),
                              std::string(Clamp(record, from, static_cast<size_t>(*length)))});
    }
    return out;
}

std::string Subfield(std::string_view data, char code, bool* found) {
    const char marker[2] = {kSubfield, code};
    size_t at = data.find(std::string_view(marker, 2));
    if (found) *found = at != std::string_view::npos;
    if (at == std::string_view::npos) return {};
    size_t begin = at + 2;
    size_t next = data.find(kSubfield, begin);
    if (next != std::string_view::npos) return std::string(data.substr(begin, next - begin));
    // The last subfield runs to the end of the field without its terminator. A field
    // cut short by the end of the record has no terminator and loses nothing.
    std::string_view rest = data.substr(std::min(begin, data.size()));
    if (!rest.empty() && rest.back() == '\x1E') rest.remove_suffix(1);
    return std::string(rest);
}

std::string FitColumn(std::string_view text, size_t width) {
    std::string t = Trim(text);
    if (t.size() > width) {
        if (width == 34) {
            t.resize(31);
            t += "...";
        } else {
            t.resize(width);
        }
        std::string repaired;
        repaired.reserve(t.size());
        for (size_t i = 0; i < t.size(); ++i) {
            auto c = static_cast<unsigned char>(t[i]);
            if (c < 0x80) {
                repaired += t[i];
            } else if (i + 1 < t.size() && static_cast<unsigned char>(t[i + 1]) > 63) {
                repaired += t[i];
                repaired += t[i + 1];
                ++i;
            }
        }
        t = std::move(repaired);
    }
    if (t.size() < width) t.append(width - t.size(), ' ');
    return t;
}

std::string DisplayLine(std::string_view recordText) {
    std::string record = Trim(recordText);
    if (record.size() < 20) return {};
    MarcFields read = ReadFields(record);
    if (!read.ok) return BadRecordLine();
    const SummaryFields s = SelectSummaryFields(read.fields);
    if (s.marc21) return Marc21DisplayLine(s);

    std::string line;
    if (s.title) {
        line = FitColumn(CnmarcTitle(s.title->data), 34);
        std::string f = Limit(Subfield(s.title->data, 'f'), 46);
        if (!f.empty()) line = FitColumn(line + f, 60);
    }
    if (s.publication) {
        const std::pair<char, std::pair<size_t, size_t>> parts[] = {
            {'a', {8, 69}}, {'c', {30, 85}}, {'d', {10, 95}}};
        for (auto& [code, limits] : parts) {
            std::string value = Limit(Subfield(s.publication->data, code), limits.first);
            if (!value.empty()) line = FitColumn(line + value, limits.second);
        }
    }
    if (s.isbn) line += Subfield(s.isbn->data, 'a');
    return line;
}

RecordSummary SummariseRecord(std::string_view recordText) {
    RecordSummary out;
    MarcFields read = ReadFields(Trim(recordText));
    if (!read.ok) return out;
    const SummaryFields s = SelectSummaryFields(read.fields);
    const char* publicationCodes = s.marc21 ? "abc" : "acd";
    if (s.title) {
        out.title = Trim(s.marc21 ? Marc21Title(s.title->data) : CnmarcTitle(s.title->data));
        out.responsibility =
            Trim(s.marc21 ? Marc21Responsibility(s) : Subfield(s.title->data, 'f'));
    }
    if (s.publication) {
        std::string* parts[] = {&out.place, &out.publisher, &out.date};
        for (int i = 0; i < 3; ++i) {
            std::string value = Subfield(s.publication->data, publicationCodes[i]);
            *parts[i] = s.marc21 ? WithoutClosingPunctuation(value) : Trim(value);
        }
    }
    if (s.isbn) out.isbn = Trim(Subfield(s.isbn->data, 'a'));
    return out;
}

std::string ShowControls(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        if (c == kSubfield) {
            out += " $";
        } else if (static_cast<unsigned char>(c) < 32) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> DetailLines(std::string_view recordText, const FieldLabels& labels) {
    std::vector<std::string> lines;
    for (auto& field : ReadFields(recordText).fields) {
        std::string label;
        if (auto hit = labels.find(field.tag); hit != labels.end()) label = Trim(hit->second);
        if (label.size() < 12) label.append(12 - label.size(), ' ');
        std::string line = label + " " + field.tag;
        if (field.tag > "005") {
            line += " " + std::string(Clamp(field.data, 0, 2)) + " $" +
                    std::string(Clamp(field.data, 3, std::string::npos));
        } else {
            line += "    " + field.data;
        }
        lines.push_back(ShowControls(line));
    }
    return lines;
}

std::string NormaliseIsbn(std::string_view text) {
    std::string t = Trim(text);
    std::string s;
    for (char c : t)
        if (c != '-' && c != ' ') s += c;
    if (s.size() == 9) s += '0';
    auto digits = [&](size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (s[i] < '0' || s[i] > '9') return false;
        return true;
    };
    std::string twelve;
    if (s.size() == 10 && digits(9)) {
        twelve = "978" + s.substr(0, 9);
    } else if ((s.size() == 13 && digits(13)) ||
               (s.size() == 12 && digits(12) && s.starts_with("97"))) {
        twelve = s.substr(0, 12);
    } else {
        return t;
    }
    int sum = 0;
    for (size_t i = 0; i < 12; ++i) sum += (twelve[i] - '0') * (i % 2 == 0 ? 1 : 3);
    return twelve + static_cast<char>('0' + (10 - sum % 10) % 10);
}

}  // namespace z39
