#pragma once

#include <string>
#include <vector>

#include "state/app_state.h"
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

    // Reads the list again after it was rewritten, without the LASTDATABASE step.
    void Reload(const std::string& cfgPath, const Z39Settings& settings);

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

  private:
    TargetList list_;
};

}  // namespace z39
