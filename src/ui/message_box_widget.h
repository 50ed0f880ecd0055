#pragma once

#include <QWidget>

#include "common/user_interface.h"

namespace z39 {

// Message boxes and the hourglass for the core, through Qt.
class MessageBoxWidget final : public UserInterface {
  public:
    explicit MessageBoxWidget(QWidget* parent = nullptr) : parent_(parent) {}
    void ShowMessage(const std::string& title, const std::string& text) override;
    Cursor CurrentCursor() const override;
    void SetCursor(Cursor cursor) override;
    void ProcessPendingEvents() override;
    bool AskYesNo(const std::string& title, const std::string& text) override;
    SaveChoice AskSaveDiscardCancel(const std::string& title, const std::string& text) override;

    // The window that owns the boxes.
    void setParent(QWidget* parent) { parent_ = parent; }

  private:
    QWidget* parent_;
};

}  // namespace z39
