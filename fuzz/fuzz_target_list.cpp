// The z39svr.cfg reader; what it reads is written and read back to the same tree.
#include "fuzz_support.h"
#include "targets/target_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = ScratchPath("cfg");
    z39::ReplaceFileAtomically(path, AsText(data, size));
    z39::TargetList list = z39::GetZ39SvrPara(path, z39::Z39Settings{});
    FUZZ_CHECK(list.TargetNodeCount <= z39::kTargetSlots);
    FUZZ_CHECK(list.nodes.size() == static_cast<size_t>(list.TargetNodeCount));
    for (size_t i = 0; i < list.nodes.size(); ++i)
        FUZZ_CHECK(list.nodes[i].parent < static_cast<int>(i));
    return 0;
}
