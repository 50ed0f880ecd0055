#include "app/config_location.h"

#include <unistd.h>

#include <cstdlib>

#include "common/file_util.h"
#include "common/paths.h"

namespace z39 {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

std::string ResolveTargetListPath(const std::string& settingsPath) {
    constexpr const char* kName = "z39svr.cfg";
    if (PathExists(kName)) return kName;
    return JoinPath(FolderOf(settingsPath), kName);
}

ConfigLocation ResolveConfigLocation(const std::string& programFolder) {
    ConfigLocation where;
    std::string named = Env("Z39_CONFIG_DIR");
    if (!named.empty()) {
        where.settingsPath = JoinPath(named, "Z39.ini");
        where.defaultMarcPath = JoinPath(programFolder, "");
        return where;
    }
    if (::access(programFolder.c_str(), W_OK) == 0) {
        where.settingsPath = JoinPath(programFolder, "Z39.ini");
        where.defaultMarcPath = JoinPath(programFolder, "");
        return where;
    }
    std::string home = Env("HOME");
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty()) config = home + "/.config";
    where.settingsPath = config + "/z39client/Z39.ini";
    where.defaultMarcPath = home + "/MARC/";
    where.createMarcFolder = true;
    return where;
}

}  // namespace z39
