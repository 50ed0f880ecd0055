#pragma once

#include <string>
#include <vector>

#include "state/app_state.h"

namespace z39 {

// Where start-up finds what it needs; tests point every item at a temporary folder.
struct StartupEnvironment {
    std::string rawTempFolder;      // as the platform reports it
    std::vector<std::string> args;  // command-line arguments in GBK, program name excluded
    std::string handOffPath;        // the hand-off store file
    std::string settingsPath;       // Z39.ini
    std::string targetListPath = "z39svr.cfg";
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
    // One message for each of Z39.ini, z39svr.cfg and Lib.ini that is there but is not a
    // regular file (a FIFO, a folder): it is neither read nor written.
    std::vector<std::string> fileWarnings;
};

// The message for such a file.
std::string NotARegularFileMessage(const std::string& path);

// The frame's creation steps, in order: name and clear the working files, reset the
// shared values, settle the launch mode (deleting lib.tmp when a query is accepted),
// load the settings.
StartupResult RunStartup(const StartupEnvironment& env);

// Status message at start and product name first put in the command mailbox.
std::string ReadyStatus();
std::string ProductName();

}  // namespace z39
