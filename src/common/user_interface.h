#pragma once

#include <string>

namespace z39 {

enum class Cursor { kNormal, kBusy };

// The answers to "save first?".
enum class SaveChoice { kSave, kDiscard, kCancel };

// A message box's title and text (GBK), carried as a value to the thread that shows it.
struct UserMessage {
    std::string title;
    std::string text;
    bool operator==(const UserMessage&) const = default;
};

// What the core needs of the user: message boxes and the hourglass. The window layer
// implements it with QMessageBox and the override cursor; tests record the calls.
class UserInterface {
  public:
    virtual ~UserInterface() = default;
    // A modal message with an OK button; title and text in GBK.
    virtual void ShowMessage(const std::string& title, const std::string& text) = 0;
    virtual Cursor CurrentCursor() const = 0;
    virtual void SetCursor(Cursor cursor) = 0;
    // A Yes/No question with No as default; true for Yes.
    virtual bool AskYesNo(const std::string& title, const std::string& text) {
        (void)title;
        (void)text;
        return false;
    }
    // "保存" / "不保存" / "取消", with Cancel as default.
    virtual SaveChoice AskSaveDiscardCancel(const std::string& title, const std::string& text) {
        (void)title;
        (void)text;
        return SaveChoice::kDiscard;
    }
    // Lets the window repaint once before a blocking step (the wait panel).
    virtual void ProcessPendingEvents() {}
};

// The title of every ordinary message box: "提示信息" in GBK.
const std::string& NoticeTitle();

}  // namespace z39
