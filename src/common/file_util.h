#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace z39 {

// Whether a symbolic link at a path is followed. Our own working files refuse links, so a
// link planted there makes the operation fail instead of writing elsewhere.
enum class Links { follow, refuse };

// Writes all of `content` to an open descriptor, through short writes and interruptions;
// false on an error.
bool WriteAll(int fd, std::string_view content);

// Whole file as bytes; nullopt when it cannot be opened or read, or is not a regular file
// (a FIFO, a device: never waited on), and with Links::refuse when `path` is a symbolic
// link.
std::optional<std::string> ReadWholeFile(const std::string& path, Links links);
std::optional<std::string> ReadWholeFile(const std::string& path);

// Reads a regular file line by line (lines end at LF, which is not passed on), never
// holding more than `maxLine` bytes of a line: a longer line is passed on empty, with
// `tooLong` set, once its end is found. False when the file cannot be opened or read.
bool ReadLines(const std::string& path, Links links, size_t maxLine,
               const std::function<void(std::string_view line, bool tooLong)>& each);

// Replaces `path` with `content` through a temporary file in the same folder and a
// rename, so a failed write leaves the old file as it was. Returns false on failure, and
// when something other than a regular file (a FIFO, a folder) is at `path`.
// With Links::follow a symbolic link at `path` stays a link and the file it leads to is
// replaced (a configuration file kept elsewhere); with Links::refuse the link itself is
// replaced by the new file, so nothing is written where a planted link points.
bool ReplaceFileAtomically(const std::string& path, std::string_view content,
                           Links links = Links::refuse);

// Appends bytes, creating the file when missing. Returns false on failure; a failed append
// leaves the file at its old length, so no fragment stays behind for the next append to
// follow. With Links::refuse a symbolic link at `path` is not followed (the append fails).
// Only a regular file is appended to: a FIFO or a device fails at once.
bool AppendToFile(const std::string& path, std::string_view content, Links links = Links::follow);

// Deletes a file; a missing file is no error.
void DeleteFileIfExists(const std::string& path);

bool FileExists(const std::string& path);

// Removes a folder of our own with everything in it; links are removed, not followed.
void RemoveTree(const std::string& path);
// Something is at `path` (links followed) and it is not a regular file: a FIFO, a folder.
bool IsNotRegularFile(const std::string& path);
// True when `path` is itself a symbolic link (whatever it points to).
bool IsSymlink(const std::string& path);
// Anything at `path`: a file, a folder, a link (even a dangling one).
bool PathExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirectories(const std::string& path);

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

}  // namespace z39
