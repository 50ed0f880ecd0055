#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace z39::test {

// A loopback server that plays one script per accepted connection, on its own thread.
// A script step sends text, waits, or holds the connection open without answering.
class ScriptedServer {
  public:
    struct Step {
        std::string send;
        int delayMsBefore = 0;
    };
    struct Script {
        std::vector<Step> steps;
        bool hang = false;  // keep the connection open until the server goes away
        // After the steps: called again and again (until it returns false or the server
        // goes away) to stream without end.
        std::function<bool(int fd)> stream = nullptr;
    };

    explicit ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        ::listen(listener_, 16);
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // What each connection sent before the script ran (the request).
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    bool WaitReadable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }
    void Run() {
        for (auto& script : scripts_) {
            int fd = -1;
            while (!stop_ && fd < 0) {
                if (WaitReadable(listener_, 50)) fd = ::accept(listener_, nullptr, nullptr);
            }
            if (fd < 0) return;
            std::string request;
            char buf[4096];
            while (request.find("BAG_END") == std::string::npos &&
                   request.find("\r\n\r\n") == std::string::npos && WaitReadable(fd, 2000)) {
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                request.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            for (auto& step : script.steps) {
                std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMsBefore));
                ::send(fd, step.send.data(), step.send.size(), MSG_NOSIGNAL);
            }
            while (script.stream && !stop_ && script.stream(fd)) {
            }
            while (script.hang && !stop_)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::close(fd);
        }
    }

    std::vector<Script> scripts_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace z39::test
