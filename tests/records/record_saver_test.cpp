#include "records/record_saver.h"
#include "records/daily_format.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "support/marc_builder.h"
#include "support/temp_dir.h"
#include "support/write_failure.h"

namespace z39 {
namespace {

// A small GBK record standing for book `name`.
std::string Rec(const std::string& name) {
    return test::MarcBuilder()
        .Control("001", "rec-" + name)
        .Data("200", "1 ", {{'a', "书" + name}})
        .Build();
}

class RecordSaverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        state.files = MakeWorkingFiles(dir.path());
        state.settings.MARCPATH = dir.path() + "/";
        index.SetSorted(false);
        for (const char* r : {"A", "B", "C"}) index.AddResult(r, Rec(r), store);
    }
    SaveResult Save(std::vector<bool> ticks, std::string day = "20021118") {
        return SaveTickedRecords(state, index, store, handOff, ticks, [day] { return day; });
    }
    test::TempDir dir;
    AppState state;
    RecordStore store{dir.File("_list.~")};
    ResultIndex index;
    HandOffStore handOff{dir.File("cfg/Lib.ini")};
};

TEST_F(RecordSaverTest, AppendsTickedRecordsToTheDailyFile) {
    SaveResult r = Save({true, false, true});
    EXPECT_EQ(r.savedRows, (std::vector<int>{0, 2}));
    EXPECT_EQ(r.messages, std::vector<std::string>{G("已成功保存[2]条编目数据，保存在文件[") +
                                                   dir.File("marc20021118.txt") + G("]中")});
    EXPECT_EQ(dir.Read("marc20021118.txt"), Rec("A") + "\r\n" + Rec("C") + "\r\n");
    Save({false, true, false});
    EXPECT_EQ(dir.Read("marc20021118.txt"),
              Rec("A") + "\r\n" + Rec("C") + "\r\n" + Rec("B") + "\r\n");
    Save({true, false, false}, "20021119");  // after midnight: a new file
    EXPECT_EQ(dir.Read("marc20021119.txt"), Rec("A") + "\r\n");
}

TEST_F(RecordSaverTest, NothingTickedTouchesNoFile) {
    SaveResult r = Save({false, false, false});
    EXPECT_EQ(r.messages, std::vector<std::string>{G("已成功保存[0]条编目数据")});
    EXPECT_FALSE(FileExists(dir.File("marc20021118.txt")));
}

TEST_F(RecordSaverTest, MissingFolderStopsWithItsName) {
    state.settings.MARCPATH = dir.path() + "/gone/";
    SaveResult r = Save({true, true, true});
    EXPECT_TRUE(r.stopped);
    EXPECT_TRUE(r.savedRows.empty());
    EXPECT_EQ(r.messages, std::vector<std::string>{G("目录[") + dir.path() + "/gone" +
                                                   G("]不存在！请先配置好参数！")});
}

TEST_F(RecordSaverTest, DefaultFolderIsMadeOnFirstSave) {
    state.settings.MARCPATH = dir.path() + "/home/MARC/";
    state.autoCreateMarcPath = state.settings.MARCPATH;
    SaveResult r = Save({true, false, false});
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(dir.Read("home/MARC/marc20021118.txt"), Rec("A") + "\r\n");
}

TEST_F(RecordSaverTest, UnwritableDailyFileKeepsRowsTickedAndSaysSo) {
    SaveResult r;
    {
        test::FileSizeLimit limit(0);
        r = Save({true, true, false});
    }
    EXPECT_EQ(r.saved, 0);
    EXPECT_EQ(r.failed, 2);
    EXPECT_TRUE(r.savedRows.empty());
    ASSERT_EQ(r.messages.size(), 2u);
    EXPECT_NE(r.messages[0].find(G("有[2]条编目数据没有保存")), std::string::npos);
    EXPECT_NE(r.messages[0].find("marc20021118.txt"), std::string::npos);
    EXPECT_EQ(r.messages[1], G("已成功保存[0]条编目数据"));
}

TEST_F(RecordSaverTest, ADailyFilePlantedAsALinkIsNotWrittenThrough) {
    // Another user of a shared download folder links today's file to a file of ours.
    dir.Write("victim.txt", "mine\n");
    ASSERT_EQ(::symlink(dir.File("victim.txt").c_str(), dir.File("marc20021118.txt").c_str()), 0);
    SaveResult r = Save({true, false, false});
    EXPECT_EQ(r.saved, 0);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(dir.Read("victim.txt"), "mine\n");
    ASSERT_FALSE(r.messages.empty());
    EXPECT_NE(r.messages[0].find(G("是符号链接")), std::string::npos);
    // A link to nowhere is not followed to make a file either.
    ::unlink(dir.File("marc20021118.txt").c_str());
    ASSERT_EQ(::symlink(dir.File("made.txt").c_str(), dir.File("marc20021118.txt").c_str()), 0);
    r = Save({true, false, false});
    EXPECT_EQ(r.failed, 1);
    EXPECT_FALSE(FileExists(dir.File("made.txt")));
}

TEST_F(RecordSaverTest, DiskFullMidRecordLeavesTheDailyFileAsItWas) {
    Save({true, false, false});
    std::string before = dir.Read("marc20021118.txt");
    SaveResult r;
    {
        test::FileSizeLimit limit(before.size() + 3);  // room for part of B only
        r = Save({false, true, false});
    }
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(dir.Read("marc20021118.txt"), before);
    Save({false, false, true});  // the next save appends a whole record after the old ones
    EXPECT_EQ(dir.Read("marc20021118.txt"), before + Rec("C") + "\r\n");
}

TEST_F(RecordSaverTest, AnEmptyRecordIsAFailureNotASave) {
    // Another program emptied the record store under us: the rows load as empty text.
    DeleteFileIfExists(store.path());
    SaveResult r = Save({true, false, true});
    EXPECT_EQ(r.saved, 0);
    EXPECT_EQ(r.failed, 2);
    EXPECT_TRUE(r.savedRows.empty());
    ASSERT_EQ(r.messages.size(), 2u);
    EXPECT_NE(r.messages[0].find(G("有[2]条编目数据没有保存")), std::string::npos);
    EXPECT_EQ(r.messages[1], G("已成功保存[0]条编目数据"));
    EXPECT_FALSE(FileExists(dir.File("marc20021118.txt")));

    state.launch.launchQuery = "ISBN@1";  // nor is it handed to the host program
    Save({true, false, false});
    EXPECT_FALSE(FileExists(dir.File("lib.tmp")));
}

TEST_F(RecordSaverTest, CommandLineHandOffRewritesLibTmpAndExits) {
    state.launch.launchQuery = "ISBN@1";
    dir.Write("lib.tmp", "old");
    SaveResult r = Save({false, true, false});
    EXPECT_TRUE(r.exitSystem);
    EXPECT_EQ(state.windowCommand, "PleaseExitThisSystem");
    EXPECT_EQ(dir.Read("lib.tmp"), Rec("B") + "\r\n");
    EXPECT_TRUE(r.messages.empty());
    Save({false, false, false});  // no tick: lib.tmp is gone, the host sees no record
    EXPECT_FALSE(FileExists(dir.File("lib.tmp")));
}

// The daily file in the form MARCFORMAT asks for: UTF-8 lines or a MARCXML collection,
// and the question about records saved already reads either. A value that names no form
// saves nothing and says so; the host program's hand-off stays GBK whatever the setting.
TEST_F(RecordSaverTest, TheDailyFileInTheFormTheSettingsAskFor) {
    state.settings.MARCFORMAT = "UTF-8";
    Save({true, false, true});
    EXPECT_EQ(dir.Read("marc20021118.txt"),
              *RecordForDailyFile(Rec("A"), DailyFormat::kUtf8) + "\r\n" +
                  *RecordForDailyFile(Rec("C"), DailyFormat::kUtf8) + "\r\n");
    int asked = 0;
    SaveTickedRecords(
        state, index, store, handOff, {true, true, false}, [] { return std::string("20021118"); },
        [&](int count, const std::string&) {
            asked = count;
            return false;
        });
    EXPECT_EQ(asked, 1);  // A is there already; B is saved
    EXPECT_EQ(SplitDailyFile(dir.Read("marc20021118.txt"), DailyFormat::kUtf8).size(), 3u);

    state.settings.MARCFORMAT = "MARCXML";
    SaveResult r = Save({false, true, false});
    EXPECT_EQ(r.saved, 1);
    const std::string xml = dir.Read("marc20021118.xml");
    EXPECT_TRUE(xml.starts_with(kMarcXmlFileHead));
    EXPECT_TRUE(xml.ends_with(kMarcXmlFileTail));
    EXPECT_EQ(SplitDailyFile(xml, DailyFormat::kMarcXml),
              std::vector<std::string>{*RecordForDailyFile(Rec("B"), DailyFormat::kMarcXml)});

    state.settings.MARCFORMAT = "ISO";
    r = Save({true, false, false});
    EXPECT_TRUE(r.stopped);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_NE(r.messages[0].find("MARCFORMAT=[ISO]"), std::string::npos)
        << GbkToUtf8(r.messages[0]);

    state.launch.launchQuery = "ISBN@1";
    Save({false, false, true});
    EXPECT_EQ(dir.Read("lib.tmp"), Rec("C") + "\r\n");
}

TEST_F(RecordSaverTest, LibTmpThatCannotBeReplacedHandsBackNothingAndFails) {
    // Something in lib.tmp's place that cannot be removed or renamed over (another user's
    // file in a shared /tmp; here a folder with a file in it, which stops root too).
    state.launch.launchQuery = "ISBN@1";
    MakeDirectories(dir.File("lib.tmp"));
    dir.Write("lib.tmp/other", "someone else's");
    SaveResult r = Save({false, true, false});
    EXPECT_TRUE(r.exitSystem);
    EXPECT_EQ(state.exitCode, 1);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], HandOffBlockedMessage(dir.File("lib.tmp")));
    EXPECT_EQ(dir.Read("lib.tmp/other"), "someone else's");
}

TEST_F(RecordSaverTest, StoreHandOffHoldsOneRecordWithoutLineBreak) {
    state.launch = {"NAME@x", true, false};
    Save({true, false, true});  // the last ticked row wins
    // The value holds the whole record, its terminators too (the reader trims them).
    EXPECT_EQ(handOff.GetHandOffValue("Z39_OUTPUT_STR"), Trim(Rec("C")));
    EXPECT_NE(dir.Read("cfg/Lib.ini").find("=" + Rec("C") + "\r\n"), std::string::npos);
    EXPECT_EQ(state.windowCommand, "PleaseExitThisSystem");
}

TEST_F(RecordSaverTest, RecordsAlreadySavedTodayAreAskedAboutOnce) {
    Save({true, false, false});
    // A, again, and B: A is in today's file (its bytes); asked once, No saves B alone.
    int asked = 0;
    auto no = [&](int count, const std::string& file) {
        ++asked;
        EXPECT_EQ(count, 1);
        EXPECT_EQ(file, dir.File("marc20021118.txt"));
        return false;
    };
    SaveResult r = SaveTickedRecords(
        state, index, store, handOff, {true, true, false}, [] { return "20021118"; }, no);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(r.saved, 1);
    EXPECT_EQ(r.skippedRows, std::vector<int>{0});
    EXPECT_EQ(dir.Read("marc20021118.txt"), Rec("A") + "\r\n" + Rec("B") + "\r\n");
    // A record of the same ISBN in another form counts as saved too; Yes saves it again.
    const std::string copy = test::MarcBuilder()
                                 .Control("001", "rec-A2")
                                 .Data("010", "  ", {{'a', "7-5366-9293-5 (pbk.)"}})
                                 .Build();
    AppendToFile(dir.File("marc20021118.txt"),
                 test::MarcBuilder().Data("010", "  ", {{'a', "9787536692930"}}).Build() + "\r\n");
    ResultIndex more;
    more.SetSorted(false);
    store.Clear();  // a new search
    more.AddResult("A2", copy, store);
    asked = 0;
    r = SaveTickedRecords(
        state, more, store, handOff, {true}, [] { return "20021118"; },
        [&](int count, const std::string&) {
            ++asked;
            EXPECT_EQ(count, 1);
            return true;
        });
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(r.saved, 1);
    EXPECT_TRUE(dir.Read("marc20021118.txt").ends_with(copy + "\r\n"));
}

TEST_F(RecordSaverTest, TheSaveCheckRefusesBrokenRecordsAndMendsLineBreaks) {
    // A record cut short, one holding bytes that are no GBK, and one with CR LF in a field.
    std::string cut = Rec("D");
    cut.resize(cut.size() - 5);
    const std::string notGbk = test::MarcBuilder()
                                   .Control("001", "rec-E")
                                   .Raw("200",
                                        "1 \x1F"
                                        "a\xFF\xFE\x80")
                                   .Build();
    const std::string lines = test::MarcBuilder()
                                  .Control("001", "rec-F")
                                  .Raw("330",
                                       "  \x1F"
                                       "aone\r\ntwo\x1D" +
                                           std::string(1, '\0') + "three\r")
                                  .Build();
    ResultIndex broken;
    broken.SetSorted(false);
    store.Clear();
    broken.AddResult("D", cut, store);
    broken.AddResult("E", notGbk, store);
    broken.AddResult("F", lines, store);
    auto save = [&](std::vector<bool> ticks) {
        return SaveTickedRecords(state, broken, store, handOff, ticks, [] { return "20021118"; });
    };
    SaveResult r = save({true, true, true});
    EXPECT_EQ(r.saved, 1);
    EXPECT_EQ(r.refused, 2);
    EXPECT_EQ(r.savedRows, std::vector<int>{2});
    ASSERT_EQ(r.messages.size(), 3u);
    EXPECT_NE(r.messages[0].find(G("记录结构不完整")), std::string::npos);
    EXPECT_NE(r.messages[1].find(G("rec-E]没有保存")), std::string::npos)
        << GbkToUtf8(r.messages[1]);
    EXPECT_NE(r.messages[1].find(G("不是有效的GBK字符")), std::string::npos);
    const std::string saved = dir.Read("marc20021118.txt");
    EXPECT_EQ(saved.find('\n'), saved.size() - 1);  // one line
    EXPECT_NE(saved.find("one  two  three "), std::string::npos);
    EXPECT_TRUE(IsWellFormedIso2709(saved.substr(0, saved.size() - 2)));

    // The hand-off gets the same check: nothing broken reaches the host program.
    state.launch.launchQuery = "ISBN@1";
    r = save({false, true, false});
    EXPECT_FALSE(FileExists(dir.File("lib.tmp")));
    EXPECT_EQ(state.exitCode, 1);
}

}  // namespace
}  // namespace z39
