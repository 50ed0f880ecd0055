#pragma once

#include <string>

namespace ks {

struct ServerOptions {
    std::string dbPath;
    std::string bind = "127.0.0.1";
    int port = 0;               // TCP; HTTP listens on port + 1
    std::string hostsAddress;   // the text of /hosts.txt (default: the bind address)
    int readTimeoutMs = 10000;  // a connection that sends no whole request in time is closed
};

// Serves both transports until the process is ended. Returns a non-zero exit code when
// a port cannot be opened. Prints "listening tcp P http P+1" on standard output once ready.
int RunServer(const ServerOptions& options);

}  // namespace ks
