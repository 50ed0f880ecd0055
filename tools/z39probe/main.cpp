// z39probe [NAME...] [--write]: tests targets of the list at once and reports what each
// answers, how fast, in which character set and record syntax, with which indexes.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "app/config_location.h"
#include "backends/target_probe.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/ini_file.h"
#include "common/paths.h"
#include "common/stop_signals.h"
#include "common/version.h"
#include "state/working_files.h"
#include "state/z39_settings.h"
#include "targets/target_names.h"
#include "targets/target_table.h"

namespace {

constexpr const char* kHelp =
    "usage: z39probe [NAME...] [--write] [--deadline SECONDS] [--jobs N]\n"
    "\n"
    "Tests the named targets of z39svr.cfg (names as the tree shows them, or\n"
    "SERVER/DATABASE, as z39batch --chain takes them; none: every target of the list, the\n"
    "shared catalogue first), all at once. For each it finds whether it can be reached and\n"
    "how fast, what a Z39.50 server says of itself in its Init answer, whether it wants a\n"
    "user name, which of the search form's fields it can search, the record syntaxes it\n"
    "gives, the character set of its records and of its index; for SRU the explain\n"
    "record's indexes and schemas. A line per target goes to standard error as each\n"
    "finishes; a CSV report, one row per target in the list's order, to standard output.\n"
    "\n"
    "  --write           show the suggested options (charset=, format=, index.*=), then\n"
    "                    store them on the targets' lines of z39svr.cfg; every other line\n"
    "                    stays as it is\n"
    "  --deadline S      the longest one target is tested (default 15 seconds)\n"
    "  --jobs N          targets tested at the same time (default and most 16)\n"
    "\n"
    "Z39.ini and z39svr.cfg are read from the same places as z39client reads them.\n"
    "Exit status: 0 every target answered, 1 some did not, 64 bad arguments.\n";

// One line for the terminal (UTF-8).
std::string Summary(const z39::ProbeReport& r) {
    std::string line = z39::GbkToUtf8(r.name) + ": ";
    if (!r.connected) return line + "不通 - " + z39::GbkToUtf8(r.failure);
    line += "连接" + (r.connectMs >= 0 ? std::to_string(r.connectMs) + "ms" : std::string("-"));
    line += " 检索" + (r.searchMs >= 0 ? std::to_string(r.searchMs) + "ms" : std::string("-"));
    if (!r.syntaxes.empty()) {
        line += " 格式";
        for (const auto& s : r.syntaxes) line += " " + s;
    }
    if (!r.recordCharset.empty()) line += " 记录" + r.recordCharset;
    if (!r.queryCharset.empty()) line += " 检索词" + r.queryCharset;
    if (r.authenticationNeeded) line += " 需要用户名和密码";
    std::vector<std::string> fields = r.SearchableFields();
    if (!r.fields.empty()) {
        line += " 字段";
        for (const auto& f : fields) line += " " + z39::GbkToUtf8(f);
    }
    const std::string options = z39::Trim(r.SuggestedOptionsText());
    if (!options.empty()) line += " 建议 " + options;
    if (!r.failure.empty()) line += " - " + z39::GbkToUtf8(r.failure);
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> names;
    bool write = false;
    int jobs = 16;
    int deadlineMs = 15000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (arg == "--version") {
            std::cout << "z39probe " << z39::kVersion << "\n";
            return 0;
        } else if (arg == "--write") {
            write = true;
        } else if (arg == "--jobs") {
            jobs = z39::ToNumberOr(value(), 0);
        } else if (arg == "--deadline") {
            deadlineMs = z39::ToNumberOr(value(), 0) * 1000;
        } else if (arg.starts_with("-")) {
            std::cerr << kHelp;
            return 64;
        } else {
            names.push_back(arg);
        }
    }
    if (jobs < 1 || jobs > 16 || deadlineMs < 1000) {
        std::cerr << kHelp;
        return 64;
    }
    // Ctrl-C and SIGTERM end the tests under way at once.
    z39::StopSignals stopSignals;

    const std::string programFolder = z39::ExecutableFolder();
    const z39::ConfigLocation where = z39::ResolveConfigLocation(programFolder);
    const z39::Z39Settings settings =
        z39::LoadSettings(z39::IniFile(where.settingsPath), programFolder, where.defaultMarcPath);
    const std::string listPath = z39::ResolveTargetListPath(where.settingsPath);
    const z39::TargetList list = z39::GetZ39SvrPara(listPath, settings);
    std::vector<z39::ChainTarget> targets;
    std::string error;
    if (names.empty()) {
        for (size_t slot = 1; slot < list.nodes.size() && slot < list.TargetTable.size(); ++slot)
            if (slot == z39::kSharedCatalogueSlot || !list.TargetTable[slot].address.empty())
                targets.push_back(z39::ChainTargetOf(list, static_cast<int>(slot)));
    } else {
        std::vector<std::string> gbkNames;
        for (const auto& n : names) gbkNames.push_back(z39::Utf8ToGbk(n));
        auto resolved = z39::ResolveChain(list, gbkNames, &error);
        if (!resolved) {
            std::cerr << "z39probe: " << z39::GbkToUtf8(error) << std::endl;
            return 64;
        }
        targets = *resolved;
    }

    z39::CancelToken cancel;
    stopSignals.Watch(cancel);
    const std::string work =
        z39::JoinPath(z39::RawTempFolder(), "z39probe-" + std::to_string(::getpid()));
    z39::TargetMemory memory;
    std::vector<z39::ProbeReport> reports(targets.size());
    std::atomic<size_t> next{0};
    std::mutex out;
    std::vector<std::thread> workers;
    for (int w = 0; w < jobs && w < static_cast<int>(targets.size()); ++w) {
        workers.emplace_back([&, w] {
            for (size_t i = next++; i < targets.size(); i = next++) {
                z39::ProbeSetup setup;
                setup.workFolder = z39::JoinPath(work, "t" + std::to_string(i));
                setup.deadlineMs = deadlineMs;
                reports[i] = z39::ProbeTarget(targets[i].profile, settings, setup, memory, cancel);
                reports[i].name = targets[i].name;
                std::lock_guard<std::mutex> lock(out);
                std::cerr << Summary(reports[i]) << std::endl;
            }
            (void)w;
        });
    }
    for (auto& t : workers) t.join();
    stopSignals.Stop();
    z39::RemoveTree(work);

    std::cout << z39::ProbeCsvHeader();
    bool allAnswered = true;
    for (const auto& r : reports) {
        std::cout << z39::ProbeCsvRow(r);
        allAnswered = allAnswered && r.connected && r.failure.empty();
    }
    std::cout.flush();
    if (cancel.cancelled()) return 1;

    if (write) {
        std::vector<z39::TargetEntry> updated;
        for (size_t i = 0; i < targets.size(); ++i) {
            const std::string options = reports[i].SuggestedOptionsText();
            if (options.empty() || targets[i].profile.slot == z39::kSharedCatalogueSlot) continue;
            z39::TargetEntry entry = list.TargetTable[static_cast<size_t>(targets[i].profile.slot)];
            const std::string before = z39::TargetOptionsText(entry);
            reports[i].ApplySuggestions(entry);
            if (z39::TargetOptionsText(entry) == before) continue;
            std::cerr << "写入 " << z39::GbkToUtf8(targets[i].name) << ":"
                      << z39::GbkToUtf8(z39::TargetOptionsText(entry)) << std::endl;
            updated.push_back(entry);
        }
        if (updated.empty()) {
            std::cerr << "z39probe: 没有需要写入的设置" << std::endl;
        } else {
            try {
                const int n = z39::WriteTargetOptions(listPath, updated);
                std::cerr << "z39probe: 已写入 " << listPath << "（" << n << " 行）" << std::endl;
            } catch (const std::exception& e) {
                std::cerr << "z39probe: " << z39::GbkToUtf8(e.what()) << std::endl;
                return 1;
            }
        }
    }
    return allAnswered ? 0 : 1;
}
