#include <gtest/gtest.h>

#include "common/gbk_text.h"
#include "state/z39_settings.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

Z39Settings LoadFrom(const test::TempDir& dir, const std::string& body) {
    dir.Write("Z39.ini", "[" + G("系统参数") + "]\r\n" + body);
    return LoadSettings(IniFile(dir.File("Z39.ini")), "/opt/z39");
}

TEST(LoadSettings, MissingFileGivesEveryDefault) {
    test::TempDir dir;
    Z39Settings s = LoadSettings(IniFile(dir.File("Z39.ini")), "/opt/z39");
    EXPECT_EQ(s.RECNUMBER, 10);
    EXPECT_EQ(s.MARCPATH, "/opt/z39/");
    EXPECT_EQ(s.ALLNUMBER, "");
    EXPECT_EQ(s.PROXYSIGN, 0);
    EXPECT_EQ(s.KSDEFAULT, 0);
    EXPECT_EQ(s.KSUSEHTTP, 0);
    EXPECT_EQ(s.LASTDATABASE, 0);
    EXPECT_EQ(s.RECORDER, "0");
    EXPECT_EQ(s.OPACURL, "http://opac.nlc.cn/F");
}

TEST(LoadSettings, RecNumberConversionRules) {
    test::TempDir dir;
    EXPECT_EQ(LoadFrom(dir, "RECNUMBER= 25 \r\n").RECNUMBER, 25);
    EXPECT_EQ(LoadFrom(dir, "RECNUMBER=abc\r\n").RECNUMBER, 10);
    EXPECT_EQ(LoadFrom(dir, "RECNUMBER=\r\n").RECNUMBER, 0);
    EXPECT_EQ(LoadFrom(dir, "recnumber=010\r\n").RECNUMBER, 10);
}

TEST(LoadSettings, IntegerFlagsReadZeroWhenEmptyOrNotConverting) {
    test::TempDir dir;
    Z39Settings s =
        LoadFrom(dir, "KSDEFAULT=\r\nPROXYSIGN=-1\r\nKSUSEHTTP=yes\r\nLASTDATABASE=+3\r\n");
    EXPECT_EQ(s.KSDEFAULT, 0);
    EXPECT_EQ(s.PROXYSIGN, 0);
    EXPECT_EQ(s.KSUSEHTTP, 0);
    EXPECT_EQ(s.LASTDATABASE, 0);
    s = LoadFrom(dir, "KSDEFAULT=1\r\nKSUSEHTTP= 1\r\nLASTDATABASE=7\r\n");
    EXPECT_EQ(s.KSDEFAULT, 1);
    EXPECT_EQ(s.KSUSEHTTP, 1);
    EXPECT_EQ(s.LASTDATABASE, 7);
}

TEST(LoadSettings, TextsAreTrimmedAndPresentEmptyIsNotDefault) {
    test::TempDir dir;
    Z39Settings s = LoadFrom(dir,
                             "KSPORT=-210\r\nKSIP= 10.0.0.5 \r\nMARCPATH=\r\nRECORDER=\r\n"
                             "OPACURL=http://127.0.0.1:9/F\r\nUNKNOWNKEY=whatever\r\n");
    EXPECT_EQ(s.KSPORT, "-210");
    EXPECT_EQ(s.KSIP, "10.0.0.5");
    EXPECT_EQ(s.MARCPATH, "");
    EXPECT_EQ(s.RECORDER, "");
    EXPECT_EQ(s.OPACURL, "http://127.0.0.1:9/F");
}

}  // namespace
}  // namespace z39
