// z39batch LIST [--chain NAME,...] [--out FOLDER]: one record per ISBN of LIST from an
// ordered chain of targets, saved to the daily file, with a report on standard output.
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <optional>
#include <thread>

#include "app/config_location.h"
#include "batch/batch_backends.h"
#include "batch/batch_chain.h"
#include "batch/batch_run.h"
#include "common/gbk_text.h"
#include "common/ini_file.h"
#include "common/paths.h"
#include "common/stop_signals.h"
#include "common/version.h"
#include "records/record_saver.h"
#include "state/working_files.h"
#include "state/z39_settings.h"
#include "targets/target_table.h"

namespace {

constexpr const char* kHelp =
    "usage: z39batch LIST [--chain NAME,...] [--best] [--out FOLDER] [--format F] [--jobs N]\n"
    "                [--per-target N]\n"
    "\n"
    "Searches each ISBN of LIST (one per line; blanks, hyphens, ISBN-10, comment lines\n"
    "starting with # and vendor CSV or TSV files are fine; GBK or UTF-8) in the targets\n"
    "of the chain, in order, until one has it. One record is saved to today's daily file\n"
    "(marcYYYYMMDD.txt, or .xml, as F5 saves); several are kept for review in the client.\n"
    "\n"
    "  --chain NAME,...  databases as the client's tree shows them, in order; ks_lib is\n"
    "                    the shared catalogue; SERVER/DATABASE where two share a name.\n"
    "                    Default: ks_lib, then the current target of z39svr.cfg.\n"
    "  --best            ask every database of the chain and take the fullest record (the\n"
    "                    most cataloguing essentials, then the most fields; ties go to the\n"
    "                    chain's order); the report's target column names its source\n"
    "  --out FOLDER      the download folder (default: MARCPATH of Z39.ini)\n"
    "  --format F        the daily file's form for this run: GBK, UTF-8 (ISO 2709 in\n"
    "                    UTF-8) or MARCXML (marcYYYYMMDD.xml); default: MARCFORMAT of\n"
    "                    Z39.ini, else GBK\n"
    "  --jobs N          ISBNs searched at once (default 8)\n"
    "  --per-target N    requests to one target at a time (default 4)\n"
    "  --help, --version this text; the version\n"
    "\n"
    "Z39.ini and z39svr.cfg are read from the same places as z39client reads them.\n"
    "A run that stops (Ctrl-C, a crash, a power cut) goes on where it stopped when it is\n"
    "started again with the same list: LIST.journal in the download folder says how far\n"
    "it got. The report (CSV) goes to standard output and to LIST.report.csv, the ISBNs\n"
    "no target had to LIST.notfound.txt. Progress goes to standard error.\n"
    "\n"
    "Every record passes the save check before it is written (well-formed ISO 2709, valid\n"
    "GBK, within ISO 2709's limits); a record that fails it is not saved and its row\n"
    "reads \"refused\" with the reason. Runs of other lists into the same folder take turns\n"
    "on the daily file and never save a book it already holds.\n"
    "\n"
    "Exit status: 0 when every ISBN was processed, whatever was found; 1 when the run\n"
    "failed (a file that cannot be read or written, an unknown target); 2 when it was\n"
    "interrupted; 3 when another run is working on the same list; 64 for a wrong command\n"
    "line.\n";

// The summary line, in the words of the window's.
std::string Progress(const z39::BatchCounts& c) {
    std::string line = "已检索 " + std::to_string(c.rows - c.pending) + "/" +
                       std::to_string(c.rows) + "  已找到 " + std::to_string(c.found) + "  多条 " +
                       std::to_string(c.several) + "  未找到 " + std::to_string(c.notFound) +
                       "  连接失败 " + std::to_string(c.failed) + "  ISBN无效 " +
                       std::to_string(c.invalid) + "  已保存 " + std::to_string(c.saved) +
                       "  已保存过 " + std::to_string(c.alreadySaved);
    if (c.duplicate > 0) line += "  重复 " + std::to_string(c.duplicate);
    if (c.refused > 0) line += "  未通过检查 " + std::to_string(c.refused);
    return line;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string list, chainText, out, formatText;
    bool formatGiven = false;
    z39::BatchLimits limits;
    bool best = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (arg == "--version") {
            std::cout << "z39batch " << z39::kVersion << "\n";
            return 0;
        } else if (arg == "--chain") {
            chainText = value();
        } else if (arg == "--out") {
            out = value();
        } else if (arg == "--format") {
            formatText = value();
            formatGiven = true;
        } else if (arg == "--best") {
            best = true;
        } else if (arg == "--jobs") {
            limits.total = z39::ToNumberOr(value(), 0);
        } else if (arg == "--per-target") {
            limits.perTarget = z39::ToNumberOr(value(), 0);
        } else if (arg.starts_with("-") || !list.empty()) {
            std::cerr << kHelp;
            return 64;
        } else {
            list = arg;
        }
    }
    if (list.empty() || limits.total < 1 || limits.perTarget < 1) {
        std::cerr << kHelp;
        return 64;
    }
    // Ctrl-C and SIGTERM end the run between steps: read on a thread of their own.
    z39::StopSignals stopSignals;

    const std::string programFolder = z39::ExecutableFolder();
    const z39::ConfigLocation where = z39::ResolveConfigLocation(programFolder);
    z39::Z39Settings settings =
        z39::LoadSettings(z39::IniFile(where.settingsPath), programFolder, where.defaultMarcPath);
    const z39::TargetList targets =
        z39::GetZ39SvrPara(z39::ResolveTargetListPath(where.settingsPath), settings);
    std::string error;
    if (formatGiven) {
        if (!z39::DailyFormatFromName(formatText) || formatText.empty()) {
            std::cerr << "z39batch: --format " << formatText
                      << "：日记录文件格式只能是 GBK、UTF-8 或 MARCXML" << std::endl;
            return 64;
        }
        settings.MARCFORMAT = formatText;
    }
    const std::optional<z39::DailyFormat> format = z39::SettingsDailyFormat(settings, &error);
    if (!format) {
        std::cerr << "z39batch: " << z39::GbkToUtf8(error) << std::endl;
        return 1;
    }
    std::vector<z39::ChainTarget> chain;
    if (chainText.empty()) {
        chain = z39::DefaultChain(targets);
    } else {
        auto resolved =
            z39::ResolveChain(targets, z39::SplitNames(z39::Utf8ToGbk(chainText)), &error);
        if (!resolved) {
            std::cerr << "z39batch: " << z39::GbkToUtf8(error) << std::endl;
            return 1;
        }
        chain = *resolved;
    }
    z39::BatchRunSetup setup;
    setup.listPath = list;
    setup.marcPath = out.empty() ? settings.MARCPATH : z39::JoinPath(out, "");
    if (out.empty() && where.createMarcFolder) setup.autoCreateMarcPath = where.defaultMarcPath;
    setup.chain = chain;
    setup.settings = settings;
    setup.limits = limits;
    setup.best = best;
    setup.format = *format;
    z39::BatchRun run(setup);
    if (!run.Prepare(&error)) {
        std::cerr << "z39batch: " << z39::GbkToUtf8(error) << std::endl;
        return run.busy() ? 3 : 1;
    }
    size_t noticesShown = 0;
    auto showNotices = [&] {
        for (; noticesShown < run.notices().size(); ++noticesShown)
            std::cerr << "z39batch: " << z39::GbkToUtf8(run.notices()[noticesShown]) << std::endl;
    };
    showNotices();
    z39::WorkingFiles work = z39::InitWorkingFiles(z39::RawTempFolder());
    if (work.privateFolder.empty()) {
        std::cerr << "z39batch: 无法在 " << z39::RawTempFolder() << " 中建立工作目录" << std::endl;
        return 1;
    }
    z39::CancelToken cancel;
    stopSignals.Watch(cancel);

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    std::string names;
    for (const auto& t : chain) names += (names.empty() ? "" : ", ") + z39::GbkToUtf8(t.name);
    std::cerr << "z39batch: 共 " << run.rows().size() << " 行，依次检索：" << names << std::endl;
    if (run.restored() > 0)
        std::cerr << "z39batch: 接着上次中断的检索，已有 " << run.restored() << " 行检索过"
                  << std::endl;
    size_t reported = 0;
    // The counts line on a terminal: counting goes over every row, so it is redrawn a few
    // times a second, not after each of a million rows.
    auto lastDrawn = std::chrono::steady_clock::time_point{};
    const bool ok = run.Execute(
        z39::RealBatchBackends(work.privateFolder), cancel,
        [&](size_t) {
            if (terminal) {
                const auto now = std::chrono::steady_clock::now();
                if (now - lastDrawn < std::chrono::milliseconds(200)) return;
                lastDrawn = now;
                std::cerr << "\r" << Progress(z39::CountRows(run.rows())) << "\033[K" << std::flush;
                return;
            }
            // Plain lines: each row once, in list order, as it is settled.
            while (reported < run.rows().size() &&
                   (run.rows()[reported].searched() &&
                    (run.rows()[reported].RecordToSave() == nullptr ||
                     run.rows()[reported].saved != z39::SaveMark::kNotSaved))) {
                const z39::BatchRow& row = run.rows()[reported];
                std::cerr << ++reported << "/" << run.rows().size() << " "
                          << (row.item.valid() ? row.item.isbn : z39::GbkToUtf8(row.item.input))
                          << " " << z39::GbkToUtf8(z39::StateText(row.state, row.saved))
                          << (row.target.empty() ? "" : " " + z39::GbkToUtf8(row.target))
                          << (row.reason.empty() ? "" : " (" + z39::GbkToUtf8(row.reason) + ")")
                          << std::endl;
            }
        },
        &error);
    if (terminal)
        std::cerr << "\r" << Progress(z39::CountRows(run.rows())) << "\033[K" << std::endl;
    stopSignals.Stop();
    z39::CleanupWorkingFiles(work);
    std::string finishError;
    const bool finished = run.Finish(&finishError);
    std::string report = z39::BatchReportCsv(run.rows(), z39::CountRows(run.rows()).pending > 0);
    std::cout << report.substr(3) << std::flush;  // without the byte-order mark
    showNotices();
    std::cerr << "z39batch: " << Progress(z39::CountRows(run.rows())) << std::endl;
    if (!ok || !finished) {
        std::cerr << "z39batch: " << z39::GbkToUtf8(ok ? finishError : error) << std::endl;
        return 1;
    }
    if (stopSignals.interrupted() || z39::CountRows(run.rows()).pending > 0) {
        std::cerr << "z39batch: 已中断；用同一个清单再运行一次即可接着检索" << std::endl;
        return 2;
    }
    return 0;
}
