#include "targets/target_selection.h"

#include <algorithm>

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

std::string TargetSelection::Reload(const std::string& cfgPath, const Z39Settings& settings) {
    const std::string ticks = SearchSetText();
    list_ = GetZ39SvrPara(cfgPath, settings);
    return LoadTicks(ticks);
}

std::string TargetSelection::LoadTicks(const std::string& searchSet) {
    ticked_.clear();
    std::string gone;
    for (const std::string& name : SplitNames(searchSet)) {
        const int slot = SlotOfName(list_, name, nullptr);
        if (slot == 0) {
            gone += (gone.empty() ? "" : G("、")) + name;
            continue;
        }
        if (!IsTicked(slot)) ticked_.push_back(slot);
    }
    if (gone.empty()) return {};
    return G("勾选的数据库[") + gone + G("]已不在目标数据库列表中，已取消勾选。");
}

bool TargetSelection::IsDatabase(int index) const {
    if (index < 1 || index >= list_.TargetNodeCount || index >= kTargetSlots) return false;
    return index == kSharedCatalogueSlot || !list_.TargetTable[index].address.empty();
}

bool TargetSelection::SetTicked(int index, bool on) {
    if (!IsDatabase(index)) return false;
    auto at = std::find(ticked_.begin(), ticked_.end(), index);
    if (on && at == ticked_.end()) ticked_.push_back(index);
    if (!on && at != ticked_.end()) ticked_.erase(at);
    return true;
}

bool TargetSelection::IsTicked(int index) const {
    return std::find(ticked_.begin(), ticked_.end(), index) != ticked_.end();
}

std::string TargetSelection::SearchSetText() const {
    std::string text;
    for (int slot : ticked_) text += (text.empty() ? "" : ",") + ChainTargetOf(list_, slot).name;
    return text;
}

std::vector<ChainTarget> TargetSelection::TickedTargets() const {
    std::vector<ChainTarget> out;
    for (int slot : ticked_) out.push_back(ChainTargetOf(list_, slot));
    return out;
}

std::string TargetSelection::TickedCaption() const {
    return G("[当前数据库：已勾选") + std::to_string(ticked_.size()) + G("个数据库]");
}

void TargetSelection::SetSharedCatalogue(const Z39Settings& settings) {
    list_.TargetTable[kSharedCatalogueSlot].address = settings.KSIP;
    list_.TargetTable[kSharedCatalogueSlot].port = settings.KSPORT;
}

SelectionOutcome TargetSelection::Select(int index, AppState& state, IniFile& ini) {
    SelectionOutcome out;
    // A node without an address is a group or a server, except the shared catalogue's: it
    // is chosen with KSIP still empty, and a search then says where to set the address.
    if (index < 0 || index >= list_.TargetNodeCount ||
        (index != kSharedCatalogueSlot && list_.TargetTable[index].address.empty()))
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
