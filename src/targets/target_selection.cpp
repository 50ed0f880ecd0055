#include "targets/target_selection.h"

#include "common/gbk_text.h"

namespace z39 {

bool IsWebOpacEntry(const TargetEntry& entry) {
    return LowerAscii(entry.address).find(kWebOpacDomainLabel) != std::string::npos &&
           LowerAscii(entry.database) == "opac";
}

std::vector<std::string> FieldListFor(int slot) {
    std::vector<std::string> fields = {G("题名"), "ISBN"};
    if (slot != kSharedCatalogueSlot) {
        for (const char* f : {"ISSN", "著者", "出版者", "出版日期"}) fields.push_back(G(f));
    }
    return fields;
}

ComboState RebuildFieldCombo(const ComboState& before, int slot) {
    // A rebuilt list has no selected position; the shown text stays.
    if (slot == kSharedCatalogueSlot && before.index >= 2) return {1, "ISBN"};
    return {-1, before.text};
}

void TargetSelection::Load(const std::string& cfgPath, const Z39Settings& settings) {
    list_ = GetZ39SvrPara(cfgPath, settings);
    int last = settings.LASTDATABASE;
    if (settings.KSDEFAULT != 1 && last >= 0 && last < list_.TargetNodeCount &&
        !list_.TargetTable[last].address.empty()) {
        list_.CurrentTarget = last;
        list_.caption = TargetCaption(list_.TargetTable[last]);
    }
    isWebOpac_ = IsWebOpacEntry(Current());
}

void TargetSelection::Reload(const std::string& cfgPath, const Z39Settings& settings) {
    list_ = GetZ39SvrPara(cfgPath, settings);
    isWebOpac_ = IsWebOpacEntry(Current());
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
    isWebOpac_ = IsWebOpacEntry(Current());
    out.changed = true;
    out.caption = list_.caption;
    out.IsWebOpac = isWebOpac_;
    out.fieldList = FieldListFor(index);
    ini.WriteString(SystemSection(), "LASTDATABASE", std::to_string(index));
    if (index == kSharedCatalogueSlot && state.settings.KSPORT.starts_with("-"))
        state.discoveredHost.clear();
    return out;
}

}  // namespace z39
