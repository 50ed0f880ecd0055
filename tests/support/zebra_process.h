#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace z39::test {

// Debian's Zebra serving `count` books titled "Java 编程 N" (tests/x11/zebra.py), on a free
// loopback port, until it goes away. `extra` passes further options to zebra.py.
class ZebraProcess {
  public:
    explicit ZebraProcess(int count, std::vector<std::string> extra = {})
        : process_(Command(dir_.File("zebra"), count, std::move(extra))) {
        if (process_.WaitForOutput("\n", 60000)) {
            const std::string& out = process_.output();
            size_t at = out.find("listening ");
            if (at != std::string::npos) port_ = std::stoi(out.substr(at + 10));
        }
    }
    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    // The server's request log.
    std::string Log() const { return dir_.Read("zebra/zebrasrv.log"); }
    std::string folder() const { return dir_.File("zebra"); }

  private:
    static std::vector<std::string> Command(const std::string& folder, int count,
                                            std::vector<std::string> extra) {
        std::vector<std::string> argv = {"/usr/bin/python3",
                                         std::string(Z39_SOURCE_DIR) + "/tests/x11/zebra.py",
                                         folder, std::to_string(count)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
    TempDir dir_;
    ChildProcess process_;
    int port_ = 0;
};

}  // namespace z39::test
