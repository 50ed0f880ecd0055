#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/free_port.h"
#include "support/temp_dir.h"

namespace z39::test {

// A demo catalogue of `records` records and a catalogue-server serving it on a free
// loopback port pair (TCP on port, HTTP on port + 1).
class CatalogueServerProcess {
  public:
    // `extraArgs` go to "serve" (time-outs, say).
    // `db`: a postgresql:// URI to serve instead of a file of our own.
    // `withLog`: its request log comes with its output (see ChildProcess).
    explicit CatalogueServerProcess(int records, const std::string& hostsAddress = "",
                                    const std::vector<std::string>& extraArgs = {},
                                    const std::string& db = "", bool makeDemo = true,
                                    bool withLog = false) {
        dbPath_ = db.empty() ? dir_.File("catalogue.db") : db;
        if (makeDemo) {
            ChildProcess demo({BinDir() + "/catalogue-server", "demo", "--db", dbPath_, "--records",
                               std::to_string(records), "--force"});
            demo.Wait();
        }
        for (int attempt = 0; attempt < 5 && !server_; ++attempt) {
            port_ = FreePortPair();
            std::vector<std::string> args = {
                BinDir() + "/catalogue-server", "serve", "--db", dbPath_, "--port",
                std::to_string(port_)};
            if (!hostsAddress.empty()) {
                args.push_back("--hosts-address");
                args.push_back(hostsAddress);
            }
            args.insert(args.end(), extraArgs.begin(), extraArgs.end());
            auto server =
                std::make_unique<ChildProcess>(args, std::vector<std::string>{}, "", withLog);
            if (server->WaitForOutput("listening", 10000)) server_ = std::move(server);
        }
    }
    bool ok() const { return server_ != nullptr; }
    int port() const { return port_; }
    int httpPort() const { return port_ + 1; }
    const std::string& dbPath() const { return dbPath_; }
    ChildProcess& process() { return *server_; }
    std::string HttpBase() const { return "http://127.0.0.1:" + std::to_string(httpPort()); }

  private:
    TempDir dir_;
    std::string dbPath_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> server_;
};

}  // namespace z39::test
