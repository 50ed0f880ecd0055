// The server's request framing, TCP and HTTP.
#include "fuzz_support.h"
#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = AsText(data, size);
    ks::Framing tcp = ks::ParseTcpRequest(text);
    if (tcp.state == ks::Framing::kComplete)
        FUZZ_CHECK(tcp.request.count >= 0 && tcp.request.start >= 0);
    ks::ParseHttpTarget(text);
    ks::PercentDecode(text);
    return 0;
}
