#include "backends/external_z39.h"

#include <algorithm>
#include <cstdlib>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/paths.h"
#include "common/z39_error.h"
#include "records/marc_record.h"

namespace z39 {

std::string YazcPath() {
    const char* named = std::getenv("Z39_YAZC");
    if (named && *named) return named;
    return JoinPath(ExecutableFolder(), "yazc");
}

std::string BuildZ39Script(const Z39Settings& settings, const TargetEntry& entry,
                           const std::string& queryLine, const std::string& showLine) {
    std::string script;
    if (settings.PROXYSIGN == 1)
        script += "proxy " + settings.PROXYIP + ":" + settings.PROXYPORT + "\r\n";
    if (entry.auth == "1")
        script += "authentication " + entry.username + " " + entry.userpass + "\r\n";
    script += "open " + entry.address + ":" + entry.port + "/" + entry.database + "\r\n";
    script += "elements F\r\n";
    script += queryLine + "\r\n";
    script += showLine + "\r\n";
    script += "quit\r\n";
    return script;
}

RecordFile ReadRecordFile(const std::string& path, bool firstLineIsCount) {
    RecordFile out;
    auto text = ReadWholeFile(path, Links::refuse);
    if (!text) return out;
    size_t pos = 0;
    bool first = firstLineIsCount;
    while (pos < text->size()) {
        size_t lf = text->find('\n', pos);
        size_t end = lf == std::string::npos ? text->size() : lf;
        std::string line = text->substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = lf == std::string::npos ? text->size() : lf + 1;
        if (first) {
            first = false;
            auto hits = ToNumber64(line);
            if (!hits)
                throw Z39Error(G("记录文件[") + path + G("]的第一行不是命中数：") +
                               line.substr(0, 40));
            out.hits = *hits;
            continue;
        }
        out.records.push_back(std::move(line));
    }
    return out;
}

bool ClientReportedConnectionFailure(const std::string& messagePath) {
    std::string text = ReadWholeFile(messagePath, Links::refuse).value_or(std::string());
    return text.find("Connecting...error") != std::string::npos ||
           text.find("Connection rejected") != std::string::npos;
}

SkippedRecords ClientSkippedRecords(const std::string& messagePath) {
    SkippedRecords out;
    const std::string text = ReadWholeFile(messagePath, Links::refuse).value_or(std::string());
    for (const std::string& line : TextLines(text)) {
        size_t colon = line.find(": ");
        if (!line.starts_with("Record ") || colon == std::string::npos) continue;
        std::string_view what = std::string_view(line).substr(colon + 2);
        if (what.starts_with("not MARC") || what.starts_with("diagnostic") ||
            what.starts_with("not returned")) {
            if (out.count++ == 0) out.firstReport = line;
        }
    }
    return out;
}

std::string SkippedRecordsNotice(const SkippedRecords& skipped) {
    if (skipped.count == 0) return {};
    return G("目标数据库返回的[") + std::to_string(skipped.count) +
           G("]条记录不是MARC格式或带有错误信息，没有列出，也不会保存。\r\n") + skipped.firstReport;
}

ExternalZ39Backend::ExternalZ39Backend(AppState& state, RecordStore& store, ResultIndex& index,
                                       ProcessRunner& runner, Clock& clock, std::string clientPath)
    : state_(state),
      store_(store),
      index_(index),
      runner_(runner),
      clock_(clock),
      clientPath_(std::move(clientPath)) {}

bool ExternalZ39Backend::RunClient(const TargetEntry& entry, const std::string& queryLine,
                                   const std::string& showLine, SearchOutcome& out) {
    const WorkingFiles& files = state_.files;
    if (!ReplaceFileAtomically(files.clientScriptPath,
                               BuildZ39Script(state_.settings, entry, queryLine, showLine)))
        throw Z39Error("Unable to write to " + files.clientScriptPath);
    clock_.SleepMs(kScriptWaitMs);
    RunStatus status = runner_.Run(ProcessRunner::QuoteWord(clientPath_) + " -m " +
                                       ProcessRunner::QuoteWord(files.clientMarcPath),
                                   files.clientScriptPath, files.clientMessagePath, G("错误！"));
    if (status != RunStatus::kFinished) {
        ConnectionLost(out);
        return false;
    }
    clock_.SleepMs(kRecordWaitMs);
    return true;
}

void ExternalZ39Backend::ConnectionLost(SearchOutcome& out) {
    MarkConnectionFailed(out);
    state_.discoveredHost.clear();
}

void ExternalZ39Backend::AddRecords(const std::vector<std::string>& lines) {
    std::vector<ResultIndex::Result> page;
    for (const auto& line : lines) {
        std::string display = DisplayLine(line);
        if (display.empty()) continue;  // neither listed nor stored
        page.push_back({std::move(display), line});
    }
    index_.AddResults(page, store_);
}

SearchOutcome ExternalZ39Backend::FirstPage(const TargetEntry& entry,
                                            const std::string& findCommand) {
    SearchOutcome out;
    if (!RunClient(entry, findCommand, "show", out)) {
        out.searchCompleted = true;
        return out;
    }
    RecordFile file = ReadRecordFile(state_.files.clientMarcPath, true);
    index_.Clear();
    AddRecords(file.records);
    out.total = file.hits;
    out.rows = index_.Rows();
    out.nextStart = static_cast<int64_t>(out.rows.size()) + 1;
    if (ClientReportedConnectionFailure(state_.files.clientMessagePath)) {
        ConnectionLost(out);
    } else {
        out.hitLabel = HitLabel(out.total);
        out.statusMessage = out.total < 1 ? NoDataStatus() : FoundStatus(out.total);
    }
    out.notice = SkippedRecordsNotice(ClientSkippedRecords(state_.files.clientMessagePath));
    CompleteFirstPage(out, state_);
    return out;
}

SearchOutcome ExternalZ39Backend::NextPage(const TargetEntry& entry, const std::string& findCommand,
                                           int64_t total, int64_t nextStart, int64_t count) {
    SearchOutcome out;
    out.total = total;
    out.nextStart = nextStart;
    const int64_t ask = std::min(total - nextStart + 1, count);
    DeleteFileIfExists(state_.files.clientMarcPath);
    if (!RunClient(entry, findCommand,
                   "show " + std::to_string(nextStart) + "+" + std::to_string(ask), out)) {
        out.rows = index_.Rows();
        return out;
    }
    out.nextStart = std::min(nextStart + ask, total + 1);
    AddRecords(ReadRecordFile(state_.files.clientMarcPath, false).records);
    out.rows = index_.Rows();
    if (ClientReportedConnectionFailure(state_.files.clientMessagePath)) {
        ConnectionLost(out);
    } else {
        out.statusMessage = out.total < 1 ? NoDataStatus() : FoundStatus(out.total);
    }
    out.notice = SkippedRecordsNotice(ClientSkippedRecords(state_.files.clientMessagePath));
    CompleteFurtherPage(out, state_);
    return out;
}

}  // namespace z39
