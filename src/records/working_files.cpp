#include "records/working_files.h"

#include "common/file_util.h"
#include "common/paths.h"

namespace z39 {

WorkingFiles MakeWorkingFiles(std::string_view rawTempFolder) {
    std::string folder = NormaliseFolder(rawTempFolder);
    return WorkingFiles{JoinPath(folder, "_list.~"), JoinPath(folder, "_marc.~"),
                        JoinPath(folder, "_mess.~"), JoinPath(folder, "_zinit.~"),
                        JoinPath(folder, "lib.tmp")};
}

WorkingFiles InitWorkingFiles(std::string_view rawTempFolder) {
    WorkingFiles files = MakeWorkingFiles(rawTempFolder);
    CleanupWorkingFiles(files);
    DeleteFileIfExists(files.handOffPath);
    return files;
}

void CleanupWorkingFiles(const WorkingFiles& files) {
    DeleteFileIfExists(files.clientMarcPath);
    DeleteFileIfExists(files.clientMessagePath);
    DeleteFileIfExists(files.clientScriptPath);
    DeleteFileIfExists(files.recordListPath);
}

}  // namespace z39
