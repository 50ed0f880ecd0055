#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace z39::test {

// A blocking loopback TCP connection for tests; closed when it goes away.
class LoopbackConnection {
  public:
    // `receiveBuffer` (bytes, 0: the system's) is set before connecting, so a peer that
    // does not read can be made to fill it quickly.
    // `from` (a 127.x.y.z address, or empty) is the address this end binds to, so one
    // machine can play several peers.
    explicit LoopbackConnection(int port, int receiveBuffer = 0, const char* from = nullptr)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
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
    // Everything until the peer closes, or what came within `timeoutMs` in all; closed()
    // tells which.
    std::string ReadAll(int timeoutMs = 10000) {
        std::string out;
        char buf[65536];
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    // The peer closed the connection (or it failed) during the last ReadAll.
    bool closed() const { return closed_; }
    // The port of this end, as the server's log names it.
    int LocalPort() const {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
        return ntohs(local.sin_port);
    }
    // The peer has closed or reset the connection, seen without reading what it sent.
    bool Gone() const {
        pollfd p{fd_, POLLRDHUP, 0};
        return fd_ < 0 || (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)));
    }

  private:
    int fd_;
    bool closed_ = false;
};

// One request over a new connection; the whole answer.
inline std::string TcpExchange(int port, const std::string& request, int timeoutMs = 10000) {
    LoopbackConnection c(port);
    if (!c.ok() || !c.Send(request)) return "<no connection>";
    std::string answer = c.ReadAll(timeoutMs);
    return c.closed() ? answer : "<no answer within " + std::to_string(timeoutMs) + " ms>";
}

}  // namespace z39::test
