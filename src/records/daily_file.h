#pragma once

#include <sys/types.h>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"
#include "records/daily_format.h"

namespace z39 {

// The 13-digit ISBNs of a record's 010 and 020 $a, read out of qualified forms
// ("9787536692930 (pbk.)", "7-5366-9293-5（精装）", "ISBN 978-...").
std::vector<std::string> RecordIsbns(std::string_view record);

// The ISBN a subfield's text holds, as 13 digits: the first run of digits, hyphens and
// blanks (an X closing an ISBN-10) that makes a valid ISBN-10 or ISBN-13 (check digit
// included); empty when none does.
std::string IsbnInText(std::string_view text);

// A daily file opened for appending under an exclusive lock (flock), held until the object
// goes. Every writer of daily files takes it (F5, the batch, the batch window), so two
// writers at once take turns, and what one reads under the lock is what the file holds.
// A file moved away or replaced while the lock was awaited (the cataloguing system
// importing it, a MARCXML file saved to) is let go and the file now at the path is taken.
class LockedDailyFile {
  public:
    // A path that is a symbolic link is not opened (ok() is false).
    explicit LockedDailyFile(const std::string& path, DailyFormat format = DailyFormat::kGbk);
    bool ok() const { return fd_.ok(); }
    const std::string& path() const { return path_; }
    DailyFormat format() const { return format_; }
    // Appends a record as the file's format holds it (RecordForDailyFile): GBK and UTF-8
    // with CR LF after it; false when it could not be written (the file then stays as it
    // was). A MARCXML file is written anew with the record before its closing tag and put
    // in place of the old one in one step, so it is whole whenever the program stops; one
    // that does not end with the closing tag is not added to.
    bool Append(std::string_view record);

  private:
    friend class DailyFileIndex;
    bool AppendToMarcXml(std::string_view record);

    std::string path_;
    DailyFormat format_;
    UniqueFd fd_;
};

// Why a daily file could not be written, for the message after "文件[...]写入失败": that
// it is a link or not a regular file; empty otherwise.
std::string DailyFileProblem(const std::string& path);

// The records of one daily file, by position, with the ISBNs of their 010 and 020 fields.
// Records are given to it in GBK and compared in the form the file's format holds them.
class DailyFileIndex {
  public:
    explicit DailyFileIndex(DailyFormat format = DailyFormat::kGbk) : format_(format) {}
    // Reads what was added to the file since the last call; from the start when the file
    // is another one (another path, moved or replaced, or shorter).
    void CatchUp(const LockedDailyFile& file);
    // The same from the file at `path`, when there is one, without a lock (for a look at a
    // file no one writes now: an earlier day's).
    void Load(const std::string& path);
    const std::string& path() const { return path_; }
    int size() const { return static_cast<int>(records_.size()); }
    // The position (from 1) of the GBK record, or of a record with this ISBN; 0 when none.
    int Find(const std::string& record, const std::string& isbn13) const;
    bool HoldsAt(int number, const std::string& record) const;

  private:
    void Reset(const std::string& path);
    void Take(const std::string& text);
    // A record as the file holds it.
    void Added(const std::string& record);
    std::string InFileForm(const std::string& gbk) const;

    DailyFormat format_;
    // The ISBNs of records in the file's form other than GBK, read once: a MARCXML file is
    // read anew after each save.
    std::map<std::string, std::vector<std::string>> isbnsOf_;
    std::string path_;
    ino_t inode_ = 0;
    off_t read_ = 0;  // bytes taken: up to the end of the last whole record line
    std::vector<std::string> records_;
    std::map<std::string, int> byRecord_;
    std::map<std::string, int> byIsbn_;
};

}  // namespace z39
