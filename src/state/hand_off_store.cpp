#include "state/hand_off_store.h"

#include <cstdlib>
#include <limits>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/ini_file.h"
#include "common/z39_error.h"

namespace z39 {
namespace {
constexpr const char* kSection = "Lib";
constexpr size_t kUnlimited = std::numeric_limits<size_t>::max();
}  // namespace

HandOffStore::HandOffStore(std::string path) : path_(std::move(path)) {}

std::string HandOffStore::DefaultPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/TesmarkSoft/Lib.ini";
}

std::string HandOffStore::GetHandOffValue(std::string_view name) const {
    return Trim(IniFile(path_, kUnlimited).ReadString(kSection, name, ""));
}

bool HandOffStore::SetHandOffValue(std::string_view name, std::string_view text) {
    if (!MakeDirectories(FolderOf(path_))) return false;
    try {
        IniFile(path_, kUnlimited).WriteString(kSection, name, text);
        return true;
    } catch (const Z39Error&) {
        return false;
    }
}

std::string HandOffBlockedMessage(const std::string& path) {
    return G("文件[") + path + G("]无法删除或写入，不能把编目数据交给调用程序！");
}

}  // namespace z39
