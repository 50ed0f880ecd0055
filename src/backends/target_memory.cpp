#include "backends/target_memory.h"

#include "common/gbk_text.h"

namespace z39 {

std::string TargetMemory::KeyOf(const TargetEntry& entry) {
    return LowerAscii(Trim(entry.address)) + ":" + Trim(entry.port) + "/" + Trim(entry.database);
}

std::string TargetMemory::DiscoveredHost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return discoveredHost_;
}

void TargetMemory::SetDiscoveredHost(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    discoveredHost_ = host;
}

std::optional<RecordCharset> TargetMemory::QueryCharset(const TargetEntry& entry) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto hit = queryCharsets_.find(KeyOf(entry));
    if (hit == queryCharsets_.end()) return std::nullopt;
    return hit->second;
}

void TargetMemory::LearnQueryCharset(const TargetEntry& entry, RecordCharset charset) {
    std::lock_guard<std::mutex> lock(mutex_);
    queryCharsets_[KeyOf(entry)] = charset;
}

std::optional<RecordCharset> TargetMemory::RecordCharsetOf(const TargetEntry& entry) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto hit = recordCharsets_.find(KeyOf(entry));
    if (hit == recordCharsets_.end()) return std::nullopt;
    return hit->second;
}

void TargetMemory::LearnRecordCharset(const TargetEntry& entry, RecordCharset charset) {
    std::lock_guard<std::mutex> lock(mutex_);
    recordCharsets_[KeyOf(entry)] = charset;
}

}  // namespace z39
