#include "state/z39_settings.h"

#include "common/gbk_text.h"

namespace z39 {

const std::string& SystemSection() {
    static const std::string section = G("系统参数");
    return section;
}

Z39Settings LoadSettings(const IniFile& ini, const std::string& programFolder,
                         const std::string& defaultMarcPath) {
    const std::string& s = SystemSection();
    auto text = [&](const char* key, std::string_view fallback) {
        return Trim(ini.ReadString(s, key, fallback));
    };
    auto number = [&](const char* key, const char* fallback, int32_t onFailure) {
        return ToNumberOr(text(key, fallback), onFailure);
    };
    Z39Settings out;
    out.RECNUMBER = number("RECNUMBER", "10", 10);
    out.ALLNUMBER = text("ALLNUMBER", "");
    out.PROXYSIGN = number("PROXYSIGN", "0", 0);
    out.PROXYIP = text("PROXYIP", "");
    out.PROXYPORT = text("PROXYPORT", "");
    out.MARCPATH =
        text("MARCPATH", defaultMarcPath.empty() ? programFolder + "/" : defaultMarcPath);
    out.KSDEFAULT = number("KSDEFAULT", "0", 0);
    out.KSIP = text("KSIP", "");
    out.KSPORT = text("KSPORT", "");
    out.KSUSEHTTP = number("KSUSEHTTP", "0", 0);
    out.RECORDER = text("RECORDER", "0");
    out.LASTDATABASE = number("LASTDATABASE", "0", 0);
    out.OPACURL = text("OPACURL", kDefaultOpacUrl);
    if (out.OPACURL.empty()) out.OPACURL = kDefaultOpacUrl;
    out.SEARCHSET = text("SEARCHSET", "");
    out.MARCFORMAT = text("MARCFORMAT", "");
    return out;
}

}  // namespace z39
