#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/user_interface.h"

namespace z39 {

// What a search step (first page or further page, any kind of target) leaves for the
// search window to show. The session makes it; the window applies it in one place.
struct SearchOutcome {
    // Set when the step was refused before anything ran (the message box text).
    std::string refusedMessage;

    int64_t total = 0;
    int64_t nextStart = 1;          // shown in edBegin
    std::string countText;          // edNum after the step
    std::vector<std::string> rows;  // lstBooks, rebuilt, every row unticked
    std::vector<int> tickRows;      // rows to tick
    bool keepTicks = false;         // the rows' ticks follow their records instead of clearing
    int selectRow = -1;             // row to select (-1: none)
    bool singleChoice = false;  // run the result list's tick handler (untick all but the selected)
    bool nextEnabled = false;   // btNext
    enum class Focus { kNone, kList, kNext, kSave } focus = Focus::kNone;
    std::string statusMessage;     // empty: leave the status message as it is
    std::string statusDetail;      // shown after it: where a failed step went and why
    std::string hitLabel;          // lbNum text; shown when not empty
    bool searchCompleted = false;  // set the main window's flag
    bool autoSave = false;         // launch query with one hit: press btSaveRec at once
    bool launchFinished = false;   // hide cbAll; btSaveRec becomes "选择或退出.F5"
    bool connectionFailed = false;
    std::string notice;  // a message box shown once the step is applied (GBK); empty: none
    std::vector<UserMessage> alerts;  // message boxes shown first, as the back end gave them
};

struct AppState;

// The completion every back end shares after a first page whose rows, total and next
// start are set: the launch-query ticks and auto-save, the tick and selection of a single
// hit, btNext and the focus, the save button's launch caption, the search-completed flag.
// The status message is the caller's. With `launchTicksFirstRow` a launch query ticks the
// first of several hits too (the web OPAC's rule).
void CompleteFirstPage(SearchOutcome& out, const AppState& state, bool launchTicksFirstRow = false);

// The end of a first page that failed: no rows to act on, but the same closing steps.
void FinishFailedFirstPage(SearchOutcome& out, const AppState& state);

// The completion after a further page: btNext and the focus, the first row selected
// (and in launch-query mode ticked as the only choice).
void CompleteFurtherPage(SearchOutcome& out, const AppState& state);

// A step that reached no server, or lost it: the flag and ConnectionFailedStatus().
void MarkConnectionFailed(SearchOutcome& out);

// The status messages of a search.
std::string ConnectionFailedStatus();  // "与服务器连接不成功，请重试或选择其他目标数据库再试！"
// What the status bar adds to ConnectionFailedStatus(): "[address:port cause]".
std::string FailureDetail(const std::string& where, const std::string& cause);
std::string NoDataStatus();  // "连接成功，没有查询到数据，您可选择其他目标数据库再试！"
std::string FoundStatus(int64_t total);  // "连接服务器成功，共查询到[" total "]条数据！"
std::string ReceivedStatus();            // "连接服务器成功，已接收完数据！"
std::string CancelledStatus();           // "检索已取消。"
// "ISBN[value]的校验位有误（应为X），已按输入的号码检索。", before the search's own status.
std::string WrongCheckDigitStatus(const std::string& value, char check);
// "已显示 shown/total 条": how far the list has come while not every hit is listed.
std::string ShownStatus(int64_t shown, int64_t total);
// Adds ShownStatus to the status of a step that listed records, while some hits are not.
void AddShown(SearchOutcome& out);
std::string HitLabel(int64_t total);               // "共有 " total " 条"
std::string ReceivingStatus(int done, int total);  // "正在接收记录 " done "/" total
std::string EmptyQueryMessage();                   // "请输入查询条件"

}  // namespace z39
