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
    // created; the cursor is restored on every path. A cancel token, when given, ends the
    // child at once when cancelled. `exitStatus`, when given, receives the child's exit
    // status when it finished (128 + the signal when a signal ended it).
    RunStatus Run(const std::string& commandLine, const std::string& inputPath,
                  const std::string& outputPath, const std::string& errorSuffix,
                  const CancelToken* cancel = nullptr, int* exitStatus = nullptr);

    // True when the child was started and has ended; a program that cannot be started
    // is reported to the user with StartFailureMessage(). (Run itself tells nobody: its
    // callers put the message where their user sees it.)
    bool CreateDOSProcessRedirected(const std::string& commandLine, const std::string& inputPath,
                                    const std::string& outputPath, const std::string& errorSuffix);

    // The words of a command line, split at blanks and tabs outside double quotes. The
    // quotes group and are removed; inside them \" is a quote and \\ a backslash.
    static std::vector<std::string> SplitCommandLine(const std::string& commandLine);

    // A word as SplitCommandLine reads it back: unchanged when it holds no blank, tab or
    // quote, else quoted.
    static std::string QuoteWord(const std::string& word);

  private:
    UserInterface& ui_;
    Clock& clock_;
    int timeoutMs_;
};

// "运行程序失败[CreateDOSProcessRedirected]！\r\n请重试或换其他数据库。" in GBK.
std::string StartFailureMessage();

}  // namespace z39
