#include "backends/tcp_client.h"

#include "common/unique_fd.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "common/gbk_text.h"

namespace z39 {
namespace {

struct AddrInfoCloser {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

}  // namespace

const std::string& SocketErrorTitle() {
    static const std::string title = G("网络了解错误");
    return title;
}

PosixTcpClient::PosixTcpClient(int connectTimeoutMs) : connectTimeoutMs_(connectTimeoutMs) {}

PosixTcpClient::~PosixTcpClient() { Close(); }

void PosixTcpClient::Open(const std::string& host, int port) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &raw);
    std::unique_ptr<addrinfo, AddrInfoCloser> found(raw);
    if (rc != 0) {
        Report(rc == EAI_SYSTEM ? errno : rc);
        return;
    }
    int lastError = 0;
    for (addrinfo* a = found.get(); a; a = a->ai_next) {
        UniqueFd socket(
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        const int fd = socket.get();
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int err = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                int ready = ::poll(&p, 1, connectTimeoutMs_);
                socklen_t len = sizeof err;
                if (ready <= 0) {
                    err = ETIMEDOUT;
                } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                    err = errno;
                }
            }
        }
        if (err == 0) {
            fd_ = std::move(socket);
            return;
        }
        lastError = err;
    }
    Report(lastError);
}

void PosixTcpClient::Send(std::string_view text) {
    while (fd_.ok() && !text.empty()) {
        ssize_t n = ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{fd_.get(), POLLOUT, 0};
                ::poll(&p, 1, 1000);
                continue;
            }
            Report(errno);
            Close();
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

namespace {
constexpr size_t kMaxReadAtOnce = 1 << 20;
}  // namespace

std::string PosixTcpClient::ReadAvailable() {
    std::string out;
    char buffer[65536];
    // At most a few pieces a call, so a peer sending without pause cannot keep us here.
    while (fd_.ok() && out.size() < kMaxReadAtOnce) {
        ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            Close();  // the peer has sent everything
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Report(errno);
            Close();
        }
        break;
    }
    return out;
}

void PosixTcpClient::Close() { fd_.reset(); }

}  // namespace z39
