#include "backends/external_z39.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "backends/search_condition.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/z39_error.h"
#include "demo_catalogue.h"
#include "records/marc_record.h"
#include "support/child_process.h"
#include "support/fakes.h"
#include "support/session_harness.h"
#include "support/temp_dir.h"
#include "yazc_commands.h"

namespace z39 {
namespace {

TEST(Z39Script, WorkedExampleAndOptionalLines) {
    Z39Settings settings;
    TargetEntry t;
    t.address = "H";
    t.port = "210";
    t.database = "D";
    t.auth = "1";
    t.username = "user";
    t.userpass = "pass";
    std::string find =
        BuildFindCommand({{"", "ISBN", "7111"}, {G("并且"), G("题名"), G("数据结构")}});
    EXPECT_EQ(BuildZ39Script(settings, t, find, "show"),
              "authentication user pass\r\nopen H:210/D\r\nelements F\r\nf @and @attr 1=4 " +
                  G("数据结构") + " @attr 1=7 7111\r\nshow\r\nquit\r\n");
    settings.PROXYSIGN = 1;
    settings.PROXYIP = "10.1.1.1";
    settings.PROXYPORT = "3128";
    t.auth = "0";
    EXPECT_EQ(BuildZ39Script(settings, t, "f", "show 11+10"),
              "proxy 10.1.1.1:3128\r\nopen H:210/D\r\nelements F\r\nf\r\nshow 11+10\r\nquit\r\n");
}

TEST(Z39RecordFile, CountLineAndRecords) {
    test::TempDir dir;
    dir.Write("m", "25\r\nrec1\nrec2\r\n");
    RecordFile f = ReadRecordFile(dir.File("m"), true);
    EXPECT_EQ(f.hits, 25);
    EXPECT_EQ(f.records, (std::vector<std::string>{"rec1", "rec2"}));
    EXPECT_EQ(ReadRecordFile(dir.File("m"), false).records.size(), 3u);
    dir.Write("empty", "");
    EXPECT_EQ(ReadRecordFile(dir.File("empty"), true).hits, 0);
    EXPECT_EQ(ReadRecordFile(dir.File("missing"), true).hits, 0);
    dir.Write("bad", "Number of hits: 3\r\n");
    try {
        ReadRecordFile(dir.File("bad"), true);
        FAIL();
    } catch (const Z39Error& e) {
        EXPECT_NE(std::string(e.what()).find(dir.File("bad")), std::string::npos);
    }
}

// The Z39.50 back end with a stand-in client: a shell script that keeps its script and
// writes a prepared record file and output.
class FakeClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        entry.address = "127.0.0.1";
        entry.port = "210";
        entry.database = "Default";
        WriteClient("cat > " + dir.File("script.seen") + "\ncp " + dir.File("records.prepared") +
                    " \"$2\" 2>/dev/null\ncat " + dir.File("output.prepared") +
                    " 2>/dev/null\nexit 0\n");
        dir.Write("output.prepared", "Connecting...OK\n");
    }
    void WriteClient(const std::string& body) {
        dir.Write("client.sh", "#!/bin/sh\n" + body);
        ::chmod(dir.File("client.sh").c_str(), 0755);
    }
    std::unique_ptr<ExternalZ39Backend> Backend() {
        return std::make_unique<ExternalZ39Backend>(runner, clock, Z39WorkFilesIn(dir.path()),
                                                    dir.File("client.sh"));
    }
    SearchOutcome First(SearchBackend& backend, const std::string& title = "x") {
        return h.Start(backend, test::TitleRows(title), "1");  // the first page alone
    }
    test::TempDir dir;
    TargetEntry entry = [] {
        TargetEntry e;
        e.address = "127.0.0.1";
        e.port = "210";
        e.database = "Default";
        return e;
    }();
    test::SessionHarness h{dir.File("_list.~"), TargetKind::kZ39, entry};
    AppState& state = h.state;
    RecordStore& store = h.store;
    ResultIndex& index = h.index;
    test::RecordingUi ui;
    SteadyClock steady;
    ProcessRunner runner{ui, steady, 5000};
    test::FakeClock clock;
};

TEST_F(FakeClientTest, CnmarcRecordsFromTheDemoCatalogue) {
    std::string file = "3\r\n";
    std::vector<std::string> records;
    for (int n = 0; n < 3; ++n) {
        records.push_back(ks::DemoRecord(n, 3));
        file += records.back() + "\r\n";
    }
    file += "garbage line\r\n";  // no display text: neither listed nor stored
    dir.Write("records.prepared", file);
    index.SetSorted(false);
    SearchOutcome out = First(*Backend());
    EXPECT_EQ(dir.Read("script.seen"),
              "open 127.0.0.1:210/Default\r\nelements F\r\nf @attr 1=4 x\r\nshow\r\nquit\r\n");
    EXPECT_EQ(out.total, 3);
    ASSERT_EQ(out.rows.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out.rows[i], DisplayLine(records[i]));
        EXPECT_EQ(store.LoadRecord(static_cast<int>(i)), records[i]);
    }
    EXPECT_EQ(store.LoadRecord(3), "");
    EXPECT_EQ(out.nextStart, 4);
    EXPECT_EQ(out.statusMessage, FoundStatus(3));
    EXPECT_EQ(out.hitLabel, G("共有 3 条"));
    // The settling steps, in their order, and no time waited for them.
    EXPECT_EQ(clock.steps, (std::vector<std::string>{kScriptWrittenStep, kClientFilesClosedStep}));
    EXPECT_EQ(clock.NowMs(), 0);
}

TEST_F(FakeClientTest, OneDamagedRecordInAPageOfThreeIsNeitherListedNorStoredAndTheUserIsTold) {
    std::string bad = ks::DemoRecord(1, 3);
    bad.replace(12, 5, "0x0x0");  // a base address that is no number
    dir.Write("records.prepared", "3\r\n" + ks::DemoRecord(0, 3) + "\r\n" + bad + "\r\n" +
                                      ks::DemoRecord(2, 3) + "\r\n");
    index.SetSorted(false);
    SearchOutcome out = First(*Backend());
    ASSERT_EQ(out.rows.size(), 2u);
    EXPECT_EQ(out.rows[0], DisplayLine(ks::DemoRecord(0, 3)));
    EXPECT_EQ(out.rows[1], DisplayLine(ks::DemoRecord(2, 3)));
    EXPECT_EQ(store.LoadRecord(1), ks::DemoRecord(2, 3));  // the damaged one is not kept
    EXPECT_NE(out.notice.find(G("目标数据库返回的[1]条记录")), std::string::npos);
    EXPECT_EQ(out.nextStart, 4);  // it still took its place in the result set
}

TEST_F(FakeClientTest, ARecordWhoseDirectoryPointsOutsideItIsCountedInTheNotice) {
    std::string outside = ks::DemoRecord(1, 3);
    outside.replace(24 + 7, 5, "99999");  // the first field starts past the record's end
    std::string longer = ks::DemoRecord(2, 3);
    longer.replace(24 + 3, 4, "9999");  // the first field runs past it
    dir.Write("records.prepared",
              "3\r\n" + ks::DemoRecord(0, 3) + "\r\n" + outside + "\r\n" + longer + "\r\n");
    SearchOutcome out = First(*Backend());
    EXPECT_EQ(out.total, 3);
    ASSERT_EQ(out.rows.size(), 1u);
    EXPECT_NE(out.notice.find(G("[2]条记录")), std::string::npos) << GbkToUtf8(out.notice);
}

TEST_F(FakeClientTest, ALineOfMegabytesIsLeftOutUnreadAndCounted) {
    dir.Write("records.prepared", "3\r\n" + ks::DemoRecord(0, 3) + "\r\n" +
                                      std::string(3 << 20, 'x') + "\r\n" + ks::DemoRecord(2, 3) +
                                      "\r\n");
    index.SetSorted(false);
    SearchOutcome out = First(*Backend());
    ASSERT_EQ(out.rows.size(), 2u);
    EXPECT_EQ(out.rows[1], DisplayLine(ks::DemoRecord(2, 3)));
    EXPECT_NE(out.notice.find(G("[1]条记录")), std::string::npos) << GbkToUtf8(out.notice);
    EXPECT_NE(out.notice.find("1MB"), std::string::npos);
    // Read line by line: the long one is never held whole.
    int lines = 0, tooLong = 0;
    size_t longest = 0;
    ASSERT_TRUE(ReadLines(dir.File("records.prepared"), Links::refuse, 1000,
                          [&](std::string_view line, bool overLimit) {
                              ++lines;
                              tooLong += overLimit;
                              longest = std::max(longest, line.size());
                          }));
    EXPECT_EQ(lines, 4);
    EXPECT_EQ(tooLong, 1);
    EXPECT_LE(longest, 1000u);
}

TEST_F(FakeClientTest, FurtherPageResendsTheSearchAndAppends) {
    dir.Write("records.prepared", "25\r\n" + ks::DemoRecord(0, 30) + "\r\n");
    auto backend = Backend();
    SearchOutcome out = First(*backend);
    EXPECT_TRUE(out.nextEnabled);
    dir.Write("records.prepared",
              "25\r\n" + ks::DemoRecord(1, 30) + "\r\n" + ks::DemoRecord(2, 30) + "\r\n");
    out = h.Next("2", "10");
    EXPECT_NE(dir.Read("script.seen").find("f @attr 1=4 x\r\nshow 2+10\r\n"), std::string::npos);
    EXPECT_EQ(out.rows.size(), 3u);  // the count line of the resent search is skipped
    EXPECT_EQ(out.nextStart, 12);
    EXPECT_EQ(store.LoadRecord(2), ks::DemoRecord(2, 30));
    out = h.Next("30", "10");  // beyond the hits: sent unchanged
    EXPECT_NE(dir.Read("script.seen").find("show 30+-4\r\n"), std::string::npos);
    EXPECT_FALSE(out.nextEnabled);
}

TEST_F(FakeClientTest, ConnectionFailureReportedByTheClient) {
    dir.Write("records.prepared", "0\r\n");
    dir.Write("output.prepared", "Connecting...error: Connect failed\n");
    state.discoveredHost = "x";
    SearchOutcome out = First(*Backend());
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    EXPECT_EQ(state.discoveredHost, "");
    EXPECT_TRUE(out.searchCompleted);
}

TEST_F(FakeClientTest, ClientThatCannotStartOrHangsIsAConnectionFailure) {
    auto missing = std::make_unique<ExternalZ39Backend>(runner, clock, Z39WorkFilesIn(dir.path()),
                                                        dir.File("nothing"));
    SearchOutcome out = First(*missing);
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    EXPECT_NE(out.statusDetail.find(G("检索程序yazc无法运行")), std::string::npos);
    // The runner shows nothing itself (it may run on a worker): the window shows the notice.
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(out.notice, StartFailureMessage());

    WriteClient("sleep 100\n");
    ProcessRunner quick(ui, clock);  // the fake clock: the limit passes at once
    ExternalZ39Backend hanging(quick, clock, Z39WorkFilesIn(dir.path()), dir.File("client.sh"));
    out = First(hanging);
    EXPECT_TRUE(out.connectionFailed);
    // Where it went and why, for the status bar.
    EXPECT_EQ(out.statusDetail, "[127.0.0.1:210 " + G("没有在限定时间内应答") + "]");
    EXPECT_EQ(ui.cursor, Cursor::kNormal);
}

TEST_F(FakeClientTest, ClientThatFailsIsAFailedConnectionWithItsReasonNotNoData) {
    // A stand-in that says why and exits 1 without writing the record file.
    WriteClient("cat > /dev/null\necho \"Cannot open record file $2\"\nexit 1\n");
    SearchOutcome out = First(*Backend());
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    EXPECT_NE(out.notice.find(G("退出状态[1]")), std::string::npos) << out.notice;
    EXPECT_NE(out.notice.find("Cannot open record file"), std::string::npos);
    EXPECT_TRUE(out.rows.empty());

    // The real client, whose record file is a folder it cannot open.
    MakeDirectories(dir.File("folder-not-file"));
    Z39WorkFiles files = Z39WorkFilesIn(dir.path());
    files.marc = dir.File("folder-not-file");
    ExternalZ39Backend real(runner, clock, files, test::BinDir() + "/yazc");
    out = First(real);
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_NE(out.notice.find("Cannot open record file"), std::string::npos)
        << GbkToUtf8(out.notice) << " status " << GbkToUtf8(out.statusMessage);
}

// A client that dies of a signal, or writes a record file that is no record file: a failed
// connection whose notice names the cause, never an exception out of the fetch.
TEST_F(FakeClientTest, ClientThatCrashesOrWritesGarbageIsAFailedConnectionWithItsCause) {
    WriteClient("cat > /dev/null\nkill -SEGV $$\n");
    SearchOutcome out = First(*Backend());
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_EQ(out.statusMessage, ConnectionFailedStatus());
    EXPECT_NE(out.notice.find(G("检索程序异常结束")), std::string::npos) << GbkToUtf8(out.notice);

    WriteClient("cat > /dev/null\nprintf 'not a hit count\\n\\377garbage\\n' > \"$2\"\n");
    out = First(*Backend());
    EXPECT_TRUE(out.connectionFailed);
    EXPECT_NE(out.notice.find(G("的第一行不是命中数")), std::string::npos) << GbkToUtf8(out.notice);
    EXPECT_TRUE(out.rows.empty());
}

TEST_F(FakeClientTest, RecordsTheClientSkippedAreReportedNotListed) {
    dir.Write("records.prepared", "3\r\n" + ks::DemoRecord(0, 3) + "\r\n");
    dir.Write("output.prepared",
              "Connecting...OK\nNumber of hits: 3\nRecord 1 presented\n"
              "Record 2: not MARC (syntax SUTRS)\nRecord 3: diagnostic 14 System error\n");
    SearchOutcome out = First(*Backend());
    EXPECT_FALSE(out.connectionFailed);
    EXPECT_EQ(out.rows.size(), 1u);
    EXPECT_EQ(out.notice,
              G("目标数据库返回的[2]条记录不是MARC格式或带有错误信息，没有列出，也不会保存。"
                "\r\nRecord 2: not MARC (syntax SUTRS)"));
    dir.Write("output.prepared", "Connecting...OK\nRecord 1 presented\n");
    EXPECT_EQ(First(*Backend()).notice, "");
}

TEST_F(FakeClientTest, ProgramAndWorkingFolderWithBlanks) {
    test::TempDir spaced;
    std::string folder = spaced.File("sp ace");
    MakeDirectories(folder);
    std::string program = spaced.File("my tools") + "/yazc";
    MakeDirectories(FolderOf(program));
    dir.Write("records.prepared", "5\r\n" + ks::DemoRecord(0, 5) + "\r\n");
    ReplaceFileAtomically(program, "#!/bin/sh\ncat > /dev/null\n[ \"$1\" = -m ] || exit 3\ncp " +
                                       dir.File("records.prepared") + " \"$2\"\n");
    ::chmod(program.c_str(), 0755);
    ExternalZ39Backend backend(runner, clock, Z39WorkFilesIn(folder), program);
    SearchOutcome out = First(backend);
    EXPECT_FALSE(out.connectionFailed);
    EXPECT_EQ(out.total, 5);
    EXPECT_EQ(out.rows.size(), 1u);
    EXPECT_TRUE(FileExists(folder + "/_marc.~"));
    EXPECT_TRUE(ui.messages.empty());
}

TEST(YazcCommands, Iso2709Shape) {
    std::string good = ks::DemoRecord(0, 3);
    EXPECT_TRUE(yazc::IsIso2709(good));
    EXPECT_FALSE(yazc::IsIso2709(good.substr(0, good.size() - 1)));  // length does not match
    std::string noEnd = good;
    noEnd.back() = ' ';
    EXPECT_FALSE(yazc::IsIso2709(noEnd));
    std::string badBase = good;
    badBase[16] = static_cast<char>(badBase[16] + 1);  // base address off the directory end
    EXPECT_FALSE(yazc::IsIso2709(badBase));
    EXPECT_FALSE(yazc::IsIso2709("cnmarc:   001: DEMO00000001\n   200 1 $a x\n"));
    EXPECT_FALSE(yazc::IsIso2709("00030nam  2200025   450 \x1D"));
    EXPECT_FALSE(yazc::IsIso2709(""));
}

TEST(YazcCommands, ReadsTheScriptLines) {
    using yazc::Command;
    EXPECT_EQ(yazc::ParseCommand("open host:210/db\r").kind, Command::kOpen);
    EXPECT_EQ(yazc::ParseCommand("open host:210/db\r").arg1, "host:210/db");
    Command auth = yazc::ParseCommand("authentication user pass word");
    EXPECT_EQ(auth.arg1, "user");
    EXPECT_EQ(auth.arg2, "pass word");
    Command f = yazc::ParseCommand("f @attr 1=4 \"two words\"");
    EXPECT_EQ(f.kind, Command::kFind);
    EXPECT_EQ(f.arg1, "@attr 1=4 \"two words\"");
    Command show = yazc::ParseCommand("show 11+10");
    EXPECT_TRUE(show.range);
    EXPECT_EQ(show.start, 11);
    EXPECT_EQ(show.count, 10);
    EXPECT_EQ(yazc::ParseCommand("show 30+-4").count, -4);
    EXPECT_EQ(yazc::ParseCommand("show x+1").kind, Command::kUnknown);
    EXPECT_EQ(yazc::ParseCommand("   ").kind, Command::kEmpty);
    EXPECT_EQ(yazc::ParseCommand("quit").kind, Command::kQuit);
    EXPECT_EQ(yazc::ParseCommand("init").kind, Command::kInit);
    Command echo = yazc::ParseCommand("echo field7-g\r");
    EXPECT_EQ(echo.kind, Command::kEcho);
    EXPECT_EQ(echo.arg1, "field7-g");
}

TEST(YazcCommands, ShowRanges) {
    yazc::Command next = yazc::ParseCommand("show");
    EXPECT_EQ(yazc::RangeToShow(next, 5, 0).first, 0);
    EXPECT_EQ(yazc::RangeToShow(next, 5, 0).n, 1);
    EXPECT_EQ(yazc::RangeToShow(next, 5, 5).n, 0);
    EXPECT_EQ(yazc::RangeToShow(yazc::ParseCommand("show 4+10"), 5, 0).n, 2);
    EXPECT_EQ(yazc::RangeToShow(yazc::ParseCommand("show 6+1"), 5, 0).n, 0);
    EXPECT_EQ(yazc::RangeToShow(yazc::ParseCommand("show 1+0"), 5, 0).n, 0);
    EXPECT_EQ(yazc::RangeToShow(yazc::ParseCommand("show 1+-3"), 5, 0).n, 0);
    EXPECT_EQ(yazc::RecordLine("a\r\nb"), "a  b");
}

TEST(YazcCommands, WhatASearchCanBringWithItsAnswer) {
    auto script = [](std::vector<std::string> lines) {
        std::vector<yazc::Command> out;
        for (const auto& l : lines) out.push_back(yazc::ParseCommand(l));
        return out;
    };
    EXPECT_EQ(yazc::PiggybackCount(script({"open h:1/D", "f x", "show", "quit"}), 1), 1);
    EXPECT_EQ(yazc::PiggybackCount(script({"f x", "elements F", "show 1+10"}), 0), 10);
    // From the first record only; none when another command comes first or no show at all.
    EXPECT_FALSE(yazc::PiggybackCount(script({"f x", "show 11+10"}), 0));
    EXPECT_FALSE(yazc::PiggybackCount(script({"f x", "f y", "show"}), 0));
    EXPECT_FALSE(yazc::PiggybackCount(script({"f x", "quit", "show"}), 0));
    EXPECT_FALSE(yazc::PiggybackCount(script({"f x"}), 0));
    EXPECT_FALSE(yazc::PiggybackCount(script({"f x", "show 1+0"}), 0));
}

}  // namespace
}  // namespace z39
