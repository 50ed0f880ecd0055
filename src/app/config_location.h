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

// The target list: z39svr.cfg in the current folder when one is there (a host program may
// start the client in a folder of its own, as it always could); else the one beside
// Z39.ini, which is where the target editor makes one when there is none.
std::string ResolveTargetListPath(const std::string& settingsPath);

}  // namespace z39
