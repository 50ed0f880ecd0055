#pragma once

#include <string>
#include <vector>

#include "common/user_interface.h"
#include "targets/target_table.h"

namespace z39 {

// The target list editor's rows and modes, without the window. Every confirmed change
// is written to the list file at once.
class TargetEditor {
  public:
    // Rows from the table's slots in use, without the shared catalogue; at least one row.
    TargetEditor(const TargetList& list, std::string path);

    const std::vector<TargetEntry>& rows() const { return rows_; }
    int selected() const { return selected_; }
    bool editing() const { return editing_; }
    bool adding() const { return adding_; }

    void Select(int row);
    // Editing a new row: the fields to show ("中国" preset, no authentication).
    TargetEntry Add();
    // Editing the selected row.
    TargetEntry Modify();
    // The selected row again; browsing.
    TargetEntry Cancel();

    // Validates the fields and writes the file with them; only then stores them and goes
    // back to browsing. On refusal: the message and the field to focus, still editing,
    // nothing written. Throws Z39Error when the file cannot be written: rows and mode stay
    // as they were.
    struct Refusal {
        std::string message;
        std::string field;  // db_country ... db_userpass; empty when accepted
    };
    Refusal Confirm(const TargetEntry& fields);

    // Deletes the selected row after asking; refuses the last row. True when deleted.
    // Throws Z39Error when the file cannot be written; the row then stays.
    bool Delete(UserInterface& ui);

    // Targets of the file the table could not hold: written back unchanged after the rows.
    const std::vector<TargetEntry>& beyondTable() const { return beyond_; }

  private:
    // Writes `rows` and the targets beyond the table; throws Z39Error, changing nothing.
    void Write(const std::vector<TargetEntry>& rows) const;
    std::vector<TargetEntry> rows_;
    std::vector<TargetEntry> beyond_;
    std::string path_;
    int selected_ = 0;
    bool editing_ = false;
    bool adding_ = false;
};

}  // namespace z39
