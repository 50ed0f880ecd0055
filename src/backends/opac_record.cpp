#include "backends/opac_record.h"

#include <algorithm>
#include <cstdio>

#include "backends/subfield_order.h"
#include "common/gbk_text.h"

namespace z39 {
namespace {

constexpr const char* kFieldEntryMark = "000000, ,";

// The list's order: whole entries compared without ASCII case; equal ones by their bytes.
bool WorkListLess(const std::string& a, const std::string& b) {
    std::string la = LowerAscii(a), lb = LowerAscii(b);
    if (la != lb) return la < lb;
    return a < b;
}

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

    // GetiHeadAndsList: one field into directory and data.
    void GetiHeadAndsList(const std::string& tagAndText) {
        std::string tag = tagAndText.substr(0, 3);
        std::string text = tagAndText.size() > 3 ? tagAndText.substr(3) : std::string();
        if (text.empty()) return;
        long long length = static_cast<long long>(text.size()) + 1;
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
    std::string result;
    std::string rest = page;
    while (true) {
        size_t at = rest.find(marker);
        if (at == std::string::npos) break;
        rest.erase(0, at + marker.size());
        std::string label;
        size_t nowrap = rest.find("nowrap>");
        if (nowrap != std::string::npos) {
            label = rest.substr(nowrap + 7, 20);
            label = Trim(label.substr(0, label.find("</td>"))) + "     ";
            label.resize(5);
        } else {
            label = "     ";
        }
        std::string value;
        size_t cell = rest.find("class=td1>");
        if (cell != std::string::npos) {
            value = rest.substr(cell + 10);
            value = Trim(value.substr(0, value.find("</td>")));
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
    for (const std::string& line : TextLines(fieldLines + "\r\n")) {
        std::string tag = line.substr(0, 3);
        if (tag < "000" || tag > "999") continue;
        if (line.find('|') == std::string::npos) {
            list.push_back(tag + kFieldEntryMark + Trim(line.size() > 3 ? line.substr(3) : ""));
            continue;
        }
        const std::string head = tag + "000000";
        bool known = std::any_of(list.begin(), list.end(),
                                 [&](const std::string& e) { return e.compare(0, 9, head) == 0; });
        if (!known)
            list.push_back(tag + kFieldEntryMark + (line.size() > 3 ? line.substr(3, 2) : ""));
        std::string subfields = (line.size() > 6 ? line.substr(6) : std::string()) + "|";
        size_t start = 0;
        while (true) {
            size_t bar = subfields.find('|', start);
            if (bar == std::string::npos) break;
            std::string piece = subfields.substr(start, bar - start);
            start = bar + 1;
            std::string code = piece.substr(0, 1);
            std::string text = Trim(piece.size() > 1 ? piece.substr(1) : "");
            list.push_back(tag + "000" + GetMarcSubFieldOrder(tag, code) + "," + code + "," + text);
        }
    }
    std::stable_sort(list.begin(), list.end(), WorkListLess);
    return list;
}

std::string DoAllFieldsValue(const std::vector<std::string>& workList) {
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
            if (currentTag < "010") {
                currentText = afterSecond;
            } else {
                currentText = afterSecond.substr(0, 2);
                currentText.resize(2, ' ');
            }
        } else {
            currentText += std::string("\x1F") + afterComma + afterSecond;
        }
    }
    // The last field is added as it is, even a "000" one.
    if (!currentTag.empty()) a.GetiHeadAndsList(currentTag + currentText);
    a.directoryLength += 1;
    a.directory += "\x1E";
    std::string type = a.typePart.substr(0, 5);
    type.resize(5, ' ');
    // The record length counts the record terminator too, as ISO 2709 has it.
    std::string leader = Digits(a.dataLength + a.directoryLength + 24 + 1, 5) + type + "22" +
                         Digits(a.directoryLength + 24, 5) + "   450 ";
    return leader + a.directory + a.data;
}

std::string BookDataToBookMarc(const std::string& fieldLines) {
    std::string record = DoAllFieldsValue(WorkList(fieldLines)) + "\x1D";
    for (char& c : record) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return record;
}

}  // namespace z39
