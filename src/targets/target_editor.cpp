#include "targets/target_editor.h"

#include "common/gbk_text.h"
#include "targets/target_profile.h"

namespace z39 {

TargetEditor::TargetEditor(const TargetList& list, std::string path)
    : beyond_(list.beyondTable), path_(std::move(path)) {
    const std::string shared = G("岱恒共享编目数据库");
    for (int slot = 0; slot < list.TargetNodeCount && slot < kTargetSlots; ++slot) {
        const TargetEntry& e = list.TargetTable[static_cast<size_t>(slot)];
        if (!e.address.empty() && e.library != shared) rows_.push_back(e);
    }
    if (rows_.empty()) rows_.emplace_back();
}

void TargetEditor::Select(int row) {
    if (row >= 0 && row < static_cast<int>(rows_.size())) selected_ = row;
}

TargetEntry TargetEditor::Add() {
    editing_ = true;
    adding_ = true;
    TargetEntry fresh;
    fresh.country = G("中国");
    fresh.auth = "0";
    return fresh;
}

TargetEntry TargetEditor::Modify() {
    editing_ = true;
    adding_ = false;
    return rows_[static_cast<size_t>(selected_)];
}

TargetEntry TargetEditor::Cancel() {
    editing_ = false;
    adding_ = false;
    return rows_[static_cast<size_t>(selected_)];
}

TargetEditor::Refusal TargetEditor::Confirm(const TargetEntry& f) {
    struct Field {
        const std::string* text;
        const char* name;
        const char* label;
        bool required;
    };
    const Field fields[] = {{&f.country, "db_country", "分组名称", true},
                            {&f.library, "db_library", "服务器名称", true},
                            {&f.address, "db_address", "服务器地址", true},
                            {&f.port, "db_port", "服务器端口", true},
                            {&f.database, "db_database", "数据库名称", true},
                            {&f.username, "db_username", "用户名称", false},
                            {&f.userpass, "db_userpass", "用户密码", false}};
    // An SRU address carries its scheme, whose port is the default when none is given.
    const bool sru = IsSruAddress(Trim(f.address));
    for (const auto& field : fields) {
        if (field.required && Trim(*field.text).empty() && !(sru && field.text == &f.port))
            return {G("【") + G(field.label) + G("】不能为空"), field.name};
    }
    // The list file has no escaping: a comma (or a ")" in the password) would break it.
    for (const auto& field : fields) {
        if (field.text->find(',') != std::string::npos)
            return {G("【") + G(field.label) + G("】不能包含逗号"), field.name};
    }
    if (f.userpass.find(')') != std::string::npos)
        return {G("【用户密码】不能包含右括号"), "db_userpass"};
    // A port is digits, 1 to 65535; "-" and digits asks the shared catalogue's address
    // list for the host, as KSPORT does.
    const std::string port = Trim(f.port);
    if (!port.empty()) {
        const std::string digits = port.starts_with("-") ? port.substr(1) : port;
        const auto number = ToNumber(digits);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
            !number || *number < 1 || *number > 65535)
            return {G("【服务器端口】必须是1到65535之间的数字"), "db_port"};
    }

    TargetEntry stored = f;
    stored.auth = f.auth == "1" ? "1" : "0";
    // The window does not show a target's own index names: a modified row keeps them.
    if (!adding_ && stored.indexes.empty())
        stored.indexes = rows_[static_cast<size_t>(selected_)].indexes;
    std::vector<TargetEntry> rows = rows_;
    int selected = selected_;
    if (adding_) {
        rows.push_back(stored);
        selected = static_cast<int>(rows.size()) - 1;
    } else {
        rows[static_cast<size_t>(selected_)] = stored;
    }
    Write(rows);  // a failure leaves the table and the mode as they were
    rows_ = std::move(rows);
    selected_ = selected;
    editing_ = false;
    adding_ = false;
    return {};
}

bool TargetEditor::Delete(UserInterface& ui) {
    if (rows_.size() <= 1) {
        ui.ShowMessage(NoticeTitle(), G("只有一条记录了，不能删除，你可以修改！"));
        return false;
    }
    if (!ui.AskYesNo(NoticeTitle(), G("你确认要删除当前记录吗？"))) return false;
    std::vector<TargetEntry> rows = rows_;
    rows.erase(rows.begin() + selected_);
    Write(rows);
    rows_ = std::move(rows);
    if (selected_ >= static_cast<int>(rows_.size())) selected_ = static_cast<int>(rows_.size()) - 1;
    return true;
}

void TargetEditor::Write(const std::vector<TargetEntry>& rows) const {
    // The placeholder row of an empty list is not a target; it is not written.
    std::vector<TargetEntry> targets;
    for (const auto& r : rows) {
        bool blank = Trim(r.country).empty() && Trim(r.library).empty() &&
                     Trim(r.address).empty() && Trim(r.port).empty() && Trim(r.database).empty();
        if (!blank) targets.push_back(r);
    }
    targets.insert(targets.end(), beyond_.begin(), beyond_.end());
    SaveZ39SvrPara(path_, targets);
}

}  // namespace z39
