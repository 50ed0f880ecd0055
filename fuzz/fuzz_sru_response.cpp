// SRU answers: whatever a server sends, every record made from it is one well-formed GBK
// ISO 2709 record that passes the save check, and a diagnostic is words, never a crash.
#include "backends/sru.h"
#include "fuzz_support.h"
#include "records/iso2709.h"
#include "records/marc_charset.h"
#include "records/marc_record.h"
#include "records/record_gate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto response = z39::ParseSruResponse(AsText(data, size));
    if (!response) return 0;
    for (const auto& record : response->records) {
        if (!record.gbk) continue;
        FUZZ_CHECK(z39::IsWellFormedIso2709(*record.gbk));
        FUZZ_CHECK(z39::CheckRecordForSaving(*record.gbk).ok());
        z39::DisplayLine(*record.gbk);
    }
    for (const auto& diagnostic : response->diagnostics) z39::SruDiagnosticText(diagnostic);
    return 0;
}
