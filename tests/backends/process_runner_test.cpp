#include "backends/process_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/z39_error.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

class ProcessRunnerTest : public ::testing::Test {
  protected:
    std::string Script(const std::string& name, const std::string& body) {
        dir.Write(name, body);
        return "/bin/sh " + dir.File(name);
    }
    test::TempDir dir;
    test::RecordingUi ui;
    SteadyClock steady;
    ProcessRunner runner{ui, steady, 2000};
};

TEST_F(ProcessRunnerTest, RedirectsInputAndOutputAndRestoresTheCursor) {
    dir.Write("in.txt", "open x\r\nquit\r\n");
    dir.Write("out.txt", "old content that must go");
    EXPECT_TRUE(runner.CreateDOSProcessRedirected("/bin/cat", dir.File("in.txt"),
                                                  dir.File("out.txt"), "E"));
    EXPECT_EQ(dir.Read("out.txt"), "open x\r\nquit\r\n");
    EXPECT_EQ(ui.cursorChanges, (std::vector<Cursor>{Cursor::kBusy, Cursor::kNormal}));
    // No input file: the child reads nothing.
    EXPECT_TRUE(runner.CreateDOSProcessRedirected("/bin/cat", "", dir.File("out.txt"), "E"));
    EXPECT_EQ(dir.Read("out.txt"), "");
    // Arguments are plain words.
    EXPECT_TRUE(
        runner.CreateDOSProcessRedirected(" /bin/echo  -n   a  b ", "", dir.File("out.txt"), "E"));
    EXPECT_EQ(dir.Read("out.txt"), "a b");
}

TEST_F(ProcessRunnerTest, StandardErrorIsNotCaptured) {
    std::string cmd = Script("err.sh", "echo only-to-stderr >&2\n");
    EXPECT_TRUE(runner.CreateDOSProcessRedirected(cmd, "", dir.File("out.txt"), "E"));
    EXPECT_EQ(dir.Read("out.txt"), "");
}

TEST_F(ProcessRunnerTest, MissingInputRaisesBeforeTheCursorChanges) {
    try {
        runner.Run("/bin/cat", dir.File("none.~"), dir.File("out.txt"), G("错误！"));
        FAIL();
    } catch (const Z39Error& e) {
        EXPECT_EQ(std::string(e.what()), "[function: CreateDOSProcessRedirected]\n\nInput file * " +
                                             dir.File("none.~") + " *\ndoes not exist\n\n" +
                                             G("错误！"));
    }
    EXPECT_TRUE(ui.cursorChanges.empty());
}

TEST_F(ProcessRunnerTest, UnwritableOutputRaisesAndRestoresTheCursor) {
    ui.cursor = Cursor::kBusy;  // whatever it was is what it becomes again
    try {
        runner.CreateDOSProcessRedirected("/bin/cat", "", dir.File("no/such/folder/out.txt"), "!");
        FAIL();
    } catch (const Z39Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  G("[function: CreateDOSProcessRedirected]\n\n不能建立中间输出文件\n文件名称：") +
                      dir.File("no/such/folder/out.txt") + " \n\n!");
    }
    EXPECT_EQ(ui.cursor, Cursor::kBusy);
    ui.cursor = Cursor::kNormal;
    EXPECT_THROW(
        runner.CreateDOSProcessRedirected("/bin/cat", dir.path(), dir.File("out.txt"), "!"),
        Z39Error);  // input is a folder
    EXPECT_EQ(ui.cursor, Cursor::kNormal);
    // Run, which back ends call (on a worker, say), leaves the cursor alone.
    ui.cursorChanges.clear();
    EXPECT_EQ(runner.Run("/bin/true", "", dir.File("out.txt"), "!"), RunStatus::kFinished);
    EXPECT_TRUE(ui.cursorChanges.empty());
    // A link planted at the output path is not followed: nothing lands in its target.
    dir.Write("victim", "kept");
    ASSERT_EQ(::symlink(dir.File("victim").c_str(), dir.File("_mess.~").c_str()), 0);
    EXPECT_THROW(runner.Run("/bin/echo", "", dir.File("_mess.~"), "!"), Z39Error);
    EXPECT_EQ(dir.Read("victim"), "kept");
}

TEST_F(ProcessRunnerTest, ProgramThatCannotStartGivesTheNoticeAndFalse) {
    EXPECT_FALSE(runner.CreateDOSProcessRedirected(dir.File("no-such-program") + " -m x", "",
                                                   dir.File("out.txt"), "E"));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].first, G("提示信息"));
    EXPECT_EQ(ui.messages[0].second,
              G("运行程序失败[CreateDOSProcessRedirected]！\r\n请重试或换其他数据库。"));
    EXPECT_TRUE(FileExists(dir.File("out.txt")));
    EXPECT_EQ(dir.Read("out.txt"), "");
    EXPECT_EQ(ui.cursor, Cursor::kNormal);
}

TEST_F(ProcessRunnerTest, ChildThatNeverExitsIsEndedWithItsChildren) {
    // Time stands still until the script has started its grandchild; then the limit of
    // 120 s passes at once.
    class ClockAfterStart final : public Clock {
      public:
        explicit ClockAfterStart(std::string pidFile) : pidFile_(std::move(pidFile)) {}
        int64_t NowMs() override { return now_; }
        void SleepMs(int ms) override {
            // (After 10 s of real waiting the time runs anyway, so the test cannot hang.)
            if (ReadWholeFile(pidFile_).value_or("").ends_with("\n") || ++waits_ > 10000)
                now_ += ms;
            else
                ::usleep(1000);
        }

      private:
        std::string pidFile_;
        int64_t now_ = 0;
        int waits_ = 0;
    } clock(dir.File("grandchild.pid"));
    ProcessRunner patient(ui, clock);
    std::string cmd =
        Script("hang.sh", "sleep 100 &\necho $! > " + dir.File("grandchild.pid") + "\nsleep 100\n");
    EXPECT_EQ(patient.Run(cmd, "", dir.File("out.txt"), "E"), RunStatus::kTimedOut);
    EXPECT_GE(clock.NowMs(), kRunnerTimeoutMs);
    pid_t grandchild = std::stoi(dir.Read("grandchild.pid"));
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        // Gone, or a zombie waiting for whoever adopted it to reap it.
        std::string stat =
            ReadWholeFile("/proc/" + std::to_string(grandchild) + "/stat").value_or("");
        size_t paren = stat.rfind(')');
        gone = stat.empty() || (paren != std::string::npos && stat.substr(paren + 2, 1) == "Z");
        if (!gone) ::usleep(10000);
    }
    EXPECT_TRUE(gone);
    EXPECT_EQ(ui.cursor, Cursor::kNormal);
}

TEST_F(ProcessRunnerTest, WhatAFinishedChildLeftRunningIsEnded) {
    std::string cmd =
        Script("leave.sh", "sleep 100 &\necho $! > " + dir.File("left.pid") + "\necho done\n");
    int exitStatus = -1;
    EXPECT_EQ(runner.Run(cmd, "", dir.File("out.txt"), "E", nullptr, &exitStatus),
              RunStatus::kFinished);
    EXPECT_EQ(exitStatus, 0);
    const pid_t left = std::stoi(dir.Read("left.pid"));
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        std::string stat = ReadWholeFile("/proc/" + std::to_string(left) + "/stat").value_or("");
        size_t paren = stat.rfind(')');
        gone = stat.empty() || (paren != std::string::npos && stat.substr(paren + 2, 1) == "Z");
        if (!gone) ::usleep(10000);
    }
    EXPECT_TRUE(gone);
}

TEST_F(ProcessRunnerTest, PathsLongerThan260CharactersWork) {
    std::string folder = dir.path();
    while (folder.size() < 300) folder += "/a-rather-long-folder-name";
    MakeDirectories(folder);
    AppendToFile(folder + "/in.txt", "long");
    EXPECT_TRUE(runner.CreateDOSProcessRedirected("/bin/cat", folder + "/in.txt",
                                                  folder + "/out.txt", "E"));
    EXPECT_EQ(ReadWholeFile(folder + "/out.txt").value_or(""), "long");
}

TEST(SplitCommandLine, PlainWordsAndQuotedWordsRoundTrip) {
    using W = std::vector<std::string>;
    EXPECT_EQ(ProcessRunner::SplitCommandLine("  /usr/bin/yazc\t-m  /tmp/_marc.~ "),
              (W{"/usr/bin/yazc", "-m", "/tmp/_marc.~"}));
    EXPECT_EQ(ProcessRunner::SplitCommandLine("\"/opt/my tools/yazc\" -m \"/tmp/sp ace/_marc.~\""),
              (W{"/opt/my tools/yazc", "-m", "/tmp/sp ace/_marc.~"}));
    EXPECT_EQ(ProcessRunner::SplitCommandLine("a\"\"b \"\""), (W{"ab", ""}));
    for (std::string word :
         {"plain", "with blank", "tab\there", "quote\"inside", "back\\slash\"", "", "x\\"}) {
        EXPECT_EQ(ProcessRunner::SplitCommandLine(ProcessRunner::QuoteWord(word) + " next"),
                  (W{word, "next"}))
            << word;
    }
    EXPECT_EQ(ProcessRunner::QuoteWord("/usr/bin/yazc"), "/usr/bin/yazc");
}

}  // namespace
}  // namespace z39
