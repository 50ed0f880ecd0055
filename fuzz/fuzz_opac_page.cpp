// OPAC record pages to field lines to MARC: every record made is well-formed ISO 2709, and
// none is made only when a field or the record would be too long for it.
#include "backends/nlc_opac.h"
#include "backends/opac_record.h"
#include "common/gbk_text.h"
#include "fuzz_support.h"
#include "records/iso2709.h"
#include "records/marc_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string page = AsText(data, size);
    std::string lines = z39::PageToFieldLines(page);
    for (const std::string& input : {lines, page}) {
        auto record = z39::BookDataToBookMarc(input);
        if (!record) {
            FUZZ_CHECK(input.size() > z39::kMaxIso2709Field);
            continue;
        }
        FUZZ_CHECK(z39::IsWellFormedIso2709(*record));
        z39::DisplayLine(*record);
    }
    z39::SetNumberOf(page);
    z39::HitCountOf(page);
    return 0;
}
