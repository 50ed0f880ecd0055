#include "targets/target_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/z39_error.h"
#include "support/temp_dir.h"
#include "support/write_failure.h"

namespace z39 {
namespace {

const std::string kComment = G("//数据库名称，地址，端口，授权方式，用户名称，用户密码") + "\r\n";

std::vector<std::string> NodeTexts(const TargetList& list) {
    std::vector<std::string> out;
    for (auto& n : list.nodes) out.push_back(GbkToUtf8(n.text));
    return out;
}

TargetEntry Row(const char* group, const char* server, const char* db, const char* address = "h") {
    TargetEntry e;
    e.country = G(group);
    e.library = G(server);
    e.database = db;
    e.address = address;
    e.port = "210";
    e.auth = "0";
    return e;
}

TEST(GetZ39SvrPara, CommentOnlyFileHasJustTheBuiltInEntries) {
    test::TempDir dir;
    dir.Write("z39svr.cfg", kComment);
    Z39Settings settings;
    settings.KSIP = "10.0.0.5";
    settings.KSPORT = "-210";
    TargetList list = GetZ39SvrPara(dir.File("z39svr.cfg"), settings);
    EXPECT_EQ(NodeTexts(list), (std::vector<std::string>{"岱恒共享编目数据库", "ks_lib"}));
    EXPECT_EQ(list.nodes[1].parent, 0);
    EXPECT_EQ(list.TargetNodeCount, 2);
    EXPECT_EQ(list.CurrentTarget, 0);
    const TargetEntry& ks = list.TargetTable[1];
    EXPECT_EQ(ks.address, "10.0.0.5");
    EXPECT_EQ(ks.port, "-210");
    EXPECT_EQ(ks.database, "ks_lib");
    EXPECT_EQ(ks.library, G("岱恒共享编目数据库"));
    // A missing file gives the same.
    EXPECT_EQ(GetZ39SvrPara(dir.File("none.cfg"), settings).TargetNodeCount, 2);
    settings.KSDEFAULT = 1;
    list = GetZ39SvrPara(dir.File("none.cfg"), settings);
    EXPECT_EQ(list.CurrentTarget, 1);
    EXPECT_EQ(GbkToUtf8(list.caption), "[当前数据库：中国 岱恒共享编目数据库[ks_lib]]");
}

TEST(GetZ39SvrPara, ReadsGroupsServersAndEntriesWithTolerance) {
    test::TempDir dir;
    dir.Write("z39svr.cfg",
              kComment + G("{中国\r\n  [国家图书馆\r\n(opac,opac.nlc.cn,80,0,,)\r\n") +
                  G("\t(book,z.nlc.cn,210,1,user,pa,ss)\r\n    ]\r\n}\r\n\r\n// note\r\n") +
                  G("{美国\r\n    [LC\r\n        (Voyager,lx2.loc.gov,210)\r\n") +
                  G("        (short\r\n    ]\r\n    [Empty\r\n    ]\r\n}\r\n{NoServers\r\n}\r\n"));
    TargetList list = GetZ39SvrPara(dir.File("z39svr.cfg"), Z39Settings{});
    EXPECT_EQ(
        NodeTexts(list),
        (std::vector<std::string>{"岱恒共享编目数据库", "ks_lib", "中国", "国家图书馆", "opac",
                                  "book", "美国", "LC", "Voyager", "short", "Empty", "NoServers"}));
    EXPECT_EQ(list.nodes[5].parent, 3);
    EXPECT_EQ(list.nodes[3].parent, 2);
    EXPECT_EQ(list.nodes[6].parent, -1);
    const TargetEntry& opac = list.TargetTable[4];
    EXPECT_EQ(opac.country, G("中国"));
    EXPECT_EQ(opac.library, G("国家图书馆"));
    EXPECT_EQ(opac.address, "opac.nlc.cn");
    EXPECT_EQ(opac.port, "80");
    EXPECT_EQ(opac.auth, "0");
    EXPECT_EQ(opac.username, "");
    EXPECT_EQ(opac.userpass, "");
    const TargetEntry& book = list.TargetTable[5];
    EXPECT_EQ(book.auth, "1");
    EXPECT_EQ(book.username, "user");
    EXPECT_EQ(book.userpass, "pa,ss");  // the rest up to ")"
    const TargetEntry& voyager = list.TargetTable[8];
    EXPECT_EQ(voyager.port, "");  // no comma left: empty, nothing consumed
    EXPECT_EQ(voyager.address, "lx2.loc.gov");
    EXPECT_TRUE(list.TargetTable[3].address.empty());  // server nodes are not in use
    EXPECT_EQ(list.CurrentTarget, 4);
    EXPECT_EQ(GbkToUtf8(list.caption), "[当前数据库：中国 国家图书馆[opac]]");
    EXPECT_EQ(list.TargetNodeCount, 12);
}

TEST(GetZ39SvrPara, PasswordIsTheTextUpToTheFirstParenthesisOnly) {
    test::TempDir dir;
    dir.Write(
        "z39svr.cfg",
        kComment + "{g\r\n[s\r\n(db,h,210,1,user,secret\r\n(db2,h,210,1,u,p)x)\r\n]\r\n}\r\n");
    TargetList list = GetZ39SvrPara(dir.File("z39svr.cfg"), Z39Settings{});
    EXPECT_EQ(list.TargetTable[4].userpass, "");  // no ")" at all
    EXPECT_EQ(list.TargetTable[5].userpass, "p");
}

TEST(SaveZ39SvrPara, ASymbolicLinkStaysALinkAndItsTargetIsWritten) {
    test::TempDir dir;
    MakeDirectories(dir.File("elsewhere"));
    dir.Write("elsewhere/real.cfg", kComment);
    ASSERT_EQ(::symlink("elsewhere/real.cfg", dir.File("z39svr.cfg").c_str()), 0);
    TargetEntry e;
    e.country = "g";
    e.library = "s";
    e.database = "db";
    e.address = "h";
    e.port = "210";
    e.auth = "0";
    SaveZ39SvrPara(dir.File("z39svr.cfg"), {e});
    struct stat st {};
    ASSERT_EQ(::lstat(dir.File("z39svr.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(dir.Read("elsewhere/real.cfg").find("(db,h,210,0,,)"), std::string::npos);
}

TEST(GetZ39SvrPara, EndOfFileInsideAGroupOrServerKeepsWhatWasRead) {
    test::TempDir dir;
    dir.Write("a.cfg", "{G\n[S\n(db,host,210,0,,)\n");
    TargetList list = GetZ39SvrPara(dir.File("a.cfg"), Z39Settings{});
    EXPECT_EQ(list.TargetNodeCount, 5);
    EXPECT_EQ(list.TargetTable[4].address, "host");
    dir.Write("b.cfg", "{G\n[S\n]\n");
    EXPECT_EQ(GetZ39SvrPara(dir.File("b.cfg"), Z39Settings{}).TargetNodeCount, 4);
}

TEST(GetZ39SvrPara, NodesBeyondSlot300AreLeftOut) {
    test::TempDir dir;
    std::string text = "{G\n[S\n";
    for (int i = 0; i < 400; ++i) text += "(db" + std::to_string(i) + ",h,210,0,,)\n";
    text += "]\n}\n{Late\n[S2\n(x,h,1,0,,)\n]\n}\n";
    dir.Write("big.cfg", text);
    TargetList list = GetZ39SvrPara(dir.File("big.cfg"), Z39Settings{});
    EXPECT_EQ(list.TargetNodeCount, 301);
    EXPECT_EQ(list.nodes.size(), 301u);
    EXPECT_EQ(list.TargetTable.size(), 301u);
    EXPECT_EQ(list.TargetTable[300].database, "db296");
}

TEST(SaveZ39SvrPara, GroupsRowsByFirstAppearanceAndReadsBackTheSameTree) {
    test::TempDir dir;
    std::vector<TargetEntry> rows = {Row("中国", "国图", "a"), Row("美国", "LC", "b"),
                                     Row("中国", "上图", "c"), Row(" 中国 ", "国图", "d"),
                                     Row("美国", "国图", "e")};
    rows[1].auth = "1";
    rows[1].username = "u";
    rows[1].userpass = "p";
    SaveZ39SvrPara(dir.File("z39svr.cfg"), rows);
    EXPECT_EQ(dir.Read("z39svr.cfg"),
              kComment +
                  G("{中国\r\n    [国图\r\n        (a,h,210,0,,)\r\n        (d,h,210,0,,)\r\n") +
                  G("    ]\r\n    [上图\r\n        (c,h,210,0,,)\r\n    ]\r\n}\r\n\r\n") +
                  G("{美国\r\n    [LC\r\n        (b,h,210,1,u,p)\r\n    ]\r\n") +
                  G("    [国图\r\n        (e,h,210,0,,)\r\n    ]\r\n}\r\n\r\n"));
    TargetList list = GetZ39SvrPara(dir.File("z39svr.cfg"), Z39Settings{});
    EXPECT_EQ(NodeTexts(list),
              (std::vector<std::string>{"岱恒共享编目数据库", "ks_lib", "中国", "国图", "a", "d",
                                        "上图", "c", "美国", "LC", "b", "国图", "e"}));
    EXPECT_EQ(list.TargetTable[10].username, "u");
    EXPECT_EQ(list.TargetTable[10].userpass, "p");
    EXPECT_EQ(list.TargetTable[12].country, G("美国"));
}

TEST(SaveZ39SvrPara, FailedWriteLeavesThePreviousFile) {
    test::TempDir dir;
    SaveZ39SvrPara(dir.File("z39svr.cfg"), {Row("G", "S", "old")});
    std::string before = dir.Read("z39svr.cfg");
    std::vector<TargetEntry> many(50, Row("G", "S", "a-much-longer-database-name"));
    {
        test::FileSizeLimit limit(before.size());
        EXPECT_THROW(SaveZ39SvrPara(dir.File("z39svr.cfg"), many), Z39Error);
    }
    EXPECT_EQ(dir.Read("z39svr.cfg"), before);
}

// The probe's suggestions go onto the targets' own lines: every other line, comment, blank
// line, indent and line ending stays byte for byte, and an entry's other options stay.
TEST(TargetListFile, OptionsAreWrittenOntoTheirLinesAndNothingElseChanges) {
    test::TempDir dir;
    const std::string text = kComment + G("// 说明\r\n") + G("{甲\r\n") + "  [s1\r\n" +
                             "      (db,h1,210,0,,) index.title=ti\r\n" +
                             "      (db2,h1,210,0,,)\r\n" + "  ]\r\n" + "  [s2\n" +
                             "(db,h2,2100,0,,)\n" + "]\n" + "}\r\n\r\n" +
                             G("{乙\r\n[s1\r\n(db,h1,210,0,,)\r\n]\r\n}");
    dir.Write("z39svr.cfg", text);
    TargetList list = GetZ39SvrPara(dir.File("z39svr.cfg"), {});
    // The first s1/db (group 甲) and s2/db: found by group, server, database, address, port.
    TargetEntry first = list.TargetTable[4];
    ASSERT_EQ(first.database, "db");
    ASSERT_EQ(first.indexes.at("title"), "ti");
    first.charset = "UTF-8";
    TargetEntry second = list.TargetTable[7];
    ASSERT_EQ(second.address, "h2");
    second.syntax = "UNIMARC";
    EXPECT_EQ(WriteTargetOptions(dir.File("z39svr.cfg"), {first, second}), 2);
    const std::string after = ReadWholeFile(dir.File("z39svr.cfg")).value();
    std::string expected = text;
    auto replace = [&expected](const std::string& from, const std::string& to) {
        const size_t at = expected.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        expected.replace(at, from.size(), to);
    };
    replace("      (db,h1,210,0,,) index.title=ti\r\n",
            "      (db,h1,210,0,,) charset=UTF-8 index.title=ti\r\n");
    replace("(db,h2,2100,0,,)\n", "(db,h2,2100,0,,) format=UNIMARC\n");
    EXPECT_EQ(after, expected);
    // Nothing that matches: the file is not touched.
    TargetEntry gone = first;
    gone.address = "elsewhere";
    EXPECT_EQ(WriteTargetOptions(dir.File("z39svr.cfg"), {gone}), 0);
    EXPECT_EQ(ReadWholeFile(dir.File("z39svr.cfg")).value(), expected);
}

}  // namespace
}  // namespace z39
