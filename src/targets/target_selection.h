#pragma once

#include <string>
#include <vector>

#include "state/app_state.h"
#include "targets/target_names.h"
#include "targets/target_profile.h"
#include "targets/target_table.h"

namespace z39 {

// What a double-click on a database node changes in the search window.
struct SelectionOutcome {
    bool changed = false;  // false: a group or server node, nothing happens
    std::string caption;   // lbNotice
    bool IsWebOpac = false;
    TargetKind kind = TargetKind::kNone;
};

// The database tree and the current target of the search window.
class TargetSelection {
  public:
    // Reads the list file at `cfgPath` and chooses the first current target: slot 1 under
    // KSDEFAULT, else the first database of the file, then the LASTDATABASE slot when it
    // is in use.
    void Load(const std::string& cfgPath, const Z39Settings& settings);

    // Reads the list again after it was rewritten, without the LASTDATABASE step; the ticks
    // follow their databases' names (a notice, as LoadTicks gives, names those now gone).
    std::string Reload(const std::string& cfgPath, const Z39Settings& settings);

    // Double-click on node `index`. Writes LASTDATABASE to `ini` at once and, for the
    // shared catalogue with a "-" port, forgets the discovered host in `state`.
    // Throws Z39Error when Z39.ini cannot be written.
    SelectionOutcome Select(int index, AppState& state, IniFile& ini);

    // Slot 1 takes the shared catalogue's address and port from the settings.
    void SetSharedCatalogue(const Z39Settings& settings);

    const TargetList& list() const { return list_; }
    int CurrentTarget() const { return list_.CurrentTarget; }
    bool IsWebOpac() const { return kind() == TargetKind::kWebOpac; }
    TargetKind kind() const { return KindOf(CurrentTarget(), Current()); }
    // The current target as a back end takes it.
    TargetProfile CurrentProfile() const { return ProfileOf(CurrentTarget(), Current()); }
    const std::string& caption() const { return list_.caption; }
    // The current slot's entry (an empty entry when none is current).
    const TargetEntry& Current() const { return list_.TargetTable[list_.CurrentTarget]; }

    // The ticked databases, searched all at once while any is ticked. `searchSet` is
    // SEARCHSET: names as the batch's chain takes them, joined by ",". Returns a notice
    // (GBK) naming what the list no longer has, which is dropped; empty when all were found.
    std::string LoadTicks(const std::string& searchSet);
    // Ticks or unticks node `index`; false for a node that is no database.
    bool SetTicked(int index, bool on);
    bool IsTicked(int index) const;
    // Node `index` is a database (one that can be ticked and searched).
    bool IsDatabase(int index) const;
    // The ticked databases' slots, in the order they were ticked (the user's preference).
    const std::vector<int>& ticked() const { return ticked_; }
    // The ticks as SEARCHSET keeps them.
    std::string SearchSetText() const;
    // The ticked databases with their names, in order.
    std::vector<ChainTarget> TickedTargets() const;
    // lbNotice while databases are ticked: "[当前数据库：已勾选N个数据库]".
    std::string TickedCaption() const;

  private:
    TargetList list_;
    std::vector<int> ticked_;
};

}  // namespace z39
