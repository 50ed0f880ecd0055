#include "search/search_session.h"

#include <algorithm>

#include "backends/shared_catalogue.h"
#include "common/file_util.h"
#include "common/gbk_text.h"

namespace z39 {
namespace {

std::string CountOrTen(const std::string& countText) {
    return Trim(countText).empty() ? std::string("10") : countText;
}

// A target whose back end is not available ends like a failed connection.
SearchOutcome NoBackend() {
    SearchOutcome out;
    out.connectionFailed = true;
    out.statusMessage = ConnectionFailedStatus();
    out.searchCompleted = true;
    return out;
}

}  // namespace

SearchSession::SearchSession(Services services) : s_(services) {}

int64_t SearchSession::SharedCatalogueCount(int64_t total, int64_t nextStart, int64_t edNum,
                                            const std::string& allNumber,
                                            const std::string& where) {
    int64_t count = total - nextStart + 1;
    if (!(allNumber == "1" && where.find("ma_name") == std::string::npos))
        count = std::min(count, edNum);
    return count;
}

SearchOutcome SearchSession::Remember(SearchOutcome outcome, const std::string& countText) {
    if (outcome.countText.empty()) outcome.countText = countText;
    total_ = outcome.total;
    nextStart_ = outcome.nextStart;
    return outcome;
}

SearchOutcome SearchSession::Start(const TargetSelection& targets,
                                   const std::vector<SearchCondition>& rows,
                                   const std::string& countText) {
    if (rows.empty() || Trim(rows[0].value).empty()) {
        SearchOutcome refused;
        refused.refusedMessage = EmptyQueryMessage();
        return refused;
    }
    const std::string count = CountOrTen(countText);
    total_ = 0;
    nextStart_ = 1;
    s_.index.Clear();
    s_.store.Clear();
    DeleteFileIfExists(s_.state.files.clientMarcPath);
    target_ = targets.CurrentTarget();
    webOpac_ = targets.IsWebOpac();
    entry_ = targets.Current();

    SearchOutcome out;
    if (target_ == 0) {
        // No database chosen yet (an empty target list): nothing to ask.
        query_ = BuildFindCommand(rows);
        out = NoBackend();
    } else if (target_ == kSharedCatalogueSlot) {
        query_ = BuildWhereClause(rows, s_.state.launch);
        KsContext ctx{s_.state, s_.store, s_.index, s_.http, s_.tcp, s_.clock};
        out = GetMarcFromKS(ctx, entry_, query_);
    } else if (webOpac_) {
        query_ = Trim(rows[0].value);
        out = s_.opac ? s_.opac->FirstPage(entry_, query_) : NoBackend();
    } else {
        query_ = BuildFindCommand(rows);
        out = s_.z39 ? s_.z39->FirstPage(entry_, query_) : NoBackend();
    }
    return Remember(std::move(out), count);
}

SearchOutcome SearchSession::Next(const std::string& startText, const std::string& countText) {
    const std::string count = CountOrTen(countText);
    nextStart_ = std::max<int64_t>(1, ToNumberOr(startText, 1));
    int64_t edNum = ToNumberOr(count, 10);
    SearchOutcome out;
    if (target_ == kSharedCatalogueSlot) {
        int64_t ask =
            SharedCatalogueCount(total_, nextStart_, edNum, s_.state.settings.ALLNUMBER, query_);
        KsContext ctx{s_.state, s_.store, s_.index, s_.http, s_.tcp, s_.clock};
        out = GetMoreFromKS(ctx, entry_, query_, total_, nextStart_, ask);
    } else if (!webOpac_ && s_.z39) {
        out = s_.z39->NextPage(entry_, query_, total_, nextStart_, edNum);
    } else {
        out = NoBackend();
        out.searchCompleted = false;
    }
    return Remember(std::move(out), count);
}

}  // namespace z39
