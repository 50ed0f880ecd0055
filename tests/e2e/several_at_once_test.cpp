// A search over several databases as the window runs it: each database's fetches on a
// thread of its own through back ends of its own (as the program builds them), against the
// real catalogue server and Zebra on loopback. The list is the one the same search gives
// one database after the other.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "backends/backend_set.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/paths.h"
#include "demo_catalogue.h"
#include "search/multi_search.h"
#include "support/catalogue_server_process.h"
#include "support/fakes.h"
#include "support/temp_dir.h"
#include "support/zebra_process.h"

namespace z39 {
namespace {

struct SearchRun {
    explicit SearchRun(const std::string& folder) : store(JoinPath(folder, "_list.~")) {
        services.sourceBackends = [this, folder](int source) {
            const std::string own = JoinPath(folder, "source" + std::to_string(source));
            MakeDirectories(own);
            return BuildOwnBackends(own, memory);
        };
        search = std::make_unique<MultiSearch>(services);
    }
    AppState state;
    RecordStore store;
    ResultIndex index;
    test::RecordingUi ui;
    BackendRegistry none;
    TargetMemory memory;
    SearchServices services{state, store, index, ui, none};
    std::unique_ptr<MultiSearch> search;  // made once the services are complete
};

// Every fetch of a step at once, each on its own thread; the pages are finished in the
// order the fetches were given, and what they ask for next runs the same way.
SearchOutcome AllAtOnce(MultiSearch& search, std::vector<SourceFetch> fetches) {
    SearchOutcome last;
    while (!fetches.empty()) {
        std::vector<PageResult> pages(fetches.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < fetches.size(); ++i)
            threads.emplace_back([&fetches, &pages, i] {
                CancelToken token;
                pages[i] = fetches[i].fetch.Run(token);
            });
        for (auto& t : threads) t.join();
        std::vector<SourceFetch> more;
        for (size_t i = 0; i < fetches.size(); ++i) {
            SourceStep step = search.Finish(fetches[i].source, pages[i]);
            if (step.more) more.push_back(std::move(*step.more));
            last = step.outcome;
        }
        fetches = std::move(more);
    }
    return last;
}

TEST(SeveralAtOnce, EachDatabaseOnItsOwnThreadListsWhatOneAfterTheOtherLists) {
    test::CatalogueServerProcess catalogue(1000);
    test::ZebraProcess zebra(30);
    ASSERT_TRUE(catalogue.ok());
    ASSERT_TRUE(zebra.ok());
    ::setenv("Z39_YAZC", (test::BinDir() + "/yazc").c_str(), 1);
    test::TempDir dir;
    MakeDirectories(dir.File("together"));
    MakeDirectories(dir.File("alone"));
    SearchRun together(dir.File("together")), alone(dir.File("alone"));
    std::vector<ChainTarget> sources;
    for (int i = 0; i < 2; ++i) {
        ChainTarget ks;
        ks.name = "ks_lib" + std::to_string(i);
        ks.profile.kind = TargetKind::kSharedCatalogue;
        ks.profile.slot = kSharedCatalogueSlot;
        ks.profile.entry.address = "127.0.0.1";
        ks.profile.entry.port = std::to_string(catalogue.port());
        ks.profile.entry.database = "ks_lib";
        sources.push_back(ks);
        ChainTarget z;
        z.name = "zebra" + std::to_string(i);
        z.profile.kind = TargetKind::kZ39;
        z.profile.slot = 4;
        z.profile.entry.address = "127.0.0.1";
        z.profile.entry.port = std::to_string(zebra.port());
        z.profile.entry.database = "Default";
        sources.push_back(z);
    }
    for (SearchRun* run : {&together, &alone}) {
        run->state.settings.KSIP = "127.0.0.1";
        run->state.settings.KSPORT = std::to_string(catalogue.port());
    }
    for (const char* title : {ks::kPagingTitleWord, "Java"}) {
        SCOPED_TRACE(title);
        const std::vector<SearchCondition> rows = {{"", G("题名"), G(title)}};
        MultiStep step = together.search->BeginStart(sources, rows, "10");
        ASSERT_EQ(step.fetches.size(), 4u);
        const SearchOutcome out = AllAtOnce(*together.search, std::move(step.fetches));
        const SearchOutcome expected = alone.search->Start(sources, rows, "10");
        EXPECT_EQ(out.rows, expected.rows);
        EXPECT_EQ(out.total, expected.total);
        EXPECT_EQ(out.statusMessage, expected.statusMessage);
        EXPECT_EQ(out.rows.size(), 20u);  // two databases fill a page each, two find nothing
        for (size_t row = 0; row < out.rows.size(); ++row)
            EXPECT_EQ(together.index.RecordAt(row, together.store),
                      alone.index.RecordAt(row, alone.store));
        // F3: the next page of the databases that have more, at once again.
        MultiStep next = together.search->BeginNext("10");
        ASSERT_EQ(next.fetches.size(), 2u);
        const SearchOutcome more = AllAtOnce(*together.search, std::move(next.fetches));
        EXPECT_EQ(more.rows.size(), 40u);
    }
}

}  // namespace
}  // namespace z39
