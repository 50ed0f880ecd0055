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

}  // namespace
}  // namespace z39
