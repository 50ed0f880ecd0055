#pragma once

#include <stdlib.h>

#include <memory>
#include <string>

#include "support/child_process.h"

namespace z39::test {

// A throw-away PostgreSQL cluster of this test's own on a free loopback port
// (scripts/pg-cluster.sh). `uri()` is empty when PostgreSQL is not installed here.
class PgCluster {
  public:
    PgCluster() {
        if (!Installed()) return;
        std::string tmpl = "/tmp/z39pg.XXXXXX";
        if (!::mkdtemp(tmpl.data())) return;
        dir_ = tmpl;
        ChildProcess start({"/bin/bash", Script(), "start", dir_});
        start.WaitForOutput("\n", 60000);
        if (start.Wait() == 0) {
            uri_ = start.output();
            while (!uri_.empty() && (uri_.back() == '\n' || uri_.back() == '\r')) uri_.pop_back();
        }
    }
    ~PgCluster() {
        if (dir_.empty()) return;
        ChildProcess({"/bin/bash", Script(), "stop", dir_}).Wait();
        ChildProcess({"/bin/rm", "-rf", dir_}).Wait();
    }
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    const std::string& uri() const { return uri_; }
    // The database server goes away (immediately, as in a crash) and comes back.
    bool Stop() { return ChildProcess({"/bin/bash", Script(), "stop", dir_}).Wait() == 0; }
    bool Restart() { return ChildProcess({"/bin/bash", Script(), "restart", dir_}).Wait() == 0; }

    static bool Installed() {
        return ::system("ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1") == 0;
    }

  private:
    static std::string Script() { return std::string(Z39_SOURCE_DIR) + "/scripts/pg-cluster.sh"; }
    std::string dir_;
    std::string uri_;
};

}  // namespace z39::test
