// The server's HTTP request handling: the head (request line and any headers), read whole
// and in two pieces, then the search target and the answer around it.
#include "fuzz_support.h"
#include "http_request.h"
#include "protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = AsText(data, size);
    ks::HttpRequestHead whole = ks::ParseHttpRequestHead(text);
    size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    ks::HttpRequestHead first = ks::ParseHttpRequestHead(std::string_view(text).substr(0, cut));
    if (first.state == ks::HttpRequestHead::kIncomplete) {
        ks::HttpRequestHead second = ks::ParseHttpRequestHead(text, cut);
        FUZZ_CHECK(second.state == whole.state);
        FUZZ_CHECK(second.target == whole.target);
    }
    if (whole.state == ks::HttpRequestHead::kComplete) {
        FUZZ_CHECK(!whole.target.empty() && whole.target[0] == '/');
        ks::Framing f = ks::ParseHttpTarget(whole.target);
        std::string answer =
            ks::HttpResponse(f.state == ks::Framing::kComplete ? 200 : 400, "text/plain", f.error);
        FUZZ_CHECK(answer.ends_with(f.error));
    }
    return 0;
}
