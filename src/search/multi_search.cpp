#include "search/multi_search.h"

#include <algorithm>
#include <map>

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

// The fields a kind of target can search (GBK).
std::vector<std::string> SearchableFields(TargetKind kind) {
    const KindCapabilities& k = CapabilitiesOf(kind);
    if (k.isbnOnly) return {"ISBN"};
    return k.fields;
}

// The first field of `rows` that `kind` cannot search; empty when it can search them all.
std::string FieldNotSearchable(TargetKind kind, const std::vector<SearchCondition>& rows) {
    const std::vector<std::string> fields = SearchableFields(kind);
    for (const auto& row : rows)
        if (std::find(fields.begin(), fields.end(), row.field) == fields.end()) return row.field;
    return {};
}

std::string Joined(const std::vector<std::string>& parts, const std::string& between) {
    std::string text;
    for (const auto& p : parts) text += (text.empty() ? "" : between) + p;
    return text;
}

}  // namespace

MultiSearch::MultiSearch(const SearchServices& services) : s_(services) {}
MultiSearch::~MultiSearch() = default;

SearchBackend* MultiSearch::BackendFor(size_t source, TargetKind kind) {
    if (!s_.sourceBackends) return s_.backends.For(kind);
    while (own_.size() <= source) own_.push_back(s_.sourceBackends(static_cast<int>(own_.size())));
    return own_[source] ? own_[source]->For(kind) : nullptr;
}

PendingFetch MultiSearch::Fetch(size_t source) const {
    const Source& src = sources_[source];
    return PendingFetch{src.backend, src.target.profile, RequestOf(s_.state, rows_)};
}

MultiStep MultiSearch::BeginStart(const std::vector<ChainTarget>& sources,
                                  const std::vector<SearchCondition>& rows,
                                  const std::string& countText) {
    MultiStep step;
    if (rows.empty() || Trim(rows[0].value).empty()) {
        SearchOutcome refused;
        refused.refusedMessage = EmptyQueryMessage();
        step.done = refused;
        return step;
    }
    count_ = CountOrTen(countText);
    rows_ = rows;
    s_.index.Clear();
    s_.store.Clear();
    held_.clear();
    notices_.clear();
    alerts_.clear();
    groups_ = 0;
    firstStep_ = true;
    sources_.clear();
    const std::vector<SearchCondition> inUse = ParticipatingRows(rows);
    for (size_t i = 0; i < sources.size(); ++i) {
        Source src;
        src.target = sources[i];
        const TargetKind kind = src.target.profile.kind;
        const std::string missing = FieldNotSearchable(kind, inUse);
        src.backend = BackendFor(i, kind);
        if (!missing.empty()) {
            src.state = State::kLeftOut;
            src.why = G("不能检索") + missing;
        } else if (!src.backend) {
            src.state = State::kFailed;
            src.why = G("无法连接");
        }
        sources_.push_back(std::move(src));
    }
    answered_ = 0;
    asked_ = 0;
    for (size_t i = 0; i < sources_.size(); ++i) {
        Source& src = sources_[i];
        if (src.state != State::kWaiting) continue;
        src.awaited = true;
        ++asked_;
        SourceFetch f{i, Fetch(i)};
        f.fetch.request.firstPage = true;
        step.fetches.push_back(std::move(f));
    }
    if (step.fetches.empty()) step.done = Outcome(true);
    return step;
}

MultiStep MultiSearch::BeginNext(const std::string& countText) {
    MultiStep step;
    count_ = CountOrTen(countText);
    firstStep_ = false;
    answered_ = 0;
    asked_ = 0;
    for (size_t i = 0; i < sources_.size(); ++i) {
        Source& src = sources_[i];
        if (src.state != State::kFound || src.total < src.nextStart) continue;
        src.awaited = true;
        src.pendingStart = src.nextStart;
        ++asked_;
        SourceFetch f{i, Fetch(i)};
        f.fetch.request.firstPage = false;
        f.fetch.request.start = src.nextStart;
        f.fetch.request.count = ToNumberOr(count_, 10);
        f.fetch.request.total = src.total;
        step.fetches.push_back(std::move(f));
    }
    if (step.fetches.empty()) {
        step.done = Outcome(true);
        step.done->searchCompleted = false;
    }
    return step;
}

int MultiSearch::AddRecords(size_t source, const std::vector<std::string>& records) {
    std::vector<std::pair<int, std::string_view>> stored;
    int refused = 0;
    int number = static_cast<int>(held_.size());
    const size_t first = held_.size();
    for (const auto& record : records) {
        // Whatever the source, only a whole ISO 2709 record is listed, stored and handed on.
        if (!IsWellFormedIso2709(record)) {
            ++refused;
            continue;
        }
        Held h;
        h.number = number++;
        h.source = source;
        h.key = BookKey(record);
        h.quality = AssessRecord(record);
        h.line = DisplayLine(record);
        h.sortKey = s_.index.SortKey(h.line);
        held_.push_back(std::move(h));
        stored.emplace_back(held_.back().number, record);
    }
    try {
        s_.store.StoreRecords(stored);
    } catch (...) {
        held_.resize(first);  // nothing listed that the store does not hold
        throw;
    }
    return refused;
}

void MultiSearch::Arrange() {
    // Groups of one book: the records of the same key, in the order they came.
    std::map<std::string, size_t> groupOf;
    std::vector<std::vector<size_t>> groups;
    for (size_t i = 0; i < held_.size(); ++i) {
        const std::string& key = held_[i].key;
        auto hit = key.empty() ? groupOf.end() : groupOf.find(key);
        if (hit == groupOf.end()) {
            if (!key.empty()) groupOf[key] = groups.size();
            groups.push_back({i});
        } else {
            groups[hit->second].push_back(i);
        }
    }
    // The best first: the fuller record, then the database the user put first, then the
    // record that came first.
    for (auto& g : groups) {
        std::stable_sort(g.begin(), g.end(), [this](size_t a, size_t b) {
            const Held& x = held_[a];
            const Held& y = held_[b];
            if (BetterRecord(x.quality, y.quality)) return true;
            if (BetterRecord(y.quality, x.quality)) return false;
            return x.source < y.source;
        });
    }
    // Books follow the list's order: sorted by the best record's display line, or as they
    // came.
    if (s_.index.sorted()) {
        std::stable_sort(groups.begin(), groups.end(), [this](const auto& a, const auto& b) {
            const Held& x = held_[a.front()];
            const Held& y = held_[b.front()];
            if (x.sortKey != y.sortKey) return x.sortKey < y.sortKey;
            return x.number < y.number;
        });
    }
    std::vector<ResultIndex::Listed> rows;
    rows.reserve(held_.size());
    for (const auto& g : groups) {
        for (size_t k = 0; k < g.size(); ++k) {
            const Held& h = held_[g[k]];
            std::string line = h.line;
            line.resize(std::max(line.size() + 1, kSourceColumn), ' ');
            line += "[" + sources_[h.source].target.name + "]";
            if (g.size() > 1)
                line += k == 0 ? G(" 同书") + std::to_string(g.size()) + G("条，此条最全")
                               : G(" 同书另一条");
            rows.push_back({std::move(line), h.number});
        }
    }
    groups_ = static_cast<int>(groups.size());
    s_.index.Arrange(rows);
}

SourceStep MultiSearch::Finish(size_t source, const PageResult& page) {
    SourceStep step;
    if (source >= sources_.size() || !sources_[source].awaited) {
        step.outcome = Outcome(answered_ >= asked_);
        step.finished = answered_ >= asked_;
        return step;
    }
    Source& src = sources_[source];
    const KindCapabilities& kind = CapabilitiesOf(src.target.profile.kind);
    if (kind.learnsHost) s_.state.discoveredHost = page.discoveredHost;
    if (!page.ok() && page.status != PageStatus::kCancelled && kind.failureForgetsHost &&
        src.target.profile.kind == TargetKind::kSharedCatalogue)
        s_.state.discoveredHost.clear();
    // Why a database failed goes to the status line, which names every database: a message
    // box for it would hold up what the others found (a host program's hand-off above all).
    const std::string prefix = "[" + src.target.name + "] ";
    if (page.ok())
        for (const auto& a : page.alerts) alerts_.push_back({a.title, prefix + a.text});
    for (const auto& n : page.notices) notices_.push_back(prefix + n);

    const bool first = firstStep_ && !src.filling;
    const bool cameRecords = first ? page.hasTotal : (page.ok() || page.covered >= 0);
    if (cameRecords) {
        const int refused = AddRecords(source, page.records);
        if (refused > 0)
            notices_.push_back(prefix +
                               SkippedRecordsNotice({refused, G("记录不是完整的ISO 2709格"
                                                                "式（长度、地址或目录不符）")}));
        if (first) {
            src.total = page.total;
            src.nextStart = static_cast<int64_t>(page.records.size()) + 1;
        } else {
            const int64_t covered =
                page.covered >= 0 ? page.covered : static_cast<int64_t>(page.records.size());
            src.nextStart = src.pendingStart + covered;
        }
        if (src.nextStart > src.total + 1) src.nextStart = src.total + 1;
        src.listed += static_cast<int64_t>(page.records.size());
    }
    if (page.status == PageStatus::kCancelled) {
        src.state = State::kCancelled;
    } else if (!page.ok()) {
        src.state = State::kFailed;
        src.why = !page.cause.empty()    ? page.cause
                  : !page.reason.empty() ? FitColumn(page.reason, 80)
                                         : G("连接不成功");
        src.why = Trim(src.why);
    } else if (first) {
        src.state = src.total < 1 ? State::kNoHits : State::kFound;
    }

    // A first page that brought fewer than edNum while more hits exist is filled at once.
    const int64_t wanted = ToNumberOr(count_, 10);
    if (first && page.ok() && src.total >= src.nextStart && src.listed < wanted) {
        src.filling = true;
        src.pendingStart = src.nextStart;
        SourceFetch f{source, Fetch(source)};
        f.fetch.request.firstPage = false;
        f.fetch.request.start = src.nextStart;
        f.fetch.request.count = wanted - src.listed;
        f.fetch.request.total = src.total;
        step.more = std::move(f);
    } else {
        src.awaited = false;
        src.filling = false;
        ++answered_;
    }
    if (cameRecords) Arrange();
    step.finished = answered_ >= asked_;
    step.outcome = Outcome(step.finished);
    return step;
}

std::string MultiSearch::SourceOf(int number) const {
    if (number < 0 || static_cast<size_t>(number) >= held_.size()) return {};
    return sources_[held_[static_cast<size_t>(number)].source].target.name;
}

RecordQuality MultiSearch::QualityOf(int number) const {
    if (number < 0 || static_cast<size_t>(number) >= held_.size()) return {};
    return held_[static_cast<size_t>(number)].quality;
}

std::string MultiSearch::Status(bool finished) const {
    if (!finished)
        return G("已回答 ") + std::to_string(answered_) + "/" + std::to_string(asked_) +
               G(" 个数据库");
    std::vector<std::string> found, none, failed, cancelled, leftOut;
    for (const auto& src : sources_) {
        const std::string& name = src.target.name;
        switch (src.state) {
            case State::kFound:
                found.push_back(name);
                break;
            case State::kNoHits:
                none.push_back(name);
                break;
            case State::kFailed:
                failed.push_back(name + G("：") + src.why);
                break;
            case State::kCancelled:
                cancelled.push_back(name);
                break;
            case State::kLeftOut:
                leftOut.push_back(name + G("：") + src.why);
                break;
            case State::kWaiting:
                break;
        }
    }
    std::string text = G("检索了") + std::to_string(sources_.size() - leftOut.size()) +
                       G("个数据库：") + std::to_string(found.size()) + G("个查到数据");
    if (!none.empty()) text += G("，") + std::to_string(none.size()) + G("个没有数据");
    if (!failed.empty())
        text += G("，") + std::to_string(failed.size()) + G("个失败（") + Joined(failed, G("；")) +
                G("）");
    if (!cancelled.empty())
        text += G("，") + std::to_string(cancelled.size()) + G("个已取消（") +
                Joined(cancelled, G("、")) + G("）");
    if (!leftOut.empty())
        text += G("，") + std::to_string(leftOut.size()) + G("个未参加（") +
                Joined(leftOut, G("；")) + G("）");
    return text + G("。");
}

SearchOutcome MultiSearch::Outcome(bool finished) {
    SearchOutcome out;
    out.keepTicks = true;
    out.countText = count_;
    out.rows = s_.index.Rows();
    int64_t total = 0;
    bool more = false;
    for (const auto& src : sources_) {
        total += src.total;
        if (src.state == State::kFound && src.total >= src.nextStart) more = true;
    }
    out.total = total;
    out.nextStart = static_cast<int64_t>(held_.size()) + 1;
    out.hitLabel = HitLabel(total);
    out.statusMessage = Status(finished);
    if (finished && static_cast<int64_t>(held_.size()) < total)
        out.statusMessage += ShownStatus(static_cast<int64_t>(held_.size()), total);
    if (!finished) return out;
    out.nextEnabled = more;
    out.alerts = alerts_;
    out.notice = Joined(notices_, "\r\n\r\n");
    alerts_.clear();
    notices_.clear();
    if (firstStep_) {
        CompleteFirstStep(out);
    } else {
        out.focus = more ? SearchOutcome::Focus::kNext : SearchOutcome::Focus::kList;
        if (!out.rows.empty()) out.selectRow = 0;
    }
    return out;
}

void MultiSearch::CompleteFirstStep(SearchOutcome& out) const {
    const AppState& state = s_.state;
    const bool launch = !state.launch.launchQuery.empty();
    bool mayTick = true;
    // An ISBN typed with a wrong check digit was searched as typed: whatever it found is
    // not taken for the book meant.
    for (const auto& row : ParticipatingRows(rows_)) {
        if (row.field != "ISBN") continue;
        if (const auto check = WrongCheckDigit(row.value)) {
            out.statusMessage = WrongCheckDigitStatus(Trim(row.value), *check) + out.statusMessage;
            mayTick = false;
            break;
        }
    }
    // Every hit one book: its best record is the one meant (a launch query hands it back).
    if (mayTick && groups_ == 1 && !out.rows.empty()) {
        out.tickRows = {0};
        out.selectRow = 0;
        if (launch && !state.launch.keepFullWindow && !state.searchCompleted) {
            out.autoSave = true;
            return;
        }
    }
    out.focus = out.nextEnabled ? SearchOutcome::Focus::kNext : SearchOutcome::Focus::kList;
    if (!out.rows.empty() && out.selectRow < 0) out.selectRow = 0;
    FinishFailedFirstPage(out, state);
}

SearchOutcome MultiSearch::Start(const std::vector<ChainTarget>& sources,
                                 const std::vector<SearchCondition>& rows,
                                 const std::string& countText) {
    MultiStep step = BeginStart(sources, rows, countText);
    if (step.done) return *step.done;
    CancelToken cancel;
    SearchOutcome last;
    std::vector<SourceFetch> queue = std::move(step.fetches);
    for (size_t i = 0; i < queue.size(); ++i) {
        SourceStep done = Finish(queue[i].source, queue[i].fetch.Run(cancel));
        if (done.more) queue.push_back(std::move(*done.more));
        last = std::move(done.outcome);
    }
    return last;
}

SearchOutcome MultiSearch::Next(const std::string& countText) {
    MultiStep step = BeginNext(countText);
    if (step.done) return *step.done;
    CancelToken cancel;
    SearchOutcome last;
    for (auto& f : step.fetches) last = Finish(f.source, f.fetch.Run(cancel)).outcome;
    return last;
}

}  // namespace z39
