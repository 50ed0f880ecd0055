#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "records/record_store.h"

namespace z39 {

// The hidden result index lstBookOrder: one entry per stored record, display line +
// "@@" + record number. Row i of the result list shows entry i. Sorted, the entries
// follow the Chinese (pinyin) collation of their display lines, letter case ignored;
// equal display lines are ordered by their "@@" + number tail compared as text.
// Unsorted, entries stay in the order they were added.
class ResultIndex {
  public:
    ResultIndex();
    ~ResultIndex();
    ResultIndex(const ResultIndex&) = delete;
    ResultIndex& operator=(const ResultIndex&) = delete;

    // Takes the sort setting; turning sorting on sorts the entries held.
    void SetSorted(bool sorted);
    bool sorted() const { return sorted_; }

    void Clear();
    size_t size() const { return entries_.size(); }

    // n := entry count; adds displayLine + "@@" + n and stores the record under n.
    // Returns n. Throws Z39Error when the store cannot be written.
    int AddResult(std::string_view displayLine, std::string_view record, RecordStore& store);

    // A page at once: each (display line, record) as AddResult would add it, in order, with
    // the records written to the store in one append. Sorting the page and merging it into
    // the entries held keeps adding pages O(n log n) overall.
    struct Result {
        std::string displayLine;
        std::string record;
    };
    void AddResults(const std::vector<Result>& page, RecordStore& store);

    // The entries exactly as given, in that order: a list arranged by its maker (records
    // of one book kept together), each a display line and the number its record is stored
    // under. Sorting leaves such a list as it is until the next Clear.
    struct Listed {
        std::string displayLine;
        int number = 0;
    };
    void Arrange(const std::vector<Listed>& rows);

    const std::string& EntryAt(size_t row) const { return entries_[row].text; }

    // The rows the result list shows: the display part of each entry.
    std::vector<std::string> Rows() const;

    // The record number after the "@@" of entry `row`; -1 when the row does not exist.
    int RecordNumberAt(size_t row) const;

    // LoadRecord(RecordNumberAt(row)); empty for a row that does not exist.
    std::string RecordAt(size_t row, RecordStore& store) const;

    // The collation key a display line is sorted by.
    std::string SortKey(std::string_view displayLine) const;

  private:
    struct Entry {
        std::string text;
        std::string sortKey;  // collation key of the display part
    };
    static bool Less(const Entry& a, const Entry& b);

    struct Collator;
    std::unique_ptr<Collator> collator_;
    std::vector<Entry> entries_;
    bool sorted_ = true;
    bool arranged_ = false;
};

}  // namespace z39
