#include "state/working_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "common/file_util.h"
#include "common/paths.h"

namespace z39 {
namespace {

constexpr std::string_view kFolderStem = "z39client-";

WorkingFiles FilesIn(const std::string& folder, const std::string& tempFolder) {
    return WorkingFiles{"",
                        JoinPath(folder, "_list.~"),
                        JoinPath(folder, "_marc.~"),
                        JoinPath(folder, "_mess.~"),
                        JoinPath(folder, "_zinit.~"),
                        JoinPath(tempFolder, "lib.tmp")};
}

// The pid in "z39client-<pid>-XXXXXX"; 0 when the name is not one of ours.
pid_t OwnerPid(std::string_view name) {
    if (!name.starts_with(kFolderStem)) return 0;
    name.remove_prefix(kFolderStem.size());
    pid_t pid = 0;
    auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || ptr == name.data() || ptr == name.data() + name.size() || *ptr != '-')
        return 0;
    return pid;
}

// Removes the plain files in a folder we own, then the folder; never follows a link.
void RemoveFolderAndFiles(int parentFd, const std::string& name) {
    int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir)) {
        std::string_view n = e->d_name;
        if (n != "." && n != "..") names.emplace_back(n);
    }
    for (const auto& n : names) ::unlinkat(::dirfd(dir), n.c_str(), 0);
    ::closedir(dir);
    ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
}

}  // namespace

std::string WorkingFolderPrefix() {
    return std::string(kFolderStem) + std::to_string(::getpid()) + "-";
}

WorkingFiles MakeWorkingFiles(std::string_view rawTempFolder) {
    std::string folder = NormaliseFolder(rawTempFolder);
    return FilesIn(folder, folder);
}

int RemoveStaleWorkingFolders(const std::string& tempFolder) {
    int folderFd =
        ::open(tempFolder.empty() ? "/" : tempFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return 0;
    DIR* dir = ::fdopendir(folderFd);
    if (!dir) {
        ::close(folderFd);
        return 0;
    }
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(dir)) {
        pid_t pid = OwnerPid(e->d_name);
        if (pid <= 0) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
        if (::kill(pid, 0) == 0 || errno == EPERM) continue;  // still running
        stale.emplace_back(e->d_name);
    }
    for (const auto& name : stale) RemoveFolderAndFiles(::dirfd(dir), name);
    ::closedir(dir);
    return static_cast<int>(stale.size());
}

WorkingFiles InitWorkingFiles(std::string_view rawTempFolder) {
    std::string temp = NormaliseFolder(rawTempFolder);
    RemoveStaleWorkingFolders(temp);
    std::string pattern = JoinPath(temp, WorkingFolderPrefix() + "XXXXXX");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkdtemp makes the folder with mode 0700 whatever the umask.
    bool made = ::mkdtemp(name.data()) != nullptr;
    std::string folder(name.data());
    WorkingFiles files = FilesIn(folder, temp);
    if (made) files.privateFolder = folder;
    DeleteFileIfExists(files.handOffPath);
    return files;
}

void CleanupWorkingFiles(const WorkingFiles& files) {
    DeleteFileIfExists(files.clientMarcPath);
    DeleteFileIfExists(files.clientMessagePath);
    DeleteFileIfExists(files.clientScriptPath);
    DeleteFileIfExists(files.recordListPath);
    // With whatever else the run kept there (each database's and the batch's own files).
    if (!files.privateFolder.empty()) RemoveTree(files.privateFolder);
}

}  // namespace z39
