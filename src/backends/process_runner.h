#pragma once

#include <string>
#include <vector>

#include "common/cancel_token.h"
#include "common/clock.h"
#include "common/user_interface.h"

namespace z39 {

// The longest a child may run before it is ended and the run counts as failed.
inline constexpr int kRunnerTimeoutMs = 120000;
// The longest one wait for the child lasts before the deadline is looked at again.
inline constexpr int kRunnerWaitSliceMs = 100;

enum class RunStatus {
    kFinished,    // the child was started and has exited
    kNotStarted,  // the program could not be started (StartFailureMessage() says so)
    kTimedOut,    // the child (and its process group) was ended after the time limit
    kCancelled,   // the cancel token ended the child (and its process group)
};

// Runs a console program hidden, standard input from a file, standard output to a file,
// standard error discarded, and waits for it (CreateDOSProcessRedirected).
class ProcessRunner {
  public:
    // The time limit is measured on `clock`, which also does the waiting.
    ProcessRunner(UserInterface& ui, Clock& clock, int timeoutMs = kRunnerTimeoutMs);

    // `commandLine` is split into words at blanks. `inputPath` may be empty (no standard
    // input). The output file is created anew. Raises Z39Error (text + `errorSuffix`) when
    // the input file does not exist or cannot be opened, or the output file cannot be
    // created. It shows nothing and leaves the cursor alone (it may run on a worker; the
    // window shows the hourglass of a search). A cancel token, when given, ends the
    // child at once when cancelled. `exitStatus`, when given, receives the child's exit
    // status when it finished (128 + the signal when a signal ended it).
    RunStatus Run(const std::string& commandLine, const std::string& inputPath,
                  const std::string& outputPath, const std::string& errorSuffix,
                  const CancelToken* cancel = nullptr, int* exitStatus = nullptr);

    // Run on the window's thread, as the user sees it: the hourglass while the child runs
    // (restored on every path), and a program that cannot be started reported with
    // StartFailureMessage(). True when the child was started and has ended.
    bool CreateDOSProcessRedirected(const std::string& commandLine, const std::string& inputPath,
                                    const std::string& outputPath, const std::string& errorSuffix);

    // The words of a command line, split at blanks and tabs outside double quotes. The
    // quotes group and are removed; inside them \" is a quote and \\ a backslash.
    static std::vector<std::string> SplitCommandLine(const std::string& commandLine);

    // A word as SplitCommandLine reads it back: unchanged when it holds no blank, tab or
    // quote, else quoted.
    static std::string QuoteWord(const std::string& word);

  private:
    RunStatus Spawn(const std::string& commandLine, const std::string& inputPath,
                    const std::string& outputPath, const std::string& errorSuffix,
                    const CancelToken* cancel, int* exitStatus, bool busyCursor);
    UserInterface& ui_;
    Clock& clock_;
    int timeoutMs_;
};

// "运行程序失败[CreateDOSProcessRedirected]！\r\n请重试或换其他数据库。" in GBK.
std::string StartFailureMessage();

}  // namespace z39
