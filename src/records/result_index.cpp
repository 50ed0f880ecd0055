#include "records/result_index.h"

#include <unicode/ucol.h>
#include <unicode/ustring.h>

#include <algorithm>

#include "common/gbk_text.h"

namespace z39 {
namespace {

// The tail is the last "@@" of an entry: we appended it, while a title may itself
// hold "@@" and must not be taken for the separator.
std::string_view DisplayPart(std::string_view entry) {
    size_t at = entry.rfind("@@");
    return at == std::string_view::npos ? entry : entry.substr(0, at);
}

std::string_view TailPart(std::string_view entry) {
    size_t at = entry.rfind("@@");
    return at == std::string_view::npos ? std::string_view() : entry.substr(at);
}

}  // namespace

// Owns the ICU collator: Chinese rules, secondary strength (case ignored).
struct ResultIndex::Collator {
    Collator() {
        UErrorCode status = U_ZERO_ERROR;
        handle = ucol_open("zh", &status);
        if (U_FAILURE(status)) {
            status = U_ZERO_ERROR;
            handle = ucol_open("", &status);
        }
        if (handle) ucol_setStrength(handle, UCOL_SECONDARY);
    }
    ~Collator() {
        if (handle) ucol_close(handle);
    }
    Collator(const Collator&) = delete;
    Collator& operator=(const Collator&) = delete;
    UCollator* handle = nullptr;
};

ResultIndex::ResultIndex() : collator_(std::make_unique<Collator>()) {}
ResultIndex::~ResultIndex() = default;

std::string ResultIndex::SortKey(std::string_view displayLine) const {
    std::string utf8 = GbkToUtf8(displayLine);
    if (!collator_->handle) return utf8;
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
    std::u16string utf16(static_cast<size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    u_strFromUTF8(reinterpret_cast<UChar*>(utf16.data()), length, nullptr, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &status);
    if (U_FAILURE(status)) return utf8;
    const auto* chars = reinterpret_cast<const UChar*>(utf16.data());
    std::string key(64, '\0');
    int32_t needed =
        ucol_getSortKey(collator_->handle, chars, length, reinterpret_cast<uint8_t*>(key.data()),
                        static_cast<int32_t>(key.size()));
    if (needed > static_cast<int32_t>(key.size())) {
        key.assign(static_cast<size_t>(needed), '\0');
        needed = ucol_getSortKey(collator_->handle, chars, length,
                                 reinterpret_cast<uint8_t*>(key.data()), needed);
    }
    key.resize(needed > 0 ? static_cast<size_t>(needed - 1) : 0);  // drop the final NUL
    return key;
}

bool ResultIndex::Less(const Entry& a, const Entry& b) {
    if (a.sortKey != b.sortKey) return a.sortKey < b.sortKey;
    auto ta = TailPart(a.text);
    auto tb = TailPart(b.text);
    if (ta != tb) return ta < tb;
    return a.text < b.text;
}

void ResultIndex::SetSorted(bool sorted) {
    if (sorted && !sorted_ && !arranged_) std::stable_sort(entries_.begin(), entries_.end(), Less);
    sorted_ = sorted;
}

void ResultIndex::Clear() {
    entries_.clear();
    arranged_ = false;
}

void ResultIndex::Arrange(const std::vector<Listed>& rows) {
    entries_.clear();
    entries_.reserve(rows.size());
    for (const auto& row : rows)
        entries_.push_back({row.displayLine + "@@" + std::to_string(row.number), std::string()});
    arranged_ = true;
}

int ResultIndex::AddResult(std::string_view displayLine, std::string_view record,
                           RecordStore& store) {
    int n = static_cast<int>(entries_.size());
    Entry entry{std::string(displayLine) + "@@" + std::to_string(n), SortKey(displayLine)};
    store.StoreRecord(n, record);
    if (sorted_) {
        auto at = std::upper_bound(entries_.begin(), entries_.end(), entry, Less);
        entries_.insert(at, std::move(entry));
    } else {
        entries_.push_back(std::move(entry));
    }
    return n;
}

void ResultIndex::AddResults(const std::vector<Result>& page, RecordStore& store) {
    if (page.empty()) return;
    const size_t first = entries_.size();
    std::vector<std::pair<int, std::string_view>> records;
    std::vector<Entry> added;
    added.reserve(page.size());
    records.reserve(page.size());
    for (size_t i = 0; i < page.size(); ++i) {
        int n = static_cast<int>(first + i);
        added.push_back(
            {page[i].displayLine + "@@" + std::to_string(n), SortKey(page[i].displayLine)});
        records.emplace_back(n, page[i].record);
    }
    store.StoreRecords(records);
    entries_.insert(entries_.end(), std::make_move_iterator(added.begin()),
                    std::make_move_iterator(added.end()));
    if (sorted_) {
        auto middle = entries_.begin() + static_cast<std::ptrdiff_t>(first);
        std::stable_sort(middle, entries_.end(), Less);
        std::inplace_merge(entries_.begin(), middle, entries_.end(), Less);
    }
}

std::vector<std::string> ResultIndex::Rows() const {
    std::vector<std::string> rows;
    rows.reserve(entries_.size());
    for (const auto& e : entries_) rows.emplace_back(DisplayPart(e.text));
    return rows;
}

int ResultIndex::RecordNumberAt(size_t row) const {
    if (row >= entries_.size()) return -1;
    auto tail = TailPart(entries_[row].text);
    if (tail.size() < 2) return -1;
    return ToNumberOr(tail.substr(2), -1);
}

std::string ResultIndex::RecordAt(size_t row, RecordStore& store) const {
    int n = RecordNumberAt(row);
    return n < 0 ? std::string() : store.LoadRecord(n);
}

}  // namespace z39
