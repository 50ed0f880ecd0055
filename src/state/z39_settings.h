#pragma once

#include <cstdint>
#include <string>

#include "common/ini_file.h"

namespace z39 {

// The settings of section "系统参数" of Z39.ini, one field per key.
// Texts are trimmed GBK; integers that do not convert read as described in LoadSettings.
struct Z39Settings {
    int32_t RECNUMBER = 10;  // records per request
    std::string ALLNUMBER;   // "1": a further page asks for everything left
    int32_t PROXYSIGN = 0;   // 1: Z39.50 through a proxy
    std::string PROXYIP;
    std::string PROXYPORT;
    std::string MARCPATH;   // download folder, written with a trailing "/"
    int32_t KSDEFAULT = 0;  // 1: the shared catalogue is current when the search window opens
    std::string KSIP;
    std::string KSPORT;          // "-" + digits: the host is discovered
    int32_t KSUSEHTTP = 0;       // 1: the shared catalogue over HTTP
    std::string RECORDER = "0";  // "1": results in arrival order, else sorted
    int32_t LASTDATABASE = 0;    // tree index of the target chosen last
    std::string OPACURL;         // base address of the web OPAC
    std::string SEARCHSET;       // the ticked databases, joined by ","; empty: none ticked
    std::string MARCFORMAT;      // the daily file's form: "GBK" (or empty), "UTF-8", "MARCXML"
};

// Section name "系统参数" in GBK.
const std::string& SystemSection();

// The web OPAC's base address when Z39.ini names none.
inline constexpr const char* kDefaultOpacUrl = "http://opac.nlc.cn/F";

// Fills the settings from the file. `programFolder` (no trailing "/") gives the
// default of MARCPATH. Never fails: a missing file or section leaves the defaults,
// a RECNUMBER that does not convert reads 10, any other integer that does not convert reads 0.
// `defaultMarcPath`, when given, replaces the program folder as MARCPATH's default.
Z39Settings LoadSettings(const IniFile& ini, const std::string& programFolder,
                         const std::string& defaultMarcPath = "");

}  // namespace z39
