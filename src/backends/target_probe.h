#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "backends/http_client.h"
#include "backends/process_runner.h"
#include "backends/target_memory.h"
#include "common/cancel_token.h"
#include "state/z39_settings.h"
#include "targets/target_profile.h"

namespace z39 {

// What became of one search field when the probe tried it.
enum class FieldState {
    kUntried,
    kFound,        // it found the term asked for
    kAccepted,     // it searched without error and found nothing
    kUnsupported,  // the server does not know the index (Bib-1 114, SRU 16)
    kRefused,      // another refusal (the evidence says which)
};

struct FieldProbe {
    std::string field;  // the form's name (GBK): ISBN, ISSN, 题名, 著者, 出版者, 出版日期
    std::string index;  // how it was asked: "1=7", "bath.isbn"
    FieldState state = FieldState::kUntried;
    std::string evidence;  // the server's diagnostic or the hit count (GBK)
    bool searchable() const {
        return state == FieldState::kFound || state == FieldState::kAccepted;
    }
};

// Everything a probe of one target found, with its evidence, and the options it suggests
// for the target's line in the list. Texts are GBK.
struct ProbeReport {
    std::string name;  // as z39batch --chain names the target
    TargetKind kind = TargetKind::kNone;
    bool resolved = false;   // the host name resolved (or no name had to be)
    bool connected = false;  // a connection was made (or a search answered)
    int connectMs = -1;
    int searchMs = -1;
    int totalMs = 0;
    bool authenticationNeeded = false;
    // Z39.50: the Init answer.
    std::string implementation;
    std::vector<std::string> services;  // search, present, scan, sort, ...
    std::string negotiatedCharset;      // the set accepted in negotiation; empty: none
    // The record syntaxes records came back in, and those asked for and refused.
    std::vector<std::string> syntaxes;
    std::vector<std::string> refusedSyntaxes;
    // "GBK", "UTF-8", "MARC-8"; empty: no evidence.
    std::string recordCharset;
    std::string queryCharset;
    std::vector<FieldProbe> fields;
    // SRU: the explain record.
    std::vector<std::string> sruIndexes;
    std::vector<std::string> sruSchemas;
    bool sruMarcxml = false;
    // The shared catalogue: the address /hosts.txt gave.
    std::string discoveredHost;
    std::vector<std::string> evidence;  // one finding per line, in the order found
    std::string failure;                // the first failure in words; empty: none
    std::string sampleTerm;             // a title word the target holds, when one was seen
    int sampleHits = -1;                // hits of the probe's own search; -1: none ran
    // The options suggested for the target's line (what the probe could tell).
    std::string suggestedCharset;
    std::string suggestedSyntax;
    std::map<std::string, std::string> suggestedIndexes;

    std::vector<std::string> SearchableFields() const;
    // " charset=... format=... index.F=..." as the target list writes them; empty: none.
    std::string SuggestedOptionsText() const;
    // The suggestions put on an entry (other options it has stay).
    void ApplySuggestions(TargetEntry& entry) const;
    void Note(const std::string& line) { evidence.push_back(line); }
    void Fail(const std::string& why) {
        if (failure.empty()) failure = why;
        evidence.push_back(why);
    }
};

// What a probe works with: clients of its own, its working folder, the run's memory, and
// a cancel token that fires at the probe's deadline or when the caller cancels.
struct ProbeContext {
    HttpClient& http;
    ProcessRunner& runner;
    std::string workFolder;
    std::string clientPath;  // the external Z39.50 client
    const Z39Settings& settings;
    TargetMemory& memory;
    CancelToken& cancel;
    std::function<int()> remainingMs;
};

// The probe of one kind: fills `report` with what it finds of `target`.
using KindProbe = std::function<void(const ProbeContext&, const TargetProfile&, ProbeReport&)>;

struct ProbeSetup {
    std::string workFolder;  // the probe's own folder (made when missing)
    std::string clientPath;  // empty: yazc beside the program
    int deadlineMs = 15000;
};

// Probes one target within the deadline: its kind's own probe (from the table of back
// ends), then one search through the kind's back end, which is timed. What it learns of
// character sets goes into `memory`, as a search would have put it there. `cancel` ends it
// early; the report then says so.
ProbeReport ProbeTarget(const TargetProfile& target, const Z39Settings& settings,
                        const ProbeSetup& setup, TargetMemory& memory, CancelToken& cancel);

// Resolves `host` and connects to `port` within the context's time; fills resolved,
// connected, connectMs and the failure. False when no connection was made.
bool ProbeReach(const ProbeContext& context, const std::string& host, int port,
                ProbeReport& report);

// The report's findings as lines for a person (GBK), the suggestions last.
std::vector<std::string> ProbeFindingLines(const ProbeReport& report);

// The report as CSV: a header and one row per report (UTF-8).
std::string ProbeCsvHeader();
std::string ProbeCsvRow(const ProbeReport& report);

// The form's fields as a probe asks them of a Z39.50 server: name (GBK) and Bib-1 use.
struct ProbeField {
    std::string field;
    int use;
    std::string sruKey;  // the index.* key the target list keeps for it
};
const std::vector<ProbeField>& ProbeFields();

}  // namespace z39
