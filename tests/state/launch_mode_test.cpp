#include <gtest/gtest.h>

#include "app/startup.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "state/launch_mode.h"
#include "support/temp_dir.h"
#include "support/write_failure.h"

namespace z39 {
namespace {

class LaunchModeTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    HandOffStore store{dir.File("cfg/TesmarkSoft/Lib.ini")};
};

TEST_F(LaunchModeTest, NoArgumentsAndNoSignIsInteractive) {
    LaunchDecision d = DetectLaunchMode({}, store);
    EXPECT_FALSE(d.accepted);
    EXPECT_EQ(d.mode.launchQuery, "");
    EXPECT_FALSE(d.mode.handOff);
    EXPECT_FALSE(d.mode.keepFullWindow);
    EXPECT_FALSE(d.compactWindow);
}

TEST_F(LaunchModeTest, CommandLineQueryAndFullWindowArgument) {
    LaunchDecision d = DetectLaunchMode({"ISBN@9787111213826"}, store);
    EXPECT_TRUE(d.accepted);
    EXPECT_TRUE(d.compactWindow);
    EXPECT_EQ(LaunchQueryValue(d.mode.launchQuery), "9787111213826");
    EXPECT_TRUE(LaunchQueryIsIsbn(d.mode.launchQuery));

    d = DetectLaunchMode({"ISBN@9787111213826", "1"}, store);
    EXPECT_TRUE(d.mode.keepFullWindow);
    EXPECT_FALSE(d.compactWindow);
    EXPECT_EQ(d.mode.launchQuery, "ISBN@9787111213826");

    d = DetectLaunchMode({"NAME@" + G("数据结构"), "0"}, store);
    EXPECT_TRUE(d.compactWindow);
    EXPECT_FALSE(LaunchQueryIsIsbn(d.mode.launchQuery));
    EXPECT_EQ(LaunchQueryValue(d.mode.launchQuery), G("数据结构"));
}

TEST_F(LaunchModeTest, QueryPrefixIsCaseSensitive) {
    for (const char* q : {"isbn@123", "TITLE@x", " ISBN@1", ""}) {
        LaunchDecision d = DetectLaunchMode({q, "1"}, store);
        EXPECT_FALSE(d.accepted) << q;
        EXPECT_EQ(d.mode.launchQuery, "") << q;
        EXPECT_FALSE(d.mode.keepFullWindow) << q;
        EXPECT_FALSE(d.compactWindow) << q;
    }
}

TEST_F(LaunchModeTest, HandOffSignIsUsedOnceAndWinsOverTheCommandLine) {
    ASSERT_TRUE(store.SetHandOffValue("Z39_USE_SIGN", "USE_REGS_TYPE"));
    ASSERT_TRUE(store.SetHandOffValue("z39_input_str", " NAME@" + G("红楼梦") + " "));
    LaunchDecision d = DetectLaunchMode({"ISBN@123"}, store);
    EXPECT_TRUE(d.mode.handOff);
    EXPECT_EQ(d.mode.launchQuery, "NAME@" + G("红楼梦"));
    EXPECT_EQ(store.GetHandOffValue("Z39_USE_SIGN"), "");
    EXPECT_EQ(store.GetHandOffValue("Z39_INPUT_STR"), "");

    d = DetectLaunchMode({}, store);  // the sign is gone
    EXPECT_FALSE(d.mode.handOff);
}

TEST_F(LaunchModeTest, ASignThatCannotBeEmptiedIsReportedAndItsQueryNotRun) {
    ASSERT_TRUE(store.SetHandOffValue("Z39_USE_SIGN", "USE_REGS_TYPE"));
    ASSERT_TRUE(store.SetHandOffValue("Z39_INPUT_STR", "ISBN@7111"));
    LaunchDecision d;
    {
        test::FileSizeLimit full(0);  // the store cannot be rewritten
        d = DetectLaunchMode({}, store);
    }
    EXPECT_FALSE(d.accepted);
    EXPECT_EQ(d.mode.launchQuery, "");
    EXPECT_EQ(d.signNotCleared, store.path());
    EXPECT_EQ(store.GetHandOffValue("Z39_USE_SIGN"), "USE_REGS_TYPE");  // still there

    StartupEnvironment env;
    test::TempDir tmp;
    env.rawTempFolder = tmp.path();
    env.handOffPath = store.path();
    env.settingsPath = dir.File("Z39.ini");
    StartupResult r;
    {
        test::FileSizeLimit full(0);
        r = RunStartup(env);
    }
    EXPECT_NE(r.handOffBlocked.find(store.path()), std::string::npos);
    EXPECT_TRUE(r.state.launch.launchQuery.empty());
    CleanupWorkingFiles(r.state.files);
}

TEST_F(LaunchModeTest, HandOffWithUnknownPrefixKeepsHandOffButNoQuery) {
    store.SetHandOffValue("Z39_USE_SIGN", "USE_REGS_TYPE");
    store.SetHandOffValue("Z39_INPUT_STR", "ISSN@1234");
    LaunchDecision d = DetectLaunchMode({}, store);
    EXPECT_TRUE(d.mode.handOff);
    EXPECT_FALSE(d.accepted);
    EXPECT_EQ(d.mode.launchQuery, "");
}

TEST_F(LaunchModeTest, HandOffStoreKeepsLongRecordValues) {
    std::string record(50000, 'r');
    ASSERT_TRUE(store.SetHandOffValue("Z39_OUTPUT_STR", record));
    EXPECT_EQ(store.GetHandOffValue("Z39_OUTPUT_STR"), record);
    EXPECT_EQ(store.GetHandOffValue("missing"), "");
    EXPECT_EQ(HandOffStore(dir.File("none.ini")).GetHandOffValue("Z39_USE_SIGN"), "");
}

TEST_F(LaunchModeTest, StartupMakesPrivateWorkingFilesAndDeletesLibTmpForAnAcceptedQuery) {
    test::TempDir tmp;
    for (auto name : {"_list.~", "_marc.~", "_mess.~", "_zinit.~", "lib.tmp"}) tmp.Write(name, "x");
    StartupEnvironment env;
    env.rawTempFolder = tmp.path() + "/";
    env.args = {"ISBN@1"};
    env.handOffPath = store.path();
    env.settingsPath = dir.File("Z39.ini");
    env.programFolder = "/p";
    StartupResult r = RunStartup(env);
    // Files in the shared folder may be another client's: only lib.tmp is ours to clear.
    for (auto name : {"_list.~", "_marc.~", "_mess.~", "_zinit.~"})
        EXPECT_TRUE(FileExists(tmp.File(name))) << name;
    EXPECT_FALSE(FileExists(tmp.File("lib.tmp")));
    ASSERT_FALSE(r.state.files.privateFolder.empty());
    EXPECT_EQ(FolderOf(r.state.files.privateFolder), tmp.path());
    EXPECT_EQ(r.state.files.recordListPath, r.state.files.privateFolder + "/_list.~");
    EXPECT_FALSE(FileExists(r.state.files.recordListPath));
    CleanupWorkingFiles(r.state.files);
    EXPECT_EQ(r.state.statusMessage, G("就绪"));
    EXPECT_TRUE(r.compactWindow);
    EXPECT_EQ(r.state.settings.RECNUMBER, 10);
    EXPECT_EQ(r.state.settings.MARCPATH, "/p/");
    EXPECT_EQ(r.handOffBlocked, "");

    // A lib.tmp that cannot be removed: the run must not go on to hand something back.
    MakeDirectories(tmp.File("lib.tmp"));
    tmp.Write("lib.tmp/x", "x");
    StartupResult blocked = RunStartup(env);
    EXPECT_EQ(blocked.handOffBlocked, HandOffBlockedMessage(tmp.File("lib.tmp")));
    CleanupWorkingFiles(blocked.state.files);
}

}  // namespace
}  // namespace z39
