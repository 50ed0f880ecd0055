// DisplayLine and DetailLines on any record text.
#include "common/gbk_text.h"
#include "fuzz_support.h"
#include "records/marc_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string record = AsText(data, size);
    std::string line = z39::DisplayLine(record);
    // Never longer than the fixed columns plus the ISBN of the (trimmed) record: CNMARC's
    // 010 $a, or MARC21's 020 $a for a record read as MARC21.
    std::string isbn;
    for (const auto& f : z39::ReadFields(z39::Trim(record)).fields) {
        std::string a = f.tag == "010"   ? z39::Subfield(f.data, 'a')
                        : f.tag == "020" ? z39::Subfield(f.data, 'a')
                                         : std::string();
        if (a.size() > isbn.size()) isbn = a;
    }
    FUZZ_CHECK(line == z39::BadRecordLine() || line.size() <= 95 + isbn.size());
    // One detail line per directory entry that can be read.
    auto lines = z39::DetailLines(record, {{"200", "title"}});
    FUZZ_CHECK(lines.size() == z39::ReadFields(record).fields.size());
    for (const auto& l : lines) z39::FitColumn(l, 34);
    return 0;
}
