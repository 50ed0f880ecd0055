#pragma once

#include <string>
#include <string_view>

namespace z39 {

// The store through which a host program hands a query over and takes the chosen
// record back: string values under one key of the current user. On Linux it is the
// GBK INI file $XDG_CONFIG_HOME/TesmarkSoft/Lib.ini, section [Lib]; value names
// compare without case. Values are not limited in length (a record may be long).
class HandOffStore {
  public:
    explicit HandOffStore(std::string path);

    // $XDG_CONFIG_HOME/TesmarkSoft/Lib.ini, else ~/.config/TesmarkSoft/Lib.ini.
    static std::string DefaultPath();

    const std::string& path() const { return path_; }

    // The trimmed value; empty when the file, the key or the value is missing.
    std::string GetHandOffValue(std::string_view name) const;

    // Writes the value, creating folder, file and key as needed. False when refused.
    bool SetHandOffValue(std::string_view name, std::string_view text);

  private:
    std::string path_;
};

// When lib.tmp cannot be removed or replaced:
// "文件[" path "]无法删除或写入，不能把编目数据交给调用程序！"
std::string HandOffBlockedMessage(const std::string& path);

}  // namespace z39
