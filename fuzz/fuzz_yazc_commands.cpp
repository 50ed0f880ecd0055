// yazc's command reader and the records a show presents.
#include "fuzz_support.h"
#include "yazc_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    yazc::Command c = yazc::ParseCommand(AsText(data, size));
    for (int64_t hits : {0, 1, 25}) {
        yazc::ShowRange r = yazc::RangeToShow(c, hits, 3);
        FUZZ_CHECK(r.n >= 0 && (r.n == 0 || (r.first >= 0 && r.first + r.n <= hits)));
    }
    yazc::RecordLine(AsText(data, size));
    return 0;
}
