#include "backends/target_probe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "backends/backend_kinds.h"
#include "backends/external_z39.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/unique_fd.h"
#include "common/user_interface.h"
#include "records/marc_charset.h"

namespace z39 {
namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

int MsSince(SteadyTime start) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count());
}

// Fires `inner` when the deadline passes or `outer` is cancelled, whichever comes first;
// stops watching when destroyed.
class DeadlineWatch {
  public:
    DeadlineWatch(CancelToken& outer, CancelToken& inner, SteadyTime deadline)
        : thread_([this, &outer, &inner, deadline] {
              std::unique_lock<std::mutex> lock(mutex_);
              while (!done_) {
                  if (outer.cancelled() || std::chrono::steady_clock::now() >= deadline) {
                      inner.Cancel();
                      return;
                  }
                  wake_.wait_for(lock, std::chrono::milliseconds(20));
              }
          }) {}
    ~DeadlineWatch() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    DeadlineWatch(const DeadlineWatch&) = delete;
    DeadlineWatch& operator=(const DeadlineWatch&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

class SilentUi final : public UserInterface {
  public:
    void ShowMessage(const std::string&, const std::string&) override {}
    Cursor CurrentCursor() const override { return Cursor::kNormal; }
    void SetCursor(Cursor) override {}
};

std::string Join(const std::vector<std::string>& words, const std::string& between) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : between) + w;
    return out;
}

// A CSV cell: quoted when it holds a comma, quote or line break.
std::string CsvCell(const std::string& utf8) {
    if (utf8.find_first_of(",\"\r\n") == std::string::npos) return utf8;
    std::string out = "\"";
    for (char c : utf8) {
        if (c == '"') out += '"';
        out += c == '\r' || c == '\n' ? ' ' : c;
    }
    return out + "\"";
}

// The search the probe times: the sample title word when the kind searches titles, else
// an ISBN (a miss is as good as a hit: the search answered).
SearchRequest TimedSearch(const ProbeReport& report, TargetKind kind, const Z39Settings& settings) {
    SearchRequest request;
    request.settings = settings;
    request.count = 1;
    const KindCapabilities& caps = CapabilitiesOf(kind);
    const bool titles = !caps.isbnOnly && std::find(caps.fields.begin(), caps.fields.end(),
                                                    G("题名")) != caps.fields.end();
    if (!report.sampleTerm.empty() && titles)
        request.rows.push_back({"", G("题名"), report.sampleTerm});
    else
        request.rows.push_back({"", "ISBN", "9787536692930"});
    return request;
}

}  // namespace

const std::vector<ProbeField>& ProbeFields() {
    static const std::vector<ProbeField> fields = {{"ISBN", 7, "isbn"},
                                                   {"ISSN", 8, "issn"},
                                                   {G("题名"), 4, "title"},
                                                   {G("著者"), 1003, "author"},
                                                   {G("出版者"), 1018, "publisher"},
                                                   {G("出版日期"), 31, "date"}};
    return fields;
}

std::vector<std::string> ProbeReport::SearchableFields() const {
    std::vector<std::string> out;
    for (const auto& f : fields)
        if (f.searchable()) out.push_back(f.field);
    return out;
}

void ProbeReport::ApplySuggestions(TargetEntry& entry) const {
    if (!suggestedCharset.empty()) entry.charset = suggestedCharset;
    if (!suggestedSyntax.empty()) entry.syntax = suggestedSyntax;
    for (const auto& [field, name] : suggestedIndexes) entry.indexes[field] = name;
}

std::string ProbeReport::SuggestedOptionsText() const {
    TargetEntry entry;
    ApplySuggestions(entry);
    return TargetOptionsText(entry);
}

bool ProbeReach(const ProbeContext& context, const std::string& host, int port,
                ProbeReport& report) {
    const SteadyTime start = std::chrono::steady_clock::now();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        report.Fail(G("地址[") + host + G("]无法解析"));
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    report.resolved = true;
    std::string why = G("连接被拒绝");
    for (addrinfo* a = found; a; a = a->ai_next) {
        UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.ok()) continue;
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            why = G("连接被拒绝");
            continue;
        }
        pollfd waits[2] = {{fd.get(), POLLOUT, 0}, {context.cancel.fd(), POLLIN, 0}};
        const int ready =
            ::poll(waits, context.cancel.fd() >= 0 ? 2 : 1, std::max(0, context.remainingMs()));
        if (ready <= 0 || (waits[1].revents & POLLIN) || context.cancel.cancelled()) {
            why = G("连接没有在限定时间内建立");
            break;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            why = G("连接被拒绝");
            continue;
        }
        report.connected = true;
        report.connectMs = MsSince(start);
        report.Note(G("已连接") + host + ":" + std::to_string(port) + G("，用时") +
                    std::to_string(report.connectMs) + "ms");
        return true;
    }
    report.Fail(G("无法连接") + host + ":" + std::to_string(port) + G("：") + why);
    return false;
}

ProbeReport ProbeTarget(const TargetProfile& target, const Z39Settings& settings,
                        const ProbeSetup& setup, TargetMemory& memory, CancelToken& cancel) {
    ProbeReport report;
    report.kind = target.kind;
    const SteadyTime start = std::chrono::steady_clock::now();
    const SteadyTime deadline = start + std::chrono::milliseconds(setup.deadlineMs);
    if (std::string missing = MissingAddressMessage(target); !missing.empty()) {
        report.Fail(missing);
        return report;
    }
    MakeDirectories(setup.workFolder);
    CancelToken inner;
    DeadlineWatch watch(cancel, inner, deadline);
    auto remaining = [deadline] {
        return std::max(0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                deadline - std::chrono::steady_clock::now())
                                                .count()));
    };
    SilentUi ui;
    SteadyClock clock;
    CurlHttpClient http;
    ProcessRunner runner(ui, clock, std::max(1, setup.deadlineMs));
    const std::string clientPath = setup.clientPath.empty() ? YazcPath() : setup.clientPath;
    ProbeContext context{http,   runner, setup.workFolder, clientPath, settings,
                         memory, inner,  remaining};
    if (KindProbe probe = ProbeOfKind(target.kind)) {
        try {
            probe(context, target, report);
        } catch (const std::exception& e) {
            report.Fail(e.what());
        }
    }
    // One search through the kind's own back end, as the window would make it: timed, and
    // what it learns stays in the memory. Not when the kind's probe found no way in.
    const bool blocked = report.authenticationNeeded || (report.resolved && !report.connected) ||
                         (!report.failure.empty() && !report.connected);
    if (!blocked && !inner.cancelled()) {
        BackendRegistry registry;
        AddBackends(registry, {http, runner, clock, setup.workFolder, memory, clientPath});
        if (SearchBackend* backend = registry.For(target.kind)) {
            SearchRequest request = TimedSearch(report, target.kind, settings);
            request.discoveredHost = memory.DiscoveredHost();
            const SteadyTime searchStart = std::chrono::steady_clock::now();
            PageResult page = FetchCatching(*backend, target, request, inner);
            const std::string asked = request.rows.front().field + "=" + request.rows.front().value;
            if (page.ok()) {
                report.searchMs = MsSince(searchStart);
                report.connected = true;
                report.resolved = true;
                // A kind whose probe asks no fields searches those its form offers.
                if (report.fields.empty())
                    for (const std::string& field : CapabilitiesOf(target.kind).fields)
                        if (!CapabilitiesOf(target.kind).isbnOnly || field == "ISBN")
                            report.fields.push_back(
                                {field, G("检索表单"), FieldState::kAccepted, G("此类目标提供")});
                report.Note(G("检索[") + asked + G("]成功：命中") + std::to_string(page.total) +
                            G("条，用时") + std::to_string(report.searchMs) + "ms");
            } else if (page.status == PageStatus::kRefused) {
                report.searchMs = MsSince(searchStart);
                report.connected = true;
                report.Fail(G("检索[") + asked + G("]被拒绝：") + page.reason);
            } else if (page.status != PageStatus::kCancelled || !cancel.cancelled()) {
                std::string why = page.status == PageStatus::kCancelled
                                      ? G("没有在限定时间内应答")
                                      : (!page.reason.empty() ? page.reason : page.cause);
                report.Fail(G("检索[") + asked + G("]失败：") + why);
            }
            if (!page.discoveredHost.empty()) report.discoveredHost = page.discoveredHost;
        }
    }
    if (report.discoveredHost.empty() && target.kind == TargetKind::kSharedCatalogue)
        report.discoveredHost = memory.DiscoveredHost();
    if (!report.discoveredHost.empty())
        report.Note(G("由/hosts.txt得到地址") + report.discoveredHost);
    // What the probe learned, the run's searches need not learn again.
    if (auto set = CharsetFromName(report.queryCharset))
        memory.LearnQueryCharset(target.entry, *set);
    if (auto set = CharsetFromName(report.recordCharset))
        memory.LearnRecordCharset(target.entry, *set);
    if (cancel.cancelled()) {
        // Whatever a step made of being stopped, the user stopped it.
        report.failure.clear();
        report.Fail(G("测试已取消"));
    } else if (inner.cancelled()) {
        report.Fail(G("测试没有在限定时间内完成"));
    }
    report.totalMs = MsSince(start);
    return report;
}

std::vector<std::string> ProbeFindingLines(const ProbeReport& r) {
    std::vector<std::string> out;
    out.push_back(G("连接：") + (r.connected ? G("成功") : G("失败")) +
                  (r.connectMs >= 0 ? G("，建立连接") + std::to_string(r.connectMs) + "ms" : "") +
                  (r.searchMs >= 0 ? G("，检索") + std::to_string(r.searchMs) + "ms" : ""));
    if (r.authenticationNeeded) out.push_back(G("需要用户名和密码（服务器拒绝了匿名连接）"));
    if (!r.implementation.empty()) out.push_back(G("服务器：") + r.implementation);
    if (!r.services.empty()) out.push_back(G("提供的服务：") + Join(r.services, " "));
    if (!r.implementation.empty())
        out.push_back(G("字符集协商：") +
                      (r.negotiatedCharset.empty() ? G("不支持") : r.negotiatedCharset));
    if (!r.syntaxes.empty()) out.push_back(G("记录格式：") + Join(r.syntaxes, " "));
    if (!r.refusedSyntaxes.empty())
        out.push_back(G("不提供的记录格式：") + Join(r.refusedSyntaxes, " "));
    if (!r.recordCharset.empty()) out.push_back(G("记录的字符集：") + r.recordCharset);
    if (!r.queryCharset.empty()) out.push_back(G("检索词的字符集：") + r.queryCharset);
    for (const auto& f : r.fields) {
        std::string state;
        switch (f.state) {
            case FieldState::kFound:
                state = G("可检索（找到记录）");
                break;
            case FieldState::kAccepted:
                state = G("可检索（没有找到记录）");
                break;
            case FieldState::kUnsupported:
                state = G("不支持");
                break;
            case FieldState::kRefused:
                state = G("被拒绝");
                break;
            case FieldState::kUntried:
                state = G("未测试");
                break;
        }
        out.push_back(G("检索字段") + f.field + " (" + f.index + ")" + G("：") + state +
                      (f.evidence.empty() ? "" : " - " + f.evidence));
    }
    if (!r.sruSchemas.empty()) out.push_back(G("SRU记录格式：") + Join(r.sruSchemas, " "));
    if (!r.sruIndexes.empty()) {
        std::vector<std::string> some(
            r.sruIndexes.begin(), r.sruIndexes.begin() + std::min<size_t>(r.sruIndexes.size(), 30));
        out.push_back(G("SRU索引：") + Join(some, " ") + (r.sruIndexes.size() > 30 ? " ..." : ""));
    }
    if (!r.discoveredHost.empty()) out.push_back(G("共享编目数据库的地址：") + r.discoveredHost);
    if (!r.failure.empty()) out.push_back(G("问题：") + r.failure);
    const std::string options = r.SuggestedOptionsText();
    out.push_back(G("建议的设置：") + (options.empty() ? G("无（自动即可）") : Trim(options)));
    return out;
}

std::string ProbeCsvHeader() {
    return "target,reachable,connect_ms,search_ms,syntaxes,record_charset,query_charset,"
           "fields,authentication_needed,suggested_options,failure\r\n";
}

std::string ProbeCsvRow(const ProbeReport& r) {
    std::vector<std::string> fields;
    for (const auto& f : r.SearchableFields()) fields.push_back(GbkToUtf8(f));
    const std::vector<std::string> cells = {GbkToUtf8(r.name),
                                            r.connected ? "yes" : "no",
                                            r.connectMs >= 0 ? std::to_string(r.connectMs) : "",
                                            r.searchMs >= 0 ? std::to_string(r.searchMs) : "",
                                            Join(r.syntaxes, " "),
                                            r.recordCharset,
                                            r.queryCharset,
                                            Join(fields, " "),
                                            r.authenticationNeeded ? "yes" : "no",
                                            Trim(r.SuggestedOptionsText()),
                                            GbkToUtf8(r.failure)};
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + CsvCell(cells[i]);
    return line + "\r\n";
}

}  // namespace z39
