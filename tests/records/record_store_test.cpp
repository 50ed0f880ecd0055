#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/z39_error.h"
#include "records/record_store.h"
#include "records/result_index.h"
#include "state/working_files.h"
#include "support/temp_dir.h"
#include "support/write_failure.h"

namespace z39 {
namespace {

TEST(WorkingFiles, OneSeparatorWithOrWithoutTrailingSlash) {
    for (std::string folder : {"/tmp/work", "/tmp/work/", "  /tmp/work/ "}) {
        WorkingFiles f = MakeWorkingFiles(folder);
        EXPECT_EQ(f.recordListPath, "/tmp/work/_list.~") << folder;
        EXPECT_EQ(f.clientMarcPath, "/tmp/work/_marc.~");
        EXPECT_EQ(f.clientMessagePath, "/tmp/work/_mess.~");
        EXPECT_EQ(f.clientScriptPath, "/tmp/work/_zinit.~");
        EXPECT_EQ(f.handOffPath, "/tmp/work/lib.tmp");
    }
}

TEST(WorkingFiles, EachClientHasAPrivateFolderAndCleanupKeepsTheHandOffFile) {
    test::TempDir dir;
    dir.Write("lib.tmp", "left by the last run");
    dir.Write("_list.~", "0@someone else's list\r\n");
    WorkingFiles f = InitWorkingFiles(dir.path() + "/");
    WorkingFiles g = InitWorkingFiles(dir.path());
    EXPECT_FALSE(FileExists(dir.File("lib.tmp")));
    EXPECT_EQ(f.handOffPath, dir.File("lib.tmp"));  // the host program reads it there
    EXPECT_NE(f.privateFolder, g.privateFolder);
    for (const WorkingFiles* w : {&f, &g}) {
        EXPECT_EQ(FolderOf(w->privateFolder), dir.path());
        EXPECT_EQ(w->recordListPath, w->privateFolder + "/_list.~");
        EXPECT_EQ(w->clientScriptPath, w->privateFolder + "/_zinit.~");
        struct stat st {};
        ASSERT_EQ(::stat(w->privateFolder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    for (auto* p : {&f.recordListPath, &f.clientMarcPath, &f.clientMessagePath, &f.clientScriptPath,
                    &f.handOffPath})
        AppendToFile(*p, "x");
    CleanupWorkingFiles(f);
    EXPECT_FALSE(FileExists(f.recordListPath));
    EXPECT_FALSE(FileExists(f.clientMarcPath));
    EXPECT_FALSE(FileExists(f.clientMessagePath));
    EXPECT_FALSE(FileExists(f.clientScriptPath));
    EXPECT_FALSE(DirectoryExists(f.privateFolder));
    EXPECT_TRUE(FileExists(f.handOffPath));
    EXPECT_TRUE(DirectoryExists(g.privateFolder));  // the other client's folder is untouched
    EXPECT_EQ(dir.Read("_list.~"), "0@someone else's list\r\n");
    CleanupWorkingFiles(g);
}

TEST(WorkingFiles, StaleFoldersOfEndedClientsAreRemovedAtStart) {
    test::TempDir dir;
    // A process that has ended: its pid is free (reaped) by the time we look.
    pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ::waitpid(ended, nullptr, 0);
    std::string stale = "z39client-" + std::to_string(ended) + "-abcdef";
    std::string alive = WorkingFolderPrefix() + "ghijkl";  // our own pid: running
    MakeDirectories(dir.File(stale));
    dir.Write(stale + "/_list.~", "0@old\r\n");
    MakeDirectories(dir.File(alive));
    MakeDirectories(dir.File("z39client-notapid-x"));
    ASSERT_EQ(::symlink(dir.File(alive).c_str(), dir.File("z39client-1-link").c_str()), 0);
    EXPECT_EQ(RemoveStaleWorkingFolders(dir.path()), 1);
    EXPECT_FALSE(DirectoryExists(dir.File(stale)));
    EXPECT_TRUE(DirectoryExists(dir.File(alive)));
    EXPECT_TRUE(DirectoryExists(dir.File("z39client-notapid-x")));
}

TEST(WorkingFiles, UnusableTempFolderMakesWritesFailNotShare) {
    test::TempDir dir;
    WorkingFiles f = InitWorkingFiles(dir.File("no-such-folder"));
    EXPECT_TRUE(f.privateFolder.empty());
    RecordStore store(f.recordListPath);
    EXPECT_THROW(store.StoreRecord(0, "x"), Z39Error);
}

TEST(RecordStore, APlantedSymbolicLinkIsNotFollowed) {
    test::TempDir dir;
    dir.Write("victim", "precious\r\n");
    ASSERT_EQ(::symlink(dir.File("victim").c_str(), dir.File("_list.~").c_str()), 0);
    RecordStore store(dir.File("_list.~"));
    EXPECT_THROW(store.StoreRecord(0, "x"), Z39Error);
    EXPECT_EQ(dir.Read("victim"), "precious\r\n");
    dir.Write("victim", "0@planted\r\n");
    EXPECT_THROW(store.LoadRecord(0), Z39Error);  // nor read through it
}

TEST(RecordStore, FileLayoutAndRecordsWithAtSignsAndEmptyText) {
    test::TempDir dir;
    RecordStore store(dir.File("_list.~"));
    store.StoreRecord(0, "first@record@with@signs");
    store.StoreRecord(1, "");
    store.StoreRecord(2, "line\r\nbreaks");
    EXPECT_EQ(dir.Read("_list.~"), "0@first@record@with@signs\r\n1@\r\n2@line  breaks\r\n");
    EXPECT_EQ(store.LoadRecord(0), "first@record@with@signs");
    EXPECT_EQ(store.LoadRecord(1), "");
    EXPECT_EQ(store.LoadRecord(2), "line  breaks");
    EXPECT_EQ(store.LoadRecord(3), "");
    EXPECT_EQ(store.LoadRecord(-1), "");
}

TEST(RecordStore, FollowsTheFileWhenOthersChangeIt) {
    test::TempDir dir;
    RecordStore store(dir.File("_list.~"));
    EXPECT_EQ(store.LoadRecord(0), "");  // no file yet
    store.StoreRecord(0, "a");
    EXPECT_EQ(store.LoadRecord(0), "a");
    // Another writer appends a line, with an empty number prefix meaning 0 and a
    // duplicate of 0: the first line holding a number wins.
    AppendToFile(dir.File("_list.~"), "5@five\r\n@zero-again\r\n");
    EXPECT_EQ(store.LoadRecord(5), "five");
    EXPECT_EQ(store.LoadRecord(0), "a");
    // The file is deleted and written anew, as a new search does.
    DeleteFileIfExists(dir.File("_list.~"));
    EXPECT_EQ(store.LoadRecord(5), "");
    dir.Write("_list.~", "007@seven\nbad line\nx@not a number\n0");
    EXPECT_EQ(store.LoadRecord(7), "seven");
    EXPECT_EQ(store.LoadRecord(0), "");  // last line has no line break yet
    AppendToFile(dir.File("_list.~"), "@late\r\n");
    EXPECT_EQ(store.LoadRecord(0), "late");
}

TEST(RecordStore, WriteFailureRaises) {
    test::TempDir dir;
    RecordStore store(dir.File("missing-folder/_list.~"));
    EXPECT_THROW(store.StoreRecord(0, "x"), Z39Error);
}

TEST(ResultIndex, SortedByPinyinIgnoringCaseWithTailTieBreak) {
    test::TempDir dir;
    RecordStore store(dir.File("_list.~"));
    ResultIndex index;
    const char* titles[] = {"中国", "北京", "上海", "abc", "ABD", "北京"};
    for (int i = 0; i < 6; ++i) index.AddResult(G(titles[i]), "rec" + std::to_string(i), store);
    // Pad to 12 equal lines so that the tail "@@10" sorts before "@@2".
    for (int i = 6; i < 12; ++i) index.AddResult(G("同名"), "rec" + std::to_string(i), store);
    // The Chinese collation puts Han characters (by pinyin) before Latin letters.
    std::vector<std::string> rows = index.Rows();
    std::vector<std::string> expected = {G("北京"), G("北京"), G("上海"), G("同名")};
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(rows[i], expected[i]) << i;
    EXPECT_EQ(rows[9], G("中国"));
    EXPECT_EQ(rows[10], "abc");
    EXPECT_EQ(rows[11], "ABD");
    EXPECT_EQ(index.RecordNumberAt(0), 1);
    EXPECT_EQ(index.RecordNumberAt(1), 5);
    EXPECT_EQ(index.EntryAt(3), G("同名") + "@@10");
    EXPECT_EQ(index.EntryAt(4), G("同名") + "@@11");
    EXPECT_EQ(index.EntryAt(5), G("同名") + "@@6");
    EXPECT_EQ(index.RecordAt(10, store), "rec3");
}

TEST(ResultIndex, ArrivalOrderAndFurtherPagesMergedWhenSorted) {
    test::TempDir dir;
    RecordStore store(dir.File("_list.~"));
    ResultIndex index;
    index.SetSorted(false);
    index.AddResult("b", "B", store);
    index.AddResult("a", "A", store);
    EXPECT_EQ(index.Rows(), (std::vector<std::string>{"b", "a"}));
    index.SetSorted(true);
    EXPECT_EQ(index.Rows(), (std::vector<std::string>{"a", "b"}));
    index.AddResult("ab", "AB", store);  // a further page lands between earlier rows
    EXPECT_EQ(index.Rows(), (std::vector<std::string>{"a", "ab", "b"}));
    EXPECT_EQ(index.RecordAt(1, store), "AB");
    EXPECT_EQ(index.RecordNumberAt(9), -1);
    EXPECT_EQ(index.RecordAt(9, store), "");
}

TEST(ResultIndex, TitleHoldingTheSeparatorStillFindsItsRecord) {
    test::TempDir dir;
    RecordStore store(dir.File("_list.~"));
    ResultIndex index;
    index.AddResult("x", "X", store);
    index.AddResult("C@@1 tricks", "TRICKS", store);
    EXPECT_EQ(index.Rows()[0], "C@@1 tricks");
    EXPECT_EQ(index.RecordAt(0, store), "TRICKS");
}

}  // namespace
}  // namespace z39
