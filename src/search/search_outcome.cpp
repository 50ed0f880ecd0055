#include "search/search_outcome.h"

#include <algorithm>

#include "common/gbk_text.h"
#include "state/app_state.h"

namespace z39 {

void FinishFailedFirstPage(SearchOutcome& out, const AppState& state) {
    if (!state.launch.launchQuery.empty()) {
        out.launchFinished = true;
        out.focus = SearchOutcome::Focus::kSave;
    } else if (out.nextEnabled) {
        out.focus = SearchOutcome::Focus::kNext;
    }
    out.searchCompleted = true;
}

void CompleteFirstPage(SearchOutcome& out, const AppState& state, bool launchTicksFirstRow) {
    const LaunchMode& launch = state.launch;
    const bool tickFirst =
        out.rows.size() == 1 || (launchTicksFirstRow && out.total > 0 && !out.rows.empty());
    if (!launch.launchQuery.empty() && tickFirst) {
        out.tickRows = {0};
        if (out.total == 1 && !launch.keepFullWindow && !state.searchCompleted) {
            out.autoSave = true;
            return;
        }
    }
    if (out.total == 1 && out.rows.size() == 1) {
        out.tickRows = {0};
        out.selectRow = 0;
    }
    if (out.total < out.nextStart) {
        out.focus = SearchOutcome::Focus::kList;
        if (!out.rows.empty()) out.selectRow = 0;
    } else {
        out.nextEnabled = true;
    }
    FinishFailedFirstPage(out, state);
}

void CompleteFurtherPage(SearchOutcome& out, const AppState& state) {
    if (out.total == 1 && out.rows.size() == 1) {
        out.tickRows = {0};
        out.selectRow = 0;
    }
    if (out.total < out.nextStart) {
        out.focus = SearchOutcome::Focus::kList;
    } else {
        out.nextEnabled = true;
        out.focus = SearchOutcome::Focus::kNext;
    }
    if (!out.rows.empty()) {
        out.selectRow = 0;
        if (!state.launch.launchQuery.empty()) {
            out.tickRows = {0};
            out.singleChoice = true;
        }
    }
}

void MarkConnectionFailed(SearchOutcome& out) {
    out.connectionFailed = true;
    out.statusMessage = ConnectionFailedStatus();
}

std::string ReceivingStatus(int done, int total) {
    return G("正在接收记录 ") + std::to_string(done) + "/" + std::to_string(total);
}

std::string FailureDetail(const std::string& where, const std::string& cause) {
    if (where.empty() && cause.empty()) return {};
    return "[" + where + (where.empty() || cause.empty() ? "" : " ") + cause + "]";
}

std::string ConnectionFailedStatus() {
    return G("与服务器连接不成功，请重试或选择其他目标数据库再试！");
}
std::string NoDataStatus() { return G("连接成功，没有查询到数据，您可选择其他目标数据库再试！"); }
std::string FoundStatus(int64_t total) {
    return G("连接服务器成功，共查询到[") + std::to_string(total) + G("]条数据！");
}
std::string CancelledStatus() { return G("检索已取消。"); }

std::string WrongCheckDigitStatus(const std::string& value, char check) {
    return G("ISBN[") + value + G("]的校验位有误（应为") + std::string(1, check) +
           G("），已按输入的号码检索。");
}
std::string ReceivedStatus() { return G("连接服务器成功，已接收完数据！"); }
std::string ShownStatus(int64_t shown, int64_t total) {
    return G("已显示 ") + std::to_string(shown) + "/" + std::to_string(total) + G(" 条");
}
void AddShown(SearchOutcome& out) {
    if (out.connectionFailed || out.total < 1 || out.statusMessage.empty()) return;
    const int64_t shown = std::max<int64_t>(0, out.nextStart - 1);
    if (shown < out.total) out.statusMessage += ShownStatus(shown, out.total);
}
std::string HitLabel(int64_t total) { return G("共有 ") + std::to_string(total) + G(" 条"); }
std::string EmptyQueryMessage() { return G("请输入查询条件"); }

}  // namespace z39
