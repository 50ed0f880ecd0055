#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace z39 {

// Whole file as bytes; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces `path` with `content` through a temporary file in the same folder and a
// rename, so a failed write leaves the old file as it was. Returns false on failure.
bool ReplaceFileAtomically(const std::string& path, std::string_view content);

// Appends bytes, creating the file when missing. Returns false on failure.
bool AppendToFile(const std::string& path, std::string_view content);

// Deletes a file; a missing file is no error.
void DeleteFileIfExists(const std::string& path);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirectories(const std::string& path);

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

}  // namespace z39
