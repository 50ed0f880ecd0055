#include "app/config_location.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/file_util.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

// Sets environment variables for one test and puts them back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value.empty()) {
            ::unsetenv(name);
        } else {
            ::setenv(name, value.c_str(), 1);
        }
    }
    ~ScopedEnv() {
        if (had_) {
            ::setenv(name_, old_.c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

TEST(ConfigLocation, PortableCopyNamedFolderAndInstalledProgram) {
    test::TempDir dir;
    ScopedEnv home("HOME", dir.File("home"));
    ScopedEnv xdg("XDG_CONFIG_HOME", "");
    {
        ScopedEnv named("Z39_CONFIG_DIR", "");
        ConfigLocation portable = ResolveConfigLocation(dir.path());
        EXPECT_EQ(portable.settingsPath, dir.File("Z39.ini"));
        EXPECT_EQ(portable.defaultMarcPath, dir.path() + "/");
        EXPECT_FALSE(portable.createMarcFolder);

        ConfigLocation installed = ResolveConfigLocation("/nonexistent-program-folder");
        EXPECT_EQ(installed.settingsPath, dir.File("home/.config/z39client/Z39.ini"));
        EXPECT_EQ(installed.defaultMarcPath, dir.File("home/MARC/"));
        EXPECT_TRUE(installed.createMarcFolder);
        ScopedEnv config("XDG_CONFIG_HOME", dir.File("cfg"));
        EXPECT_EQ(ResolveConfigLocation("/nonexistent-program-folder").settingsPath,
                  dir.File("cfg/z39client/Z39.ini"));
    }
    ScopedEnv named("Z39_CONFIG_DIR", dir.File("elsewhere"));
    EXPECT_EQ(ResolveConfigLocation(dir.path()).settingsPath, dir.File("elsewhere/Z39.ini"));
}

// The target list: the current folder's when there is one, as ever; else the one beside
// Z39.ini (started from any other folder, the targets are still there).
TEST(ConfigLocation, TheTargetListOfTheCurrentFolderElseBesideTheSettings) {
    test::TempDir dir;
    MakeDirectories(dir.File("work"));
    char before[4096];
    ASSERT_NE(::getcwd(before, sizeof before), nullptr);
    ASSERT_EQ(::chdir(dir.File("work").c_str()), 0);
    const std::string settings = dir.File("cfg/Z39.ini");
    EXPECT_EQ(ResolveTargetListPath(settings), dir.File("cfg/z39svr.cfg"));
    ASSERT_TRUE(ReplaceFileAtomically(dir.File("work/z39svr.cfg"), "{G\n}\n"));
    EXPECT_EQ(ResolveTargetListPath(settings), "z39svr.cfg");
    ASSERT_EQ(::chdir(before), 0);
}

// The first start of an installed client copies the package's example list where the
// list would be read, once, and says where; a list already there is left alone.
TEST(ConfigLocation, TheExampleTargetListIsCopiedOnceOnTheFirstStart) {
    test::TempDir dir;
    ASSERT_TRUE(ReplaceFileAtomically(dir.File("example.cfg"), "{G\r\n}\r\n"));
    const std::string list = dir.File("home/.config/z39client/z39svr.cfg");
    const std::string notice = CopyExampleTargetList(dir.File("example.cfg"), list);
    EXPECT_NE(notice.find(list), std::string::npos);
    EXPECT_EQ(ReadWholeFile(list), "{G\r\n}\r\n");
    ASSERT_TRUE(ReplaceFileAtomically(list, "mine"));
    EXPECT_EQ(CopyExampleTargetList(dir.File("example.cfg"), list), "");
    EXPECT_EQ(ReadWholeFile(list), "mine");
    EXPECT_EQ(CopyExampleTargetList(dir.File("none.cfg"), dir.File("other/z39svr.cfg")), "");
    // Root may write into /usr/bin: an installed program is still no portable copy.
    EXPECT_TRUE(IsInstalledProgramFolder("/usr/bin"));
    EXPECT_FALSE(IsInstalledProgramFolder(dir.path()));
}

}  // namespace
}  // namespace z39
