#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "records/daily_format.h"
#include "records/record_store.h"
#include "records/result_index.h"
#include "state/app_state.h"
#include "state/hand_off_store.h"

namespace z39 {

// What saving the ticked rows did, for the window to show.
struct SaveResult {
    bool stopped = false;        // nothing was saved (missing download folder)
    std::vector<int> savedRows;  // rows to untick
    int saved = 0;
    int failed = 0;                     // rows that stay ticked: not written
    int refused = 0;                    // rows that stay ticked: the record failed the check
    std::vector<int> skippedRows;       // rows already in the daily file, not saved again
    std::vector<std::string> messages;  // message boxes to show, in order (GBK)
    bool exitSystem = false;            // "PleaseExitThisSystem" was posted
};

// The daily record file: MARCPATH + "marc" + yyyymmdd + ".txt" (".xml" for MARCXML).
std::string DailyFilePath(const std::string& marcPath, const std::string& yyyymmdd,
                          DailyFormat format = DailyFormat::kGbk);

// The daily file's format the settings ask for (MARCFORMAT); nothing, with the message
// (GBK) in `why`, when the setting names no format.
std::optional<DailyFormat> SettingsDailyFormat(const Z39Settings& settings, std::string* why);

// Today as yyyymmdd in local time.
std::string TodayYyyymmdd();

// Empty when records may be saved under `marcPath`, else the message saying its folder is
// missing (the folder is made first when `marcPath` is the automatic default).
std::string CheckDownloadFolder(const std::string& marcPath, const std::string& autoCreateMarcPath);

// Appends one record, as a file of `format` holds it (RecordForDailyFile), to a daily
// file under its lock; false when it could not be written (the file then stays as it was).
bool AppendToDailyFile(const std::string& dailyFile, const std::string& record,
                       DailyFormat format = DailyFormat::kGbk);

// Saves the ticked rows (btSaveRec). Interactive: appends each record to the daily file in
// the format MARCFORMAT names (the date is taken per record); a record that cannot be
// converted to it is refused like one the save check refuses. The hand-off is GBK always. Launch
// query: hands the record over through the hand-off store (query from the store) or lib.tmp (query
// from the command line), then posts "PleaseExitThisSystem". Each record passes the save check
// first; one it refuses is not written, and the message names it and says why. A record that cannot
// be written or is refused leaves its row ticked and is reported; the success message counts only
// records written.
//
// Interactively, ticked records today's daily file already holds (the same bytes, or a
// record with the same ISBN in 010/020 $a) are counted first; `saveAgain(count, file)`, when
// given, is asked once whether to save them again, and when it says no only the others are
// saved (those rows are unticked). The success message names the file when it was written.
SaveResult SaveTickedRecords(
    AppState& state, const ResultIndex& index, RecordStore& store, HandOffStore& handOff,
    const std::vector<bool>& ticked, const std::function<std::string()>& today = TodayYyyymmdd,
    const std::function<bool(int count, const std::string& file)>& saveAgain = {});

// The question F5 asks about records already saved today (GBK).
std::string SaveAgainQuestion(int count, const std::string& file);

}  // namespace z39
