#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace z39::test {

// A blocking loopback TCP connection for tests; closed when it goes away.
class LoopbackConnection {
  public:
    // `receiveBuffer` (bytes, 0: the system's) is set before connecting, so a peer that
    // does not read can be made to fill it quickly.
    explicit LoopbackConnection(int port, int receiveBuffer = 0)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~LoopbackConnection() {
        if (fd_ >= 0) ::close(fd_);
    }
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool Send(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }
    // Everything until the peer closes, or what came within `timeoutMs`.
    std::string ReadAll(int timeoutMs = 10000) {
        std::string out;
        char buf[65536];
        while (true) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

  private:
    int fd_;
};

// One request over a new connection; the whole answer.
inline std::string TcpExchange(int port, const std::string& request) {
    LoopbackConnection c(port);
    if (!c.ok() || !c.Send(request)) return "<no connection>";
    return c.ReadAll();
}

}  // namespace z39::test
