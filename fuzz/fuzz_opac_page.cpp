// OPAC record pages to field lines to MARC: the record's leader agrees with its bytes.
#include "backends/nlc_opac.h"
#include "backends/opac_record.h"
#include "common/gbk_text.h"
#include "fuzz_support.h"
#include "records/marc_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string page = AsText(data, size);
    std::string lines = z39::PageToFieldLines(page);
    for (const std::string& input : {lines, page}) {
        std::string record = z39::BookDataToBookMarc(input);
        auto length = z39::ToNumber(record.substr(0, 5));
        auto base = z39::ToNumber(record.substr(12, 5));
        FUZZ_CHECK(length && (*length == static_cast<int>(record.size()) || record.size() > 99999));
        FUZZ_CHECK(base && *base >= 25 && static_cast<size_t>(*base) <= record.size());
        FUZZ_CHECK(record[static_cast<size_t>(*base) - 1] == '\x1E');
        FUZZ_CHECK(record.back() == '\x1D');
        z39::DisplayLine(record);
    }
    z39::SetNumberOf(page);
    z39::HitCountOf(page);
    return 0;
}
