#include "backends/opac_record.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "backends/subfield_order.h"
#include "common/gbk_text.h"
#include "records/iso2709.h"

namespace z39 {
namespace {

constexpr const char* kFieldEntryMark = "000000, ,";

std::string Digits(long long value, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lld", width, value);
    std::string s(buf);
    return s.substr(s.size() - static_cast<size_t>(width));
}

std::string ReplaceNbsp(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.size() - i >= 6 && EqualsNoCase(std::string_view(text).substr(i, 6), "&nbsp;")) {
            out += ' ';
            i += 6;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// The running state of one record's assembly.
struct Assembly {
    std::string directory, data;
    long long dataLength = 0, directoryLength = 0;
    std::string typePart = "nam0 ";
    bool fieldTooLong = false;  // ISO 2709 cannot say its length

    // GetiHeadAndsList: one field into directory and data.
    void GetiHeadAndsList(const std::string& tagAndText) {
        std::string tag = tagAndText.substr(0, 3);
        std::string text = tagAndText.size() > 3 ? tagAndText.substr(3) : std::string();
        if (text.empty()) return;
        long long length = static_cast<long long>(text.size()) + 1;
        if (length > static_cast<long long>(kMaxIso2709Field)) fieldTooLong = true;
        directory += tag + Digits(length, 4) + Digits(dataLength, 5);
        dataLength += length;
        directoryLength += 12;
        data += text + "\x1E";
    }
};

}  // namespace

std::string GetMarcSubFieldOrder(const std::string& tag, const std::string& code) {
    if (tag.empty() || code.empty()) return "999";
    std::string key = tag + code;
    std::string order = "99";
    for (const auto& row : SubfieldOrderTable()) {
        if (row.compare(0, 4, key) == 0) {
            order = row.substr(4);
            if (order.size() < 2) order = "0" + order;
            break;
        }
    }
    char c = code[0];
    return order + ((c >= 'A' && c <= 'Z') ? "1" : "0");
}

std::string PageToFieldLines(const std::string& page) {
    static const std::string marker = "<!-- filename: full-000-body -->";
    const std::string_view text(page);
    std::string result;
    // Each block runs from one marker to the next; its label and value are looked for
    // inside it, so a page of many blocks is read in one pass.
    size_t at = text.find(marker);
    while (at != std::string_view::npos) {
        const size_t from = at + marker.size();
        at = text.find(marker, from);
        const std::string_view block =
            text.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from);
        std::string label;
        const size_t nowrap = block.find("nowrap>");
        if (nowrap != std::string_view::npos) {
            std::string_view cell = block.substr(nowrap + 7, 20);
            label = Trim(std::string(cell.substr(0, cell.find("</td>")))) + "     ";
            label.resize(5);
        } else {
            label = "     ";
        }
        std::string value;
        const size_t cell = block.find("class=td1>");
        if (cell != std::string_view::npos) {
            std::string_view rest = block.substr(cell + 10);
            value = Trim(std::string(rest.substr(0, rest.find("</td>"))));
        }
        // One cell is one field line: a line break inside the cell is a blank, so only the
        // page's own cells split lines.
        std::string line = ReplaceNbsp(label + value);
        std::replace(line.begin(), line.end(), '\r', ' ');
        std::replace(line.begin(), line.end(), '\n', ' ');
        result += line + "\r\n";
    }
    return result;
}

std::vector<std::string> WorkList(const std::string& fieldLines) {
    std::vector<std::string> list;
    // The tags that have an entry beginning with "000000" after the tag.
    std::unordered_set<std::string> headed;
    auto push = [&](std::string entry) {
        if (entry.compare(3, 6, "000000") == 0) headed.insert(entry.substr(0, 3));
        list.push_back(std::move(entry));
    };
    for (const std::string& line : TextLines(fieldLines + "\r\n")) {
        std::string tag = line.substr(0, 3);
        if (tag < "000" || tag > "999") continue;
        if (line.find('|') == std::string::npos) {
            push(tag + kFieldEntryMark + Trim(line.size() > 3 ? line.substr(3) : ""));
            continue;
        }
        // The field's own entry (its tag and "000000") comes once, before its subfields.
        if (!headed.count(tag))
            push(tag + kFieldEntryMark + (line.size() > 3 ? line.substr(3, 2) : ""));
        std::string subfields = (line.size() > 6 ? line.substr(6) : std::string()) + "|";
        size_t start = 0;
        while (true) {
            size_t bar = subfields.find('|', start);
            if (bar == std::string::npos) break;
            std::string piece = subfields.substr(start, bar - start);
            start = bar + 1;
            std::string code = piece.substr(0, 1);
            std::string text = Trim(piece.size() > 1 ? piece.substr(1) : "");
            push(tag + "000" + GetMarcSubFieldOrder(tag, code) + "," + code + "," + text);
        }
    }
    // Sorted on keys made once per entry, not once per comparison.
    std::vector<std::pair<std::string, size_t>> keys;
    keys.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) keys.emplace_back(LowerAscii(list[i]), i);
    std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return list[a.second] < list[b.second];
    });
    std::vector<std::string> sorted;
    sorted.reserve(list.size());
    for (const auto& key : keys) sorted.push_back(std::move(list[key.second]));
    return sorted;
}

namespace {

Assembly Assemble(const std::vector<std::string>& workList) {
    Assembly a;
    std::string currentTag, currentText;
    auto finish = [&] {
        if (currentTag.empty()) return;
        if (currentTag == "000") {
            a.typePart = currentText;
        } else {
            a.GetiHeadAndsList(currentTag + currentText);
        }
    };
    for (const auto& entry : workList) {
        size_t comma1 = entry.find(',');
        size_t comma2 =
            comma1 == std::string::npos ? std::string::npos : entry.find(',', comma1 + 1);
        char afterComma =
            comma1 != std::string::npos && comma1 + 1 < entry.size() ? entry[comma1 + 1] : ' ';
        std::string afterSecond =
            comma2 == std::string::npos ? std::string() : entry.substr(comma2 + 1);
        if (afterComma == ' ') {
            finish();
            currentTag = entry.substr(0, 3);
            if (currentTag.starts_with("00")) {  // a control field: no indicators
                currentText = afterSecond;
            } else {
                // Indicators are ASCII; anything else in their place is read as a blank.
                currentText = afterSecond.substr(0, 2);
                currentText.resize(2, ' ');
                for (char& c : currentText)
                    if (static_cast<unsigned char>(c) >= 0x80) c = ' ';
            }
        } else {
            currentText += std::string("\x1F") + afterComma + afterSecond;
        }
    }
    // The last field is added as it is, even a "000" one.
    if (!currentTag.empty()) a.GetiHeadAndsList(currentTag + currentText);
    a.directoryLength += 1;
    a.directory += "\x1E";
    return a;
}

std::string Joined(const Assembly& a) {
    std::string type = a.typePart.substr(0, 5);
    type.resize(5, ' ');
    // The record length counts the record terminator too, as ISO 2709 has it.
    std::string leader = Digits(a.dataLength + a.directoryLength + 24 + 1, 5) + type + "22" +
                         Digits(a.directoryLength + 24, 5) + "   450 ";
    return leader + a.directory + a.data;
}

}  // namespace

std::string DoAllFieldsValue(const std::vector<std::string>& workList) {
    return Joined(Assemble(workList));
}

std::optional<std::string> BookDataToBookMarc(const std::string& fieldLines) {
    const Assembly a = Assemble(WorkList(fieldLines));
    if (a.fieldTooLong ||
        a.dataLength + a.directoryLength + 24 + 1 > static_cast<long long>(kMaxIso2709Record))
        return std::nullopt;
    std::string record = Joined(a) + "\x1D";
    for (char& c : record) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return record;
}

}  // namespace z39
