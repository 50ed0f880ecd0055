#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/free_port.h"
#include "support/loopback.h"

namespace z39::test {

// Debian's yaz-ztest Z39.50 test server on a free loopback port.
class ZtestProcess {
  public:
    // `logPath`: where yaz-ztest logs its requests (one line per Search and Present, and
    // per HTTP request). `configPath`: a server configuration (yazgfs) to start with.
    explicit ZtestProcess(const std::string& logPath = "/dev/null",
                          const std::string& configPath = "") {
        for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
            port_ = FreePort();
            std::vector<std::string> args = {"/usr/bin/yaz-ztest", "-l", logPath};
            if (!configPath.empty()) args.insert(args.end(), {"-f", configPath});
            args.push_back("tcp:127.0.0.1:" + std::to_string(port_));
            server_ = std::make_unique<ChildProcess>(args);
            for (int i = 0; i < 100 && !ready_; ++i) {
                ready_ = LoopbackConnection(port_).ok();
                if (!ready_) ::usleep(20000);
            }
        }
    }
    bool ok() const { return ready_; }
    int port() const { return port_; }

  private:
    int port_ = 0;
    bool ready_ = false;
    std::unique_ptr<ChildProcess> server_;
};

}  // namespace z39::test
