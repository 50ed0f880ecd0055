#include "records/result_list_ticks.h"

#include <unordered_set>

namespace z39 {

void ResultListTicks::Reset(std::vector<int> recordNumbers) {
    records_ = std::move(recordNumbers);
    ticks_.assign(records_.size(), false);
}

void ResultListTicks::Reorder(std::vector<int> recordNumbers) {
    std::unordered_set<int> ticked;
    for (size_t i = 0; i < records_.size(); ++i)
        if (ticks_[i]) ticked.insert(records_[i]);
    records_ = std::move(recordNumbers);
    ticks_.assign(records_.size(), false);
    for (size_t i = 0; i < records_.size(); ++i) ticks_[i] = ticked.count(records_[i]) > 0;
}

bool ResultListTicks::Ticked(int row) const {
    return row >= 0 && static_cast<size_t>(row) < ticks_.size() && ticks_[static_cast<size_t>(row)];
}

int ResultListTicks::RowOf(int recordNumber) const {
    for (size_t i = 0; i < records_.size(); ++i)
        if (records_[i] == recordNumber) return static_cast<int>(i);
    return -1;
}

void ResultListTicks::Set(int row, bool on, bool launchQuery) {
    if (row < 0 || static_cast<size_t>(row) >= ticks_.size()) return;
    if (launchQuery) ticks_.assign(ticks_.size(), false);
    ticks_[static_cast<size_t>(row)] = on;
}

void ResultListTicks::SetAll(bool on) { ticks_.assign(ticks_.size(), on); }

void ResultListTicks::Untick(const std::vector<int>& rows) {
    for (int row : rows)
        if (row >= 0 && static_cast<size_t>(row) < ticks_.size())
            ticks_[static_cast<size_t>(row)] = false;
}

int ResultListTicks::HotKeyRow(char key, int topRow) const {
    int k = -1;
    if (key >= '0' && key <= '9') k = key - '0';
    if (key >= 'A' && key <= 'Z') k = key - 'A' + 10;
    if (key >= 'a' && key <= 'z') k = key - 'a' + 10;
    if (k < 0 || topRow < 0) return -1;
    int row = topRow + k;
    return static_cast<size_t>(row) < ticks_.size() ? row : -1;
}

ResultListTicks::HotKeyResult ResultListTicks::HotKey(char key, int topRow, bool launchQuery) {
    HotKeyResult result;
    result.row = HotKeyRow(key, topRow);
    if (result.row < 0) return result;
    bool on = !ticks_[static_cast<size_t>(result.row)];
    Set(result.row, on, launchQuery);
    result.select = on;
    result.save = launchQuery;
    return result;
}

void ResultListTicks::ChooseOnly(int selectedRow) {
    ticks_.assign(ticks_.size(), false);
    if (selectedRow >= 0 && static_cast<size_t>(selectedRow) < ticks_.size())
        ticks_[static_cast<size_t>(selectedRow)] = true;
}

}  // namespace z39
