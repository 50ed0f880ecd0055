// The Z39.ini reader, the settings load and a key write on any file.
#include "common/gbk_text.h"
#include "fuzz_support.h"
#include "records/marc_record.h"
#include "state/z39_settings.h"

namespace {

// The keys and values of the system section other than the one written.
std::vector<std::pair<std::string, std::string>> OtherKeys(const z39::IniFile& ini) {
    auto keys = ini.ReadSection(z39::SystemSection());
    std::erase_if(keys, [](const auto& kv) { return z39::EqualsNoCase(kv.first, "LASTDATABASE"); });
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = ScratchPath("ini");
    z39::ReplaceFileAtomically(path, AsText(data, size));
    z39::IniFile ini(path);
    z39::LoadSettings(ini, "/opt/z39");
    z39::LoadFieldLabels(ini);
    const auto othersBefore = OtherKeys(ini);
    ini.WriteString(z39::SystemSection(), "LASTDATABASE", "42");
    FUZZ_CHECK(ini.ReadString(z39::SystemSection(), "lastdatabase", "") == "42");
    FUZZ_CHECK(OtherKeys(ini) == othersBefore);
    return 0;
}
