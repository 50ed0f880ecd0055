#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace z39 {

// The record store: the file _list.~, one line per record: number, "@", record text,
// CR LF. The file is the store; in memory we keep only where each number's first line
// starts, so a load reads one line instead of scanning the file. The map follows the
// file: lines appended by anyone are indexed on the next load, and a file that was
// deleted or truncated is indexed anew.
class RecordStore {
  public:
    explicit RecordStore(std::string path);

    const std::string& path() const { return path_; }

    // Appends number "@" record CR LF (CR and LF inside the record become blanks).
    // Throws Z39Error when the file cannot be created or written.
    void StoreRecord(int number, std::string_view record);

    // Several records in one append, each as StoreRecord writes it.
    void StoreRecords(const std::vector<std::pair<int, std::string_view>>& records);

    // The record text of the first line holding `number`; empty when no line does
    // (also when the file does not exist). Throws Z39Error when the file cannot be read.
    std::string LoadRecord(int number);

    // Deletes the file and forgets the map (a new search).
    void Clear();

  private:
    void CatchUp();

    std::string path_;
    std::unordered_map<int, off_t> firstLine_;
    off_t indexedBytes_ = 0;  // bytes of the file already indexed (whole lines only)
    ino_t indexedInode_ = 0;
};

}  // namespace z39
