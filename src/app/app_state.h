#pragma once

#include <string>

#include "app/launch_mode.h"
#include "app/z39_settings.h"
#include "records/working_files.h"

namespace z39 {

// The few values the windows share instead of calling one another. One instance
// lives for the whole run; everything touches it from the user-interface thread.
struct AppState {
    std::string statusMessage;       // last search outcome, shown in status panel 1
    bool searchCompleted = false;    // set by a back end, consumed by the main window's timer
    std::string windowCommand;       // "PleaseExitThisSystem" / "PleaseExitThisWindows" mailbox
    bool targetListChanged = false;  // the target list file was rewritten
    std::string discoveredHost;      // shared-catalogue host found through /hosts.txt
    LaunchMode launch;
    Z39Settings settings;
    WorkingFiles files;
    std::string settingsPath;        // Z39.ini
    std::string handOffPath;         // the hand-off store file
    std::string autoCreateMarcPath;  // a default download folder made on first save
    int exitCode = 0;                // non-zero when a launch query could not hand its record back
    bool toldTargetsBeyondTable = false;  // the target editor said the list is too long
};

inline constexpr const char* kExitSystemCommand = "PleaseExitThisSystem";
inline constexpr const char* kExitWindowsCommand = "PleaseExitThisWindows";

// Where start-up finds what it needs; tests point every item at a temporary folder.
struct StartupEnvironment {
    std::string rawTempFolder;      // as the platform reports it
    std::vector<std::string> args;  // command-line arguments in GBK, program name excluded
    std::string handOffPath;        // the hand-off store file
    std::string settingsPath;       // Z39.ini
    std::string programFolder;      // default of MARCPATH
    std::string defaultMarcPath;    // replaces the program folder as MARCPATH's default
    bool createMarcFolder = false;  // that default folder is made on first save
};

struct StartupResult {
    AppState state;
    bool compactWindow = false;
    // Set when a launch query cannot hand a record back through lib.tmp (a file there that
    // cannot be removed, another user's say): the message to show before ending.
    std::string handOffBlocked;
};

// The frame's creation steps, in order: name and clear the working files, reset the
// shared values, settle the launch mode (deleting lib.tmp when a query is accepted),
// load the settings.
StartupResult RunStartup(const StartupEnvironment& env);

// Status message at start and product name first put in the command mailbox.
std::string ReadyStatus();
std::string ProductName();
// "文件[" path "]无法删除或写入，不能把编目数据交给调用程序！"
std::string HandOffBlockedMessage(const std::string& path);

}  // namespace z39
