#include "server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "catalogue_db.h"
#include "protocol.h"
#include "where_clause.h"

namespace ks {
namespace {

using Clock = std::chrono::steady_clock;

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::mutex logMutex;

void Log(const std::string& peer, const char* transport, const std::string& where,
         const std::string& outcome, Clock::time_point started) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::string shown = where.size() > 200 ? where.substr(0, 200) + "..." : where;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    std::lock_guard<std::mutex> lock(logMutex);
    std::cerr << stamp << " " << peer << " " << transport << " where=[" << shown << "] " << outcome
              << " " << ms << "ms" << std::endl;
}

// One read-only connection per thread.
CatalogueDb& ThreadDb(const std::string& path) {
    thread_local std::unique_ptr<CatalogueDb> db;
    if (!db) db = std::make_unique<CatalogueDb>(path, false);
    return *db;
}

struct Answer {
    bool ok = false;
    std::string error;
    CatalogueDb::Page page;
};

Answer Search(const std::string& dbPath, const Request& req) {
    Answer a;
    ParseResult parsed = ParseWhereClause(req.where);
    if (!parsed.ok) {
        a.error = parsed.error;
        return a;
    }
    try {
        a.page = ThreadDb(dbPath).Search(parsed.clause, req.start, req.count, req.first);
        a.ok = true;
    } catch (const std::exception& e) {
        a.error = e.what();
    }
    return a;
}

std::string Outcome(const Answer& a, bool first) {
    if (!a.ok) return "refused(" + a.error + ")";
    std::string out = "hits=" + std::to_string(a.page.hits.size());
    if (first) out += " total=" + std::to_string(a.page.total);
    return out;
}

bool SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string PeerName(const sockaddr_in& addr) {
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

void ServeTcpConnection(int fd, std::string peer, const ServerOptions& options) {
    Socket socket(fd);
    auto started = Clock::now();
    auto deadline = started + std::chrono::milliseconds(options.readTimeoutMs);
    std::string received;
    Framing framing;
    char buffer[8192];
    while (framing.state == Framing::kIncomplete) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            Log(peer, "tcp", received, "closed(read time-out)", started);
            return;
        }
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Log(peer, "tcp", received, "closed(by peer before a whole request)", started);
            return;
        }
        received.append(buffer, static_cast<size_t>(n));
        framing = ParseTcpRequest(received);
    }
    if (framing.state == Framing::kBad) {
        SendAll(fd, kRefusedTcpAnswer);
        Log(peer, "tcp", received.substr(0, 200), "refused(" + framing.error + ")", started);
        return;
    }
    Answer a = Search(options.dbPath, framing.request);
    SendAll(fd, a.ok ? FormatTcpAnswer(a.page, framing.request.first) : kRefusedTcpAnswer);
    ::shutdown(fd, SHUT_WR);
    Log(peer, "tcp", framing.request.where, Outcome(a, framing.request.first), started);
}

int ListenTcp(const std::string& bind, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, bind.c_str(), &addr.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 256) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

constexpr int kMaxTcpConnections = 1024;

}  // namespace

int RunServer(const ServerOptions& options) {
    try {
        CatalogueDb check(options.dbPath, false);
        std::cerr << "catalogue " << options.dbPath << ": " << check.Count() << " records"
                  << std::endl;
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return 2;
    }
    Socket listener(ListenTcp(options.bind, options.port));
    if (listener.get() < 0) {
        std::cerr << "cannot listen on " << options.bind << ":" << options.port << std::endl;
        return 3;
    }

    httplib::Server http;
    http.new_task_queue = [] { return new httplib::ThreadPool(128); };
    http.set_read_timeout(options.readTimeoutMs / 1000, (options.readTimeoutMs % 1000) * 1000);
    http.set_keep_alive_max_count(1);
    const std::string hosts = options.hostsAddress.empty() ? options.bind : options.hostsAddress;
    http.Get("/hosts.txt", [hosts](const httplib::Request&, httplib::Response& res) {
        res.set_content(hosts, "text/plain");
    });
    http.Get("/GetZ39Marc.asp", [&options](const httplib::Request& req, httplib::Response& res) {
        auto started = Clock::now();
        std::string peer = req.remote_addr + ":" + std::to_string(req.remote_port);
        Framing f = ParseHttpTarget(req.target);
        if (f.state != Framing::kComplete) {
            res.status = 400;
            res.set_content(f.error, "text/plain");
            Log(peer, "http", req.target.substr(0, 200), "refused(" + f.error + ")", started);
            return;
        }
        Answer a = Search(options.dbPath, f.request);
        if (!a.ok) {
            res.status = 400;
            res.set_content(a.error, "text/plain");
        } else {
            res.set_content(FormatHttpAnswer(a.page, f.request.first), "text/plain; charset=GBK");
        }
        Log(peer, "http", f.request.where, Outcome(a, f.request.first), started);
    });
    if (!http.bind_to_port(options.bind.c_str(), options.port + 1)) {
        std::cerr << "cannot listen on " << options.bind << ":" << options.port + 1 << std::endl;
        return 3;
    }
    std::thread httpThread([&http] { http.listen_after_bind(); });

    std::cout << "listening tcp " << options.port << " http " << options.port + 1 << std::endl;

    std::atomic<int> active{0};
    while (true) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno == EMFILE || errno == ENFILE)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            break;
        }
        if (active.load() >= kMaxTcpConnections) {
            Socket refused(fd);
            SendAll(fd, kRefusedTcpAnswer);
            continue;
        }
        ++active;
        std::thread([fd, name = PeerName(peer), &options, &active] {
            ServeTcpConnection(fd, name, options);
            --active;
        }).detach();
    }
    http.stop();
    httpThread.join();
    return 0;
}

}  // namespace ks
