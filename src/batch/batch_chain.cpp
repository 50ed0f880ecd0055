#include "batch/batch_chain.h"

namespace z39 {

std::vector<ChainTarget> DefaultChain(const TargetList& list) {
    std::vector<ChainTarget> chain{ChainTargetOf(list, 1)};
    if (list.CurrentTarget > 1 && list.CurrentTarget < kTargetSlots)
        chain.push_back(ChainTargetOf(list, list.CurrentTarget));
    return chain;
}

}  // namespace z39
