#pragma once

#include <map>
#include <string>
#include <vector>

#include "state/z39_settings.h"

namespace z39 {

// One target database.
struct TargetEntry {
    std::string country;  // group (first tree level)
    std::string library;  // server (second tree level)
    std::string address;  // host; a slot is in use exactly when this is not empty
    std::string port;
    std::string auth;  // "1": authenticate with username and userpass
    std::string username;
    std::string userpass;
    std::string database;  // the node the user picks (third tree level)
    // The target's own options, kept after the ")" of its line, where readers of the plain
    // format do not look: the server's character set and the record syntax to ask for
    // (empty: automatic).
    std::string charset;
    std::string syntax;
    // An SRU server's own CQL index names, by the field they search ("title", "isbn",
    // "issn", "author", "publisher", "date"); a field not named uses the usual index.
    std::map<std::string, std::string> indexes;
    bool written = false;  // used only by the writer
};

inline constexpr int kTargetSlots = 301;  // slots 0 to 300
inline constexpr int kSharedCatalogueSlot = 1;

// One node of the database tree, in display order: a node's index is its position.
struct TreeNode {
    std::string text;
    int parent = -1;  // -1 at root level
};

// What reading the target list file produces: the tree the window shows as it is,
// the table with one slot per node, and the first choice of the current target.
struct TargetList {
    std::vector<TreeNode> nodes;
    std::vector<TargetEntry> TargetTable = std::vector<TargetEntry>(kTargetSlots);
    int TargetNodeCount = 0;
    int CurrentTarget = 0;  // 0: none chosen
    std::string caption;    // "[当前数据库：" group " " server "[" database "]]"
    // Targets of the file that found no slot (past slot 300), in file order: not shown,
    // but kept so that writing the list back loses none of them.
    std::vector<TargetEntry> beyondTable;
};

// The built-in shared catalogue entry of slot 1, from the settings.
TargetEntry SharedCatalogueEntry(const Z39Settings& settings);

// Reads `path` (GBK; the target list file) into a tree and table behind the built-in
// group and shared catalogue. A missing file gives just the built-in entries. The end
// of the file inside a group or server ends the reading with what was read; nodes past
// slot 300 are left out of both tree and table.
TargetList GetZ39SvrPara(const std::string& path, const Z39Settings& settings);

// The target's options as they follow the ")" of its line: " charset=NAME format=NAME",
// then " index.FIELD=NAME" for each index named, each only when set; empty when none is.
// Names hold no blank.
std::string TargetOptionsText(const TargetEntry& entry);

// Writes the editor's rows to `path`, grouped by group and server in the order of their
// first rows, through a temporary file and a rename. Throws Z39Error on failure; the old
// file then stays as it was.
void SaveZ39SvrPara(const std::string& path, std::vector<TargetEntry> rows);

// Rewrites the options after the ")" of the lines of `entries` in the list file at
// `path` (each found by group, server, database, address and port) as
// TargetOptionsText(entry) gives them; every other line and byte stays as it was. Returns
// how many lines were rewritten; throws Z39Error when the file cannot be read or written.
int WriteTargetOptions(const std::string& path, const std::vector<TargetEntry>& entries);

// The caption of the current database for a slot.
std::string TargetCaption(const TargetEntry& entry);

// The first line of the file.
std::string TargetListComment();

}  // namespace z39
