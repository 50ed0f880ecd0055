#include "targets/target_profile.h"

#include "common/gbk_text.h"

namespace z39 {

bool IsSruAddress(const std::string& address) {
    const std::string lower = LowerAscii(Trim(address));
    for (const char* scheme : {"http://", "https://"}) {
        const std::string_view s(scheme);
        if (lower.starts_with(s) && lower.size() > s.size() && lower[s.size()] != '/') return true;
    }
    return false;
}

TargetKind KindOf(int slot, const TargetEntry& entry) {
    if (slot <= 0) return TargetKind::kNone;
    if (slot == kSharedCatalogueSlot) return TargetKind::kSharedCatalogue;
    if (LowerAscii(entry.address).find(kWebOpacDomainLabel) != std::string::npos &&
        LowerAscii(entry.database) == "opac")
        return TargetKind::kWebOpac;
    if (IsSruAddress(entry.address)) return TargetKind::kSru;
    return TargetKind::kZ39;
}

TargetProfile ProfileOf(int slot, const TargetEntry& entry) {
    TargetProfile p;
    p.kind = KindOf(slot, entry);
    p.slot = slot;
    p.entry = entry;
    if (p.kind == TargetKind::kZ39) p.z39 = {entry.charset, entry.syntax};
    if (p.kind == TargetKind::kSru) p.sru.indexes = entry.indexes;
    return p;
}

TargetProfile ProfileOfListEntry(const TargetEntry& entry) {
    return ProfileOf(kSharedCatalogueSlot + 1, entry);
}

std::string MissingAddressMessage(const TargetProfile& target) {
    if (!Trim(target.entry.address).empty()) return {};
    switch (target.kind) {
        case TargetKind::kSharedCatalogue:
            return G(
                "岱恒共享编目库的地址没有设置，无法检索。请在“参数配置”中填写岱恒共享编目库的"
                "地址和端口（或按“默认地址”）。");
        case TargetKind::kZ39:
        case TargetKind::kSru:
            return G("目标数据库[") + target.entry.library + "/" + target.entry.database +
                   G("]的服务器地址没有设置，无法检索。请在“参数配置”→“设置Z39.50服务器参数”"
                     "中填写。");
        case TargetKind::kNone:
        case TargetKind::kWebOpac:
            break;
    }
    return {};
}

ComboState RebuildFieldCombo(const ComboState& before, size_t fields) {
    // A rebuilt list has no selected position; the shown text stays.
    if (before.index >= 0 && static_cast<size_t>(before.index) >= fields) return {1, "ISBN"};
    return {-1, before.text};
}

}  // namespace z39
