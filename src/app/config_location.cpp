#include "app/config_location.h"

#include <unistd.h>

#include <cstdlib>

#include "common/file_util.h"
#include "common/gbk_text.h"
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

#ifndef Z39_INSTALLED_BINDIR
#define Z39_INSTALLED_BINDIR "/usr/bin"
#endif
#ifndef Z39_EXAMPLE_TARGET_LIST
#define Z39_EXAMPLE_TARGET_LIST "/usr/share/doc/z39client/examples/z39svr.cfg"
#endif

bool IsInstalledProgramFolder(const std::string& programFolder) {
    return programFolder == Z39_INSTALLED_BINDIR;
}

std::string ExampleTargetListPath() { return Z39_EXAMPLE_TARGET_LIST; }

std::string CopyExampleTargetList(const std::string& example, const std::string& targetListPath) {
    if (PathExists(targetListPath)) return {};
    const std::optional<std::string> text = ReadWholeFile(example);
    if (!text) return {};
    MakeDirectories(FolderOf(targetListPath));
    if (!ReplaceFileAtomically(targetListPath, *text)) return {};
    return G("这是第一次启动：已将示例目标数据库列表复制到[") + targetListPath +
           G("]。可在“参数配置”→“设置Z39.50服务器参数”中添加本馆使用的Z39.50和SRU服务器；"
             "岱恒共享编目库的地址在“参数配置”中设置。");
}

ConfigLocation ResolveConfigLocation(const std::string& programFolder) {
    ConfigLocation where;
    std::string named = Env("Z39_CONFIG_DIR");
    if (!named.empty()) {
        where.settingsPath = JoinPath(named, "Z39.ini");
        where.defaultMarcPath = JoinPath(programFolder, "");
        return where;
    }
    if (!IsInstalledProgramFolder(programFolder) && ::access(programFolder.c_str(), W_OK) == 0) {
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
