#include "backends/process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/unique_fd.h"
#include "common/z39_error.h"

extern char** environ;

namespace z39 {
namespace {

// Puts the cursor back to what it was, however the run ends.
class CursorGuard {
  public:
    explicit CursorGuard(UserInterface& ui) : ui_(ui), saved_(ui.CurrentCursor()) {
        ui_.SetCursor(Cursor::kBusy);
    }
    ~CursorGuard() { ui_.SetCursor(saved_); }
    CursorGuard(const CursorGuard&) = delete;
    CursorGuard& operator=(const CursorGuard&) = delete;

  private:
    UserInterface& ui_;
    Cursor saved_;
};

// Owns one of posix_spawn's objects from its init to its destroy call.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
  public:
    SpawnObject() { Init(&object_); }
    ~SpawnObject() { Destroy(&object_); }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    T* get() { return &object_; }

  private:
    T object_;
};
using SpawnActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                 posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

std::string Raised(const char* fixedUtf8, const std::string& path, const std::string& suffix) {
    return ReplaceAll(G(fixedUtf8), "%s", path) + suffix;
}

}  // namespace

std::string StartFailureMessage() {
    return G("运行程序失败[CreateDOSProcessRedirected]！\r\n请重试或换其他数据库。");
}

ProcessRunner::ProcessRunner(UserInterface& ui, Clock& clock, int timeoutMs)
    : ui_(ui), clock_(clock), timeoutMs_(timeoutMs) {}

bool ProcessRunner::CreateDOSProcessRedirected(const std::string& commandLine,
                                               const std::string& inputPath,
                                               const std::string& outputPath,
                                               const std::string& errorSuffix) {
    const RunStatus status =
        Spawn(commandLine, inputPath, outputPath, errorSuffix, nullptr, nullptr, true);
    if (status == RunStatus::kNotStarted) ui_.ShowMessage(NoticeTitle(), StartFailureMessage());
    return status == RunStatus::kFinished;
}

std::vector<std::string> ProcessRunner::SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < commandLine.size(); ++i) {
        char c = commandLine[i];
        if (quoted && c == '\\' && i + 1 < commandLine.size() &&
            (commandLine[i + 1] == '"' || commandLine[i + 1] == '\\')) {
            word += commandLine[++i];
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::string ProcessRunner::QuoteWord(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

RunStatus ProcessRunner::Run(const std::string& commandLine, const std::string& inputPath,
                             const std::string& outputPath, const std::string& errorSuffix,
                             const CancelToken* cancel, int* exitStatus) {
    return Spawn(commandLine, inputPath, outputPath, errorSuffix, cancel, exitStatus, false);
}

RunStatus ProcessRunner::Spawn(const std::string& commandLine, const std::string& inputPath,
                               const std::string& outputPath, const std::string& errorSuffix,
                               const CancelToken* cancel, int* exitStatus, bool busyCursor) {
    if (!inputPath.empty() && !FileExists(inputPath)) {
        throw Z39Error(Raised(
            "[function: CreateDOSProcessRedirected]\n\nInput file * %s *\ndoes not exist\n\n",
            inputPath, errorSuffix));
    }
    std::optional<CursorGuard> cursor;
    if (busyCursor) cursor.emplace(ui_);
    UniqueFd input(inputPath.empty() ? -1 : ::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!inputPath.empty() && input.get() < 0) {
        throw Z39Error(Raised(
            "[function: CreateDOSProcessRedirected]\n\n不能打开中间输入文件\n文件名称：%s \n\n",
            inputPath, errorSuffix));
    }
    UniqueFd output(
        ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (output.get() < 0) {
        throw Z39Error(Raised(
            "[function: CreateDOSProcessRedirected]\n\n不能建立中间输出文件\n文件名称：%s \n\n",
            outputPath, errorSuffix));
    }

    std::vector<std::string> words = SplitCommandLine(commandLine);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    SpawnActions actions;
    if (input.get() >= 0) {
        posix_spawn_file_actions_adddup2(actions.get(), input.get(), STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(actions.get(), output.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    SpawnAttributes attributes;
    posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(attributes.get(), 0);

    pid_t pid = -1;
    if (words.empty() ||
        posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ) != 0) {
        return RunStatus::kNotStarted;
    }
    // A pidfd wakes us the moment the child ends; without one, look every few ms.
    UniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    const int64_t deadline = clock_.NowMs() + timeoutMs_;
    const int cancelFd = cancel ? cancel->fd() : -1;
    RunStatus ending = RunStatus::kTimedOut;
    while (true) {
        // Looked at without reaping it: while the child is not reaped its process group
        // cannot be another's, so what it left running is ended with certainty.
        siginfo_t info{};
        const int looked =
            ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if ((looked == 0 && info.si_pid == pid) || (looked < 0 && errno != EINTR)) {
            ::kill(-pid, SIGKILL);
            int status = 0;
            const pid_t done = ::waitpid(pid, &status, 0);
            if (exitStatus && done == pid)
                *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return RunStatus::kFinished;
        }
        if (cancel && cancel->cancelled()) {
            ending = RunStatus::kCancelled;
            break;
        }
        const int64_t left = deadline - clock_.NowMs();
        if (left <= 0) break;
        if (exited.get() >= 0) {
            clock_.SleepUntilEitherReadable(
                exited.get(), cancelFd,
                static_cast<int>(std::min<int64_t>(left, kRunnerWaitSliceMs)));
        } else {
            clock_.SleepMs(static_cast<int>(std::min<int64_t>(left, 2)));
        }
    }
    // The child outlived its limit or was cancelled: end it and whatever it started.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return ending;
}

}  // namespace z39
