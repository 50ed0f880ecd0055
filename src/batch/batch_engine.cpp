#include "batch/batch_engine.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "backends/backend_kinds.h"
#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/record_quality.h"

namespace z39 {

// A count of free request slots per target, waited on while full.
class TargetGates {
  public:
    TargetGates(size_t targets, int perTarget) : free_(targets, std::max(1, perTarget)) {}

    void Enter(size_t target) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return free_[target] > 0; });
        --free_[target];
    }
    void Leave(size_t target) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++free_[target];
        }
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> free_;
};

namespace {

struct GateSlot {
    TargetGates* gates;
    size_t target;
    GateSlot(TargetGates* g, size_t t) : gates(g), target(t) {
        if (gates) gates->Enter(target);
    }
    ~GateSlot() {
        if (gates) gates->Leave(target);
    }
    GateSlot(const GateSlot&) = delete;
    GateSlot& operator=(const GateSlot&) = delete;
};

}  // namespace

std::string StateText(BatchState state, SaveMark saved, bool cancelled) {
    if (saved == SaveMark::kAlreadySaved) return G("已保存过");
    if (saved == SaveMark::kRefused) return G("未通过检查");
    if (saved == SaveMark::kSaved) return G("已保存");
    switch (state) {
        case BatchState::kPending:
            break;
        case BatchState::kFound:
            return G("已找到");
        case BatchState::kSeveral:
            return G("多条");
        case BatchState::kNotFound:
            return G("未找到");
        case BatchState::kInvalid:
            return G("ISBN无效");
        case BatchState::kFailed:
            return G("连接失败");
        case BatchState::kDuplicate:
            return G("重复");
    }
    return cancelled ? G("已取消") : G("待检索");
}

const std::string* BatchRow::RecordToSave() const {
    if (state == BatchState::kFound && records.size() == 1) return &records.front();
    if (state == BatchState::kSeveral && chosen >= 0 &&
        static_cast<size_t>(chosen) < records.size())
        return &records[static_cast<size_t>(chosen)];
    return nullptr;
}

namespace {

// Why a page failed, in the words the window's notice and status bar have for it: the
// reason, then the cause (no answer within the time-out, refused ...) when it adds to it.
std::string FailureWords(const PageResult& page) {
    std::string words = page.reason;
    if (!page.cause.empty() && words.find(page.cause) == std::string::npos)
        words += (words.empty() ? "" : G("；")) + page.cause;
    return words;
}

void NoteFailure(std::string& reasons, const std::string& target, const std::string& reason) {
    reasons += (reasons.empty() ? "" : "; ") + target + (reason.empty() ? "" : ": " + reason);
}

}  // namespace

void SearchChain(BatchRow& row, const std::vector<ChainTarget>& chain, BackendRegistry& backends,
                 const Z39Settings& settings, CancelToken& cancel, TargetGates* gates,
                 TargetMemory* memory, bool best) {
    if (!row.item.valid()) {
        row.state = BatchState::kInvalid;
        return;
    }
    SearchRequest request;
    request.rows = {{"", "ISBN", row.item.isbn}};
    request.firstPage = true;
    request.settings = settings;
    std::vector<std::string> failed;
    std::string reasons;
    // With `best`: what each target that had the book brought, in chain order.
    struct Found {
        std::string target;
        std::vector<std::string> records;
        bool one = false;  // exactly one hit
    };
    std::vector<Found> found;
    for (size_t t = 0; t < chain.size(); ++t) {
        const ChainTarget& target = chain[t];
        SearchBackend* backend = backends.For(target.profile.kind);
        if (!backend) {
            failed.push_back(target.name);
            NoteFailure(reasons, target.name, G("没有这一类目标的检索程序"));
            continue;
        }
        PageResult page;
        {
            GateSlot slot(gates, t);
            if (cancel.cancelled()) return;
            // The shared catalogue's host, discovered once for the run: while one worker
            // finds it, the others wait for it instead of asking /hosts.txt themselves.
            const bool learnsHost = memory && CapabilitiesOf(target.profile.kind).learnsHost;
            std::unique_lock<std::mutex> discovering;
            if (learnsHost) {
                discovering = std::unique_lock<std::mutex>(memory->DiscoveryLock());
                request.discoveredHost = memory->DiscoveredHost();
                if (!request.discoveredHost.empty()) discovering.unlock();
            }
            page = FetchCatching(*backend, target.profile, request, cancel);
            if (learnsHost) {
                if (!page.ok() && page.status != PageStatus::kCancelled) {
                    memory->SetDiscoveredHost({});
                } else if (!page.discoveredHost.empty()) {
                    memory->SetDiscoveredHost(page.discoveredHost);
                }
                request.discoveredHost.clear();
            }
        }
        if (cancel.cancelled() || page.status == PageStatus::kCancelled) return;
        if (!page.ok() || !page.hasTotal) {
            failed.push_back(target.name);
            NoteFailure(reasons, target.name, FailureWords(page));
            continue;
        }
        // A first page may bring fewer records than the hits (a Z39.50 first page shows
        // one): the candidates of "several" are fetched up to kMaxCandidates.
        std::vector<std::string> got = std::move(page.records);
        std::string restReason;
        const int64_t wanted = std::min<int64_t>(page.total, kMaxCandidates);
        if (static_cast<int64_t>(got.size()) < wanted) {
            SearchRequest more = request;
            if (memory && CapabilitiesOf(target.profile.kind).learnsHost)
                more.discoveredHost = memory->DiscoveredHost();
            more.firstPage = false;
            more.start = static_cast<int64_t>(got.size()) + 1;
            more.count = wanted - static_cast<int64_t>(got.size());
            more.total = page.total;
            PageResult rest;
            {
                GateSlot slot(gates, t);
                if (cancel.cancelled()) return;
                rest = FetchCatching(*backend, target.profile, more, cancel);
            }
            if (cancel.cancelled() || rest.status == PageStatus::kCancelled) return;
            for (auto& record : rest.records) got.push_back(std::move(record));
            restReason = rest.reason;
            for (const auto& n : rest.notices) restReason += (restReason.empty() ? "" : " ") + n;
        }
        // Whatever a server sent beyond it, a row keeps kMaxCandidates at most.
        std::vector<std::string> records;
        for (auto& record : got)
            if (IsWellFormedIso2709(record) &&
                static_cast<int64_t>(records.size()) < kMaxCandidates)
                records.push_back(std::move(record));
        if (records.empty()) {
            // Hits whose records were all broken are no answer either.
            if (page.total > 0) {
                failed.push_back(target.name);
                std::string why = restReason;
                for (const auto& n : page.notices) why += (why.empty() ? "" : " ") + n;
                NoteFailure(reasons, target.name, why.empty() ? G("记录都不能读") : why);
            }
            continue;
        }
        const bool one = records.size() == 1 && page.total <= 1;
        if (best) {
            found.push_back({target.name, std::move(records), one});
            continue;
        }
        row.state = one ? BatchState::kFound : BatchState::kSeveral;
        row.target = target.name;
        row.records = std::move(records);
        row.failedTargets = std::move(failed);
        row.reason.clear();
        return;
    }
    if (!found.empty()) {
        // Every candidate in chain order, then the best first (ties keep that order).
        std::vector<std::string> all;
        std::vector<size_t> source;
        bool eachOne = true;
        for (size_t f = 0; f < found.size(); ++f) {
            eachOne = eachOne && found[f].one;
            for (auto& record : found[f].records) {
                all.push_back(std::move(record));
                source.push_back(f);
            }
        }
        const size_t chosen = BestRecordIndex(all);
        std::rotate(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(chosen),
                    all.begin() + static_cast<std::ptrdiff_t>(chosen) + 1);
        row.target = found[source[chosen]].target;
        // One book in every source that had it: the best record is the one found.
        if (eachOne) all.resize(1);
        row.state = eachOne ? BatchState::kFound : BatchState::kSeveral;
        if (row.state == BatchState::kSeveral && static_cast<int64_t>(all.size()) > kMaxCandidates)
            all.resize(static_cast<size_t>(kMaxCandidates));
        row.records = std::move(all);
        row.failedTargets = std::move(failed);
        row.reason.clear();
        return;
    }
    row.state = failed.empty() ? BatchState::kNotFound : BatchState::kFailed;
    row.failedTargets = std::move(failed);
    row.reason = reasons;
}

BatchEngine::BatchEngine(std::vector<ChainTarget> chain, Z39Settings settings,
                         BatchBackendsFactory factory, BatchLimits limits, bool best)
    : chain_(std::move(chain)),
      settings_(std::move(settings)),
      factory_(std::move(factory)),
      limits_(limits),
      best_(best) {}

void BatchEngine::Run(std::vector<BatchRow>& rows, const std::function<void(size_t)>& finished,
                      const std::function<void(size_t)>& inOrder, CancelToken& cancel) {
    std::deque<size_t> todo;
    for (size_t i = 0; i < rows.size(); ++i)
        if (!rows[i].searched()) todo.push_back(i);
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<size_t> done;  // ended searches, for the calling thread to report
    std::vector<bool> ended(rows.size(), false);
    for (size_t i = 0; i < rows.size(); ++i) ended[i] = rows[i].searched();
    TargetGates gates(chain_.size(), limits_.perTarget);
    const size_t workers = std::min(todo.size(), static_cast<size_t>(std::max(1, limits_.total)));
    size_t running = workers;

    auto work = [&](int number) {
        std::unique_ptr<BackendRegistry> backends;
        std::string noBackends;
        try {
            backends = factory_(number, memory_);
        } catch (const std::exception& e) {
            noBackends = e.what();
        }
        if (!backends && noBackends.empty())
            noBackends = G("检索程序的工作目录无法建立（临时目录已满或不可写？）");
        while (true) {
            size_t i = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (todo.empty() || cancel.cancelled()) break;
                i = todo.front();
                todo.pop_front();
            }
            // Each worker fills only its own row; the calling thread reads it once told.
            BatchRow row = rows[i];
            try {
                if (!backends && row.item.valid()) throw std::runtime_error(noBackends);
                if (!backends) {
                    row.state = BatchState::kInvalid;
                } else {
                    SearchChain(row, chain_, *backends, settings_, cancel, &gates, &memory_, best_);
                }
            } catch (const std::exception& e) {
                // Nothing thrown leaves a worker: the row failed, and says why.
                row.state = BatchState::kFailed;
                row.reason = e.what();
            } catch (...) {
                row.state = BatchState::kFailed;
                row.reason = G("检索时出现未知错误");
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (row.searched()) {
                rows[i] = std::move(row);
                done.push_back(i);
            }
            changed.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        changed.notify_all();
    };
    std::vector<std::thread> threads;
    for (size_t w = 0; w < workers; ++w) threads.emplace_back(work, static_cast<int>(w));

    size_t next = 0;
    auto reportInOrder = [&] {
        while (next < rows.size() && ended[next]) inOrder(next++);
    };
    reportInOrder();
    while (true) {
        std::deque<size_t> batch;
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return !done.empty() || running == 0; });
            batch.swap(done);
            last = running == 0 && batch.empty();
        }
        if (last) break;
        for (size_t i : batch) {
            ended[i] = true;
            finished(i);
        }
        reportInOrder();
    }
    for (auto& t : threads) t.join();
}

}  // namespace z39
