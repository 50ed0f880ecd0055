#include "common/file_util.h"

#include "common/unique_fd.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace z39 {

bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

namespace {

bool IsRegular(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool IsSymlink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsNotRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    return ReadWholeFile(path, Links::follow);
}

std::optional<std::string> ReadWholeFile(const std::string& path, Links links) {
    int noFollow = links == Links::refuse ? O_NOFOLLOW : 0;
    // Opened without waiting: a FIFO or a device at `path` would otherwise block the open or
    // the reads for ever. Only a regular file is read.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | noFollow));
    if (!fd.ok() || !IsRegular(fd.get())) return std::nullopt;
    std::string out;
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

bool ReadLines(const std::string& path, Links links, size_t maxLine,
               const std::function<void(std::string_view line, bool tooLong)>& each) {
    int noFollow = links == Links::refuse ? O_NOFOLLOW : 0;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | noFollow));
    if (!fd.ok() || !IsRegular(fd.get())) return false;
    std::string line;
    bool tooLong = false;
    std::vector<char> buffer(65536);
    while (true) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        std::string_view chunk(buffer.data(), static_cast<size_t>(n));
        while (!chunk.empty()) {
            const size_t lf = chunk.find('\n');
            const std::string_view part = chunk.substr(0, lf);
            if (!tooLong) {
                if (line.size() + part.size() > maxLine) {
                    tooLong = true;
                    line.clear();
                    line.shrink_to_fit();
                } else {
                    line.append(part);
                }
            }
            if (lf == std::string_view::npos) break;
            each(tooLong ? std::string_view() : std::string_view(line), tooLong);
            line.clear();
            tooLong = false;
            chunk.remove_prefix(lf + 1);
        }
    }
    if (!line.empty() || tooLong) each(tooLong ? std::string_view() : line, tooLong);
    return true;
}

// The file a chain of symbolic links at `path` ends at (`path` itself when it is none).
std::string LinkTarget(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::vector<char> buffer(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0 || static_cast<size_t>(n) >= buffer.size()) return path;
        std::string next(buffer.data(), static_cast<size_t>(n));
        path = next.starts_with("/") ? next : FolderOf(path) + "/" + next;
    }
    return path;
}

bool ReplaceFileAtomically(const std::string& linkOrPath, std::string_view content, Links links) {
    const std::string path = links == Links::follow ? LinkTarget(linkOrPath) : linkOrPath;
    // A FIFO, a device or a folder there is not ours to replace.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
        !S_ISLNK(existing.st_mode))
        return false;
    std::string folder = FolderOf(path);
    std::string name = std::filesystem::path(path).filename().string();
    std::vector<char> tmpl(folder.begin(), folder.end());
    std::string suffix = "/." + name + ".XXXXXX";
    tmpl.insert(tmpl.end(), suffix.begin(), suffix.end());
    tmpl.push_back('\0');
    UniqueFd fd(::mkstemp(tmpl.data()));
    if (!fd.ok()) return false;
    std::string tmpPath(tmpl.data());
    struct stat old {};
    mode_t mode = 0644;
    if (::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;
    bool ok =
        ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), content) && ::fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    if (ok && ::rename(tmpPath.c_str(), path.c_str()) == 0) return true;
    ::unlink(tmpPath.c_str());
    return false;
}

bool AppendToFile(const std::string& path, std::string_view content, Links links) {
    int noFollow = links == Links::refuse ? O_NOFOLLOW : 0;
    // Without waiting for a reader of a FIFO; only a regular file is appended to.
    UniqueFd fd(::open(path.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | noFollow, 0644));
    if (!fd.ok()) return false;
    struct stat before {};
    if (::fstat(fd.get(), &before) != 0 || !S_ISREG(before.st_mode)) return false;
    bool ok = WriteAll(fd.get(), content);
    // A failed write is taken back, so the file holds whole records only. Should that fail
    // too, the caller hears of the failure all the same.
    if (!ok && ::ftruncate(fd.get(), before.st_size) != 0) ok = false;
    return fd.Close() && ok;
}

void DeleteFileIfExists(const std::string& path) { ::unlink(path.c_str()); }

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectories(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return DirectoryExists(path);
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    ::nftw(
        path.c_str(),
        [](const char* name, const struct stat*, int type, struct FTW*) {
            if (type == FTW_DP) {
                ::rmdir(name);
            } else {
                ::unlink(name);
            }
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace z39
