#include "records/result_list_ticks.h"

#include <gtest/gtest.h>

namespace z39 {
namespace {

using Ticks = std::vector<bool>;

TEST(ResultListTicks, HotKeysActRelativeToTheTopRow) {
    ResultListTicks t;
    t.Reset(std::vector<int>(60, 0));
    EXPECT_EQ(t.HotKeyRow('0', 0), 0);
    EXPECT_EQ(t.HotKeyRow('9', 0), 9);
    EXPECT_EQ(t.HotKeyRow('A', 0), 10);
    EXPECT_EQ(t.HotKeyRow('b', 40), 51);  // either case
    EXPECT_EQ(t.HotKeyRow('Z', 20), 55);  // past "T": the row exists, so it counts
    EXPECT_EQ(t.HotKeyRow('Z', 30), -1);  // row 65 does not
    EXPECT_EQ(t.HotKeyRow('-', 0), -1);
    EXPECT_EQ(t.HotKeyRow(' ', 0), -1);

    auto r = t.HotKey('3', 10, false);
    EXPECT_EQ(r.row, 13);
    EXPECT_TRUE(r.select);
    EXPECT_FALSE(r.save);
    EXPECT_TRUE(t.Ticked(13));
    r = t.HotKey('3', 10, false);  // again: untick, nothing to select
    EXPECT_FALSE(r.select);
    EXPECT_FALSE(t.Ticked(13));
    EXPECT_EQ(t.HotKey('?', 10, false).row, -1);
}

TEST(ResultListTicks, LaunchQueryModeKeepsOneTickAndSaves) {
    ResultListTicks t;
    t.Reset({5, 6, 7, 8});
    t.Set(1, true, true);
    t.Set(3, true, true);
    EXPECT_EQ(t.ticks(), (Ticks{false, false, false, true}));
    auto r = t.HotKey('2', 0, true);
    EXPECT_TRUE(r.save);
    EXPECT_EQ(t.ticks(), (Ticks{false, false, true, false}));
    r = t.HotKey('2', 0, true);  // a ticked row's key unticks it and still saves: no record
    EXPECT_TRUE(r.save);
    EXPECT_EQ(t.ticks(), (Ticks{false, false, false, false}));
    t.SetAll(true);
    t.ChooseOnly(0);  // Enter
    EXPECT_EQ(t.ticks(), (Ticks{true, false, false, false}));
    t.ChooseOnly(-1);  // Enter with no row selected
    EXPECT_EQ(t.ticks(), (Ticks{false, false, false, false}));
}

TEST(ResultListTicks, TickAllUntickSavedAndRebuild) {
    ResultListTicks t;
    t.Reset({0, 1, 2});
    t.SetAll(true);
    t.Untick({0, 2, 7, -1});  // rows written; rows that do not exist are ignored
    EXPECT_EQ(t.ticks(), (Ticks{false, true, false}));
    t.Set(5, true, false);  // no such row
    EXPECT_EQ(t.size(), 3u);
    t.Reset({0, 1, 2, 3});  // a new page: every row unticked
    EXPECT_EQ(t.ticks(), (Ticks{false, false, false, false}));
}

TEST(ResultListTicks, ReorderKeepsTicksWithTheirRecords) {
    ResultListTicks t;
    t.Reset({10, 11, 12, 13});
    t.Set(1, true, false);  // record 11
    t.Set(3, true, false);  // record 13
    t.Reorder({13, 12, 11, 10});
    EXPECT_EQ(t.ticks(), (Ticks{true, false, true, false}));
    EXPECT_EQ(t.RowOf(11), 2);
    EXPECT_EQ(t.RowOf(99), -1);
    t.Reorder({14, 13, 12, 11, 10});  // a record new to the list comes unticked
    EXPECT_EQ(t.ticks(), (Ticks{false, true, false, true, false}));
}

}  // namespace
}  // namespace z39
