#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backends/search_backend.h"
#include "backends/target_memory.h"
#include "batch/isbn_list.h"
#include "common/cancel_token.h"
#include "state/z39_settings.h"
#include "targets/target_names.h"
#include "targets/target_profile.h"

namespace z39 {

enum class BatchState {
    kPending,    // not searched yet (or its search was cancelled)
    kFound,      // exactly one record, taken
    kSeveral,    // more than one: the candidates wait for the user
    kNotFound,   // no target of the chain has it
    kInvalid,    // not a valid ISBN: not searched
    kFailed,     // no target had it, and at least one could not be reached
    kDuplicate,  // the list asked for the same ISBN on an earlier line: not searched again
};

enum class SaveMark {
    kNotSaved,
    kSaved,         // this run appended it to the daily file
    kAlreadySaved,  // the daily file held it before
    kRefused,       // the save check refused the record: not written (see the row's reason)
};

// A row's state in words (GBK), the same in the window, the report and z39batch's lines:
// 待检索 (not searched yet), 已找到, 多条, 未找到, 连接失败, ISBN无效, 重复; once saved
// 已保存, 已保存过 or 未通过检查. With `cancelled` (a run that was stopped) a row not
// searched reads 已取消.
std::string StateText(BatchState state, SaveMark saved, bool cancelled = false);

// One row of a batch: the list's item and what the chain made of it.
struct BatchRow {
    BatchItem item;
    BatchState state = BatchState::kPending;
    std::string target;                      // the name of the target that answered
    std::vector<std::string> failedTargets;  // names of those that could not be reached
    std::string reason;                      // GBK: why it failed or was refused, when it was
    std::vector<std::string> records;        // found: the one; several: every candidate
    int chosen = -1;                         // several: the candidate the user took
    SaveMark saved = SaveMark::kNotSaved;
    int dailyNumber = 0;  // the record's position in the daily file (from 1); 0: none

    bool searched() const { return state != BatchState::kPending; }
    // The record to save: the found one, or the chosen candidate; null when none.
    const std::string* RecordToSave() const;
};

// How much runs at once.
struct BatchLimits {
    int total = 8;      // ISBNs in flight
    int perTarget = 4;  // requests to one target at a time
};

// A worker's own back ends, built for it alone (workers run side by side) over the run's
// target memory.
using BatchBackendsFactory =
    std::function<std::unique_ptr<BackendRegistry>(int worker, TargetMemory& memory)>;

// The most candidates a "several" row keeps.
inline constexpr int64_t kMaxCandidates = 10;

// One ISBN through the chain: the targets in order until one has hits. One well-formed
// hit is "found", more are "several" (up to kMaxCandidates fetched); a target that cannot be
// reached is noted (with its reason) and the next one tried. Fills the row's search fields; a
// cancelled fetch leaves it pending. `gates`, when given, bounds the requests to each target
// (see BatchEngine). Nothing thrown leaves it: a back end that throws is a target that
// could not be reached, with what it said as the reason.
class TargetGates;
// `memory`, when given, is the run's: the shared catalogue's host is discovered once for
// all rows and workers, and taken from there. With `best` every target of the chain is
// asked, not only up to the first with hits: when each that has the book has one record,
// the best of them (BestRecordIndex, the chain's order breaking ties) is found and the row's
// target names its source; otherwise every candidate is kept, the best first.
void SearchChain(BatchRow& row, const std::vector<ChainTarget>& chain, BackendRegistry& backends,
                 const Z39Settings& settings, CancelToken& cancel, TargetGates* gates = nullptr,
                 TargetMemory* memory = nullptr, bool best = false);

// Searches the pending rows with valid ISBNs, several at once within `limits`, each worker
// with its own back ends. `finished(i)` is called as row i's search ends (any order), and
// `inOrder(i)` once rows 0..i have all ended or need no search, in list order; both on the
// calling thread, which is otherwise waiting. After Cancel() no new search starts, the
// ones in flight end at once and their rows stay pending; Run returns when the workers
// have ended.
class BatchEngine {
  public:
    // `best`: each row asks every target of the chain (see SearchChain).
    BatchEngine(std::vector<ChainTarget> chain, Z39Settings settings, BatchBackendsFactory factory,
                BatchLimits limits = {}, bool best = false);

    void Run(std::vector<BatchRow>& rows, const std::function<void(size_t)>& finished,
             const std::function<void(size_t)>& inOrder, CancelToken& cancel);

    const std::vector<ChainTarget>& chain() const { return chain_; }

  private:
    std::vector<ChainTarget> chain_;
    Z39Settings settings_;
    BatchBackendsFactory factory_;
    BatchLimits limits_;
    bool best_ = false;
    TargetMemory memory_;  // what the run learns of the shared catalogue's host
};

}  // namespace z39
