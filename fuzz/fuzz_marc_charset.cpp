// A record's character set told from its bytes and its conversion to GBK, on any bytes:
// invalid UTF-8, cut MARC-8 escapes, records that claim one set and hold another. What comes
// out is always one well-formed ISO 2709 record, whose leader says its length.
#include "fuzz_support.h"
#include "records/iso2709.h"
#include "records/marc_charset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string record = AsText(data, size);
    const z39::RecordCharset detected = z39::DetectRecordCharset(record);
    for (auto from : {detected, z39::RecordCharset::kUtf8, z39::RecordCharset::kMarc8,
                      z39::RecordCharset::kBig5}) {
        int references = 0;
        auto gbk = z39::RecordToGbk(record, from, &references);
        if (!gbk) continue;
        FUZZ_CHECK(references >= 0);
        if (from == z39::RecordCharset::kGbk) {
            FUZZ_CHECK(*gbk == record);
        } else {
            FUZZ_CHECK(z39::IsWellFormedIso2709(*gbk));
        }
    }
    return 0;
}
