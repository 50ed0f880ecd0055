#include "records/record_gate.h"

#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

bool LineBreakOrTerminator(char c) { return c == '\r' || c == '\n' || c == '\0' || c == '\x1D'; }

GatedRecord Refused(std::string reason) {
    GatedRecord out;
    out.reason = std::move(reason);
    return out;
}

}  // namespace

GatedRecord CheckRecordForSaving(std::string_view record) {
    if (record.empty()) return Refused(G("记录是空的"));
    if (record.size() > kMaxIso2709Record)
        return Refused(G("记录有") + std::to_string(record.size()) +
                       G("字节，超出ISO 2709的限度（99999字节）"));
    std::string text(record);
    // Leader and directory are checked as they came; inside the data, what would break a
    // line of the daily file or end the record early becomes a blank (same length, so
    // the directory still holds).
    if (!IsWellFormedIso2709(text)) return Refused(G("记录结构不完整（ISO 2709）"));
    const MarcFields read = ReadFields(text);
    if (!read.ok) return Refused(G("记录结构不完整（ISO 2709）"));
    for (const MarcField& field : read.fields) {
        for (char c : field.tag)
            if (c < 0x20 || c >= 0x7F) return Refused(G("记录中有无效的字段标识符"));
        if (field.tag.compare(0, 2, "00") == 0) continue;
        for (size_t i = 0; i < 2; ++i) {
            const unsigned char c = static_cast<unsigned char>(field.data[i]);
            if (c < 0x20 || c >= 0x7F)
                return Refused(G("字段") + field.tag + G("的指示符是控制字符或非ASCII字符"));
        }
    }
    const size_t base = static_cast<size_t>(std::stoul(text.substr(12, 5)));
    for (size_t i = 0; i + 1 < text.size(); ++i)
        if (LineBreakOrTerminator(text[i])) text[i] = ' ';
    // A field terminator inside a field's data: the directory says where fields end.
    std::string ends(text.size(), '\0');
    for (size_t entry = 24; entry + 12 <= base - 1; entry += 12) {
        const size_t len = std::stoul(text.substr(entry + 3, 4));
        const size_t start = std::stoul(text.substr(entry + 7, 5));
        ends[base + start + len - 1] = 1;
    }
    for (size_t i = base; i + 1 < text.size(); ++i)
        if (text[i] == '\x1E' && !ends[i]) text[i] = ' ';
    if (const auto bad = InvalidGbkAt(text))
        return Refused(G("记录第") + std::to_string(*bad + 1) + G("字节起不是有效的GBK字符"));
    GatedRecord out;
    out.record = std::move(text);
    return out;
}

std::string RefusedRecordText(std::string_view record, const std::string& reason) {
    std::string what = Trim(DisplayLine(record));
    if (what.empty() || what == BadRecordLine() || !IsValidGbk(what)) {
        what.clear();
        for (const auto& field : ReadFields(record).fields)
            if (field.tag == "001") what = Trim(field.data.substr(0, field.data.size() - 1));
        if (!IsValidGbk(what)) what.clear();
    }
    if (what.empty()) what = G("（无法显示）");
    return G("记录[") + what + G("]没有保存：") + reason;
}

}  // namespace z39
