#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "common/file_util.h"

namespace z39::test {

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "z39test.XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string Read(const std::string& name) const {
        return ReadWholeFile(File(name)).value_or("<missing>");
    }
    void Write(const std::string& name, const std::string& content) const {
        ReplaceFileAtomically(File(name), content);
    }

  private:
    std::string path_;
};

}  // namespace z39::test
