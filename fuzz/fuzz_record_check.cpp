// The ISO 2709 check on any bytes: it never reads outside them, and what it passes every
// reader of ours takes whole, each field ending at its terminator; its fields laid out
// again make a record that passes too.
#include "fuzz_support.h"
#include "records/iso2709.h"
#include "records/marc_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string record = AsText(data, size);
    if (!z39::IsWellFormedIso2709(record)) return 0;
    const z39::MarcFields read = z39::ReadFields(record);
    FUZZ_CHECK(read.ok);
    for (const auto& field : read.fields)
        FUZZ_CHECK(!field.data.empty() && field.data.back() == '\x1E');
    // Overlapping fields may make the rebuilt record too long; otherwise it passes.
    if (auto rebuilt = z39::BuildIso2709(record.substr(0, 24), read.fields))
        FUZZ_CHECK(z39::IsWellFormedIso2709(*rebuilt));
    z39::DisplayLine(record);
    z39::DetailLines(record, {});
    return 0;
}
