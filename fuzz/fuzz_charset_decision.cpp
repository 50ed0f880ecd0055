// The character-set decision, the conversion and the save check on any bytes: what comes out
// is either a refusal with its reason or a record that passes the save check. A record read
// in UTF-8, MARC-8 or Big5 always does; a check passed once passes again unchanged.
#include "common/gbk_text.h"
#include "fuzz_support.h"
#include "records/iso2709.h"
#include "records/marc_charset.h"
#include "records/record_gate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string record = AsText(data, size);
    for (std::optional<z39::RecordCharset> known :
         {std::optional<z39::RecordCharset>(), std::optional(z39::RecordCharset::kGbk),
          std::optional(z39::RecordCharset::kUtf8), std::optional(z39::RecordCharset::kMarc8)}) {
        int references = 0;
        std::string why;
        z39::RecordCharset decided = z39::RecordCharset::kGbk;
        auto gbk = z39::ConvertRecordToGbk(record, known, &references, &why, &decided);
        if (!gbk) {
            FUZZ_CHECK(!why.empty());
            continue;
        }
        const z39::GatedRecord gated = z39::CheckRecordForSaving(*gbk);
        if (decided != z39::RecordCharset::kGbk) FUZZ_CHECK(gated.ok());
        if (!gated.ok()) {
            FUZZ_CHECK(!gated.reason.empty());
            continue;
        }
        FUZZ_CHECK(z39::IsWellFormedIso2709(*gated.record));
        FUZZ_CHECK(z39::IsValidGbk(*gated.record));
        FUZZ_CHECK(gated.record->find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        const z39::GatedRecord again = z39::CheckRecordForSaving(*gated.record);
        FUZZ_CHECK(again.ok() && *again.record == *gated.record);
    }
    return 0;
}
