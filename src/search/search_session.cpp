#include "search/search_session.h"

#include <algorithm>

#include "backends/backend_kinds.h"
#include "backends/external_z39.h"
#include "common/gbk_text.h"
#include "records/isbn_forms.h"
#include "records/iso2709.h"
#include "records/marc_record.h"

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

// Why a fetch failed, then what it reports of its records, one message.
std::string Notices(const PageResult& page) {
    std::string text = page.reason;
    for (const auto& n : page.notices) text += (text.empty() ? "" : "\r\n\r\n") + n;
    return text;
}

// The notice of `page` with the records the session refused added.
std::string NoticesWith(const PageResult& page, int refused) {
    std::string text = Notices(page);
    if (refused > 0) {
        std::string more = SkippedRecordsNotice(
            {refused, G("记录不是完整的ISO 2709格式（长度、地址或目录不符）")});
        text += (text.empty() ? "" : "\r\n\r\n") + more;
    }
    return text;
}

}  // namespace

SearchSession::SearchSession(const SearchServices& services) : s_(services) {}

std::string SearchSession::Where(const PageResult& page) const {
    std::string where = page.where;
    if (where.empty() && !Trim(target_.entry.address).empty())
        where = Trim(target_.entry.address) +
                (Trim(target_.entry.port).empty() ? "" : ":" + Trim(target_.entry.port));
    return FailureDetail(where, page.cause);
}

SearchOutcome SearchSession::Remember(SearchOutcome outcome, const std::string& countText) {
    if (outcome.countText.empty()) outcome.countText = countText;
    total_ = outcome.total;
    nextStart_ = outcome.nextStart;
    return outcome;
}

SearchRequest RequestOf(const AppState& state, const std::vector<SearchCondition>& rows) {
    SearchRequest r;
    r.rows = rows;
    r.settings = state.settings;
    r.launchQuery = state.launch.launchQuery;
    r.discoveredHost = state.discoveredHost;
    return r;
}

SearchRequest SearchSession::Request() const {
    SearchRequest r = RequestOf(s_.state, rows_);
    AppState& state = s_.state;
    UserInterface& ui = s_.ui;
    r.progress = [&state, &ui](int done, int all) {
        state.statusMessage = ReceivingStatus(done, all);
        ui.ProcessPendingEvents();
    };
    return r;
}

PageResult PendingFetch::Run(CancelToken& cancel) const {
    return FetchCatching(*backend, target, request, cancel);
}

void SearchSession::Learn(const PageResult& page) {
    const KindCapabilities& kind = CapabilitiesOf(target_.kind);
    if (kind.learnsHost) s_.state.discoveredHost = page.discoveredHost;
    if (!page.ok() && page.status != PageStatus::kCancelled && kind.failureForgetsHost)
        s_.state.discoveredHost.clear();
}

int SearchSession::AddRecords(const std::vector<std::string>& records) {
    std::vector<ResultIndex::Result> results;
    results.reserve(records.size());
    int refused = 0;
    for (const auto& record : records) {
        // Whatever the source, only a whole ISO 2709 record is listed, stored and handed on.
        if (!IsWellFormedIso2709(record)) {
            ++refused;
            continue;
        }
        results.push_back({DisplayLine(record), record});
    }
    s_.index.AddResults(results, s_.store);
    return refused;
}

SearchOutcome SearchSession::Start(const TargetSelection& targets,
                                   const std::vector<SearchCondition>& rows,
                                   const std::string& countText) {
    return Start(targets.CurrentProfile(), rows, countText);
}

SearchStep SearchSession::BeginStart(const TargetProfile& target,
                                     const std::vector<SearchCondition>& rows,
                                     const std::string& countText) {
    SearchStep step;
    if (rows.empty() || Trim(rows[0].value).empty()) {
        SearchOutcome refused;
        refused.refusedMessage = EmptyQueryMessage();
        step.done = refused;
        return step;
    }
    // Nothing to connect to: said as such, not as a connection that failed.
    if (std::string missing = MissingAddressMessage(target); !missing.empty()) {
        SearchOutcome refused;
        refused.refusedMessage = std::move(missing);
        step.done = refused;
        return step;
    }
    count_ = CountOrTen(countText);
    total_ = 0;
    nextStart_ = 1;
    s_.index.Clear();
    s_.store.Clear();
    target_ = target;
    rows_ = rows;
    backend_ = s_.backends.For(target_.kind);
    // No database chosen yet (an empty target list), or no back end for it: nothing to ask.
    if (!backend_) {
        step.done = Remember(NoBackend(), count_);
        return step;
    }
    PendingFetch fetch{backend_, target_, Request()};
    fetch.request.firstPage = true;
    step.fetch = std::move(fetch);
    return step;
}

SearchOutcome SearchSession::FinishStart(const PageResult& page) {
    Learn(page);
    SearchOutcome out = Remember(FirstPageOutcome(page), count_);
    first_.reset();
    if (page.ok() && !out.autoSave) first_ = out;
    AddShown(out);
    return out;
}

SearchStep SearchSession::BeginFill() {
    SearchStep step;
    const int64_t listed = nextStart_ - 1;
    const int64_t wanted = ToNumberOr(count_, 10);
    if (!first_ || !backend_ || total_ < nextStart_ || listed >= wanted) {
        first_.reset();
        return step;
    }
    pendingStart_ = nextStart_;
    PendingFetch fetch{backend_, target_, Request()};
    fetch.request.firstPage = false;
    fetch.request.start = nextStart_;
    fetch.request.count = wanted - listed;
    fetch.request.total = total_;
    step.fetch = std::move(fetch);
    return step;
}

SearchOutcome SearchSession::FinishFill(const PageResult& page) {
    Learn(page);
    SearchOutcome out = first_.value_or(SearchOutcome{});
    first_.reset();
    const SearchOutcome more = FurtherPageOutcome(page, pendingStart_);
    // The ticks, the hit count, the launch steps and the compact window stay the first
    // page's: the host program sees what it saw before the list was filled.
    out.rows = more.rows;
    out.nextStart = more.nextStart;
    out.alerts.insert(out.alerts.end(), more.alerts.begin(), more.alerts.end());
    if (!more.notice.empty()) out.notice += (out.notice.empty() ? "" : "\r\n\r\n") + more.notice;
    if (more.connectionFailed) {
        out.connectionFailed = true;
        out.statusMessage = more.statusMessage;
        out.statusDetail = more.statusDetail;
    } else {
        AddShown(out);
    }
    out.nextEnabled = total_ >= out.nextStart;
    if (!out.nextEnabled && out.focus == SearchOutcome::Focus::kNext) {
        out.focus = SearchOutcome::Focus::kList;
        if (!out.rows.empty() && out.selectRow < 0) out.selectRow = 0;
    }
    return Remember(std::move(out), count_);
}

SearchOutcome SearchSession::Start(const TargetProfile& target,
                                   const std::vector<SearchCondition>& rows,
                                   const std::string& countText) {
    SearchStep step = BeginStart(target, rows, countText);
    if (step.done) return *step.done;
    CancelToken cancel;  // run here, to its end
    SearchOutcome first = FinishStart(step.fetch->Run(cancel));
    SearchStep fill = BeginFill();
    if (!fill.fetch) return first;
    return FinishFill(fill.fetch->Run(cancel));
}

SearchOutcome SearchSession::FirstPageOutcome(const PageResult& page) {
    const KindCapabilities& rules = CapabilitiesOf(target_.kind);
    SearchOutcome out;
    out.alerts = page.alerts;
    out.notice = Notices(page);
    if (!page.hasTotal) {
        MarkConnectionFailed(out);
        if (page.status == PageStatus::kCancelled) out.statusMessage = CancelledStatus();
        if (page.status == PageStatus::kNoConnection) out.statusDetail = Where(page);
        if (rules.failureEndsLaunch) {
            FinishFailedFirstPage(out, s_.state);
        } else {
            out.searchCompleted = true;  // the compact launch window still grows
        }
        return out;
    }
    out.notice = NoticesWith(page, AddRecords(page.records));
    out.total = page.total;
    out.rows = s_.index.Rows();
    // A refused record still took its place in the result set.
    out.nextStart = static_cast<int64_t>(page.records.size()) + 1;
    if (!page.ok()) {
        MarkConnectionFailed(out);
        if (page.status == PageStatus::kNoConnection) out.statusDetail = Where(page);
    } else {
        out.hitLabel = HitLabel(out.total);
        out.statusMessage = out.total < 1 ? NoDataStatus() : FoundStatus(out.total);
    }
    CompleteFirstPage(out, s_.state, rules.launchTicksFirstRow);
    // An ISBN typed with a wrong check digit was searched as typed: whatever it found is
    // not taken for the book meant, so nothing is ticked or handed over by itself.
    for (const auto& row : ParticipatingRows(rows_)) {
        if (row.field != "ISBN") continue;
        if (const auto check = WrongCheckDigit(row.value)) {
            out.statusMessage = WrongCheckDigitStatus(Trim(row.value), *check) + out.statusMessage;
            out.tickRows.clear();
            out.autoSave = false;
            break;
        }
    }
    return out;
}

SearchStep SearchSession::BeginNext(const std::string& startText, const std::string& countText) {
    SearchStep step;
    count_ = CountOrTen(countText);
    nextStart_ = std::max<int64_t>(1, ToNumberOr(startText, 1));
    pendingStart_ = nextStart_;
    if (!backend_) {
        SearchOutcome out = NoBackend();
        out.searchCompleted = false;
        step.done = Remember(std::move(out), count_);
        return step;
    }
    PendingFetch fetch{backend_, target_, Request()};
    fetch.request.firstPage = false;
    fetch.request.start = nextStart_;
    fetch.request.count = ToNumberOr(count_, 10);
    fetch.request.total = total_;
    step.fetch = std::move(fetch);
    return step;
}

SearchOutcome SearchSession::FinishNext(const PageResult& page) {
    Learn(page);
    return Remember(FurtherPageOutcome(page, pendingStart_), count_);
}

SearchOutcome SearchSession::Next(const std::string& startText, const std::string& countText) {
    SearchStep step = BeginNext(startText, countText);
    if (step.done) return *step.done;
    CancelToken cancel;
    return FinishNext(step.fetch->Run(cancel));
}

SearchOutcome SearchSession::FurtherPageOutcome(const PageResult& page, int64_t start) {
    SearchOutcome out;
    out.alerts = page.alerts;
    out.total = total_;
    out.nextStart = start;
    out.notice = Notices(page);
    if (!page.ok() && page.covered < 0) {
        // Nothing came: the list stays as earlier pages made it.
        MarkConnectionFailed(out);
        if (page.status == PageStatus::kCancelled) out.statusMessage = CancelledStatus();
        if (page.status == PageStatus::kNoConnection) out.statusDetail = Where(page);
        out.rows = s_.index.Rows();
        return out;
    }
    out.notice = NoticesWith(page, AddRecords(page.records));
    const int64_t covered =
        page.covered >= 0 ? page.covered : static_cast<int64_t>(page.records.size());
    out.nextStart = start + covered;
    if (out.nextStart > total_) out.nextStart = total_ + 1;
    out.rows = s_.index.Rows();
    if (!page.ok()) {
        MarkConnectionFailed(out);
        if (page.status == PageStatus::kNoConnection) out.statusDetail = Where(page);
    } else if (out.nextStart <= out.total) {
        out.statusMessage = FoundStatus(out.total);
        AddShown(out);
    } else if (CapabilitiesOf(target_.kind).furtherPageReceived) {
        out.statusMessage = ReceivedStatus();
    } else {
        out.statusMessage = out.total < 1 ? NoDataStatus() : FoundStatus(out.total);
    }
    CompleteFurtherPage(out, s_.state);
    return out;
}

}  // namespace z39
