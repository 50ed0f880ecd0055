#pragma once

#include <cstddef>
#include <vector>

namespace z39 {

// The ticks of the result list and the rules that change them, without a window: row i
// holds the record numbered recordNumbers[i]. The window copies ticks() into its check
// boxes and reports the user's clicks here.
class ResultListTicks {
  public:
    // A rebuilt list (a new page): these records, every row unticked.
    void Reset(std::vector<int> recordNumbers);

    // The same records in another order (the sort setting changed): each tick stays with
    // its record. Records new to the list come unticked.
    void Reorder(std::vector<int> recordNumbers);

    size_t size() const { return ticks_.size(); }
    const std::vector<bool>& ticks() const { return ticks_; }
    const std::vector<int>& recordNumbers() const { return records_; }
    bool Ticked(int row) const;
    // The row showing `recordNumber`; -1 when none does.
    int RowOf(int recordNumber) const;

    // A click on a tick box, or the space bar: sets the row's tick. In launch-query mode
    // only one row may be ticked, so every other row is unticked.
    void Set(int row, bool on, bool launchQuery);

    // cbAll: every row ticked or unticked.
    void SetAll(bool on);

    // After saving: the rows written are unticked, the others keep their ticks.
    void Untick(const std::vector<int>& rows);

    // The row a hot key acts on: top row + 0..9 for digits, + 10..35 for letters A..Z in
    // either case; -1 for another key or a row past the end.
    int HotKeyRow(char key, int topRow) const;

    // What a hot key did: the row it toggled (-1: none), whether that row is to be
    // selected (it is now ticked) and whether saving follows (launch-query mode).
    struct HotKeyResult {
        int row = -1;
        bool select = false;
        bool save = false;
    };
    HotKeyResult HotKey(char key, int topRow, bool launchQuery);

    // Enter in launch-query mode: the selected row alone is ticked (none when -1); saving
    // follows.
    void ChooseOnly(int selectedRow);

  private:
    std::vector<int> records_;
    std::vector<bool> ticks_;
};

}  // namespace z39
