#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace z39::test {

// The folder of the built programs (set by CTest), else the test program's own folder.
inline std::string BinDir() {
    const char* dir = std::getenv("Z39_BIN_DIR");
    if (dir && *dir) return dir;
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string self(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return self.substr(0, self.rfind('/'));
}

// A child process with its standard output on a pipe; ended (SIGTERM, then SIGKILL) and
// reaped when the owner goes away.
class ChildProcess {
  public:
    // `env` entries ("NAME=value") are added to this process's environment, replacing
    // entries of the same name; `cwd` is the child's working folder (empty: ours). With
    // `withStderr` its standard error comes through the same pipe (a server's log, read
    // with WaitForOutput; the test must go on reading it, or the child blocks).
    explicit ChildProcess(std::vector<std::string> argv, std::vector<std::string> env = {},
                          const std::string& cwd = "", bool withStderr = false) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        // A child must not hold the test's own output open: if the test dies, CTest would
        // wait for the orphan. Z39_TEST_VERBOSE keeps the child's errors on our stderr.
        if (withStderr)
            posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        else if (!std::getenv("Z39_TEST_VERBOSE"))
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        // The test's values replace the parent's: a TMPDIR or XDG_CONFIG_HOME of the shell
        // that runs the tests must never reach the child.
        std::vector<std::string> envStore;
        auto nameOf = [](const std::string& e) { return e.substr(0, e.find('=') + 1); };
        for (char** e = environ; *e; ++e) {
            std::string inherited(*e);
            bool replaced = false;
            for (auto& own : env) replaced = replaced || nameOf(own) == nameOf(inherited);
            if (!replaced) envStore.push_back(std::move(inherited));
        }
        for (auto& e : env) envStore.push_back(e);
        std::vector<char*> envp;
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            for (int i = 0; i < 50; ++i) {
                if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                ::usleep(20000);
            }
            if (pid_ > 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
        if (out_ >= 0) ::close(out_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Reads standard output until `text` appears or `timeoutMs` pass.
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) return false;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[4096];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) return false;
            output_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

    // Waits for the process to end; its exit status, or -1.
    int Wait() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Waits at most `timeoutMs` for the process to end; its exit status, or -2 on time-out.
    int WaitFor(int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(20000);
        }
        return -2;
    }

    const std::string& output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

}  // namespace z39::test
