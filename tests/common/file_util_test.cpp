#include "common/file_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "app/startup.h"
#include "common/gbk_text.h"
#include "common/ini_file.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

// Each call on a FIFO returns at once, whether or not anyone holds its other end.
TEST(NotRegularFiles, AFifoIsNeitherReadNorWrittenNorReplacedAndNothingWaits) {
    test::TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto within = [](auto call) {
        auto done = std::async(std::launch::async, call);
        return done.wait_for(std::chrono::seconds(3)) == std::future_status::ready && done.get();
    };
    EXPECT_TRUE(within([&] { return !ReadWholeFile(fifo).has_value(); }));
    EXPECT_TRUE(within([&] { return !AppendToFile(fifo, "record"); }));
    EXPECT_TRUE(within([&] { return !ReplaceFileAtomically(fifo, "record", Links::follow); }));
    EXPECT_TRUE(within([&] { return IniFile(fifo).ReadString("a", "b", "none") == "none"; }));
    // A reader waiting on the other end does not make it a file either.
    std::thread reader([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (fd >= 0) ::close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(within([&] { return !AppendToFile(fifo, "record"); }));
    reader.join();
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));  // still the FIFO it was
    EXPECT_TRUE(IsNotRegularFile(fifo));
    EXPECT_TRUE(IsNotRegularFile(dir.path()));
    EXPECT_FALSE(IsNotRegularFile(dir.File("missing")));
    dir.Write("plain", "x");
    EXPECT_FALSE(IsNotRegularFile(dir.File("plain")));
}

TEST(NotRegularFiles, StartupNamesEachConfigurationFileThatIsNotAFile) {
    test::TempDir dir;
    for (auto name : {"Z39.ini", "z39svr.cfg", "Lib.ini"})
        ASSERT_EQ(::mkfifo(dir.File(name).c_str(), 0600), 0);
    MakeDirectories(dir.File("tmp"));
    StartupEnvironment env;
    env.rawTempFolder = dir.File("tmp") + "/";
    env.settingsPath = dir.File("Z39.ini");
    env.targetListPath = dir.File("z39svr.cfg");
    env.handOffPath = dir.File("Lib.ini");
    env.programFolder = "/p";
    auto start = std::async(std::launch::async, [&] { return RunStartup(env); });
    ASSERT_EQ(start.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    StartupResult r = start.get();
    ASSERT_EQ(r.fileWarnings.size(), 3u);
    EXPECT_EQ(r.fileWarnings[0], NotARegularFileMessage(dir.File("Z39.ini")));
    EXPECT_NE(r.fileWarnings[2].find(G("不是普通文件")), std::string::npos);
    EXPECT_EQ(r.state.settings.MARCPATH, "/p/");  // the defaults, as with no Z39.ini
    CleanupWorkingFiles(r.state.files);
}

}  // namespace
}  // namespace z39
