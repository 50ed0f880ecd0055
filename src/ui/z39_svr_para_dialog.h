#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include "common/user_interface.h"
#include "state/app_state.h"
#include "targets/target_editor.h"

namespace z39 {

// "Z39.50服务器参数配置": adds, changes and deletes the targets of the list file.
class TZ39SvrPara : public QDialog {
    Q_OBJECT
  public:
    TZ39SvrPara(const TargetList& list, const std::string& path, AppState& state, UserInterface& ui,
                QWidget* parent = nullptr);

    void btAddClick();
    void btModClick();
    void btOkClick();
    void btCancelClick();
    void btDelClick();

    TargetEditor& editor() { return editor_; }

    QTableWidget* sgBookList;
    QLineEdit* db_country;
    QLineEdit* db_library;
    QLineEdit* db_address;
    QLineEdit* db_port;
    QLineEdit* db_database;
    QLineEdit* db_username;
    QLineEdit* db_userpass;
    QComboBox* db_charset;  // 字符集: 自动 or a name
    QComboBox* db_syntax;   // 记录格式: 自动 or a syntax
    QRadioButton* db_auth1;
    QRadioButton* db_auth0;
    QPushButton* btAdd;
    QPushButton* btMod;
    QPushButton* btDel;
    QPushButton* btOk;
    QPushButton* btCancel;
    QPushButton* btExit;

  private:
    void FillGrid();
    void ShowRow(const TargetEntry& row);
    TargetEntry Fields() const;
    void SetEditing(bool editing);

    TargetEditor editor_;
    AppState& state_;
    UserInterface& ui_;
};

}  // namespace z39
