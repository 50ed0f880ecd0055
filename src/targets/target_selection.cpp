#include "targets/target_selection.h"

#include "common/gbk_text.h"

namespace z39 {

void TargetSelection::Load(const std::string& cfgPath, const Z39Settings& settings) {
    list_ = GetZ39SvrPara(cfgPath, settings);
    int last = settings.LASTDATABASE;
    if (settings.KSDEFAULT != 1 && last >= 0 && last < list_.TargetNodeCount &&
        !list_.TargetTable[last].address.empty()) {
        list_.CurrentTarget = last;
        list_.caption = TargetCaption(list_.TargetTable[last]);
    }
}

void TargetSelection::Reload(const std::string& cfgPath, const Z39Settings& settings) {
    list_ = GetZ39SvrPara(cfgPath, settings);
}

void TargetSelection::SetSharedCatalogue(const Z39Settings& settings) {
    list_.TargetTable[kSharedCatalogueSlot].address = settings.KSIP;
    list_.TargetTable[kSharedCatalogueSlot].port = settings.KSPORT;
}

SelectionOutcome TargetSelection::Select(int index, AppState& state, IniFile& ini) {
    SelectionOutcome out;
    if (index < 0 || index >= list_.TargetNodeCount || list_.TargetTable[index].address.empty())
        return out;
    list_.CurrentTarget = index;
    list_.caption = TargetCaption(list_.TargetTable[index]);
    out.changed = true;
    out.caption = list_.caption;
    out.kind = kind();
    out.IsWebOpac = IsWebOpac();
    ini.WriteString(SystemSection(), "LASTDATABASE", std::to_string(index));
    if (out.kind == TargetKind::kSharedCatalogue && state.settings.KSPORT.starts_with("-"))
        state.discoveredHost.clear();
    return out;
}

}  // namespace z39
