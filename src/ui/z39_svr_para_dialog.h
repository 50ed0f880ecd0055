#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include <QPointer>
#include <QProgressDialog>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "backends/target_probe.h"
#include "common/user_interface.h"
#include "state/app_state.h"
#include "targets/target_editor.h"

namespace z39 {

// "Z39.50服务器参数配置": adds, changes and deletes the targets of the list file.
class TZ39SvrPara : public QDialog {
    Q_OBJECT
  public:
    // `memory`: the run's, which the test (测试) feeds; null: the dialog's own.
    TZ39SvrPara(const TargetList& list, const std::string& path, AppState& state, UserInterface& ui,
                QWidget* parent = nullptr, TargetMemory* memory = nullptr);
    ~TZ39SvrPara() override;

    void btAddClick();
    void btModClick();
    void btOkClick();
    void btCancelClick();
    void btDelClick();
    // Tests the target of the fields on a worker (cancellable), then shows the findings and
    // offers their suggestions.
    void btTestClick();
    bool testing() const { return probeThread_.joinable(); }
    // Asks whether to take the suggestions after showing the findings (`text`); a test may
    // answer in its place.
    std::function<bool(const QString& text, bool suggestions)> askToTakeSuggestions;
    const ProbeReport& lastProbe() const { return lastProbe_; }

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
    QPushButton* btTest;

  private:
    void FillGrid();
    void ShowRow(const TargetEntry& row);
    TargetEntry Fields() const;
    void SetEditing(bool editing);

    void ProbeEnded(const ProbeReport& report);
    void TakeSuggestions(const ProbeReport& report);

    TargetEditor editor_;
    TargetMemory ownMemory_;
    TargetMemory* memory_;
    std::unique_ptr<CancelToken> probeCancel_;
    std::thread probeThread_;
    QPointer<QProgressDialog> probeWait_;
    ProbeReport lastProbe_;
    std::map<std::string, std::string> pendingIndexes_;
    AppState& state_;
    UserInterface& ui_;
};

}  // namespace z39
