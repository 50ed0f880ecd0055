#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace z39::test {

// A loopback port P such that P and P + 1 are both free at this moment (the shared
// catalogue server listens on both). 0 when none was found.
inline int FreePortPair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int a = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(a, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::getsockname(a, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ::close(a);
            continue;
        }
        int port = ntohs(addr.sin_port);
        int b = ::socket(AF_INET, SOCK_STREAM, 0);
        addr.sin_port = htons(static_cast<uint16_t>(port + 1));
        bool ok = port < 65534 && ::bind(b, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(a);
        ::close(b);
        if (ok) return port;
    }
    return 0;
}

// A loopback port that is free at this moment.
inline int FreePort() { return FreePortPair(); }

}  // namespace z39::test
