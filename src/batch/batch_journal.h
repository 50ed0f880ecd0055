#pragma once

#include <string>
#include <vector>

#include "batch/batch_engine.h"
#include "common/clock.h"
#include "common/unique_fd.h"

namespace z39 {

// The record of a batch run, one line per step, written as each step ends, so that a run
// stopped anywhere (a crash, kill -9, a power cut) goes on where it stopped. Lines reach
// the disk in groups: every line that leads to a save (and the end of the run) is synced
// before the program goes on, the others at most every kSyncEveryMs together with the
// next line written; a power cut loses at most that much searching, never a save. Each line ends
// with a checksum of itself: a torn last line is recognised and left out, and so is a damaged line
// anywhere (a flipped byte): every valid line around it is kept, and damage() says what was dropped
// and where. The file is then written anew with the valid lines before anything more is appended.
//
// A run is known by its chain: a journal written for another chain, or for a run that
// ended, is put aside (".old") and a new one begun.
//
// One run at a time works on a journal: Open takes a lock (flock on PATH.lock) that is
// held until the journal goes; a second Open fails with busy() set.
class BatchJournal {
  public:
    static constexpr int kSyncEveryMs = 100;

    // `clock` (not owned, or null: the steady clock) times the groups of lines.
    explicit BatchJournal(Clock* clock = nullptr);
    ~BatchJournal();
    BatchJournal(const BatchJournal&) = delete;
    BatchJournal& operator=(const BatchJournal&) = delete;

    // Opens or creates the journal at `path` for a run over `chainNames`. False (with
    // `error` set) when it cannot be opened or written.
    bool Open(const std::string& path, const std::vector<std::string>& chainNames,
              std::string* error);

    // Applies what the journal holds to `rows` (matched by ISBN, or by the listed text for
    // a line without one): search results, choices and saves. The number of rows it
    // touched.
    int Restore(std::vector<BatchRow>& rows) const;

    // The steps; each returns false when the line could not be written and flushed.
    bool Searched(const BatchRow& row);
    bool Chosen(const BatchRow& row);
    // Before the record goes to the daily file: which file and where in it.
    bool Saving(const BatchRow& row, int dailyNumber, const std::string& dailyFile);
    bool Saved(const BatchRow& row);
    // The run has ended: the next start of the same list is a new run.
    bool Ended();

    // Rows that had a Saving line and no Saved line after it.
    struct UnfinishedSave {
        std::string key;
        int dailyNumber = 0;
        std::string dailyFile;      // empty in a journal of an older version: today's
        bool damagedAfter = false;  // a damaged line follows: it may have been the Saved line
    };
    const std::vector<UnfinishedSave>& unfinishedSaves() const { return unfinishedSaves_; }

    // What was dropped of a damaged journal (GBK), empty when nothing was.
    const std::string& damage() const { return damage_; }
    // Another run holds the journal's lock.
    bool busy() const { return busy_; }
    // How many times the lines were synced to the disk.
    int syncs() const { return syncs_; }

  private:
    // `durable`: synced before it returns; else synced with a later line, or when the
    // journal goes.
    bool Append(const std::string& body, bool durable);
    bool Sync();

    Clock* clock_;
    int64_t lastSyncMs_ = 0;
    bool unsynced_ = false;
    int syncs_ = 0;

    UniqueFd lock_;
    UniqueFd fd_;
    std::vector<std::vector<std::string>> entries_;  // the valid lines read, split at tabs
    std::vector<UnfinishedSave> unfinishedSaves_;
    std::string damage_;
    bool busy_ = false;
};

// The key a row is journaled under: its ISBN, or "line N" for one without.
std::string JournalKey(const BatchRow& row);

}  // namespace z39
