#pragma once

#include <string>
#include <string_view>

namespace ks {

// The head of an HTTP request as far as the protocol needs it: the request line. Header
// lines are skipped without being interpreted (no Range, no keep-alive, no chunking: one
// GET, one answer, then the connection closes).
struct HttpRequestHead {
    enum State { kIncomplete, kComplete, kBad } state = kIncomplete;
    std::string method;
    std::string target;
    std::string error;
};

// Reads the head from the bytes received so far (a blank line, CR LF or LF, ends it).
// `scanFrom` is where the search for that end may begin: bytes before it were looked at
// already. The whole head counts against kMaxRequestBytes.
HttpRequestHead ParseHttpRequestHead(std::string_view received, size_t scanFrom = 0);

// The bytes of a whole answer: status line, content type and length, "Connection: close".
std::string HttpResponse(int status, std::string_view contentType, std::string_view body);

}  // namespace ks
