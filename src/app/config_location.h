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
// portable copy) and is not where the package installs programs; else
// $XDG_CONFIG_HOME/z39client/ with ~/MARC/ for saved records.
ConfigLocation ResolveConfigLocation(const std::string& programFolder);

// True for the folder the package installs the programs into (/usr/bin).
bool IsInstalledProgramFolder(const std::string& programFolder);

// Where the package installs the example target list.
std::string ExampleTargetListPath();

// The target list: z39svr.cfg in the current folder when one is there (a host program may
// start the client in a folder of its own, as it always could); else the one beside
// Z39.ini, which is where the target editor makes one when there is none.
std::string ResolveTargetListPath(const std::string& settingsPath);

// The first start of an installed client: no target list where it would be read, so the
// example the package installs (`example`) is copied there. The notice saying so (GBK),
// or empty when nothing was copied (a list is there, or no example).
std::string CopyExampleTargetList(const std::string& example, const std::string& targetListPath);

}  // namespace z39
