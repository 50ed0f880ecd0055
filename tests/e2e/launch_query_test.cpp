// The real z39client binary started by a host program, on the offscreen platform.
#include <gtest/gtest.h>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "state/hand_off_store.h"
#include "support/catalogue_server_process.h"
#include "support/strict_records.h"

namespace z39 {
namespace {

class LaunchQueryTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server = new test::CatalogueServerProcess(100); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(server && server->ok());
        MakeDirectories(dir.File("tmp"));
        MakeDirectories(dir.File("config"));
        MakeDirectories(dir.File("work"));
        dir.Write("config/Z39.ini", "[" + G("系统参数") + "]\r\nKSIP=127.0.0.1\r\nKSPORT=" +
                                        std::to_string(server->port()) + "\r\nKSDEFAULT=1\r\n");
    }
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), test::BinDir() + "/z39client");
        test::ChildProcess client(
            args,
            {"QT_QPA_PLATFORM=offscreen", "TMPDIR=" + dir.File("tmp"),
             "XDG_CONFIG_HOME=" + dir.File("xdg"), "Z39_CONFIG_DIR=" + dir.File("config")},
            dir.File("work"));
        return client.WaitFor(30000);
    }
    static test::CatalogueServerProcess* server;
    test::TempDir dir;
};
test::CatalogueServerProcess* LaunchQueryTest::server = nullptr;

TEST_F(LaunchQueryTest, OneHitIsWrittenToLibTmpAndTheProgramEnds) {
    EXPECT_EQ(Run({"ISBN@9787536692930"}), 0);
    std::string handed = dir.Read("tmp/lib.tmp");
    ASSERT_TRUE(handed.ends_with("\x1D\r\n")) << handed;
    EXPECT_EQ(test::StrictRecords(handed), "");
    EXPECT_NE(handed.find(G("三体")), std::string::npos);
    EXPECT_FALSE(FileExists(dir.File("tmp/_list.~")));  // working files are cleaned up
}

TEST_F(LaunchQueryTest, HandOffStoreQueryComesBackInTheStore) {
    HandOffStore store(dir.File("xdg/TesmarkSoft/Lib.ini"));
    store.SetHandOffValue("Z39_USE_SIGN", "USE_REGS_TYPE");
    store.SetHandOffValue("Z39_INPUT_STR", "NAME@!hlm");
    EXPECT_EQ(Run({}), 0);
    std::string record = store.GetHandOffValue("Z39_OUTPUT_STR");
    EXPECT_NE(record.find(G("红楼梦")), std::string::npos);
    // The host reads the value as stored: the whole record, terminators included.
    std::string file = dir.Read("xdg/TesmarkSoft/Lib.ini");
    EXPECT_NE(file.find("Z39_OUTPUT_STR=" + record + "\x1E\x1D\r\n"), std::string::npos);
    EXPECT_EQ(store.GetHandOffValue("Z39_USE_SIGN"), "");
    EXPECT_EQ(store.GetHandOffValue("Z39_INPUT_STR"), "");
    EXPECT_FALSE(FileExists(dir.File("tmp/lib.tmp")));
}

}  // namespace
}  // namespace z39
