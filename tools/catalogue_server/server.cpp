#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalogue_store.h"
#include "common/gbk_text.h"
#include "common/unique_fd.h"
#include "http_request.h"
#include "protocol.h"
#include "where_clause.h"

namespace ks {
namespace {

using Clock = std::chrono::steady_clock;
using z39::UniqueFd;

// The request log: lines gathered in memory and written to standard error together, every
// 100 ms at most (sooner when 64 KB are waiting, and when the server stops), so that a
// request costs no write and no flush of its own.
class RequestLog {
  public:
    ~RequestLog() { Stop(); }

    void Add(const std::string& line) {
        std::unique_lock<std::mutex> lock(mutex_);
        pending_ += line;
        if (!flusher_.joinable() && !stopped_) flusher_ = std::thread([this] { RunFlusher(); });
        const bool full = pending_.size() >= kFullBytes;
        lock.unlock();
        if (full) Flush();
    }

    // Writes what is waiting, in the order it was added.
    void Flush() {
        std::lock_guard<std::mutex> writing(writeMutex_);
        std::string out;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            out.swap(pending_);
        }
        std::string_view left = out;
        while (!left.empty()) {
            const ssize_t n = ::write(STDERR_FILENO, left.data(), left.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // a reader gone: the lines are dropped, the server goes on
            left.remove_prefix(static_cast<size_t>(n));
        }
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        if (flusher_.joinable()) flusher_.join();
        Flush();
    }

  private:
    static constexpr size_t kFullBytes = 64 * 1024;
    static constexpr auto kFlushEvery = std::chrono::milliseconds(100);

    void RunFlusher() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopped_) {
            wake_.wait_for(lock, kFlushEvery);
            lock.unlock();
            Flush();
            lock.lock();
        }
    }

    std::mutex mutex_;       // pending_, stopped_
    std::mutex writeMutex_;  // one writer at a time, so lines keep their order
    std::condition_variable wake_;
    std::string pending_;
    bool stopped_ = false;
    std::thread flusher_;
};

RequestLog& TheLog() {
    static RequestLog log;
    return log;
}

// "first 1@1" or "next 2@9": the kind of request and the records it asked for.
std::string PageAsked(const Request& r) {
    return std::string(r.first ? "first " : "next ") + std::to_string(r.start) + "@" +
           std::to_string(r.count) + " ";
}

void Log(const std::string& peer, const char* transport, const std::string& where,
         const std::string& outcome, Clock::time_point started, const std::string& page = "") {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string shown = where.size() > 200 ? where.substr(0, 200) + "..." : where;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    TheLog().Add(std::string(stamp) + " " + peer + " " + transport + " " + page + "where=[" +
                 shown + "] " + outcome + " " + std::to_string(ms) + "ms\n");
}

// One connection per worker thread: the front end's fixed pool (kWorkerThreads). A store
// that failed is opened anew for the next request; the request that met the failure gets
// the failure answer.
std::unique_ptr<CatalogueStore>& ThreadStore() {
    thread_local std::unique_ptr<CatalogueStore> store;
    return store;
}

// The file the thread's store has open (device and inode), as FileIdentity says.
std::string& ThreadStoreFile() {
    thread_local std::string file;
    return file;
}

// The device and inode of the file under `path`; empty when there is none.
std::string FileIdentity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

struct Answer {
    bool ok = false;
    bool storeFailed = false;  // the database, not the request, failed
    std::string error;
    CatalogueStore::Page page;
};

// Where the pages served so far ended: for a where-clause and the position after a page,
// the id of the page's last record. A client paging on (F3) asks for exactly that
// position, and its page is then found through the index from that id ("keyset"), at the
// cost of a first page however deep it lies, instead of counting out every match before
// it. Records only ever come after the ones there (an import appends), so a page found so
// is the page OFFSET would find. Shared by the workers; bounded.
class PageEnds {
  public:
    std::optional<int64_t> Find(const std::string& where, int64_t position) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto hit = ends_.find(Key(where, position));
        if (hit == ends_.end()) return std::nullopt;
        return hit->second;
    }
    void Remember(const std::string& where, int64_t position, int64_t lastId) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ends_.size() >= kMaxEntries) ends_.clear();
        ends_[Key(where, position)] = lastId;
    }

  private:
    static constexpr size_t kMaxEntries = 4096;
    static std::string Key(const std::string& where, int64_t position) {
        return std::to_string(position) + "\x1F" + where;
    }
    std::mutex mutex_;
    std::unordered_map<std::string, int64_t> ends_;
};

PageEnds& ThePageEnds() {
    static PageEnds ends;
    return ends;
}

// Undoes LimitWork when the search ends, however it ends.
struct WorkLimit {
    WorkLimit(CatalogueStore& store, int64_t steps) : store(store), on(steps > 0) {
        if (on) on = store.LimitWork(steps);
    }
    ~WorkLimit() {
        if (on) store.LimitWork(0);
    }
    CatalogueStore& store;
    bool on;
};

// The answer to a request. With `budget`, only a search the engine can do within about that
// many steps is done, and nothing comes back for one that would need more (or that a lock
// holds up): it is for a worker, which runs it whole.
std::optional<Answer> Search(const std::string& dbPath, const Request& req, int64_t budget = 0) {
    Answer a;
    ParseResult parsed = ParseWhereClause(req.where);
    if (!parsed.ok) {
        a.error = parsed.error;
        return a;
    }
    if (budget > 0 && IsPostgresUri(dbPath)) return std::nullopt;  // a round trip anyway
    try {
        auto& store = ThreadStore();
        // A catalogue file replaced under the server (a restore from a backup) is opened
        // anew; one that is gone fails the request. The old one is never served.
        std::string file;
        if (!IsPostgresUri(dbPath)) {
            file = FileIdentity(dbPath);
            if (file.empty()) throw std::runtime_error("the catalogue file " + dbPath + " is gone");
            if (store && ThreadStoreFile() != file) store.reset();
        }
        if (!store) {
            store = OpenCatalogue(dbPath, false);
            ThreadStoreFile() = file;
        }
        WorkLimit limit(*store, budget);
        if (budget > 0 && !limit.on) return std::nullopt;
        const int64_t count = std::min<int64_t>(req.count, kMaxRecordsPerAnswer);
        const std::optional<int64_t> after = req.first || req.start <= 1
                                                 ? std::nullopt
                                                 : ThePageEnds().Find(file + req.where, req.start);
        a.page = after ? store->SearchAfter(parsed.clause, *after, count)
                       : store->Search(parsed.clause, req.start, count, req.first);
        if (!a.page.hits.empty() && count > 0)
            ThePageEnds().Remember(
                file + req.where,
                std::max<int64_t>(req.start, 1) + static_cast<int64_t>(a.page.hits.size()),
                a.page.hits.back().id);
        a.ok = true;
    } catch (const WorkLimitReached&) {
        return std::nullopt;
    } catch (const std::exception& e) {
        a.error = e.what();
        a.storeFailed = true;
        ThreadStore().reset();
    }
    return a;
}

std::string Outcome(const Answer& a, bool first) {
    if (!a.ok) return "refused(" + a.error + ")";
    std::string out = "hits=" + std::to_string(a.page.hits.size());
    if (first) out += " total=" + std::to_string(a.page.total);
    return out;
}

// The peer's address as text; an IPv4 peer of an IPv6 listener ("::ffff:a.b.c.d") as the
// IPv4 address it is, so one machine counts as one peer whichever way it came.
std::string PeerAddress(const sockaddr_storage& addr) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (addr.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, host,
                    sizeof host);
    } else if (addr.ss_family == AF_INET6) {
        const auto& six = reinterpret_cast<const sockaddr_in6&>(addr);
        if (IN6_IS_ADDR_V4MAPPED(&six.sin6_addr))
            ::inet_ntop(AF_INET, &six.sin6_addr.s6_addr[12], host, sizeof host);
        else
            ::inet_ntop(AF_INET6, &six.sin6_addr, host, sizeof host);
    }
    return host;
}

std::string PeerName(const sockaddr_storage& addr) {
    const std::string host = PeerAddress(addr);
    const uint16_t port = addr.ss_family == AF_INET6
                              ? reinterpret_cast<const sockaddr_in6&>(addr).sin6_port
                              : reinterpret_cast<const sockaddr_in&>(addr).sin_port;
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(ntohs(port));
}

// A peer that does not read fills this much of the kernel's memory at most; the rest of
// its answer waits in the server until the send time-out drops it.
constexpr int kSocketSendBuffer = 128 * 1024;

int Listen(const std::string& bindText, int port) {
    // An IPv4 or an IPv6 address ("::1", "[::1]"; "::" takes both families where the
    // system lets it).
    std::string bind = bindText;
    if (bind.size() > 2 && bind.front() == '[' && bind.back() == ']')
        bind = bind.substr(1, bind.size() - 2);
    sockaddr_storage addr{};
    socklen_t length = 0;
    auto& four = reinterpret_cast<sockaddr_in&>(addr);
    auto& six = reinterpret_cast<sockaddr_in6&>(addr);
    if (::inet_pton(AF_INET, bind.c_str(), &four.sin_addr) == 1) {
        four.sin_family = AF_INET;
        four.sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof four;
    } else if (::inet_pton(AF_INET6, bind.c_str(), &six.sin6_addr) == 1) {
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof six;
    } else {
        return -1;
    }
    UniqueFd fd(::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.ok()) return -1;
    int yes = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (addr.ss_family == AF_INET6) {
        int only = IN6_IS_ADDR_UNSPECIFIED(&six.sin6_addr) ? 0 : 1;
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    // Every connection accepted from it has the same send buffer.
    int sendBuffer = kSocketSendBuffer;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        ::listen(fd.get(), 512) != 0)
        return -1;
    return fd.release();
}

enum class Transport { kTcp, kHttp };

// A request read whole, for a worker to answer.
struct Job {
    uint64_t id = 0;
    Transport transport = Transport::kTcp;
    Request request;
    std::string peer;
    Clock::time_point started;
};

// What a worker built: the bytes to send (none: close without an answer).
struct Reply {
    uint64_t id = 0;
    bool send = false;
    std::string bytes;
};

// The bytes that answer a job (none for a refused TCP request), logged.
Reply ReplyTo(const Job& job, const Answer& a) {
    Reply reply;
    reply.id = job.id;
    const bool http = job.transport == Transport::kHttp;
    if (a.ok) {
        reply.send = true;
        reply.bytes = http ? HttpResponse(200, "text/plain; charset=GBK",
                                          FormatHttpAnswer(a.page, job.request.first))
                           : FormatTcpAnswer(a.page, job.request.first);
    } else if (http) {
        reply.send = true;
        reply.bytes = HttpResponse(a.storeFailed ? 503 : 400, "text/plain", a.error);
    }
    // A refused TCP request gets no answer: the connection closes, and the client
    // reports a failed connection, as over HTTP.
    Log(job.peer, http ? "http" : "tcp", job.request.where, Outcome(a, job.request.first),
        job.started, PageAsked(job.request));
    return reply;
}

// The worker threads: a fixed pool, started before the first connection and joined on
// shutdown. Jobs and replies pass through two queues; the event loop is woken through an
// eventfd when a reply is ready.
class Workers {
  public:
    Workers(const ServerOptions& options, int wakeFd) : options_(options), wakeFd_(wakeFd) {}
    ~Workers() { Stop(); }

    // False when not one thread could be started.
    bool Start(int count) {
        for (int i = 0; i < count; ++i) {
            try {
                threads_.emplace_back([this] { Run(); });
            } catch (const std::system_error&) {
                break;  // fewer workers; serve with those that started
            }
        }
        return !threads_.empty();
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (auto& t : threads_) t.join();
        threads_.clear();
    }
    void Post(Job job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }
    // Takes back a job no worker has begun; false when one has (or it is done).
    bool Withdraw(uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it =
            std::find_if(jobs_.begin(), jobs_.end(), [id](const Job& j) { return j.id == id; });
        if (it == jobs_.end()) return false;
        jobs_.erase(it);
        return true;
    }
    std::vector<Reply> TakeReplies() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Reply> out(std::make_move_iterator(replies_.begin()),
                               std::make_move_iterator(replies_.end()));
        replies_.clear();
        return out;
    }

  private:
    void Run() {
        while (true) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (stopping_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            Reply reply = ReplyTo(job, *Search(options_.dbPath, job.request));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                replies_.push_back(std::move(reply));
            }
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
        }
    }

    const ServerOptions& options_;
    int wakeFd_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    std::deque<Reply> replies_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

// The event loop: every socket is non-blocking and watched by one epoll. A connection is
// read until its request is whole (within the read time-out for the whole request, not per
// read), answered by a worker, written within the send time-out, and closed. Slow or idle
// peers hold a descriptor and their bytes, never a thread.
class EventLoop {
  public:
    explicit EventLoop(const ServerOptions& options) : options_(options) {}

    int Run() {
        // SIGTERM and SIGINT are read from a descriptor, in this loop only.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        signalFd_.reset(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
        epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        tcpListener_.reset(Listen(options_.bind, options_.port));
        if (!tcpListener_.ok()) {
            std::cerr << "cannot listen on " << options_.bind << ":" << options_.port << std::endl;
            return 3;
        }
        httpListener_.reset(Listen(options_.bind, options_.port + 1));
        if (!httpListener_.ok()) {
            std::cerr << "cannot listen on " << options_.bind << ":" << options_.port + 1
                      << std::endl;
            return 3;
        }
        if (!signalFd_.ok() || !epoll_.ok() || !wake_.ok()) {
            std::cerr << "cannot set up the event loop" << std::endl;
            return 4;
        }
        Watch(tcpListener_.get(), kTcpListenerTag, EPOLLIN);
        Watch(httpListener_.get(), kHttpListenerTag, EPOLLIN);
        Watch(wake_.get(), kWakeTag, EPOLLIN);
        Watch(signalFd_.get(), kSignalTag, EPOLLIN);

        workers_ = std::make_unique<Workers>(options_, wake_.get());
        if (!workers_->Start(kWorkerThreads)) {
            std::cerr << "cannot start worker threads" << std::endl;
            return 4;
        }
        std::cout << "listening tcp " << options_.port << " http " << options_.port + 1
                  << std::endl;

        std::vector<epoll_event> events(256);
        while (!stopping_) {
            int n = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()),
                                 MsUntilNextDeadline());
            if (n < 0 && errno != EINTR) break;
            for (int i = 0; i < n; ++i) Dispatch(events[static_cast<size_t>(i)]);
            ExpireDeadlines();
        }
        workers_->Stop();
        connections_.clear();
        TheLog().Stop();
        std::cerr << "stopped" << std::endl;
        return 0;
    }

  private:
    enum Phase { kReading, kWorking, kWriting, kDraining };
    struct Connection {
        UniqueFd fd;
        Transport transport = Transport::kTcp;
        Phase phase = kReading;
        std::string in;
        std::string out;
        size_t sent = 0;
        Clock::time_point started;
        Clock::time_point deadline;
        // Since when it has made no progress the server waits on: its request begun, or
        // the last bytes of its answer taken, or its answer done (draining).
        Clock::time_point stuckSince;
        std::string peer;
        std::string address;  // the peer without its port
        TcpScan scan;
        uint32_t events = 0;  // what epoll watches for it
    };

    static constexpr uint64_t kTcpListenerTag = 1;
    static constexpr uint64_t kHttpListenerTag = 2;
    static constexpr uint64_t kWakeTag = 3;
    static constexpr uint64_t kSignalTag = 4;
    static constexpr uint64_t kFirstConnectionId = 16;
    // After the answer, unread bytes are drained for this long so closing cannot reset the
    // connection under the answer still in flight.
    static constexpr int kDrainMs = 1000;
    // The engine's steps the loop spends on a search itself (well under a millisecond: a
    // few thousand index entries counted, a page of records read); a search that needs
    // more is a worker's.
    static constexpr int64_t kInlineSteps = 20000;
    // New connections taken from a listener before the loop turns to the others.
    static constexpr int kAcceptsPerRound = 64;

    void Watch(int fd, uint64_t tag, uint32_t events) {
        epoll_event e{};
        e.events = events;
        e.data.u64 = tag;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &e);
    }
    void Rewatch(int fd, uint64_t tag, uint32_t events) {
        epoll_event e{};
        e.events = events;
        e.data.u64 = tag;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &e);
    }

    void Dispatch(const epoll_event& e) {
        switch (e.data.u64) {
            case kTcpListenerTag:
                return Accept(tcpListener_.get(), Transport::kTcp);
            case kHttpListenerTag:
                return Accept(httpListener_.get(), Transport::kHttp);
            case kWakeTag: {
                uint64_t count = 0;
                [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
                for (Reply& r : workers_->TakeReplies()) Replied(std::move(r));
                return;
            }
            case kSignalTag:
                stopping_ = true;
                return;
            default:
                break;
        }
        auto it = connections_.find(e.data.u64);
        if (it == connections_.end()) return;
        Connection& c = it->second;
        if (c.phase == kWriting) {
            if (e.events & (EPOLLERR | EPOLLHUP))
                return Close(it->first, "peer gone while sending");
            if (e.events & EPOLLOUT) Write(it->first, c);
            return;
        }
        if (e.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(it->first, c);
    }

    void Accept(int listener, Transport transport) {
        // Taken a batch at a time, so a flood of new connections cannot crowd out the reads
        // of those accepted before them; the listener stays readable for the rest.
        const uint64_t firstOfRound = nextId_;
        for (int taken = 0; taken < kAcceptsPerRound; ++taken) {
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            UniqueFd fd(::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len,
                                  SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd.ok()) {
                if (errno == EMFILE || errno == ENFILE) ShedOne(listener);
                return;  // EAGAIN, or nothing more to take now
            }
            const std::string address = PeerAddress(peer);
            // Closed without an answer, so the client reports a failed connection rather
            // than "no data".
            const char* refused = nullptr;
            if (perPeer_[address] >= options_.maxPerPeer) {
                if (!MakeRoom(address, false, firstOfRound))
                    refused = "closed(over the limit per peer)";
            }
            if (!refused && connections_.size() >= kMaxConnections &&
                !MakeRoom(address, true, firstOfRound))
                refused = "closed(over capacity)";
            if (refused) {
                if (perPeer_[address] == 0) perPeer_.erase(address);
                Log(PeerName(peer), transport == Transport::kHttp ? "http" : "tcp", "", refused,
                    Clock::now());
                continue;
            }
            uint64_t id = nextId_++;
            Connection c;
            c.transport = transport;
            c.started = Clock::now();
            c.stuckSince = c.started;
            c.deadline = c.started + std::chrono::milliseconds(options_.readTimeoutMs);
            c.peer = PeerName(peer);
            c.address = address;
            ++perPeer_[address];
            Watch(fd.get(), id, EPOLLIN | EPOLLRDHUP);
            c.events = EPOLLIN | EPOLLRDHUP;
            c.fd = std::move(fd);
            connections_.emplace(id, std::move(c));
        }
    }

    // Out of descriptors: the waiting connection is taken with the one kept in reserve and
    // closed at once, so the listener does not stay readable (and the loop busy) for ever.
    void ShedOne(int listener) {
        spare_.reset();
        UniqueFd shed(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        shed.reset();
        spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        Log("?", "any", "", "closed(out of file descriptors)", Clock::now());
    }

    void Close(uint64_t id, const std::string& why) {
        auto it = connections_.find(id);
        if (it == connections_.end()) return;
        if (!why.empty()) {
            Connection& c = it->second;
            Log(c.peer, c.transport == Transport::kHttp ? "http" : "tcp",
                c.in.substr(0, std::min<size_t>(c.in.size(), 200)), "closed(" + why + ")",
                c.started);
        }
        Forget(it->second);
        connections_.erase(it);  // the descriptor closes with it and leaves the epoll set
    }

    // Drops the count a connection holds for its peer.
    void Forget(Connection& c) {
        auto peer = perPeer_.find(c.address);
        if (peer != perPeer_.end() && --peer->second <= 0) perPeer_.erase(peer);
    }

    // Room for a newcomer from `address`: closes the connection of that peer that has kept
    // the server waiting longest (an incomplete request, an answer it does not take, an
    // answer already sent, or nothing said at all), whatever its age: a request of these
    // protocols comes in one packet, so an honest client is never the one waiting longest,
    // and an attacker that reconnects at once would keep each of its connections under
    // any fixed age. A connection is read before it is closed, so a request that has
    // arrived meanwhile is answered instead. With `wholeTable`, when that peer has none,
    // another peer's idle connection or one stuck for over a second goes. Never one with a
    // worker, nor one accepted in this round. Last of all, the peer's request queued most
    // recently that no worker has begun is given up: a peer whose every connection waits
    // for a worker has its newest wait end, not the newcomer. False when none can go.
    bool MakeRoom(const std::string& address, bool wholeTable, uint64_t firstOfRound) {
        const auto now = Clock::now();
        // (another peer's, stuck since, id): the peer's own first, the longest stuck first.
        std::vector<std::tuple<bool, Clock::time_point, uint64_t>> candidates;
        std::vector<std::pair<Clock::time_point, uint64_t>> queued;
        for (const auto& [id, c] : connections_) {
            if (id >= firstOfRound) continue;
            const bool other = c.address != address;
            if (c.phase == kWorking) {
                if (!other) queued.emplace_back(c.stuckSince, id);
                continue;
            }
            if (other && (!wholeTable || (!(c.phase == kReading && c.in.empty()) &&
                                          now - c.stuckSince < std::chrono::seconds(1))))
                continue;
            candidates.emplace_back(other, c.stuckSince, id);
        }
        std::sort(candidates.begin(), candidates.end());
        for (const auto& [other, since, id] : candidates) {
            auto it = connections_.find(id);
            if (it == connections_.end()) continue;
            Connection& c = it->second;
            if (c.phase == kReading) {
                // What has arrived and this loop has not read yet is read first: a request
                // made whole by it is answered, not lost.
                const size_t held = connections_.size();
                Read(id, c);
                if (connections_.size() < held) return true;  // answered, or gone
                if (c.phase != kReading) continue;
            }
            Close(id, c.phase == kReading && c.in.empty() ? "idle, to make room"
                                                          : "slowest, to make room");
            return true;
        }
        std::sort(queued.rbegin(), queued.rend());
        for (const auto& [since, id] : queued) {
            if (!workers_->Withdraw(id)) continue;
            Close(id, "queued, to make room");
            return true;
        }
        return false;
    }

    void Read(uint64_t id, Connection& c) {
        char buffer[16384];
        while (true) {
            ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                return Close(id, c.phase == kDraining ? "" : "read error");
            }
            if (n == 0) {
                if (c.phase == kDraining) return Close(id, "");
                if (c.phase == kReading) return Close(id, "by peer before a whole request");
                // Working: the peer half-closed after its request; the answer still goes.
                Watching(id, c, 0);
                return;
            }
            if (c.phase != kReading) continue;  // bytes after the request are dropped
            size_t before = c.in.size();
            // Every byte counts against the limit, blanks before the request included.
            if (before + static_cast<size_t>(n) > kMaxRequestBytes)
                return Close(id, "request over 64 KiB");
            c.in.append(buffer, static_cast<size_t>(n));
            if (!TryRequest(id, c, before)) return;
            // An answer on its way (a worker's, or one waiting for room to send) is left
            // to its turn; a connection already answered reads on to the peer's close.
            if (c.phase == kWorking || c.phase == kWriting) return;
        }
    }

    // Looks at what a read added; starts the answer when the request is whole. False when
    // the connection was closed.
    bool TryRequest(uint64_t id, Connection& c, size_t scanFrom) {
        Job job;
        job.id = id;
        job.transport = c.transport;
        job.peer = c.peer;
        job.started = c.started;
        if (c.transport == Transport::kTcp) {
            Framing f = ParseTcpRequest(c.in, c.scan);
            if (f.state == Framing::kIncomplete) return true;
            if (f.state == Framing::kBad) {
                Close(id, "refused: " + f.error);
                return false;
            }
            job.request = std::move(f.request);
        } else {
            HttpRequestHead head = ParseHttpRequestHead(c.in, scanFrom);
            if (head.state == HttpRequestHead::kIncomplete) return true;
            if (head.state == HttpRequestHead::kBad) {
                Close(id, "refused: " + head.error);
                return false;
            }
            std::string immediate;
            if (head.method != "GET") {
                immediate = HttpResponse(405, "text/plain", "GET only");
            } else if (z39::EqualsNoCase(head.target, "/hosts.txt")) {
                immediate = HttpResponse(200, "text/plain", HostsText());
            } else if (!IsSearchTarget(head.target)) {
                immediate = HttpResponse(404, "text/plain", "not found");
            } else {
                Framing f = ParseHttpTarget(head.target);
                if (f.state != Framing::kComplete) {
                    immediate = HttpResponse(400, "text/plain", f.error);
                    Log(c.peer, "http", head.target.substr(0, 200), "refused(" + f.error + ")",
                        c.started);
                } else {
                    job.request = std::move(f.request);
                }
            }
            if (!immediate.empty()) {
                StartWriting(id, c, std::move(immediate));
                return connections_.count(id) > 0;  // writing may have closed it
            }
        }
        // What the loop can answer at the cost of a little work it answers itself: no hand-off
        // to a worker and back. Anything longer, or held up by a lock, goes to a worker, so
        // that no search can keep the loop from the other connections.
        if (std::optional<ks::Answer> a = Search(options_.dbPath, job.request, kInlineSteps)) {
            Replied(ReplyTo(job, *a));
            return connections_.count(id) > 0;  // writing may have closed it
        }
        c.phase = kWorking;
        c.stuckSince = Clock::now();
        workers_->Post(std::move(job));
        return true;
    }

    static bool IsSearchTarget(const std::string& target) {
        std::string_view path = std::string_view(target).substr(0, target.find('?'));
        return z39::EqualsNoCase(path, "/GetZ39Marc.asp");
    }

    std::string HostsText() const {
        return options_.hostsAddress.empty() ? options_.bind : options_.hostsAddress;
    }

    void Replied(Reply r) {
        auto it = connections_.find(r.id);
        if (it == connections_.end()) return;  // timed out or gone meanwhile
        if (!r.send) return Close(r.id, "");
        StartWriting(r.id, it->second, std::move(r.bytes));
    }

    // Sends what it can at once; the loop waits for room only for what is left.
    void StartWriting(uint64_t id, Connection& c, std::string bytes) {
        c.phase = kWriting;
        c.out = std::move(bytes);
        c.sent = 0;
        c.stuckSince = Clock::now();
        c.deadline = c.stuckSince + std::chrono::milliseconds(options_.sendTimeoutMs);
        Write(id, c);
    }

    void Write(uint64_t id, Connection& c) {
        while (c.sent < c.out.size()) {
            ssize_t n =
                ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return Watching(id, c, EPOLLOUT);
                return Close(id, "peer gone while sending");
            }
            c.sent += static_cast<size_t>(n);
            c.stuckSince = Clock::now();
        }
        std::string().swap(c.out);
        // Nothing unread, or the peer done sending: closing cannot reset the connection
        // under the answer, which the kernel still delivers, so it closes now.
        char byte = 0;
        const ssize_t unread = ::recv(c.fd.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (unread == 0 || (unread < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
            return Close(id, "");
        ::shutdown(c.fd.get(), SHUT_WR);
        c.phase = kDraining;
        c.stuckSince = Clock::now();
        c.deadline = c.stuckSince + std::chrono::milliseconds(kDrainMs);
        Watching(id, c, EPOLLIN | EPOLLRDHUP);
    }

    // The events the loop waits for on a connection, changed only when they change.
    void Watching(uint64_t id, Connection& c, uint32_t events) {
        if (c.events == events) return;
        c.events = events;
        Rewatch(c.fd.get(), id, events);
    }

    int MsUntilNextDeadline() const {
        if (connections_.empty()) return 1000;
        auto next = Clock::time_point::max();
        for (const auto& [id, c] : connections_)
            if (c.phase != kWorking) next = std::min(next, c.deadline);
        if (next == Clock::time_point::max()) return 1000;
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        return static_cast<int>(std::clamp<int64_t>(ms + 1, 0, 1000));
    }

    void ExpireDeadlines() {
        auto now = Clock::now();
        std::vector<std::pair<uint64_t, const char*>> expired;
        for (const auto& [id, c] : connections_) {
            if (c.phase == kWorking || now < c.deadline) continue;
            expired.emplace_back(id, c.phase == kReading   ? "read time-out"
                                     : c.phase == kWriting ? "send time-out"
                                                           : "");
        }
        for (const auto& [id, why] : expired) Close(id, why);
    }

    const ServerOptions& options_;
    UniqueFd epoll_, wake_, signalFd_, tcpListener_, httpListener_;
    UniqueFd spare_{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
    std::unique_ptr<Workers> workers_;
    std::unordered_map<uint64_t, Connection> connections_;
    std::unordered_map<std::string, int> perPeer_;
    uint64_t nextId_ = kFirstConnectionId;
    bool stopping_ = false;
};

}  // namespace

int RunServer(const ServerOptions& options) {
    if (options.hostsAddress.empty() && (options.bind == "0.0.0.0" || options.bind == "::" ||
                                         options.bind == "[::]" || options.bind.empty())) {
        std::cerr << "--bind " << options.bind
                  << " listens on every address, so /hosts.txt cannot name one: give the "
                     "address clients should use with --hosts-address"
                  << std::endl;
        return 64;
    }
    try {
        std::cerr << "catalogue " << ShownDb(options.dbPath) << ": "
                  << OpenCatalogue(options.dbPath, false)->Count() << " records" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return 2;
    }
    try {
        OpenCatalogue(options.dbPath, true);  // adds indexes a catalogue made earlier lacks
    } catch (const std::exception& e) {
        std::cerr << "catalogue not upgraded (" << e.what()
                  << "): title searches that ignore letter case will be slow" << std::endl;
    }
    // Room for kMaxConnections and the server's own descriptors.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < kMaxConnections + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, kMaxConnections + 64);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    return EventLoop(options).Run();
}

}  // namespace ks
