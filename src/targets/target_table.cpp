#include "targets/target_table.h"

#include <optional>

#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/z39_error.h"

namespace z39 {
namespace {

// The lines of the file, each trimmed, read one after another.
class LineReader {
  public:
    explicit LineReader(std::string text) : text_(std::move(text)) {}
    std::optional<std::string> Next() {
        if (pos_ >= text_.size()) return std::nullopt;
        size_t lf = text_.find('\n', pos_);
        size_t end = lf == std::string::npos ? text_.size() : lf;
        std::string line = Trim(std::string_view(text_).substr(pos_, end - pos_));
        pos_ = lf == std::string::npos ? text_.size() : lf + 1;
        return line;
    }

  private:
    std::string text_;
    size_t pos_ = 0;
};

std::string AfterFirst(const std::string& line) { return line.empty() ? line : line.substr(1); }

// The words after an entry's ")": "charset=NAME", "format=NAME" and "index.FIELD=NAME";
// others are ignored.
void ReadOptions(const std::string& text, TargetEntry& e) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(" \t", pos);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(pos, end - pos);
        if (word.starts_with("charset=")) e.charset = word.substr(8);
        if (word.starts_with("format=")) e.syntax = word.substr(7);
        if (word.starts_with("index.")) {
            const size_t eq = word.find('=');
            if (eq != std::string::npos && eq > 6 && eq + 1 < word.size())
                e.indexes[word.substr(6, eq - 6)] = word.substr(eq + 1);
        }
        pos = end + 1;
    }
}

// database, address, port, auth, username up to commas; userpass up to ")".
TargetEntry ParseEntry(const std::string& line) {
    TargetEntry e;
    std::string rest = AfterFirst(line);
    auto take = [&rest](std::string& field) {
        size_t comma = rest.find(',');
        if (comma == std::string::npos) return;
        field = rest.substr(0, comma);
        rest.erase(0, comma + 1);
    };
    size_t comma = rest.find(',');
    if (comma == std::string::npos) {
        e.database = rest.substr(0, rest.find(')'));
        return e;
    }
    take(e.database);
    take(e.address);
    take(e.port);
    take(e.auth);
    take(e.username);
    size_t close = rest.find(')');
    e.userpass = close == std::string::npos ? std::string() : rest.substr(0, close);
    if (close != std::string::npos) ReadOptions(rest.substr(close + 1), e);
    return e;
}

}  // namespace

std::string TargetOptionsText(const TargetEntry& entry) {
    auto word = [](std::string value) {
        value = Trim(value);
        for (char& c : value)
            if (static_cast<unsigned char>(c) <= 32) c = '-';
        return value;
    };
    std::string out;
    if (!word(entry.charset).empty()) out += " charset=" + word(entry.charset);
    if (!word(entry.syntax).empty()) out += " format=" + word(entry.syntax);
    for (const auto& [field, name] : entry.indexes) {
        if (!word(field).empty() && !word(name).empty() && field.find('=') == std::string::npos)
            out += " index." + word(field) + "=" + word(name);
    }
    return out;
}

std::string TargetListComment() {
    return G("//数据库名称，地址，端口，授权方式，用户名称，用户密码");
}

TargetEntry SharedCatalogueEntry(const Z39Settings& settings) {
    TargetEntry e;
    e.country = G("中国");
    e.library = G("岱恒共享编目数据库");
    e.database = "ks_lib";
    e.address = settings.KSIP;
    e.port = settings.KSPORT;
    e.auth = "0";
    return e;
}

std::string TargetCaption(const TargetEntry& entry) {
    return G("[当前数据库：") + entry.country + " " + entry.library + "[" + entry.database + "]]";
}

TargetList GetZ39SvrPara(const std::string& path, const Z39Settings& settings) {
    TargetList list;
    list.nodes.push_back({G("岱恒共享编目数据库"), -1});
    list.nodes.push_back({"ks_lib", 0});
    list.TargetTable[kSharedCatalogueSlot] = SharedCatalogueEntry(settings);
    const bool ksDefault = settings.KSDEFAULT == 1;
    bool chosen = false;
    if (ksDefault) {
        list.CurrentTarget = kSharedCatalogueSlot;
        list.caption = TargetCaption(list.TargetTable[kSharedCatalogueSlot]);
        chosen = true;
    }
    // Adds a node when there is a slot left for it; returns its index or -1.
    auto addNode = [&list](std::string text, int parent) {
        if (static_cast<int>(list.nodes.size()) >= kTargetSlots) return -1;
        list.nodes.push_back({std::move(text), parent});
        return static_cast<int>(list.nodes.size()) - 1;
    };

    LineReader reader(ReadWholeFile(path).value_or(std::string()));
    while (auto line = reader.Next()) {
        if (line->empty() || line->starts_with("//")) continue;
        std::string group = AfterFirst(*line);
        int groupNode = addNode(group, -1);
        if (!chosen) list.caption = G("[当前数据库：") + group;
        auto serverLine = reader.Next();
        while (serverLine && *serverLine != "}") {
            std::string server = AfterFirst(*serverLine);
            int serverNode = groupNode < 0 ? -1 : addNode(server, groupNode);
            if (!chosen) list.caption += " " + server;
            auto entryLine = reader.Next();
            while (entryLine && *entryLine != "]") {
                TargetEntry entry = ParseEntry(*entryLine);
                int node = serverNode < 0 ? -1 : addNode(entry.database, serverNode);
                entry.country = group;
                entry.library = server;
                if (node < 0) {
                    list.beyondTable.push_back(std::move(entry));
                } else {
                    if (!chosen) {
                        list.CurrentTarget = node;
                        list.caption += "[" + entry.database + "]]";
                        chosen = true;
                    }
                    list.TargetTable[node] = std::move(entry);
                }
                entryLine = reader.Next();
            }
            if (!entryLine) break;
            serverLine = reader.Next();
        }
    }
    list.TargetNodeCount = static_cast<int>(list.nodes.size());
    return list;
}

int WriteTargetOptions(const std::string& path, const std::vector<TargetEntry>& entries) {
    std::optional<std::string> text = ReadWholeFile(path);
    if (!text) throw Z39Error(G("文件[") + path + G("]无法读取！"));
    // The file's lines with their own endings, walked as GetZ39SvrPara walks them.
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text->size();) {
        size_t lf = text->find('\n', pos);
        size_t end = lf == std::string::npos ? text->size() : lf + 1;
        lines.push_back(text->substr(pos, end - pos));
        pos = end;
    }
    auto trimmed = [&lines](size_t i) { return Trim(lines[i]); };
    int rewritten = 0;
    std::string group, server;
    enum { kTop, kServers, kEntries } where = kTop;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string line = trimmed(i);
        if (where == kTop) {
            if (line.empty() || line.starts_with("//")) continue;
            group = AfterFirst(line);
            where = kServers;
        } else if (where == kServers) {
            if (line == "}") {
                where = kTop;
            } else {
                server = AfterFirst(line);
                where = kEntries;
            }
        } else if (line == "]") {
            where = kServers;
        } else {
            TargetEntry parsed = ParseEntry(line);
            for (const TargetEntry& e : entries) {
                if (e.country != group || e.library != server || e.database != parsed.database ||
                    e.address != parsed.address || e.port != parsed.port)
                    continue;
                // The line up to the ")" that ends its fields, then the new options.
                size_t close = std::string::npos, at = 0;
                for (int commas = 0; at < lines[i].size(); ++at) {
                    if (lines[i][at] == ',' && ++commas == 5) {
                        close = lines[i].find(')', at);
                        break;
                    }
                }
                if (close == std::string::npos) break;
                const std::string& old = lines[i];
                const std::string ending = old.ends_with("\r\n") ? "\r\n"
                                           : old.ends_with("\n") ? "\n"
                                                                 : "";
                lines[i] = old.substr(0, close + 1) + TargetOptionsText(e) + ending;
                ++rewritten;
                break;
            }
        }
    }
    std::string out;
    for (const auto& l : lines) out += l;
    if (out != *text && !ReplaceFileAtomically(path, out, Links::follow))
        throw Z39Error(G("文件[") + path + G("]无法写入！"));
    return rewritten;
}

void SaveZ39SvrPara(const std::string& path, std::vector<TargetEntry> rows) {
    for (auto& row : rows) row.written = false;
    std::string out = TargetListComment() + "\r\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].written) continue;
        std::string group = Trim(rows[i].country);
        out += "{" + group + "\r\n";
        for (size_t j = i; j < rows.size(); ++j) {
            if (rows[j].written || Trim(rows[j].country) != group) continue;
            std::string server = Trim(rows[j].library);
            out += "    [" + server + "\r\n";
            for (size_t k = j; k < rows.size(); ++k) {
                TargetEntry& e = rows[k];
                if (e.written || Trim(e.country) != group || Trim(e.library) != server) continue;
                out += "        (" + Trim(e.database) + "," + Trim(e.address) + "," + Trim(e.port) +
                       "," + Trim(e.auth) + "," + Trim(e.username) + "," + Trim(e.userpass) + ")" +
                       TargetOptionsText(e) + "\r\n";
                e.written = true;
            }
            out += "    ]\r\n";
        }
        out += "}\r\n\r\n";
    }
    if (!ReplaceFileAtomically(path, out, Links::follow))
        throw Z39Error("Unable to write to " + path);
}

}  // namespace z39
