#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/gbk_text.h"

namespace z39::test {

// Builds ISO 2709 record texts for tests. Texts given to it are UTF-8 and stored as GBK.
class MarcBuilder {
  public:
    // A control field (001 to 009): the data as it stands.
    MarcBuilder& Control(const std::string& tag, const std::string& utf8) {
        fields_.emplace_back(tag, G(utf8) + "\x1E");
        return *this;
    }
    // A data field: indicators and (code, UTF-8 value) subfields.
    MarcBuilder& Data(const std::string& tag, const std::string& indicators,
                      const std::vector<std::pair<char, std::string>>& subfields) {
        std::string data = indicators;
        for (auto& [code, value] : subfields) data += std::string("\x1F") + code + G(value);
        fields_.emplace_back(tag, data + "\x1E");
        return *this;
    }
    // A data field from raw GBK bytes (indicators included, terminator added).
    MarcBuilder& Raw(const std::string& tag, const std::string& gbkData) {
        fields_.emplace_back(tag, gbkData + "\x1E");
        return *this;
    }

    // The leader's fixed bytes other than the lengths (default a CNMARC one, "nam0 22..450 ").
    MarcBuilder& Leader(const std::string& leader24) {
        leader_ = leader24;
        return *this;
    }

    std::string Build() const {
        std::string directory;
        std::string body;
        for (auto& [tag, data] : fields_) {
            char entry[13];
            std::snprintf(entry, sizeof entry, "%3.3s%04zu%05zu", tag.c_str(), data.size(),
                          body.size());
            directory += entry;
            body += data;
        }
        directory += "\x1E";
        size_t base = 24 + directory.size();
        size_t total = base + body.size() + 1;
        char leader[25];
        std::snprintf(leader, sizeof leader, "%05zunam0 22%05zu   450 ", total, base);
        std::string head = leader;
        if (!leader_.empty()) {
            head = leader_;
            head.resize(24, ' ');
            head.replace(0, 5, std::string(leader, 5));
            head.replace(12, 5, std::string(leader + 12, 5));
        }
        return head + directory + body + "\x1D";
    }

  private:
    std::vector<std::pair<std::string, std::string>> fields_;
    std::string leader_;
};

}  // namespace z39::test
