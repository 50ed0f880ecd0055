// The Z39.ini reader, the settings load and a key write on any file.
#include "app/z39_settings.h"
#include "fuzz_support.h"
#include "records/marc_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = ScratchPath("ini");
    z39::ReplaceFileAtomically(path, AsText(data, size));
    z39::IniFile ini(path);
    z39::LoadSettings(ini, "/opt/z39");
    z39::LoadFieldLabels(ini);
    ini.WriteString(z39::SystemSection(), "LASTDATABASE", "42");
    FUZZ_CHECK(ini.ReadString(z39::SystemSection(), "lastdatabase", "") == "42");
    return 0;
}
