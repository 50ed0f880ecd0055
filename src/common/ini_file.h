#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace z39 {

// A profile (INI) file in GBK: "[section]" header lines and "key=value" lines.
// Section and key names compare without regard to ASCII case; the first match wins.
// The file is read anew on every call, so other writers are always seen.
class IniFile {
  public:
    // Values longer than `maxValueBytes` are seen cut to that length.
    static constexpr size_t kProfileValueLimit = 2047;
    explicit IniFile(std::string path, size_t maxValueBytes = kProfileValueLimit);

    const std::string& path() const { return path_; }

    // The value (blanks around it removed), or `fallback` when the file, the
    // section or the key is missing. A key that is present with no value reads "".
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view fallback) const;

    // Every key of a section, in file order, with its value.
    std::vector<std::pair<std::string, std::string>> ReadSection(std::string_view section) const;

    bool HasSection(std::string_view section) const;

    // Sets one key, creating file, section or key as needed; every other line stays
    // byte for byte. The file is replaced through a temporary file and a rename.
    // Throws Z39Error "Unable to write to <path>" when the file system refuses.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);

  private:
    std::string path_;
    size_t maxValueBytes_;
};

}  // namespace z39
