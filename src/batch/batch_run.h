#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "batch/batch_engine.h"
#include "batch/batch_journal.h"
#include "records/daily_file.h"

namespace z39 {

// What a batch run needs to know.
struct BatchRunSetup {
    std::string listPath;  // the list of ISBNs
    std::string marcPath;  // the download folder, ending in "/"
    // Where the journal, report and not-found list go, ending in "/" (made when missing);
    // the download folder when empty.
    std::string workFolder;
    std::string autoCreateMarcPath;  // made on the first save when it is marcPath
    std::vector<ChainTarget> chain;
    Z39Settings settings;
    BatchLimits limits;
    std::function<std::string()> today;  // yyyymmdd; the local date when not set
    // Each found record is saved as its turn comes (the command); otherwise SaveAll saves
    // them when the user asks (the window, after a review).
    bool saveAsFound = true;
    // Every target of the chain for each ISBN, and the best record (z39batch --best).
    bool best = false;
    // Times the journal's groups of lines (not owned; null: the steady clock).
    Clock* clock = nullptr;
    // The daily file's form (the settings' MARCFORMAT, or z39batch --format).
    DailyFormat format = DailyFormat::kGbk;
};

// Rows by what became of them.
struct BatchCounts {
    int rows = 0, pending = 0, found = 0, several = 0, notFound = 0, invalid = 0, failed = 0,
        duplicate = 0;
    int saved = 0, alreadySaved = 0, refused = 0;
};
BatchCounts CountRows(const std::vector<BatchRow>& rows);

// One batch from list to report: reads the list and its journal, searches what is not
// done yet, saves in list order through the same daily-file append as F5, and writes
// the journal as it goes. The files sit in the work folder (the download folder unless
// set) under the list's name: NAME.journal, NAME.report.csv and NAME.notfound.txt.
class BatchRun {
  public:
    explicit BatchRun(BatchRunSetup setup);

    // Reads the list and takes up what an earlier, unfinished run of it did. False with a
    // message (GBK) when the list cannot be read, holds no ISBN, the journal cannot be
    // written, or another run is working on the list (busy() then tells). Each saved record
    // passes the save check; the daily file is appended to under its lock, and read again
    // under it before each append, so runs of other lists into the same folder take turns
    // and never save a book the file already holds.
    bool Prepare(std::string* error);
    bool busy() const { return journal_.busy(); }
    // Rows an unfinished earlier run of the list had settled, taken up by Prepare.
    int restored() const { return restored_; }
    // What the user should know beyond the rows (GBK): a damaged journal, saves taken as
    // done.
    const std::vector<std::string>& notices() const { return notices_; }

    // Searches the rows still pending and saves each found record as its turn in list
    // order comes. `changed(i)` follows each change of row i, on the calling thread.
    // False with a message when a save failed (the run stops saving; rows keep their
    // state).
    bool Execute(const BatchBackendsFactory& factory, CancelToken& cancel,
                 const std::function<void(size_t)>& changed, std::string* error);

    // The user took candidate `candidate` of a "several" row: journaled, and saved at once
    // when records are saved as found.
    bool Choose(size_t row, int candidate, std::string* error);

    // Saves every found or chosen record not saved yet, in list order. False with a
    // message when one could not be written (the rest then wait for the next try).
    bool SaveAll(std::string* error);

    // Marks the run ended (the next start of the list is a new run) and writes the
    // report and the not-found list. False with a message when a file cannot be written.
    bool Finish(std::string* error);

    const std::vector<BatchRow>& rows() const { return rows_; }
    const BatchRunSetup& setup() const { return setup_; }
    std::string FilePath(const std::string& suffix) const;
    // How many times the journal was synced to the disk.
    int journalSyncs() const { return journal_.syncs(); }

  private:
    bool SaveRow(size_t i, std::string* error);
    std::string WorkFolder() const;
    std::string Today() const;

    BatchRunSetup setup_;
    std::vector<BatchRow> rows_;
    BatchJournal journal_;
    DailyFileIndex daily_;
    std::map<std::string, BatchJournal::UnfinishedSave> unfinishedSaves_;
    std::vector<std::string> notices_;
    bool saveFailed_ = false;
    int restored_ = 0;
};

// The report: UTF-8 with a byte-order mark (a spreadsheet then shows the Chinese), one
// line per line of the list: the ISBN asked for, the state (StateText), the target, the
// record's title, responsibility, place, publisher, date and ISBN, its number in the daily
// file, and why a row failed, was refused or is a duplicate. `cancelled`: the run was
// stopped (rows not searched read 已取消).
std::string BatchReportCsv(const std::vector<BatchRow>& rows, bool cancelled = false);
// The report's first line.
std::string BatchReportHeader();
// The ISBNs no target had (or none could be asked), one per line, to run again with
// another chain.
std::string NotFoundList(const std::vector<BatchRow>& rows);

}  // namespace z39
