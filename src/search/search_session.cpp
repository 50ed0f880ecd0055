#include "search/search_session.h"

#include <algorithm>

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
    MarkConnectionFailed(out);
    out.searchCompleted = true;
    return out;
}

}  // namespace

SearchSession::SearchSession(const SearchServices& services) : s_(services) {}

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
    entry_ = targets.Current();

    if (target_ == 0) {
        // No database chosen yet (an empty target list): nothing to ask.
        backend_ = nullptr;
        query_ = BuildFindCommand(rows);
        return Remember(NoBackend(), count);
    }
    if (target_ == kSharedCatalogueSlot) {
        backend_ = &s_.sharedCatalogue;
        query_ = BuildWhereClause(rows, s_.state.launch);
    } else if (targets.IsWebOpac()) {
        backend_ = &s_.opac;
        query_ = Trim(rows[0].value);
    } else {
        backend_ = &s_.z39;
        query_ = BuildFindCommand(rows);
    }
    return Remember(backend_->FirstPage(entry_, query_), count);
}

SearchOutcome SearchSession::Next(const std::string& startText, const std::string& countText) {
    const std::string count = CountOrTen(countText);
    nextStart_ = std::max<int64_t>(1, ToNumberOr(startText, 1));
    const int64_t edNum = ToNumberOr(count, 10);
    SearchOutcome out;
    if (backend_) {
        out = backend_->NextPage(entry_, query_, total_, nextStart_, edNum);
    } else {
        out = NoBackend();
        out.searchCompleted = false;
    }
    return Remember(std::move(out), count);
}

}  // namespace z39
