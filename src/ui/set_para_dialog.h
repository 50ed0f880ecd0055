#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <functional>

#include "common/user_interface.h"
#include "state/app_state.h"

namespace z39 {

// "参数配置": the general settings of Z39.ini (TSetPara).
class TSetPara : public QWidget {
    Q_OBJECT
  public:
    // `openTargetEditor` runs the target list editor modally.
    TSetPara(AppState& state, UserInterface& ui, std::function<void()> openTargetEditor,
             QWidget* parent = nullptr);

    // Re-reads Z39.ini into the controls (each activation).
    void FormActivate();
    void btOkClick();
    void Button1Click();

    QLineEdit* edNum;
    QCheckBox* cbAll;
    QLineEdit* edPath;
    QPushButton* btOpenDir;
    QRadioButton* rbOrder1;
    QRadioButton* rbOrder2;
    QLineEdit* edHAddr;
    QLineEdit* edHPort;
    QPushButton* Button1;
    QCheckBox* cbIE;
    QCheckBox* ckbSetDefault;
    QComboBox* cbFormat;  // the daily file's form (MARCFORMAT)
    QGroupBox* grbProxyGroup;
    QCheckBox* ckbProxy;
    QGroupBox* grbProxy;
    QLineEdit* edAddr;
    QLineEdit* edPort;
    QPushButton* btOk;
    QPushButton* btZ39Svr;

  private:
    AppState& state_;
    UserInterface& ui_;
    std::function<void()> openTargetEditor_;
};

}  // namespace z39
