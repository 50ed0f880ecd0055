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
    p.charset = entry.charset;
    p.syntax = entry.syntax;
    return p;
}

std::vector<std::string> FieldListFor(TargetKind kind) {
    std::vector<std::string> fields = {G("题名"), "ISBN"};
    if (kind != TargetKind::kSharedCatalogue) {
        for (const char* f : {"ISSN", "著者", "出版者", "出版日期"}) fields.push_back(G(f));
    }
    return fields;
}

bool SearchesByIsbnOnly(TargetKind kind) { return kind == TargetKind::kWebOpac; }

ComboState RebuildFieldCombo(const ComboState& before, TargetKind kind) {
    // A rebuilt list has no selected position; the shown text stays.
    if (kind == TargetKind::kSharedCatalogue && before.index >= 2) return {1, "ISBN"};
    return {-1, before.text};
}

}  // namespace z39
