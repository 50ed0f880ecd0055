#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/unique_fd.h"

namespace z39 {

// The shared catalogue's TCP client: open, connected?, send, read what has arrived
// without waiting, close. A socket error is kept as its numeric code, for the window to
// show (title "网络了解错误"); the exchange then goes on as far as the connection allows.
class TcpClient {
  public:
    virtual ~TcpClient() = default;
    // A failure leaves the client not connected.
    virtual void Open(const std::string& host, int port) = 0;
    virtual bool Connected() const = 0;
    virtual void Send(std::string_view text) = 0;
    // What has arrived; empty when nothing has. When the peer has closed, the client is
    // no longer connected afterwards.
    virtual std::string ReadAvailable() = 0;
    virtual void Close() = 0;
    // The socket, for waiting until it is readable; -1 when there is none to wait on.
    virtual int fd() const { return -1; }
    // The socket error codes met since the last call, in order.
    virtual std::vector<int> TakeErrors() { return {}; }
};

// POSIX sockets. Connecting gives up after `connectTimeoutMs`.
class PosixTcpClient final : public TcpClient {
  public:
    explicit PosixTcpClient(int connectTimeoutMs = 10000);
    ~PosixTcpClient() override;
    PosixTcpClient(const PosixTcpClient&) = delete;
    PosixTcpClient& operator=(const PosixTcpClient&) = delete;

    void Open(const std::string& host, int port) override;
    bool Connected() const override { return fd_.ok(); }
    void Send(std::string_view text) override;
    std::string ReadAvailable() override;
    void Close() override;
    int fd() const override { return fd_.get(); }
    std::vector<int> TakeErrors() override { return std::exchange(errors_, {}); }

  private:
    void Report(int code) { errors_.push_back(code); }
    int connectTimeoutMs_;
    std::vector<int> errors_;
    UniqueFd fd_;
};

// Makes a new client for one exchange, so that every fetch has sockets of its own.
using TcpConnector = std::function<std::unique_ptr<TcpClient>()>;

// The title of the socket-error message: "网络了解错误" in GBK.
const std::string& SocketErrorTitle();

}  // namespace z39
