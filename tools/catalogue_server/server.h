#pragma once

#include <string>

namespace ks {

// Connections open at once, both transports together. When the table is full, the
// connection that has sent nothing for longest makes room; if every one has started a
// request, the new one is closed unanswered.
inline constexpr size_t kMaxConnections = 1024;
// Threads that answer whole requests; reading and writing never take one.
inline constexpr int kWorkerThreads = 16;

struct ServerOptions {
    std::string dbPath;
    std::string bind = "127.0.0.1";
    int port = 0;               // TCP; HTTP listens on port + 1
    std::string hostsAddress;   // the text of /hosts.txt (default: the bind address)
    int readTimeoutMs = 10000;  // the whole request must arrive within this, or it is closed
    int sendTimeoutMs = 10000;  // the whole answer must be taken within this, or it is dropped
    // Connections one peer address may hold at once; one more is closed unanswered.
    int maxPerPeer = 64;
};

// Serves both transports until SIGTERM or SIGINT, then closes every connection, joins its
// threads and returns 0. Returns non-zero when a port cannot be opened, the catalogue
// cannot be read, or --bind names every address without --hosts-address. Prints
// "listening tcp P http P+1" on standard output once ready.
int RunServer(const ServerOptions& options);

}  // namespace ks
