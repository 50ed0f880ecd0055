#include "batch/batch_run.h"

#include <cstdio>
#include <filesystem>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/paths.h"
#include "records/marc_record.h"
#include "records/record_gate.h"
#include "records/record_saver.h"

namespace z39 {
namespace {

std::string CsvField(const std::string& utf8) {
    std::string out = "\"";
    for (char c : utf8) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

}  // namespace

BatchCounts CountRows(const std::vector<BatchRow>& rows) {
    BatchCounts c;
    c.rows = static_cast<int>(rows.size());
    for (const auto& r : rows) {
        switch (r.state) {
            case BatchState::kPending:
                ++c.pending;
                break;
            case BatchState::kFound:
                ++c.found;
                break;
            case BatchState::kSeveral:
                ++c.several;
                break;
            case BatchState::kNotFound:
                ++c.notFound;
                break;
            case BatchState::kInvalid:
                ++c.invalid;
                break;
            case BatchState::kFailed:
                ++c.failed;
                break;
            case BatchState::kDuplicate:
                ++c.duplicate;
                break;
        }
        if (r.saved == SaveMark::kSaved) ++c.saved;
        if (r.saved == SaveMark::kAlreadySaved) ++c.alreadySaved;
        if (r.saved == SaveMark::kRefused) ++c.refused;
    }
    return c;
}

BatchRun::BatchRun(BatchRunSetup setup)
    : setup_(std::move(setup)), journal_(setup_.clock), daily_(setup_.format) {}

std::string BatchRun::Today() const { return setup_.today ? setup_.today() : TodayYyyymmdd(); }

std::string BatchRun::FilePath(const std::string& suffix) const {
    const std::string name = std::filesystem::path(setup_.listPath).stem().string();
    return WorkFolder() + (name.empty() ? std::string("batch") : name) + suffix;
}

std::string BatchRun::WorkFolder() const {
    return setup_.workFolder.empty() ? setup_.marcPath : setup_.workFolder;
}

bool BatchRun::Prepare(std::string* error) {
    auto text = ReadWholeFile(setup_.listPath);
    if (!text) {
        if (error) *error = G("文件[") + setup_.listPath + G("]无法读取！");
        return false;
    }
    rows_.clear();
    for (auto& item : ParseIsbnList(*text)) {
        BatchRow row;
        row.item = std::move(item);
        if (row.item.duplicateOf > 0) {
            row.state = BatchState::kDuplicate;
            row.reason = G("与第") + std::to_string(row.item.duplicateOf) + G("行的ISBN相同");
        }
        rows_.push_back(std::move(row));
    }
    if (rows_.empty()) {
        if (error) *error = G("文件[") + setup_.listPath + G("]中没有ISBN！");
        return false;
    }
    const std::string missing = CheckDownloadFolder(setup_.marcPath, setup_.autoCreateMarcPath);
    if (!missing.empty()) {
        if (error) *error = missing;
        return false;
    }
    if (WorkFolder() != setup_.marcPath) {
        if (!MakeDirectories(WorkFolder())) {
            if (error) *error = G("文件夹[") + WorkFolder() + G("]无法建立！");
            return false;
        }
        // A run stopped while its journal still lay beside the daily files goes on from it.
        const std::string name = FilePath(".journal").substr(WorkFolder().size());
        const std::string old = setup_.marcPath + name;
        if (FileExists(old) && !FileExists(FilePath(".journal")))
            std::rename(old.c_str(), FilePath(".journal").c_str());
    }
    std::vector<std::string> names;
    for (const auto& t : setup_.chain) names.push_back(t.name);
    std::string why;
    if (!journal_.Open(FilePath(".journal"), names, &why)) {
        if (error) *error = G("文件[") + FilePath(".journal") + G("]无法写入！") + why;
        return false;
    }
    restored_ = journal_.Restore(rows_);
    notices_.clear();
    if (!journal_.damage().empty()) notices_.push_back(journal_.damage());
    unfinishedSaves_.clear();
    for (const auto& u : journal_.unfinishedSaves()) unfinishedSaves_[u.key] = u;
    return true;
}

bool BatchRun::SaveRow(size_t i, std::string* error) {
    BatchRow& row = rows_[i];
    const std::string* found = row.RecordToSave();
    if (!found || row.saved != SaveMark::kNotSaved || saveFailed_) return true;
    GatedRecord gated = CheckRecordForSaving(*found);
    if (!gated.ok()) {
        row.saved = SaveMark::kRefused;
        row.reason = gated.reason;
        return true;
    }
    const std::string& record = *gated.record;
    std::string why;
    const std::optional<std::string> inFile = RecordForDailyFile(record, setup_.format, &why);
    if (!inFile) {
        row.saved = SaveMark::kRefused;
        row.reason = G("无法转换为") + DailyFormatName(setup_.format) + G("格式：") + why;
        return true;
    }
    const std::string key = JournalKey(row);
    // A save the last run began: done when the record stands where it was to go.
    if (auto begun = unfinishedSaves_.find(key); begun != unfinishedSaves_.end()) {
        const BatchJournal::UnfinishedSave u = begun->second;
        unfinishedSaves_.erase(begun);
        const std::string path = u.dailyFile.empty()
                                     ? DailyFilePath(setup_.marcPath, Today(), setup_.format)
                                     : u.dailyFile;
        // The file the save went to is read in its own form: a MARCXML one by its name.
        const DailyFormat format = path.ends_with(".xml")                   ? DailyFormat::kMarcXml
                                   : setup_.format == DailyFormat::kMarcXml ? DailyFormat::kGbk
                                                                            : setup_.format;
        DailyFileIndex there(format);
        there.Load(path);
        const bool stands = there.HoldsAt(u.dailyNumber, record);
        // The file moved away (imported) and the line that would say the save ended is
        // among the damaged ones: the save is taken as done rather than made twice.
        const bool takenAsDone = !stands && !FileExists(path) && u.damagedAfter;
        if (stands || takenAsDone) {
            row.saved = SaveMark::kSaved;
            row.dailyNumber = u.dailyNumber;
            if (takenAsDone)
                notices_.push_back(G("ISBN[") + key + G("]的记录在日志损坏前已开始保存到[") + path +
                                   G("]，该文件已不在，按已保存处理，没有再次保存。"));
            return journal_.Saved(row);
        }
    }
    const std::string path = DailyFilePath(setup_.marcPath, Today(), setup_.format);
    LockedDailyFile file(path, setup_.format);
    if (!file.ok()) {
        saveFailed_ = true;
        if (error)
            *error = G("文件[") + path + G("]写入失败") + DailyFileProblem(path) +
                     G("，编目数据没有保存！");
        return false;
    }
    // Under the lock: what any writer appended meanwhile is read first.
    daily_.CatchUp(file);
    if (const int number = daily_.Find(record, row.item.isbn)) {
        row.saved = SaveMark::kAlreadySaved;
        row.dailyNumber = number;
        return journal_.Saved(row);
    }
    const int number = daily_.size() + 1;
    if (!journal_.Saving(row, number, path) || !file.Append(*inFile)) {
        saveFailed_ = true;
        if (error) *error = G("文件[") + path + G("]写入失败，编目数据没有保存！");
        return false;
    }
    daily_.CatchUp(file);
    row.saved = SaveMark::kSaved;
    row.dailyNumber = number;
    return journal_.Saved(row);
}

bool BatchRun::Execute(const BatchBackendsFactory& factory, CancelToken& cancel,
                       const std::function<void(size_t)>& changed, std::string* error) {
    BatchEngine engine(setup_.chain, setup_.settings, factory, setup_.limits, setup_.best);
    bool ok = true;
    engine.Run(
        rows_,
        [&](size_t i) {
            if (!journal_.Searched(rows_[i]) && ok) {
                ok = false;
                if (error) *error = G("文件[") + FilePath(".journal") + G("]写入失败！");
            }
            if (changed) changed(i);
        },
        [&](size_t i) {
            if (!setup_.saveAsFound) return;
            if (!SaveRow(i, ok ? error : nullptr)) ok = false;
            if (changed) changed(i);
        },
        cancel);
    return ok;
}

bool BatchRun::Choose(size_t i, int candidate, std::string* error) {
    if (i >= rows_.size()) return false;
    BatchRow& row = rows_[i];
    if (row.state != BatchState::kSeveral || row.saved != SaveMark::kNotSaved || candidate < 0 ||
        static_cast<size_t>(candidate) >= row.records.size())
        return false;
    row.chosen = candidate;
    if (!journal_.Chosen(row)) {
        if (error) *error = G("文件[") + FilePath(".journal") + G("]写入失败！");
        return false;
    }
    return !setup_.saveAsFound || SaveRow(i, error);
}

bool BatchRun::SaveAll(std::string* error) {
    saveFailed_ = false;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (!SaveRow(i, error)) return false;
    return true;
}

bool BatchRun::Finish(std::string* error) {
    // A run with rows left (cancelled) stays open, to go on next time.
    const bool cancelled = CountRows(rows_).pending > 0;
    if (!cancelled && !journal_.Ended()) {
        if (error) *error = G("文件[") + FilePath(".journal") + G("]写入失败！");
        return false;
    }
    for (const auto& [suffix, text] :
         {std::pair<std::string, std::string>{".report.csv", BatchReportCsv(rows_, cancelled)},
          {".notfound.txt", NotFoundList(rows_)}}) {
        if (!ReplaceFileAtomically(FilePath(suffix), text)) {
            if (error) *error = G("文件[") + FilePath(suffix) + G("]写入失败！");
            return false;
        }
    }
    return true;
}

std::string BatchReportHeader() {
    return "检索的ISBN,状态,目标数据库,题名,责任者,出版地,出版者,出版日期,ISBN,日文件序号,原因";
}

std::string BatchReportCsv(const std::vector<BatchRow>& rows, bool cancelled) {
    std::string out = "\xEF\xBB\xBF" + BatchReportHeader() + "\r\n";
    for (const auto& row : rows) {
        const std::string* record = row.RecordToSave();
        const RecordSummary summary = record ? SummariseRecord(*record) : RecordSummary{};
        out += CsvField(GbkToUtf8(row.item.valid() ? row.item.isbn : row.item.input)) + "," +
               CsvField(GbkToUtf8(StateText(row.state, row.saved, cancelled))) + "," +
               CsvField(GbkToUtf8(row.target));
        for (const std::string* part : {&summary.title, &summary.responsibility, &summary.place,
                                        &summary.publisher, &summary.date, &summary.isbn})
            out += "," + CsvField(GbkToUtf8(*part));
        out += "," + (row.dailyNumber > 0 ? std::to_string(row.dailyNumber) : std::string()) + "," +
               CsvField(GbkToUtf8(row.reason)) + "\r\n";
    }
    return out;
}

std::string NotFoundList(const std::vector<BatchRow>& rows) {
    std::string out;
    for (const auto& row : rows)
        if (row.state == BatchState::kNotFound || row.state == BatchState::kFailed)
            out += row.item.isbn + "\r\n";
    return out;
}

}  // namespace z39
