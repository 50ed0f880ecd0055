#pragma once

#include <string>

#include "common/ini_file.h"
#include "state/app_state.h"

namespace z39 {

// The settings dialog's controls as texts and ticks.
struct SettingsForm {
    std::string edNum;
    bool cbAll = false;
    std::string edPath;
    bool rbOrder2 = false;  // by order of arrival
    std::string edHAddr;
    std::string edHPort;
    bool cbIE = false;
    bool ckbSetDefault = false;
    bool ckbProxy = false;
    std::string edAddr;
    std::string edPort;
    std::string cbFormat;  // the daily file's form: "GBK", "UTF-8" or "MARCXML"
};

// The maker's web site that "默认地址" fills in, with the port text "-210".
inline constexpr const char* kDefaultKsPort = "-210";
std::string DefaultKsAddress();

// What activation shows: every key read anew from the file, trimmed.
SettingsForm ReadSettingsForm(const IniFile& ini, const std::string& programFolder);

// The outcome of "保存参数": empty `message` when saved; otherwise the message and the
// control to focus, and nothing was written.
struct SettingsSave {
    std::string message;
    std::string focus;  // "edNum", "edPath", "edAddr", "edPort", "cbFormat"
};

// Validates, writes the keys in their order, updates the running settings and posts
// "PleaseExitThisWindows". `form.edPath` gets its trailing "/". Throws Z39Error when the
// file cannot be written (keys written before stay written).
SettingsSave SaveSettingsForm(SettingsForm& form, IniFile& ini, AppState& state);

}  // namespace z39
