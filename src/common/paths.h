#pragma once

#include <string>
#include <string_view>

namespace z39 {

// The folder of the running executable, without a trailing separator.
std::string ExecutableFolder();

// The temporary folder as the platform reports it: $TMPDIR, else "/tmp".
std::string RawTempFolder();

// A folder text trimmed and with one trailing "/" removed (the root stays "/").
std::string NormaliseFolder(std::string_view folder);

// Folder + "/" + name, with exactly one separator between them.
std::string JoinPath(std::string_view folder, std::string_view name);

}  // namespace z39
