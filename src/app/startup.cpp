#include "app/startup.h"

#include "common/file_util.h"
#include "common/gbk_text.h"

namespace z39 {

std::string ReadyStatus() { return G("就绪"); }
std::string ProductName() { return G("岱恒Z39.50客户端"); }

std::string NotARegularFileMessage(const std::string& path) {
    return G("文件[") + path + G("]不是普通文件（可能是管道、设备或目录），不会读取，也不会写入。");
}

StartupResult RunStartup(const StartupEnvironment& env) {
    StartupResult out;
    for (const std::string& path : {env.settingsPath, env.targetListPath, env.handOffPath})
        if (!path.empty() && IsNotRegularFile(path))
            out.fileWarnings.push_back(NotARegularFileMessage(path));
    AppState& state = out.state;
    state.files = InitWorkingFiles(env.rawTempFolder);
    state.statusMessage = ReadyStatus();
    state.searchCompleted = false;
    state.targetListChanged = false;

    HandOffStore store(env.handOffPath);
    LaunchDecision launch = DetectLaunchMode(env.args, store);
    if (!launch.signNotCleared.empty())
        out.handOffBlocked =
            G("文件[") + launch.signNotCleared + G("]无法写入，调用标志不能清除，本次查询不执行！");
    if (launch.accepted) {
        DeleteFileIfExists(state.files.handOffPath);
        // Left in place, another user's lib.tmp would reach the host program as our record.
        if (!launch.mode.handOff && PathExists(state.files.handOffPath))
            out.handOffBlocked = HandOffBlockedMessage(state.files.handOffPath);
    }
    state.launch = launch.mode;
    out.compactWindow = launch.compactWindow;

    state.settings =
        LoadSettings(IniFile(env.settingsPath), env.programFolder, env.defaultMarcPath);
    if (env.createMarcFolder) state.autoCreateMarcPath = env.defaultMarcPath;
    state.settingsPath = env.settingsPath;
    state.handOffPath = env.handOffPath;
    return out;
}

}  // namespace z39
