// SRU answers: whatever a server sends, every record made from it is one well-formed ISO 2709
// record that the GBK conversion can take, and a diagnostic is words, never a crash.
#include "backends/sru.h"
#include "fuzz_support.h"
#include "records/iso2709.h"
#include "records/marc_charset.h"
#include "records/marc_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto response = z39::ParseSruResponse(AsText(data, size));
    if (!response) return 0;
    for (const auto& record : response->records) {
        if (!record.iso2709) continue;
        FUZZ_CHECK(z39::IsWellFormedIso2709(*record.iso2709));
        if (auto gbk = z39::RecordToGbk(*record.iso2709, z39::RecordCharset::kUtf8)) {
            FUZZ_CHECK(z39::IsWellFormedIso2709(*gbk));
            z39::DisplayLine(*gbk);
        }
    }
    for (const auto& diagnostic : response->diagnostics) z39::SruDiagnosticText(diagnostic);
    return 0;
}
