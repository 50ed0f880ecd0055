#include "app/settings_form.h"

#include "backends/shared_catalogue.h"
#include "common/gbk_text.h"
#include "records/daily_format.h"

namespace z39 {

std::string DefaultKsAddress() { return kMakerWebSites[0]; }

SettingsForm ReadSettingsForm(const IniFile& ini, const std::string& programFolder) {
    const std::string& s = SystemSection();
    auto read = [&](const char* key, const std::string& fallback = "") {
        return Trim(ini.ReadString(s, key, fallback));
    };
    SettingsForm f;
    f.edNum = read("RECNUMBER", "10");
    f.cbAll = read("ALLNUMBER") == "1";
    f.ckbProxy = read("PROXYSIGN") == "1";
    f.cbIE = read("KSUSEHTTP") == "1";
    f.ckbSetDefault = read("KSDEFAULT") == "1";
    f.edAddr = read("PROXYIP");
    f.edPort = read("PROXYPORT");
    f.edHAddr = read("KSIP");
    f.edHPort = read("KSPORT");
    f.edPath = read("MARCPATH", programFolder + "/");
    f.rbOrder2 = read("RECORDER") == "1";
    f.cbFormat = read("MARCFORMAT");
    return f;
}

SettingsSave SaveSettingsForm(SettingsForm& form, IniFile& ini, AppState& state) {
    SettingsSave result;
    std::string path = Trim(form.edPath);
    if (path.empty()) {
        // An empty folder would become "/" as the download folder.
        result.message = G("下载记录的文件目录不能为空");
        result.focus = "edPath";
        return result;
    }
    if (path.back() != '/') path += '/';
    form.edPath = path;
    if (Trim(form.edNum).empty()) {
        result.message = G("每次读取记录数不能为空");
        result.focus = "edNum";
        return result;
    }
    // Digits only ("+5" is no count), 1 to 100.
    const std::string countText = Trim(form.edNum);
    auto count = ToNumber(countText);
    if (countText.find_first_not_of("0123456789") != std::string::npos || !count || *count < 1 ||
        *count > 100) {
        result.message = G("每次读取记录数必须是1到100之间的数字");
        result.focus = "edNum";
        return result;
    }
    if (form.ckbProxy) {
        if (Trim(form.edAddr).empty()) {
            result.message = G("地址不能为空");
            result.focus = "edAddr";
            return result;
        }
        if (Trim(form.edPort).empty()) {
            result.message = G("端口不能为空");
            result.focus = "edPort";
            return result;
        }
    }
    const std::optional<DailyFormat> format = DailyFormatFromName(form.cbFormat);
    if (!format) {
        result.message = G("保存格式只能是GBK、UTF-8或MARCXML");
        result.focus = "cbFormat";
        return result;
    }
    auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    const std::string& s = SystemSection();
    ini.WriteString(s, "RECNUMBER", std::to_string(*count));
    ini.WriteString(s, "ALLNUMBER", flag(form.cbAll));
    ini.WriteString(s, "PROXYSIGN", flag(form.ckbProxy));
    ini.WriteString(s, "PROXYIP", Trim(form.edAddr));
    ini.WriteString(s, "PROXYPORT", Trim(form.edPort));
    ini.WriteString(s, "MARCPATH", path);
    ini.WriteString(s, "KSUSEHTTP", flag(form.cbIE));
    ini.WriteString(s, "KSDEFAULT", flag(form.ckbSetDefault));
    ini.WriteString(s, "RECORDER", flag(form.rbOrder2));
    ini.WriteString(s, "KSIP", Trim(form.edHAddr));
    ini.WriteString(s, "KSPORT", Trim(form.edHPort));
    ini.WriteString(s, "MARCFORMAT", DailyFormatName(*format));

    Z39Settings& z = state.settings;
    z.RECNUMBER = *count;
    z.ALLNUMBER = flag(form.cbAll);
    z.PROXYSIGN = form.ckbProxy ? 1 : 0;
    z.PROXYIP = Trim(form.edAddr);
    z.PROXYPORT = Trim(form.edPort);
    z.MARCPATH = path;
    z.KSUSEHTTP = form.cbIE ? 1 : 0;
    z.KSDEFAULT = form.ckbSetDefault ? 1 : 0;
    z.RECORDER = flag(form.rbOrder2);
    z.KSIP = Trim(form.edHAddr);
    z.KSPORT = Trim(form.edHPort);
    z.MARCFORMAT = DailyFormatName(*format);
    if (z.KSPORT.starts_with("-")) state.discoveredHost.clear();
    state.windowCommand = kExitWindowsCommand;
    return result;
}

}  // namespace z39
