#pragma once

#include <string>

#include "state/launch_mode.h"
#include "state/working_files.h"
#include "state/z39_settings.h"

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

}  // namespace z39
