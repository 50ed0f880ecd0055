#pragma once

#include <string>
#include <vector>

#include "state/app_state.h"
#include "targets/target_table.h"

namespace z39 {

// The web OPAC's domain label: an entry whose address holds it and whose database is
// "opac" is searched through the web OPAC.
inline constexpr const char* kWebOpacDomainLabel = "nlc";

bool IsWebOpacEntry(const TargetEntry& entry);

// The field names a search row offers for a slot: "题名", "ISBN", and for every slot but
// the shared catalogue also "ISSN", "著者", "出版者", "出版日期".
std::vector<std::string> FieldListFor(int slot);

// A field combo box: its selected position (-1: none) and the text it shows.
struct ComboState {
    int index = -1;
    std::string text;
};

// The combo after its list was rebuilt for `slot`: the text stays, except that for the
// shared catalogue a selection beyond "ISBN" becomes "ISBN". Afterwards no position is
// selected, so a kept text survives later rebuilds unchanged.
ComboState RebuildFieldCombo(const ComboState& before, int slot);

// What a double-click on a database node changes in the search window.
struct SelectionOutcome {
    bool changed = false;  // false: a group or server node, nothing happens
    std::string caption;   // lbNotice
    bool IsWebOpac = false;
    std::vector<std::string> fieldList;
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
    bool IsWebOpac() const { return isWebOpac_; }
    const std::string& caption() const { return list_.caption; }
    // The current slot's entry (an empty entry when none is current).
    const TargetEntry& Current() const { return list_.TargetTable[list_.CurrentTarget]; }

  private:
    TargetList list_;
    bool isWebOpac_ = false;
};

}  // namespace z39
