#include "records/daily_file.h"

#include "common/gbk_text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/file_util.h"
#include "records/isbn_forms.h"
#include "records/marc_record.h"

namespace z39 {

std::string IsbnInText(std::string_view text) {
    for (size_t pos = 0; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9') {
            // Skip a double-byte character whole: its trail byte may look like a digit.
            if (static_cast<unsigned char>(text[pos]) >= 0x81) ++pos;
            continue;
        }
        std::string digits;
        size_t end = pos;
        for (; end < text.size(); ++end) {
            const char c = text[end];
            if (c >= '0' && c <= '9') {
                digits += c;
            } else if ((c == 'X' || c == 'x') && digits.size() == 9) {
                digits += 'X';
                ++end;
                break;
            } else if (c != '-' && c != ' ') {
                break;
            }
            if (digits.size() > 13) break;
        }
        // Only a valid ISBN: a wrong check digit means some digit is wrong, so it is
        // another number, never the book whose check digit would be right.
        if (digits.size() == 10 || digits.size() == 13) {
            if (const auto forms = IsbnFormsOf(digits)) return forms->isbn13;
        }
        pos = end;
    }
    return {};
}

std::vector<std::string> RecordIsbns(std::string_view record) {
    std::vector<std::string> out;
    for (const auto& field : ReadFields(record).fields) {
        if ((field.tag != "010" && field.tag != "020") || field.data.size() < 2) continue;
        bool found = false;
        const std::string a = Subfield(std::string_view(field.data).substr(2), 'a', &found);
        if (!found) continue;
        const std::string isbn = IsbnInText(a);
        if (!isbn.empty()) out.push_back(isbn);
    }
    return out;
}

LockedDailyFile::LockedDailyFile(const std::string& path, DailyFormat format)
    : path_(path), format_(format) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        UniqueFd fd(
            // Never through a link: one planted in a shared download folder would have
            // the records appended to whatever it points at.
            ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW,
                   0644));
        struct stat held {};
        if (!fd.ok() || ::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) return;
        int rc;
        while ((rc = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (rc != 0) return;
        struct stat now {};
        if (::stat(path.c_str(), &now) == 0 && now.st_ino == held.st_ino &&
            now.st_dev == held.st_dev) {
            fd_ = std::move(fd);
            // A MARCXML file is never left empty: that is no XML at all.
            if (format_ == DailyFormat::kMarcXml && now.st_size == 0 && !AppendToMarcXml(""))
                fd_.reset();
            return;
        }
    }
}

std::string DailyFileProblem(const std::string& path) {
    if (IsSymlink(path)) return G("（是符号链接，为防止写到别处，不通过它写入）");
    if (IsNotRegularFile(path)) return G("（不是普通文件）");
    return {};
}

bool LockedDailyFile::Append(std::string_view record) {
    if (!fd_.ok()) return false;
    if (format_ == DailyFormat::kMarcXml) return AppendToMarcXml(record);
    struct stat before {};
    if (::fstat(fd_.get(), &before) != 0) return false;
    std::string line(record);
    line += "\r\n";
    if (WriteAll(fd_.get(), line)) return true;
    // A failed write is taken back, so the file holds whole records only.
    if (::ftruncate(fd_.get(), before.st_size) != 0) return false;
    return false;
}

bool LockedDailyFile::AppendToMarcXml(std::string_view record) {
    std::string text;
    char buffer[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd_.get(), buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
    const std::string tail = kMarcXmlFileTail;
    if (text.empty()) {
        text = kMarcXmlFileHead;
    } else {
        // Someone else's file, or one cut short: not ours to add to.
        const size_t end = text.find_last_not_of(" \t\r\n");
        const size_t close = text.rfind("</collection>");
        if (close == std::string::npos || end == std::string::npos || end + 1 != close + 13)
            return false;
        text.resize(close);
    }
    if (!record.empty()) {
        text.append(record);
        text.append("\r\n");
    }
    text.append(tail);
    // The new file is locked before it takes the old one's place: whoever opens the path
    // from then on waits for this writer.
    const std::string folder = FolderOf(path_);
    std::string name = path_.substr(folder.size());
    if (!name.empty() && name.front() == '/') name.erase(0, 1);
    std::string pattern = (folder.empty() ? std::string(".") : folder) + "/." + name + ".XXXXXX";
    UniqueFd next(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!next.ok()) return false;
    struct stat old {};
    const bool written = ::flock(next.get(), LOCK_EX) == 0 && ::fstat(fd_.get(), &old) == 0 &&
                         ::fchmod(next.get(), old.st_mode & 07777) == 0 &&
                         WriteAll(next.get(), text) && ::fsync(next.get()) == 0 &&
                         ::rename(pattern.c_str(), path_.c_str()) == 0;
    if (!written) {
        ::unlink(pattern.c_str());
        return false;
    }
    fd_ = std::move(next);  // the old file's lock goes with it; its waiters find the new one
    return true;
}

void DailyFileIndex::Reset(const std::string& path) {
    path_ = path;
    inode_ = 0;
    read_ = 0;
    records_.clear();
    byRecord_.clear();
    byIsbn_.clear();
}

void DailyFileIndex::Take(const std::string& text) {
    size_t used = 0;
    for (const std::string& record : SplitDailyFile(text, format_, &used)) Added(record);
    read_ += static_cast<off_t>(used);
}

void DailyFileIndex::CatchUp(const LockedDailyFile& file) {
    struct stat st {};
    if (!file.ok() || ::fstat(file.fd_.get(), &st) != 0) {
        Reset(file.path());
        return;
    }
    if (file.path() != path_ || st.st_ino != inode_ || st.st_size < read_) {
        Reset(file.path());
        inode_ = st.st_ino;
    }
    std::string text;
    char buffer[1 << 16];
    off_t at = read_;
    while (true) {
        const ssize_t n = ::pread(file.fd_.get(), buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
    Take(text);
}

void DailyFileIndex::Load(const std::string& path) {
    Reset(path);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) inode_ = st.st_ino;
    Take(ReadWholeFile(path).value_or(std::string()));
}

void DailyFileIndex::Added(const std::string& record) {
    records_.push_back(record);
    const int number = static_cast<int>(records_.size());
    byRecord_.emplace(record, number);
    if (format_ == DailyFormat::kGbk) {
        for (const auto& isbn : RecordIsbns(record)) byIsbn_.emplace(isbn, number);
        return;
    }
    auto known = isbnsOf_.find(record);
    if (known == isbnsOf_.end()) {
        const std::optional<std::string> gbk = DailyRecordToGbk(record, format_);
        known =
            isbnsOf_.emplace(record, gbk ? RecordIsbns(*gbk) : std::vector<std::string>{}).first;
    }
    for (const auto& isbn : known->second) byIsbn_.emplace(isbn, number);
}

std::string DailyFileIndex::InFileForm(const std::string& gbk) const {
    if (format_ == DailyFormat::kGbk) return gbk;
    return RecordForDailyFile(gbk, format_).value_or(std::string());
}

int DailyFileIndex::Find(const std::string& gbk, const std::string& isbn13) const {
    const std::string record = InFileForm(gbk);
    if (auto hit = byRecord_.find(record); hit != byRecord_.end()) return hit->second;
    if (!isbn13.empty())
        if (auto hit = byIsbn_.find(isbn13); hit != byIsbn_.end()) return hit->second;
    for (const auto& isbn : RecordIsbns(gbk))
        if (auto hit = byIsbn_.find(isbn); hit != byIsbn_.end()) return hit->second;
    return 0;
}

bool DailyFileIndex::HoldsAt(int number, const std::string& gbk) const {
    return number >= 1 && number <= size() &&
           records_[static_cast<size_t>(number - 1)] == InFileForm(gbk);
}

}  // namespace z39
