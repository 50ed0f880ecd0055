#include "targets/target_editor.h"

#include "targets/target_profile.h"

#include <gtest/gtest.h>

#include "common/gbk_text.h"
#include "common/z39_error.h"
#include "support/fakes.h"
#include "support/temp_dir.h"
#include "support/write_failure.h"

namespace z39 {
namespace {

TargetEntry Fields(const char* group, const char* server, const char* db) {
    TargetEntry e;
    e.country = G(group);
    e.library = G(server);
    e.address = "z.example.org";
    e.port = "210";
    e.database = db;
    e.auth = "0";
    return e;
}

const std::string kCommentLine = TargetListComment() + "\r\n";

class TargetEditorTest : public ::testing::Test {
  protected:
    TargetList Read() { return GetZ39SvrPara(dir.File("z39svr.cfg"), Z39Settings{}); }
    test::TempDir dir;
    test::RecordingUi ui;
};

TEST_F(TargetEditorTest, EmptyListShowsOneRowAndAddsBelowIt) {
    dir.Write("z39svr.cfg", G("//数据库名称，地址，端口，授权方式，用户名称，用户密码\r\n"));
    Z39Settings s;
    s.KSIP = "ks";
    TargetEditor editor(GetZ39SvrPara(dir.File("z39svr.cfg"), s), dir.File("z39svr.cfg"));
    ASSERT_EQ(editor.rows().size(), 1u);  // the shared catalogue is not shown
    EXPECT_EQ(editor.Add().country, G("中国"));
    EXPECT_TRUE(editor.Confirm(Fields("中国", "国图", "book")).message.empty());
    EXPECT_EQ(editor.rows().size(), 2u);
    EXPECT_EQ(editor.selected(), 1);
    EXPECT_FALSE(editor.editing());
    TargetList list = Read();
    EXPECT_EQ(list.TargetNodeCount, 5);  // the empty placeholder row is not written
    EXPECT_EQ(list.TargetTable[4].database, "book");
}

TEST_F(TargetEditorTest, CancelWritesNothingAndRefusalsKeepEditing) {
    dir.Write("z39svr.cfg", "{G\n[S\n(db,h,210,0,,)\n]\n}\n");
    TargetEditor editor(Read(), dir.File("z39svr.cfg"));
    std::string before = dir.Read("z39svr.cfg");
    editor.Add();
    EXPECT_EQ(editor.Cancel().database, "db");
    EXPECT_EQ(dir.Read("z39svr.cfg"), before);

    editor.Add();
    TargetEntry f = Fields("G", "S", "x");
    f.port = " ";
    auto r = editor.Confirm(f);
    EXPECT_EQ(r.message, G("【服务器端口】不能为空"));
    EXPECT_EQ(r.field, "db_port");
    f = Fields("G", "S", "x");
    f.address = "a,b";
    r = editor.Confirm(f);
    EXPECT_EQ(r.message, G("【服务器地址】不能包含逗号"));
    f = Fields("G", "S", "x");
    f.userpass = "se)cret";
    EXPECT_EQ(editor.Confirm(f).field, "db_userpass");
    for (const char* port : {"CCC", "21o", "0", "70000", "-", "+210", "-x"}) {
        f = Fields("G", "S", "x");
        f.port = port;
        r = editor.Confirm(f);
        EXPECT_EQ(r.message, G("【服务器端口】必须是1到65535之间的数字")) << port;
        EXPECT_EQ(r.field, "db_port");
    }
    EXPECT_TRUE(editor.editing());
    EXPECT_EQ(dir.Read("z39svr.cfg"), before);
}

TEST_F(TargetEditorTest, ChangedGroupMovesTheEntryAndDeleteAsksFirst) {
    dir.Write("z39svr.cfg", "{A\n[S\n(one,h,210,0,,)\n(two,h,210,0,,)\n]\n}\n");
    TargetEditor editor(Read(), dir.File("z39svr.cfg"));
    editor.Select(0);
    editor.Modify();
    editor.Confirm(Fields("B", "T", "one"));
    EXPECT_EQ(dir.Read("z39svr.cfg"),
              G("//数据库名称，地址，端口，授权方式，用户名称，用户密码\r\n") +
                  "{B\r\n    [T\r\n        (one,z.example.org,210,0,,)\r\n    ]\r\n}\r\n\r\n"
                  "{A\r\n    [S\r\n        (two,h,210,0,,)\r\n    ]\r\n}\r\n\r\n");
    EXPECT_FALSE(editor.Delete(ui));  // the recording UI answers No
    EXPECT_EQ(ui.messages.size(), 0u);
    EXPECT_EQ(editor.rows().size(), 2u);
}

TEST_F(TargetEditorTest, DeletingTheLastRowIsRefused) {
    dir.Write("z39svr.cfg", "{A\n[S\n(one,h,210,0,,)\n(two,h,210,0,,)\n]\n}\n");
    TargetEditor editor(Read(), dir.File("z39svr.cfg"));
    test::RecordingUi yes;
    yes.answerYes = true;
    editor.Select(1);
    EXPECT_TRUE(editor.Delete(yes));
    EXPECT_EQ(yes.questions.back(), G("你确认要删除当前记录吗？"));
    EXPECT_EQ(editor.selected(), 0);
    EXPECT_FALSE(editor.Delete(yes));
    EXPECT_EQ(yes.messages.back().second, G("只有一条记录了，不能删除，你可以修改！"));
    EXPECT_EQ(Read().TargetNodeCount, 5);
}

TEST_F(TargetEditorTest, AFailedWriteChangesNeitherTheRowsNorTheMode) {
    dir.Write("z39svr.cfg", kCommentLine + G("{中国\r\n    [国图\r\n        (a,h,210,0,,)\r\n"
                                             "        (b,h,210,0,,)\r\n    ]\r\n}\r\n"));
    const std::string before = dir.Read("z39svr.cfg");
    TargetEditor editor(Read(), dir.File("z39svr.cfg"));
    editor.Select(1);
    editor.Modify();
    {
        test::FileSizeLimit full(0);
        EXPECT_THROW(editor.Confirm(Fields("中国", "国图", "changed")), Z39Error);
    }
    EXPECT_TRUE(editor.editing());
    EXPECT_EQ(editor.rows()[1].database, "b");
    EXPECT_EQ(editor.Cancel().database, "b");  // 取消 shows what is stored, not the failed text
    editor.Add();
    {
        test::FileSizeLimit full(0);
        EXPECT_THROW(editor.Confirm(Fields("中国", "国图", "new")), Z39Error);
    }
    EXPECT_EQ(editor.rows().size(), 2u);
    EXPECT_TRUE(editor.adding());
    editor.Cancel();
    ui.answerYes = true;
    {
        test::FileSizeLimit full(0);
        EXPECT_THROW(editor.Delete(ui), Z39Error);
    }
    EXPECT_EQ(editor.rows().size(), 2u);
    EXPECT_EQ(dir.Read("z39svr.cfg"), before);
}

TEST_F(TargetEditorTest, TargetsBeyondTheTableAreWrittenBackUnchanged) {
    // One group, one server, 400 targets: the table holds 297 of them.
    std::string file = kCommentLine + G("{中国\r\n    [大馆\r\n");
    std::vector<std::string> lines;
    for (int i = 0; i < 400; ++i) {
        lines.push_back("        (db" + std::to_string(i) + ",h" + std::to_string(i) +
                        ".example.org,210,0,,)");
        file += lines.back() + "\r\n";
    }
    file += "    ]\r\n}\r\n\r\n";
    dir.Write("z39svr.cfg", file);
    TargetEditor editor(Read(), dir.File("z39svr.cfg"));
    EXPECT_EQ(editor.rows().size(), 297u);
    EXPECT_EQ(editor.beyondTable().size(), 103u);
    editor.Select(5);
    TargetEntry changed = editor.Modify();
    changed.database = "renamed";
    ASSERT_TRUE(editor.Confirm(changed).message.empty());
    std::string written = dir.Read("z39svr.cfg");
    for (int i = 0; i < 400; ++i) {
        if (i == 5) continue;
        EXPECT_NE(written.find(lines[static_cast<size_t>(i)] + "\r\n"), std::string::npos) << i;
    }
    EXPECT_NE(written.find("(renamed,h5.example.org,210,0,,)"), std::string::npos);
    EXPECT_EQ(written.find("(db5,"), std::string::npos);
}

TEST_F(TargetEditorTest, ATargetsCharacterSetAndSyntaxSurviveSavesOfOtherRows) {
    dir.Write("z39svr.cfg", kCommentLine);
    TargetEditor editor(Read(), dir.File("z39svr.cfg"));
    editor.Modify();
    TargetEntry utf8 = Fields("中国", "大学", "UTF8DB");
    utf8.charset = "UTF-8";
    utf8.syntax = "UNIMARC";
    ASSERT_EQ(editor.Confirm(utf8).message, "");
    editor.Add();
    ASSERT_EQ(editor.Confirm(Fields("中国", "大学", "OTHER")).message, "");
    // Another row changed and saved: the first keeps its options.
    editor.Select(1);
    TargetEntry other = editor.Modify();
    other.port = "2100";
    ASSERT_EQ(editor.Confirm(other).message, "");
    const std::string file = dir.Read("z39svr.cfg");
    EXPECT_NE(file.find("(UTF8DB,z.example.org,210,0,,) charset=UTF-8 format=UNIMARC\r\n"),
              std::string::npos)
        << file;
    TargetList back = Read();
    EXPECT_EQ(back.TargetTable[4].charset, "UTF-8");
    EXPECT_EQ(back.TargetTable[4].syntax, "UNIMARC");
    EXPECT_EQ(back.TargetTable[5].charset, "");
    EXPECT_EQ(TargetEditor(back, dir.File("z39svr.cfg")).rows()[0].charset, "UTF-8");
    // Read as the plain format reads it, the password ends at ")": nothing else moved.
    EXPECT_EQ(back.TargetTable[4].userpass, "");
    EXPECT_EQ(back.TargetTable[4].port, "210");
    EXPECT_EQ(ProfileOf(4, back.TargetTable[4]).z39.charset, "UTF-8");
}

}  // namespace
}  // namespace z39
