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
                           const std::string& queryLine, const std::string& showLine,
                           const std::vector<std::string>& options) {
    std::string script;
    if (settings.PROXYSIGN == 1)
        script += "proxy " + settings.PROXYIP + ":" + settings.PROXYPORT + "\r\n";
    if (entry.auth == "1")
        script += "authentication " + entry.username + " " + entry.userpass + "\r\n";
    script += "open " + entry.address + ":" + entry.port + "/" + entry.database + "\r\n";
    script += "elements F\r\n";
    for (const auto& line : options) script += line + "\r\n";
    script += queryLine + "\r\n";
    script += showLine + "\r\n";
    script += "quit\r\n";
    return script;
}

RecordFile ReadRecordFile(const std::string& path, bool firstLineIsCount) {
    RecordFile out;
    bool first = firstLineIsCount;
    ReadLines(path, Links::refuse, kMaxRecordLine, [&](std::string_view text, bool tooLong) {
        std::string line(text);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            first = false;
            auto hits = ToNumber64(line);
            if (tooLong || !hits)
                throw Z39Error(G("记录文件[") + path + G("]的第一行不是命中数：") +
                               line.substr(0, 40));
            out.hits = *hits;
            return;
        }
        if (tooLong) {
            ++out.tooLong;
            return;
        }
        out.records.push_back(std::move(line));
    });
    return out;
}

bool ClientReportedConnectionFailure(const std::string& messagePath) {
    std::string text = ReadWholeFile(messagePath, Links::refuse).value_or(std::string());
    return text.find("Connecting...error") != std::string::npos ||
           text.find("Connection rejected") != std::string::npos;
}

std::string ClientSearchFailure(const std::string& messagePath) {
    const std::string text = ReadWholeFile(messagePath, Links::refuse).value_or(std::string());
    for (const std::string& line : TextLines(text))
        if (line.starts_with("search failed: ")) return Trim(line).substr(0, 200);
    return {};
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

Z39WorkFiles Z39WorkFilesOf(const WorkingFiles& files) {
    return {files.clientScriptPath, files.clientMessagePath, files.clientMarcPath};
}

Z39WorkFiles Z39WorkFilesIn(const std::string& folder) {
    return {JoinPath(folder, "_zinit.~"), JoinPath(folder, "_mess.~"), JoinPath(folder, "_marc.~")};
}

std::string ClientFailureReason(int exitStatus, const std::string& messagePath) {
    std::string said;
    for (const std::string& line :
         TextLines(ReadWholeFile(messagePath, Links::refuse).value_or(std::string()))) {
        if (!Trim(line).empty()) {
            said = Trim(line).substr(0, 200);
            break;
        }
    }
    std::string reason = G("检索程序异常结束，退出状态[") + std::to_string(exitStatus) + "]";
    return said.empty() ? reason : reason + G("：") + said;
}

ExternalZ39Backend::ExternalZ39Backend(ProcessRunner& runner, Clock& clock, Z39WorkFiles files,
                                       std::string clientPath, TargetMemory* memory)
    : runner_(runner),
      clock_(clock),
      files_(std::move(files)),
      clientPath_(std::move(clientPath)),
      memory_(memory ? *memory : ownMemory_) {}

namespace {

bool HasNonAscii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

}  // namespace

std::optional<RecordCharset> ExternalZ39Backend::QueryCharsetFor(const TargetProfile& target) {
    if (auto set = CharsetFromName(target.z39.charset)) return set;
    return memory_.QueryCharset(target.entry);
}

void ExternalZ39Backend::Learn(const TargetProfile& target, RecordCharset charset) {
    memory_.LearnQueryCharset(target.entry, charset);
}

bool ExternalZ39Backend::RunClient(const Run& run, RecordCharset queryCharset, CancelToken& cancel,
                                   PageResult& out) {
    std::vector<std::string> options;
    if (queryCharset != RecordCharset::kGbk)
        options.push_back(std::string("querycharset ") + IconvName(queryCharset));
    if (!Trim(run.target.z39.syntax).empty())
        options.push_back("format " + Trim(run.target.z39.syntax));
    DeleteFileIfExists(files_.marc);
    if (!ReplaceFileAtomically(files_.script, BuildZ39Script(run.settings, run.target.entry,
                                                             run.query, run.show, options)))
        throw Z39Error("Unable to write to " + files_.script);
    clock_.Step(kScriptWrittenStep);
    int exitStatus = 0;
    RunStatus status = runner_.Run(
        ProcessRunner::QuoteWord(clientPath_) + " -m " + ProcessRunner::QuoteWord(files_.marc),
        files_.script, files_.message, G("错误！"), &cancel, &exitStatus);
    if (status == RunStatus::kCancelled) {
        out.status = PageStatus::kCancelled;
        return false;
    }
    if (status != RunStatus::kFinished) {
        out.status = PageStatus::kNoConnection;
        out.cause =
            status == RunStatus::kTimedOut ? G("没有在限定时间内应答") : G("检索程序yazc无法运行");
        // The window (or the batch's report) shows why: the runner tells nobody itself.
        if (status == RunStatus::kNotStarted) out.reason = StartFailureMessage();
        return false;
    }
    if (exitStatus != 0) {
        // A client that could not do its work (its record file, say) found nothing: that is
        // a failure, never "no data".
        out.status = PageStatus::kNoConnection;
        out.reason = ClientFailureReason(exitStatus, files_.message);
        return false;
    }
    clock_.Step(kClientFilesClosedStep);
    return true;
}

void ExternalZ39Backend::TakeRecords(RecordFile file, const TargetProfile& target,
                                     PageResult& out) {
    const std::optional<RecordCharset> set = CharsetFromName(target.z39.charset);
    int withReferences = 0, unreadable = file.tooLong;
    std::string firstRefusal =
        file.tooLong > 0 ? G("记录长度超过1MB（ISO 2709记录最长99999字节）") : std::string();
    for (auto& line : file.records) {
        if (DisplayLine(line).empty()) continue;  // neither listed nor stored
        const std::optional<RecordCharset> known = set ? set : RecordCharsetLearned(target);
        int references = 0;
        std::string why;
        RecordCharset decided = RecordCharset::kGbk;
        std::optional<std::string> gbk =
            ConvertRecordToGbk(line, known, &references, &why, &decided);
        if (!gbk) {
            if (unreadable++ == 0) firstRefusal = why;
            continue;
        }
        // A set read on firm evidence is what the target sends: UTF-8 or MARC-8 that
        // decoded, GBK in bytes no UTF-8 could hold.
        if (!set && HasNonAscii(line) && (decided != RecordCharset::kGbk || !IsValidUtf8(line)))
            LearnRecordCharset(target, decided);
        if (references > 0) ++withReferences;
        out.records.push_back(std::move(*gbk));
    }
    if (ClientReportedConnectionFailure(files_.message)) {
        out.status = PageStatus::kNoConnection;
        out.cause = G("连接失败（拒绝连接、地址不对或不应答）");
    }
    SkippedRecords skipped = ClientSkippedRecords(files_.message);
    if (unreadable > 0) {
        if (skipped.count == 0) skipped.firstReport = firstRefusal;
        skipped.count += unreadable;
    }
    for (std::string notice : {SkippedRecordsNotice(skipped), ReferencesNotice(withReferences)})
        if (!notice.empty()) out.notices.push_back(std::move(notice));
}

std::optional<RecordCharset> ExternalZ39Backend::RecordCharsetLearned(const TargetProfile& target) {
    return memory_.RecordCharsetOf(target.entry);
}

void ExternalZ39Backend::LearnRecordCharset(const TargetProfile& target, RecordCharset charset) {
    memory_.LearnRecordCharset(target.entry, charset);
}

PageResult ExternalZ39Backend::Fetch(const TargetProfile& target, const SearchRequest& request,
                                     CancelToken& cancel) {
    return FetchCommand(target, BuildFindCommand(request.rows), request, cancel);
}

PageResult ExternalZ39Backend::FirstPage(const Run& run, RecordCharset queryCharset,
                                         CancelToken& cancel) {
    PageResult out;
    if (!RunClient(run, queryCharset, cancel, out)) return out;
    // A diagnostic in place of a result set (an unknown database, an unsupported index)
    // is the server's refusal, not "no data".
    if (const std::string refusal = ClientSearchFailure(files_.message); !refusal.empty()) {
        out.status = PageStatus::kRefused;
        out.reason = G("目标数据库拒绝了检索：") + refusal;
        return out;
    }
    RecordFile file = ReadRecordFile(files_.marc, true);
    out.hasTotal = true;
    out.total = file.hits;
    TakeRecords(std::move(file), run.target, out);
    return out;
}

PageResult ExternalZ39Backend::FetchCommand(const TargetProfile& target,
                                            const std::string& findCommand,
                                            const SearchRequest& request, CancelToken& cancel) {
    const std::optional<RecordCharset> known = QueryCharsetFor(target);
    const RecordCharset queryCharset = known.value_or(RecordCharset::kGbk);
    if (request.firstPage) {
        const Run run{request.settings, target, findCommand, "show"};
        PageResult out = FirstPage(run, queryCharset, cancel);
        // A server that keeps UTF-8 may refuse GBK terms outright (Zebra does) rather than
        // find nothing: both are worth the second try.
        const bool refused = out.status == PageStatus::kRefused;
        if (known || !HasNonAscii(findCommand) || (!out.ok() && !refused)) return out;
        if (out.ok() && out.total > 0) {
            Learn(target, RecordCharset::kGbk);
            return out;
        }
        // Nothing for GBK terms: a server that indexes UTF-8 may hold them.
        PageResult again = FirstPage(run, RecordCharset::kUtf8, cancel);
        if (again.ok() && again.total > 0) {
            Learn(target, RecordCharset::kUtf8);
            return again;
        }
        return again.status == PageStatus::kCancelled ? again : out;
    }
    const int64_t ask = std::min(request.total - request.start + 1, request.count);
    const Run run{request.settings, target, findCommand,
                  "show " + std::to_string(request.start) + "+" + std::to_string(ask)};
    PageResult out;
    if (!RunClient(run, queryCharset, cancel, out)) return out;
    out.covered = ask;
    TakeRecords(ReadRecordFile(files_.marc, false), target, out);
    return out;
}

}  // namespace z39
