#pragma once

#include <string>
#include <string_view>

namespace z39 {

// The working files of one running client. _list.~, _marc.~, _mess.~ and _zinit.~ live in a
// folder of this process's own (mode 0700), so two clients, or two users sharing /tmp, never
// touch each other's files; lib.tmp stays in the temporary folder, where the host program
// reads it.
struct WorkingFiles {
    std::string privateFolder;      // holds the four files below; empty when not made by us
    std::string recordListPath;     // _list.~   the record store
    std::string clientMarcPath;     // _marc.~   records written by the external client
    std::string clientMessagePath;  // _mess.~   the external client's standard output
    std::string clientScriptPath;   // _zinit.~  the command script fed to the external client
    std::string handOffPath;        // lib.tmp   the record handed to a host program
};

// Names all five files in one folder (trimmed, one trailing "/" removed); creates nothing.
WorkingFiles MakeWorkingFiles(std::string_view rawTempFolder);

// Start-up: removes the private folders that clients no longer running left in the temp
// folder, makes this process's own one, and deletes lib.tmp. When the private folder cannot
// be made, the four paths point into a folder that does not exist, so every write to them
// fails and is reported (never a silent fallback to the shared folder).
WorkingFiles InitWorkingFiles(std::string_view rawTempFolder);

// Deletes every working file but lib.tmp, which the host program reads after we end, and
// the private folder itself.
void CleanupWorkingFiles(const WorkingFiles& files);

// Removes `tempFolder`'s private working folders owned by this user whose process has
// ended. Returns how many it removed.
int RemoveStaleWorkingFolders(const std::string& tempFolder);

// The name prefix of the private folders ("z39client-" + pid + "-").
std::string WorkingFolderPrefix();

}  // namespace z39
