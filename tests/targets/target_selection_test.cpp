#include "targets/target_selection.h"

#include <gtest/gtest.h>

#include "common/gbk_text.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

class TargetSelectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.Write(
            "z39svr.cfg",
            G("{中国\n[国家图书馆\n(opac,OPAC.NLC.cn,80,0,,)\n(book,z.nlc.cn,210,0,,)\n]\n}\n") +
                "{US\n[LC\n(Voyager,lx2.loc.gov,210,0,,)\n]\n}\n");
        state.settings.KSIP = "10.0.0.5";
        state.settings.KSPORT = "-210";
    }
    const std::string cfg() { return dir.File("z39svr.cfg"); }
    std::string lastDatabase() { return ini.ReadString(SystemSection(), "LASTDATABASE", "<none>"); }
    test::TempDir dir;
    AppState state;
    IniFile ini{dir.File("Z39.ini")};
    TargetSelection sel;
};

TEST_F(TargetSelectionTest, FirstDatabaseThenLastDatabaseWhenInUse) {
    sel.Load(cfg(), state.settings);
    EXPECT_EQ(sel.CurrentTarget(), 4);
    EXPECT_TRUE(sel.IsWebOpac());  // address holds "nlc", database "opac", case ignored
    state.settings.LASTDATABASE = 8;
    sel.Load(cfg(), state.settings);
    EXPECT_EQ(sel.CurrentTarget(), 8);
    EXPECT_FALSE(sel.IsWebOpac());
    EXPECT_EQ(GbkToUtf8(sel.caption()), "[当前数据库：US LC[Voyager]]");
    for (int ignored : {3, 2, 9, 400, -1}) {  // server, group, beyond the count, negative
        state.settings.LASTDATABASE = ignored;
        sel.Load(cfg(), state.settings);
        EXPECT_EQ(sel.CurrentTarget(), 4) << ignored;
    }
    state.settings.LASTDATABASE = 1;  // the shared catalogue with an empty KSIP
    state.settings.KSIP = "";
    sel.Load(cfg(), state.settings);
    EXPECT_EQ(sel.CurrentTarget(), 4);
}

TEST_F(TargetSelectionTest, KsDefaultWinsOverLastDatabase) {
    state.settings.KSDEFAULT = 1;
    state.settings.LASTDATABASE = 9;
    sel.Load(cfg(), state.settings);
    EXPECT_EQ(sel.CurrentTarget(), 1);
    EXPECT_EQ(GbkToUtf8(sel.caption()), "[当前数据库：中国 岱恒共享编目数据库[ks_lib]]");
}

TEST_F(TargetSelectionTest, DoubleClickOnADatabaseNode) {
    sel.Load(cfg(), state.settings);
    state.discoveredHost = "10.9.9.9";
    SelectionOutcome out = sel.Select(5, state, ini);
    EXPECT_TRUE(out.changed);
    EXPECT_FALSE(out.IsWebOpac);
    EXPECT_EQ(lastDatabase(), "5");
    EXPECT_EQ(state.discoveredHost, "10.9.9.9");

    out = sel.Select(1, state, ini);  // shared catalogue with a "-" port: host forgotten
    EXPECT_EQ(state.discoveredHost, "");
    EXPECT_EQ(lastDatabase(), "1");
    EXPECT_EQ(GbkToUtf8(out.caption), "[当前数据库：中国 岱恒共享编目数据库[ks_lib]]");
}

// A new user's shared catalogue has no address yet: a double-click still chooses it, and
// its search says where to set the address instead of failing to connect.
TEST_F(TargetSelectionTest, TheSharedCatalogueIsChosenWithoutAnAddress) {
    state.settings.KSIP = "";
    sel.Load(cfg(), state.settings);
    EXPECT_TRUE(sel.Select(1, state, ini).changed);
    EXPECT_EQ(sel.CurrentTarget(), 1);
    EXPECT_NE(GbkToUtf8(MissingAddressMessage(sel.CurrentProfile())).find("参数配置"),
              std::string::npos);
}

TEST_F(TargetSelectionTest, DoubleClickOnGroupOrServerChangesNothing) {
    sel.Load(cfg(), state.settings);
    for (int node : {0, 2, 3, 6, 7, 9, 99}) {
        EXPECT_FALSE(sel.Select(node, state, ini).changed) << node;
        EXPECT_EQ(sel.CurrentTarget(), 4);
    }
    EXPECT_EQ(lastDatabase(), "<none>");
}

TEST_F(TargetSelectionTest, ReloadSkipsLastDatabaseAndRecomputesWebOpac) {
    state.settings.LASTDATABASE = 8;
    sel.Load(cfg(), state.settings);
    dir.Write("z39svr.cfg", "{US\n[LC\n(Voyager,lx2.loc.gov,210,0,,)\n]\n}\n");
    sel.Reload(cfg(), state.settings);
    EXPECT_EQ(sel.CurrentTarget(), 4);
    EXPECT_FALSE(sel.IsWebOpac());
}

TEST(FieldCombos, SharedCatalogueSwitchesSelectionsBeyondIsbn) {
    // The shared catalogue offers two fields, the other kinds six.
    EXPECT_EQ(RebuildFieldCombo({4, G("出版者")}, 2).text, "ISBN");
    EXPECT_EQ(RebuildFieldCombo({4, G("出版者")}, 2).index, 1);
    EXPECT_EQ(RebuildFieldCombo({0, G("题名")}, 2).text, G("题名"));
    // A text kept from an earlier list has no selected position and stays.
    ComboState kept = RebuildFieldCombo({4, G("出版者")}, 6);
    EXPECT_EQ(kept.text, G("出版者"));
    EXPECT_EQ(RebuildFieldCombo(kept, 2).text, G("出版者"));
}

}  // namespace
}  // namespace z39
