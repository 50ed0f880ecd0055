#pragma once

#include <string>

namespace z39 {

// Where Z39.ini lives and where saved records go by default.
struct ConfigLocation {
    std::string settingsPath;       // Z39.ini
    std::string defaultMarcPath;    // MARCPATH when Z39.ini names none (ends in "/")
    bool createMarcFolder = false;  // the default folder is made on first save
};

// $Z39_CONFIG_DIR when set; else beside the program when its folder is writable (a
// portable copy); else $XDG_CONFIG_HOME/z39client/ with ~/MARC/ for saved records.
ConfigLocation ResolveConfigLocation(const std::string& programFolder);

}  // namespace z39
