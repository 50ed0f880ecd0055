// The server's TCP request framing, whole and fed in two pieces, and its HTTP targets.
#include "fuzz_support.h"
#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = AsText(data, size);
    ks::Framing tcp = ks::ParseTcpRequest(text);
    if (tcp.state == ks::Framing::kComplete) FUZZ_CHECK(tcp.request.where.size() < text.size());
    // Read in two pieces, the request frames exactly as when read whole.
    size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    ks::TcpScan scan;
    ks::Framing first = ks::ParseTcpRequest(std::string_view(text).substr(0, cut), scan);
    FUZZ_CHECK(scan.pos <= cut);
    if (first.state == ks::Framing::kIncomplete) {
        ks::Framing second = ks::ParseTcpRequest(text, scan);
        FUZZ_CHECK(second.state == tcp.state);
        if (tcp.state == ks::Framing::kComplete)
            FUZZ_CHECK(second.request.where == tcp.request.where);
    }
    ks::ParseHttpTarget(text);
    ks::PercentDecode(text);
    return 0;
}
