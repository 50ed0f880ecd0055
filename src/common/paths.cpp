#include "common/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "common/gbk_text.h"

namespace z39 {

std::string ExecutableFolder() {
    std::vector<char> buffer(4096);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    std::string exe(buffer.data(), static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string RawTempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp && *tmp) return tmp;
    return "/tmp";
}

std::string NormaliseFolder(std::string_view folder) {
    std::string out = Trim(folder);
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (out.empty() || out.back() != '/') out += '/';
    out.append(name);
    return out;
}

}  // namespace z39
