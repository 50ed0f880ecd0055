#include "records/record_saver.h"

#include <ctime>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "records/daily_file.h"
#include "records/record_gate.h"
#include "state/launch_mode.h"

namespace z39 {

std::string DailyFilePath(const std::string& marcPath, const std::string& yyyymmdd,
                          DailyFormat format) {
    return marcPath + "marc" + yyyymmdd + DailyFileSuffix(format);
}

std::optional<DailyFormat> SettingsDailyFormat(const Z39Settings& settings, std::string* why) {
    const std::optional<DailyFormat> format = DailyFormatFromName(settings.MARCFORMAT);
    if (!format && why)
        *why = G("Z39.ini中的MARCFORMAT=[") + settings.MARCFORMAT +
               G("]不是GBK、UTF-8或MARCXML，记录没有保存！请在参数配置中选择保存格式。");
    return format;
}

std::string TodayYyyymmdd() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

std::string CheckDownloadFolder(const std::string& marcPath,
                                const std::string& autoCreateMarcPath) {
    if (marcPath.empty()) return {};
    std::string folder = marcPath.substr(0, marcPath.size() - 1);
    if (marcPath == autoCreateMarcPath) MakeDirectories(folder);
    if (DirectoryExists(folder.empty() ? "/" : folder)) return {};
    return G("目录[") + folder + G("]不存在！请先配置好参数！");
}

bool AppendToDailyFile(const std::string& dailyFile, const std::string& record,
                       DailyFormat format) {
    const std::optional<std::string> converted = RecordForDailyFile(record, format);
    if (!converted) return false;
    LockedDailyFile file(dailyFile, format);
    return file.Append(*converted);
}

std::string SaveAgainQuestion(int count, const std::string& file) {
    return G("有[") + std::to_string(count) + G("]条打钩的记录今天已经保存在文件[") + file +
           G("]中，还要再保存一次吗？\r\n选“否”只保存其余的记录。");
}

SaveResult SaveTickedRecords(AppState& state, const ResultIndex& index, RecordStore& store,
                             HandOffStore& handOff, const std::vector<bool>& ticked,
                             const std::function<std::string()>& today,
                             const std::function<bool(int, const std::string&)>& saveAgain) {
    SaveResult result;
    const bool launch = !state.launch.launchQuery.empty();
    const std::string& marcPath = state.settings.MARCPATH;
    DailyFormat format = DailyFormat::kGbk;
    if (launch) {
        DeleteFileIfExists(state.files.handOffPath);
        if (!state.launch.handOff && PathExists(state.files.handOffPath)) {
            // Whatever is there is not ours to hand back: nothing goes to the host.
            result.messages.push_back(HandOffBlockedMessage(state.files.handOffPath));
            state.exitCode = 1;
            state.windowCommand = kExitSystemCommand;
            result.exitSystem = true;
            return result;
        }
    } else {
        std::string missing = CheckDownloadFolder(marcPath, state.autoCreateMarcPath);
        std::optional<DailyFormat> chosen = SettingsDailyFormat(state.settings, &missing);
        if (!missing.empty()) {
            result.stopped = true;
            result.messages.push_back(missing);
            return result;
        }
        format = *chosen;
    }
    // Records today's file holds already: asked about once, before anything is written.
    std::vector<bool> already(ticked.size(), false);
    if (!launch && saveAgain) {
        DailyFileIndex daily(format);
        const std::string file = DailyFilePath(marcPath, today(), format);
        daily.Load(file);
        int count = 0;
        for (size_t row = 0; row < ticked.size() && row < index.size(); ++row) {
            if (!ticked[row]) continue;
            GatedRecord gated = CheckRecordForSaving(store.LoadRecord(index.RecordNumberAt(row)));
            if (gated.ok() && daily.Find(*gated.record, "") > 0) {
                already[row] = true;
                ++count;
            }
        }
        if (count == 0 || saveAgain(count, file)) already.assign(ticked.size(), false);
    }
    std::string destination;
    for (size_t row = 0; row < ticked.size() && row < index.size(); ++row) {
        if (!ticked[row]) continue;
        if (already[row]) {
            result.skippedRows.push_back(static_cast<int>(row));
            continue;
        }
        std::string record = store.LoadRecord(index.RecordNumberAt(row));
        bool written = false;
        if (!record.empty()) {
            GatedRecord gated = CheckRecordForSaving(record);
            if (!gated.ok()) {
                // Not written and not counted as a write failure: the row stays ticked
                // and the user hears which record and why.
                result.messages.push_back(RefusedRecordText(record, gated.reason));
                ++result.refused;
                continue;
            }
            record = std::move(*gated.record);
            std::string why;
            if (!launch && !RecordForDailyFile(record, format, &why)) {
                // What cannot be written as the daily file's format asks is not saved,
                // and the user hears which record.
                result.messages.push_back(RefusedRecordText(
                    record, G("无法转换为") + DailyFormatName(format) + G("格式：") + why));
                ++result.refused;
                continue;
            }
        }
        if (record.empty()) {
            // Nothing to save is not a saved record: the row stays ticked and is counted
            // as a failure, like a write error.
            if (destination.empty())
                destination =
                    launch ? (state.launch.handOff ? handOff.path() : state.files.handOffPath)
                           : DailyFilePath(marcPath, today(), format);
        } else if (!launch) {
            destination = DailyFilePath(marcPath, today(), format);
            written = AppendToDailyFile(destination, record, format);
        } else if (state.launch.handOff) {
            destination = handOff.path();
            written = handOff.SetHandOffValue(kHandOffOutputName, record);
        } else {
            destination = state.files.handOffPath;
            written = ReplaceFileAtomically(destination, record + "\r\n");
        }
        if (written) {
            result.savedRows.push_back(static_cast<int>(row));
            ++result.saved;
        } else {
            ++result.failed;
        }
    }
    if (result.failed > 0) {
        result.messages.push_back(G("文件[") + destination + G("]写入失败") +
                                  DailyFileProblem(destination) + G("，有[") +
                                  std::to_string(result.failed) + G("]条编目数据没有保存！"));
    }
    if (launch) {
        if (result.failed > 0 || result.refused > 0) state.exitCode = 1;
        state.windowCommand = kExitSystemCommand;
        result.exitSystem = true;
    } else {
        std::string done = G("已成功保存[") + std::to_string(result.saved) + G("]条编目数据");
        if (result.saved > 0) done += G("，保存在文件[") + destination + G("]中");
        result.messages.push_back(done);
    }
    return result;
}

}  // namespace z39
