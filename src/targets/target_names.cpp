#include "targets/target_names.h"

#include <algorithm>

#include "common/gbk_text.h"

namespace z39 {

std::string ChainName(const TargetEntry& entry, bool withServer) {
    return withServer ? entry.library + "/" + entry.database : entry.database;
}

ChainTarget ChainTargetOf(const TargetList& list, int slot) {
    const TargetEntry& entry = list.TargetTable[static_cast<size_t>(slot)];
    int sameName = 0;
    for (const auto& other : list.TargetTable)
        if (!other.address.empty() && EqualsNoCase(other.database, entry.database)) ++sameName;
    return {ChainName(entry, sameName > 1), ProfileOf(slot, entry)};
}

int SlotOfName(const TargetList& list, const std::string& raw, std::string* error) {
    const std::string name = Trim(raw);
    const size_t slash = name.find('/');
    std::vector<int> hits;
    for (int slot = 1; slot < kTargetSlots; ++slot) {
        const TargetEntry& e = list.TargetTable[static_cast<size_t>(slot)];
        if (e.address.empty() && slot != 1) continue;
        const bool match = slash == std::string::npos
                               ? EqualsNoCase(e.database, name)
                               : EqualsNoCase(e.library, Trim(name.substr(0, slash))) &&
                                     EqualsNoCase(e.database, Trim(name.substr(slash + 1)));
        if (match) hits.push_back(slot);
    }
    if (hits.size() == 1) return hits.front();
    if (error)
        *error = hits.empty() ? G("目标数据库[") + name + G("]不存在！")
                              : G("目标数据库[") + name + G("]有多个，请写成“服务器/数据库”！");
    return 0;
}

std::optional<std::vector<ChainTarget>> ResolveChain(const TargetList& list,
                                                     const std::vector<std::string>& names,
                                                     std::string* error) {
    std::vector<ChainTarget> chain;
    std::vector<int> slots;
    for (const std::string& raw : names) {
        if (Trim(raw).empty()) continue;
        const int slot = SlotOfName(list, raw, error);
        if (slot == 0) return std::nullopt;
        // Twice in one chain asks the same database twice for every ISBN.
        if (std::find(slots.begin(), slots.end(), slot) != slots.end()) {
            if (error) *error = G("目标数据库[") + Trim(raw) + G("]在列表中出现了不止一次！");
            return std::nullopt;
        }
        slots.push_back(slot);
        chain.push_back(ChainTargetOf(list, slot));
    }
    if (chain.empty()) {
        if (error) *error = G("没有指定目标数据库！");
        return std::nullopt;
    }
    return chain;
}

std::vector<std::string> SplitNames(const std::string& joined) {
    std::vector<std::string> names;
    size_t from = 0;
    while (from <= joined.size()) {
        size_t comma = joined.find(',', from);
        if (comma == std::string::npos) comma = joined.size();
        std::string name = Trim(joined.substr(from, comma - from));
        if (!name.empty()) names.push_back(name);
        from = comma + 1;
    }
    return names;
}

}  // namespace z39
