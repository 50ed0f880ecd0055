#include "records/record_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "common/file_util.h"
#include "common/unique_fd.h"
#include "common/z39_error.h"

namespace z39 {
namespace {

// One read() of up to `size` bytes, again after an interruption; 0 at the end of the file.
ssize_t ReadSome(int fd, char* buffer, size_t size, const std::string& path) {
    while (true) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) return n;
        if (errno != EINTR) throw Z39Error("Unable to read " + path);
    }
}

// The number before the first "@" of a line ("" reads 0); false when there is none.
bool LineNumber(std::string_view line, int& number) {
    size_t at = line.find('@');
    if (at == std::string_view::npos) return false;
    std::string digits = "0" + std::string(line.substr(0, at));
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    return ec == std::errc() && ptr == digits.data() + digits.size();
}

}  // namespace

RecordStore::RecordStore(std::string path) : path_(std::move(path)) {}

namespace {

void AppendLine(std::string& out, int number, std::string_view record) {
    out += std::to_string(number) + "@";
    out.reserve(out.size() + record.size() + 2);
    for (char c : record) out += (c == '\r' || c == '\n') ? ' ' : c;
    out += "\r\n";
}

}  // namespace

void RecordStore::StoreRecord(int number, std::string_view record) {
    StoreRecords({{number, record}});
}

void RecordStore::StoreRecords(const std::vector<std::pair<int, std::string_view>>& records) {
    std::string lines;
    for (const auto& [number, record] : records) AppendLine(lines, number, record);
    if (!AppendToFile(path_, lines, Links::refuse)) throw Z39Error("Unable to write to " + path_);
}

void RecordStore::Clear() {
    DeleteFileIfExists(path_);
    firstLine_.clear();
    indexedBytes_ = 0;
    indexedInode_ = 0;
}

void RecordStore::CatchUp() {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) != 0) {
        firstLine_.clear();
        indexedBytes_ = 0;
        indexedInode_ = 0;
        return;
    }
    if (st.st_ino != indexedInode_ || st.st_size < indexedBytes_) {
        firstLine_.clear();
        indexedBytes_ = 0;
        indexedInode_ = st.st_ino;
    }
    if (st.st_size == indexedBytes_) return;

    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0 || ::lseek(fd.get(), indexedBytes_, SEEK_SET) < 0)
        throw Z39Error("Unable to read " + path_);
    // Only the number before "@" matters, so a short head of each line is enough.
    constexpr size_t kHead = 64;
    std::string head;
    off_t offset = indexedBytes_;  // file offset of buffer[0]
    off_t lineStart = indexedBytes_;
    char buffer[1 << 16];
    while (true) {
        const ssize_t n = ReadSome(fd.get(), buffer, sizeof buffer, path_);
        if (n == 0) break;
        size_t pos = 0;
        while (pos < static_cast<size_t>(n)) {
            auto* lf = static_cast<const char*>(std::memchr(buffer + pos, '\n', n - pos));
            size_t end = lf ? static_cast<size_t>(lf - buffer) : static_cast<size_t>(n);
            if (head.size() < kHead)
                head.append(buffer + pos, std::min(end - pos, kHead - head.size()));
            if (!lf) break;
            int number = 0;
            if (LineNumber(head, number)) firstLine_.emplace(number, lineStart);
            head.clear();
            lineStart = offset + static_cast<off_t>(end + 1);
            pos = end + 1;
        }
        offset += n;
    }
    // A last line without its line break is read again next time.
    indexedBytes_ = lineStart;
}

std::string RecordStore::LoadRecord(int number) {
    CatchUp();
    auto hit = firstLine_.find(number);
    if (hit == firstLine_.end()) return {};
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) throw Z39Error("Unable to read " + path_);
    if (::lseek(fd.get(), hit->second, SEEK_SET) < 0) throw Z39Error("Unable to read " + path_);
    std::string line;
    char buffer[1 << 14];
    while (true) {
        const ssize_t n = ReadSome(fd.get(), buffer, sizeof buffer, path_);
        if (n == 0) break;
        const char* lf = static_cast<const char*>(std::memchr(buffer, '\n', n));
        line.append(buffer, lf ? lf - buffer : n);
        if (lf) break;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line.substr(line.find('@') + 1);
}

}  // namespace z39
