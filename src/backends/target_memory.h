#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "records/marc_charset.h"
#include "targets/target_profile.h"

namespace z39 {

// What a run has learned of its targets, for every back end instance of the run to read
// and feed (the window's, each batch worker's): the shared catalogue's discovered host,
// and per Z39.50 target the character set its queries worked in and the one its records
// came in. Safe to use from several threads; one object per run.
class TargetMemory {
  public:
    // The shared catalogue's address as /hosts.txt gave it; empty when not known.
    std::string DiscoveredHost() const;
    void SetDiscoveredHost(const std::string& host);

    // Held while the host is discovered, so that workers starting at once ask /hosts.txt
    // once between them: the others wait and then read what the first learned.
    std::mutex& DiscoveryLock() { return discovery_; }

    std::optional<RecordCharset> QueryCharset(const TargetEntry& entry) const;
    void LearnQueryCharset(const TargetEntry& entry, RecordCharset charset);
    std::optional<RecordCharset> RecordCharsetOf(const TargetEntry& entry) const;
    void LearnRecordCharset(const TargetEntry& entry, RecordCharset charset);

    // The key a target is remembered under: address:port/database.
    static std::string KeyOf(const TargetEntry& entry);

  private:
    mutable std::mutex mutex_;
    std::mutex discovery_;
    std::string discoveredHost_;
    std::map<std::string, RecordCharset> queryCharsets_;
    std::map<std::string, RecordCharset> recordCharsets_;
};

}  // namespace z39
