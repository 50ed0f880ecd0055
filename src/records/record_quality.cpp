#include "records/record_quality.h"

#include <cctype>

#include "common/gbk_text.h"
#include "records/daily_file.h"
#include "records/iso2709.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

// The data of every field with `tag`, in record order.
std::vector<std::string_view> FieldsTagged(const MarcFields& read, std::string_view tag) {
    std::vector<std::string_view> out;
    for (const auto& f : read.fields)
        if (f.tag == tag) out.push_back(f.data);
    return out;
}

// True when some field tagged `tag` has subfield `code` holding more than blanks.
bool Has(const MarcFields& read, std::string_view tag, char code) {
    for (std::string_view data : FieldsTagged(read, tag)) {
        bool found = false;
        const std::string value = Subfield(data, code, &found);
        if (found && !Trim(value).empty()) return true;
    }
    return false;
}

bool HasValidIsbn(const MarcFields& read, std::string_view tag) {
    for (std::string_view data : FieldsTagged(read, tag))
        if (!IsbnInText(Subfield(data, 'a')).empty()) return true;
    return false;
}

// A control field's data, without its terminator; empty when the record has none.
std::string ControlField(const MarcFields& read, std::string_view tag) {
    for (std::string_view data : FieldsTagged(read, tag)) {
        std::string value(data);
        while (!value.empty() && (value.back() == '\x1E' || value.back() == '\x1D'))
            value.pop_back();
        return value;
    }
    return {};
}

int CnmarcEssentials(const MarcFields& r) {
    return HasValidIsbn(r, "010") + Has(r, "010", 'd') + Has(r, "100", 'a') + Has(r, "101", 'a') +
           Has(r, "200", 'f') + Has(r, "210", 'c') + Has(r, "210", 'd') + Has(r, "215", 'a') +
           Has(r, "606", 'a') + Has(r, "690", 'a') + (Has(r, "701", 'a') || Has(r, "702", 'a'));
}

int Marc21Essentials(const MarcFields& r) {
    const std::string f008 = ControlField(r, "008");
    const bool language008 =
        f008.size() >= 38 && !Trim(f008.substr(35, 3)).empty() && f008.substr(35, 3) != "|||";
    return HasValidIsbn(r, "020") + !Trim(f008).empty() + (Has(r, "041", 'a') || language008) +
           (Has(r, "100", 'a') || Has(r, "110", 'a')) + Has(r, "245", 'c') +
           (Has(r, "260", 'b') || Has(r, "264", 'b')) + (Has(r, "260", 'c') || Has(r, "264", 'c')) +
           Has(r, "300", 'a') + Has(r, "650", 'a') + (Has(r, "050", 'a') || Has(r, "082", 'a')) +
           Has(r, "700", 'a');
}

}  // namespace

RecordQuality AssessRecord(std::string_view record) {
    RecordQuality q;
    if (!IsWellFormedIso2709(record)) return q;
    const MarcFields read = ReadFields(record);
    if (!read.ok) return q;
    const bool cnmarc = !FieldsTagged(read, "200").empty();
    const bool marc21 = !cnmarc && !FieldsTagged(read, "245").empty();
    q.usable = cnmarc ? Has(read, "200", 'a') : marc21 && Has(read, "245", 'a');
    if (!q.usable) return q;
    q.essentials = cnmarc ? CnmarcEssentials(read) : Marc21Essentials(read);
    q.fields = static_cast<int>(read.fields.size());
    return q;
}

bool BetterRecord(const RecordQuality& a, const RecordQuality& b) {
    if (a.usable != b.usable) return a.usable;
    if (a.essentials != b.essentials) return a.essentials > b.essentials;
    return a.fields > b.fields;
}

std::string BookKey(std::string_view record) {
    const std::vector<std::string> isbns = RecordIsbns(record);
    if (!isbns.empty()) return "I" + isbns.front();
    const RecordSummary summary = SummariseRecord(record);
    std::string title;
    for (size_t i = 0; i < summary.title.size(); ++i) {
        const auto c = static_cast<unsigned char>(summary.title[i]);
        if (c >= 0x80 && i + 1 < summary.title.size()) {
            // A double-byte character as it is, but for GBK's punctuation and symbol rows.
            if (c < 0xA1 || c > 0xA9) title += summary.title.substr(i, 2);
            ++i;
        } else if (std::isalnum(c)) {
            title += static_cast<char>(std::toupper(c));
        }
    }
    if (title.empty()) return {};
    std::string year;
    for (char c : summary.date) {
        if (std::isdigit(static_cast<unsigned char>(c))) year += c;
        if (year.size() == 4) break;
    }
    return "T" + title + "|" + year;
}

size_t BestRecordIndex(const std::vector<std::string>& records) {
    size_t best = 0;
    RecordQuality bestQuality;
    for (size_t i = 0; i < records.size(); ++i) {
        const RecordQuality q = AssessRecord(records[i]);
        if (i == 0 || BetterRecord(q, bestQuality)) {
            best = i;
            bestQuality = q;
        }
    }
    return best;
}

}  // namespace z39
