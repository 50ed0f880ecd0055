#include "app/settings_form.h"

#include <gtest/gtest.h>

#include "common/gbk_text.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

class SettingsFormTest : public ::testing::Test {
  protected:
    void SetUp() override {
        form = ReadSettingsForm(ini, "/opt/z39");
        state.discoveredHost = "10.0.0.5";
    }
    std::string Key(const char* key) { return ini.ReadString(SystemSection(), key, "<none>"); }
    test::TempDir dir;
    IniFile ini{dir.File("Z39.ini")};
    AppState state;
    SettingsForm form;
};

TEST_F(SettingsFormTest, ActivationDefaults) {
    EXPECT_EQ(form.edNum, "10");
    EXPECT_EQ(form.edPath, "/opt/z39/");
    EXPECT_FALSE(form.rbOrder2);
    EXPECT_FALSE(form.ckbProxy);
}

TEST_F(SettingsFormTest, SavesEveryKeyInOrderAndUpdatesTheRunningSettings) {
    form.edPath = " /data/marc ";
    form.edNum = "25";
    form.rbOrder2 = true;
    form.edHAddr = DefaultKsAddress();
    form.edHPort = "-210";
    form.cbIE = true;
    form.cbFormat = "utf8";
    SettingsSave r = SaveSettingsForm(form, ini, state);
    EXPECT_TRUE(r.message.empty());
    EXPECT_EQ(form.edPath, "/data/marc/");
    EXPECT_EQ(dir.Read("Z39.ini"),
              "[" + G("系统参数") +
                  "]\r\nRECNUMBER=25\r\nALLNUMBER=0\r\nPROXYSIGN=0\r\nPROXYIP=\r\n"
                  "PROXYPORT=\r\nMARCPATH=/data/marc/\r\nKSUSEHTTP=1\r\nKSDEFAULT=0\r\n"
                  "RECORDER=1\r\nKSIP=www.daiheng.example.com\r\nKSPORT=-210\r\n"
                  "MARCFORMAT=UTF-8\r\n");
    EXPECT_EQ(state.settings.MARCFORMAT, "UTF-8");
    EXPECT_EQ(state.settings.RECNUMBER, 25);
    EXPECT_EQ(state.settings.KSPORT, "-210");
    EXPECT_EQ(state.settings.RECORDER, "1");
    EXPECT_EQ(state.discoveredHost, "");  // a "-" port: discover again
    EXPECT_EQ(state.windowCommand, "PleaseExitThisWindows");

    form.edPath = "/data/marc/";  // already ends in "/": unchanged
    SaveSettingsForm(form, ini, state);
    EXPECT_EQ(Key("MARCPATH"), "/data/marc/");
}

TEST_F(SettingsFormTest, ValidationWritesNothing) {
    form.edNum = " ";
    SettingsSave r = SaveSettingsForm(form, ini, state);
    EXPECT_EQ(r.message, G("每次读取记录数不能为空"));
    EXPECT_EQ(r.focus, "edNum");
    for (const char* bad : {"0", "150", "999", "+5", "-1", "5a", "101"}) {
        form.edNum = bad;
        r = SaveSettingsForm(form, ini, state);
        EXPECT_EQ(r.message, G("每次读取记录数必须是1到100之间的数字")) << bad;
        EXPECT_EQ(r.focus, "edNum");
    }
    form.edNum = "10";
    form.ckbProxy = true;
    EXPECT_EQ(SaveSettingsForm(form, ini, state).message, G("地址不能为空"));
    form.edAddr = "proxy";
    EXPECT_EQ(SaveSettingsForm(form, ini, state).focus, "edPort");
    form.edAddr = "proxy";
    form.edPort = "8080";
    form.cbFormat = "ISO";  // a hand-edited Z39.ini's value no format has
    EXPECT_EQ(SaveSettingsForm(form, ini, state).focus, "cbFormat");
    form.edPath = "  ";
    EXPECT_EQ(SaveSettingsForm(form, ini, state).focus, "edPath");
    EXPECT_EQ(dir.Read("Z39.ini"), "<missing>");
    EXPECT_EQ(state.discoveredHost, "10.0.0.5");
    form = ReadSettingsForm(ini, "/p");
    form.ckbProxy = false;  // unticked: empty proxy fields are fine
    EXPECT_TRUE(SaveSettingsForm(form, ini, state).message.empty());
}

}  // namespace
}  // namespace z39
