// The external client's record file and its output scan.
#include "backends/external_z39.h"
#include "common/z39_error.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = ScratchPath("marc");
    z39::ReplaceFileAtomically(path, AsText(data, size));
    try {
        z39::RecordFile f = z39::ReadRecordFile(path, true);
        FUZZ_CHECK(f.hits >= 0);
    } catch (const z39::Z39Error&) {
    }
    z39::ReadRecordFile(path, false);
    z39::ClientReportedConnectionFailure(path);
    return 0;
}
