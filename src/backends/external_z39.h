#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "backends/process_runner.h"
#include "backends/search_backend.h"
#include "backends/target_memory.h"
#include "common/clock.h"
#include "records/marc_charset.h"
#include "state/working_files.h"
#include "state/z39_settings.h"

namespace z39 {

// The steps where a run of the client once waited a fixed time (200 ms after writing the
// script, 500 ms after the client ended), for files to settle. Here the script is written
// and closed before the spawn, and the runner returns once the client has ended and its
// files are closed: both hold already, and nothing is waited.
inline constexpr const char* kScriptWrittenStep = "script written and closed";
inline constexpr const char* kClientFilesClosedStep = "client ended, its files closed";

// The program run as the external Z39.50 client: $Z39_YAZC, else yazc beside us.
std::string YazcPath();

// The command script: proxy and authentication lines when configured, open, elements F,
// the `options` lines (querycharset, format), the query line, the show line, quit; every
// line ended by CR LF.
std::string BuildZ39Script(const Z39Settings& settings, const TargetEntry& entry,
                           const std::string& queryLine, const std::string& showLine,
                           const std::vector<std::string>& options = {});

// What a record file held: the hit count (first line, when read) and the record lines.
struct RecordFile {
    int64_t hits = 0;
    std::vector<std::string> records;
    int tooLong = 0;  // lines longer than kMaxRecordLine, left out unread
};

// No ISO 2709 record is longer than 99,999 bytes; a line of the record file past this is
// no record and is not held in memory.
inline constexpr size_t kMaxRecordLine = 1 << 20;
// Reads the client's record file. With `firstLineIsCount` the first line is the hit count
// ("0" + the line; an empty or missing line reads 0); a line that is not a number raises
// Z39Error naming the file. A missing file reads as empty.
RecordFile ReadRecordFile(const std::string& path, bool firstLineIsCount);

// True when the client's output reports a failed or refused connection.
bool ClientReportedConnectionFailure(const std::string& messagePath);

// The records the client reported and did not write (a text record where MARC was asked
// for, a server diagnostic in place of a record): their count and the first report line.
struct SkippedRecords {
    int count = 0;
    std::string firstReport;
};
SkippedRecords ClientSkippedRecords(const std::string& messagePath);

// The client's "search failed: ..." line (a diagnostic instead of a result set); empty
// when the search gave a result set.
std::string ClientSearchFailure(const std::string& messagePath);

// The notice for records that were not listed; empty when none were skipped.
std::string SkippedRecordsNotice(const SkippedRecords& skipped);

// The external client's three files: the script it reads, its output, the records it
// writes. Each back end instance has its own.
struct Z39WorkFiles {
    std::string script;   // _zinit.~
    std::string message;  // _mess.~
    std::string marc;     // _marc.~
};
Z39WorkFiles Z39WorkFilesOf(const WorkingFiles& files);
Z39WorkFiles Z39WorkFilesIn(const std::string& folder);

// The reason shown when the client ran but ended with a non-zero status: the status and
// the first line it printed.
std::string ClientFailureReason(int exitStatus, const std::string& messagePath);

// Z39.50 searches through the external client (GetMarcFromOtherZ39 and its next page).
// Queries go out in the target's character set and records come back converted to GBK.
// With the automatic setting a first search is sent as GBK; when it has terms beyond ASCII
// and finds nothing, it is sent once more as UTF-8, and what found records is kept and
// remembered for the target for the rest of the run (so further pages ask once).
class ExternalZ39Backend final : public SearchBackend {
  public:
    // `memory`, when given, is the run's, shared with its other instances; else the instance
    // keeps its own.
    ExternalZ39Backend(ProcessRunner& runner, Clock& clock, Z39WorkFiles files,
                       std::string clientPath = YazcPath(), TargetMemory* memory = nullptr);

    PageResult Fetch(const TargetProfile& target, const SearchRequest& request,
                     CancelToken& cancel) override;

    // The same with the find command already made.
    PageResult FetchCommand(const TargetProfile& target, const std::string& findCommand,
                            const SearchRequest& request, CancelToken& cancel);

    const Z39WorkFiles& files() const { return files_; }

  private:
    struct Run {
        const Z39Settings& settings;
        const TargetProfile& target;
        const std::string& query;
        std::string show;
    };
    // Writes the script and runs the client with the query in `queryCharset`; false when
    // the run failed (status set in `out`).
    bool RunClient(const Run& run, RecordCharset queryCharset, CancelToken& cancel,
                   PageResult& out);
    // The first page with the query in `queryCharset`.
    PageResult FirstPage(const Run& run, RecordCharset queryCharset, CancelToken& cancel);
    void TakeRecords(RecordFile file, const TargetProfile& target, PageResult& out);
    // What the target's queries are sent in: its setting, else what worked before, else
    // nothing known yet.
    std::optional<RecordCharset> QueryCharsetFor(const TargetProfile& target);
    void Learn(const TargetProfile& target, RecordCharset charset);
    // What the target's records beyond ASCII were read as, for the records after them.
    std::optional<RecordCharset> RecordCharsetLearned(const TargetProfile& target);
    void LearnRecordCharset(const TargetProfile& target, RecordCharset charset);

    ProcessRunner& runner_;
    Clock& clock_;
    Z39WorkFiles files_;
    std::string clientPath_;
    TargetMemory ownMemory_;
    TargetMemory& memory_;
};

}  // namespace z39
