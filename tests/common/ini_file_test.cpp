#include "common/ini_file.h"

#include <gtest/gtest.h>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/z39_error.h"
#include "support/temp_dir.h"
#include "support/write_failure.h"

namespace z39 {
namespace {

TEST(IniFile, LooksUpSectionsAndKeysWithoutCase) {
    test::TempDir dir;
    dir.Write("a.ini", "[Main]\r\nRecNumber = 25 \r\n[Other]\r\nRECNUMBER=7\r\n");
    IniFile ini(dir.File("a.ini"));
    EXPECT_EQ(ini.ReadString("MAIN", "recnumber", "x"), "25");
    EXPECT_EQ(ini.ReadString("other", "RecNumber", "x"), "7");
    EXPECT_EQ(ini.ReadString("main", "missing", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("nosection", "recnumber", "dflt"), "dflt");
    EXPECT_EQ(IniFile(dir.File("none.ini")).ReadString("main", "k", "dflt"), "dflt");
}

TEST(IniFile, PresentEmptyValueIsNotTheDefault) {
    test::TempDir dir;
    dir.Write("a.ini", "[s]\nk=\n");
    EXPECT_EQ(IniFile(dir.File("a.ini")).ReadString("s", "k", "dflt"), "");
}

TEST(IniFile, LongValueIsSeenAsItsFirst2047Bytes) {
    test::TempDir dir;
    std::string value(3000, 'v');
    value[2046] = 'L';
    value[2047] = 'X';
    dir.Write("a.ini", "[s]\nk=" + value + "\n");
    std::string read = IniFile(dir.File("a.ini")).ReadString("s", "k", "");
    EXPECT_EQ(read.size(), 2047u);
    EXPECT_EQ(read.back(), 'L');
}

TEST(IniFile, WriteReplacesOneValueAndKeepsEverythingElseByteForByte) {
    test::TempDir dir;
    const std::string before = "; a comment\r\n[" + G("系统参数") +
                               "]\r\nRECNUMBER=10\r\nMarcPath = /x/\r\n\r\n" + "[" + G("MARC标志") +
                               "]\n200=" + G("题名") + "\nodd line without equals\n";
    dir.Write("Z39.ini", before);
    IniFile ini(dir.File("Z39.ini"));
    ini.WriteString(G("系统参数"), "marcpath", "/data/marc/");
    std::string expected = before;
    expected.replace(expected.find("MarcPath = /x/"), 14, "MarcPath=/data/marc/");
    EXPECT_EQ(dir.Read("Z39.ini"), expected);
}

TEST(IniFile, WriteCreatesFileSectionAndKeyAsNeeded) {
    test::TempDir dir;
    IniFile ini(dir.File("new.ini"));
    ini.WriteString("s", "A", "1");
    EXPECT_EQ(dir.Read("new.ini"), "[s]\r\nA=1\r\n");
    ini.WriteString("s", "B", "2");  // new key goes at the end of its section
    ini.WriteString("t", "C", "3");  // new section at the end of the file
    ini.WriteString("S", "b", "two");
    EXPECT_EQ(dir.Read("new.ini"), "[s]\r\nA=1\r\nB=two\r\n[t]\r\nC=3\r\n");

    dir.Write("tail.ini", "[s]\nA=1\n\n[u]\nD=4");  // a blank line and no final line break
    IniFile tail(dir.File("tail.ini"));
    tail.WriteString("s", "B", "2");
    tail.WriteString("u", "E", "5");
    EXPECT_EQ(dir.Read("tail.ini"), "[s]\nA=1\nB=2\r\n\n[u]\nD=4\r\nE=5\r\n");
}

// Found by the fuzzer: the file's last line ended in CR without LF. The new key was glued
// to it, and later the CR became part of the line (a value "1\r", a section name that no
// longer matched).
TEST(IniFile, NewKeyAfterALastLineEndingInCarriageReturn) {
    test::TempDir dir;
    auto crashInput =
        ReadWholeFile(std::string(Z39_SOURCE_DIR) + "/tests/regressions/ini-last-line-ends-in-cr");
    ASSERT_TRUE(crashInput);
    const std::string sys = G("系统参数");
    for (const std::string& text : {*crashInput, "[t]\r\n[" + sys + "\r"}) {
        dir.Write("a.ini", text);
        IniFile ini(dir.File("a.ini"));
        ini.WriteString(sys, "LASTDATABASE", "42");
        EXPECT_EQ(ini.ReadString(sys, "lastdatabase", ""), "42");
    }

    dir.Write("b.ini", "[s]\r\nA=1\r");
    IniFile ini(dir.File("b.ini"));
    ini.WriteString("s", "B", "2");
    ini.WriteString("t", "C", "3");
    EXPECT_EQ(dir.Read("b.ini"), "[s]\r\nA=1\r\nB=2\r\n[t]\r\nC=3\r\n");
    EXPECT_EQ(ini.ReadString("s", "A", ""), "1");
}

TEST(IniFile, RefusedWriteRaisesWithThePathAndLeavesTheFile) {
    test::TempDir dir;
    dir.Write("a.ini", "[s]\nk=old\n");
    IniFile ini(dir.File("a.ini"));
    try {
        test::FileSizeLimit limit(4);
        ini.WriteString("s", "k", "a much longer value");
        FAIL() << "no error raised";
    } catch (const Z39Error& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.File("a.ini"));
    }
    EXPECT_EQ(dir.Read("a.ini"), "[s]\nk=old\n");
    EXPECT_THROW(IniFile("/nonexistent-z39/Z39.ini").WriteString("s", "k", "v"), Z39Error);
}

TEST(IniFile, ReadSectionListsKeysInFileOrder) {
    test::TempDir dir;
    dir.Write("a.ini", "[x]\n200=Title\n010 = ISBN\nnot a key\n[y]\n1=2\n");
    auto keys = IniFile(dir.File("a.ini")).ReadSection("X");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1], std::make_pair(std::string("010"), std::string("ISBN")));
}

TEST(IniFile, LinesEndedByALoneCarriageReturnKeepTheirKeys) {
    test::TempDir dir;
    dir.Write("Z39.ini", "[s]\rKSIP=10.0.0.1\rKSPORT=210\r\nB=2\n");
    IniFile ini(dir.File("Z39.ini"));
    EXPECT_EQ(ini.ReadString("s", "KSIP", "none"), "10.0.0.1");
    EXPECT_EQ(ini.ReadString("s", "KSPORT", "none"), "210");
    EXPECT_EQ(ini.ReadString("s", "B", "none"), "2");
    ini.WriteString("s", "KSPORT", "211");
    IniFile again(dir.File("Z39.ini"));
    EXPECT_EQ(again.ReadString("s", "KSIP", "none"), "10.0.0.1");
    EXPECT_EQ(again.ReadString("s", "KSPORT", "none"), "211");
    EXPECT_EQ(again.ReadString("s", "B", "none"), "2");
}

}  // namespace
}  // namespace z39
