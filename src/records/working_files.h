#pragma once

#include <string>
#include <string_view>

namespace z39 {

// The five working files in the temporary folder, named once at start-up.
struct WorkingFiles {
    std::string recordListPath;     // _list.~   the record store
    std::string clientMarcPath;     // _marc.~   records written by the external client
    std::string clientMessagePath;  // _mess.~   the external client's standard output
    std::string clientScriptPath;   // _zinit.~  the command script fed to the external client
    std::string handOffPath;        // lib.tmp   the record handed to a host program
};

// Names the files in `rawTempFolder` (trimmed, one trailing "/" removed).
WorkingFiles MakeWorkingFiles(std::string_view rawTempFolder);

// Names the files and deletes all five; missing files are no error.
WorkingFiles InitWorkingFiles(std::string_view rawTempFolder);

// Deletes every working file but lib.tmp, which the host program reads after we end.
void CleanupWorkingFiles(const WorkingFiles& files);

}  // namespace z39
