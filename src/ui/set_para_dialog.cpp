#include "ui/set_para_dialog.h"

#include <QFileDialog>
#include <QIntValidator>
#include <QLabel>

#include "app/settings_form.h"
#include "common/file_util.h"
#include "common/z39_error.h"
#include "records/daily_format.h"
#include "ui/qt_text_widget.h"

namespace z39 {
namespace {
QString U(const char* utf8) { return QString::fromUtf8(utf8); }
}  // namespace

TSetPara::TSetPara(AppState& state, UserInterface& ui, std::function<void()> openTargetEditor,
                   QWidget* parent)
    : QWidget(parent), state_(state), ui_(ui), openTargetEditor_(std::move(openTargetEditor)) {
    setWindowTitle(U("参数配置"));
    auto* main = Placed(new QGroupBox(U("配置系统参数"), this), 8, 4, 560, 380);

    auto* count = Placed(new QGroupBox(U("每次读取记录数"), main), 10, 20, 250, 56);
    edNum = new QLineEdit(count);
    edNum->setValidator(new QIntValidator(1, 100, edNum));
    edNum->setGeometry(10, 22, 60, 24);
    cbAll = Placed(new QCheckBox(U("全部读取"), count), 90, 22, 120, 24);

    auto* order = Placed(new QGroupBox(U("排序方式"), main), 270, 20, 280, 56);
    rbOrder1 = Placed(new QRadioButton(U("按题名排序"), order), 10, 22, 120, 24);
    rbOrder2 = Placed(new QRadioButton(U("按获得先后排序"), order), 135, 22, 140, 24);

    auto* path = Placed(new QGroupBox(U("下载记录的文件目录(文件名为marcYYYYMMDD.txt)"), main), 10,
                        82, 540, 56);
    edPath = Placed(new QLineEdit(path), 10, 22, 480, 24);
    btOpenDir = Placed(new QPushButton(QStringLiteral("..."), path), 496, 22, 34, 24);
    connect(btOpenDir, &QPushButton::clicked, this, [this] {
        QString folder =
            QFileDialog::getExistingDirectory(this, U("请选择要保存的文件目录"), edPath->text());
        if (!folder.isEmpty()) edPath->setText(folder);
    });

    auto* ks = Placed(new QGroupBox(U("岱恒共享编目库"), main), 10, 144, 540, 110);
    (new QLabel(U("地址"), ks))->setGeometry(10, 24, 40, 24);
    edHAddr = Placed(new QLineEdit(ks), 50, 24, 230, 24);
    (new QLabel(U("端口"), ks))->setGeometry(290, 24, 40, 24);
    edHPort = Placed(new QLineEdit(ks), 330, 24, 80, 24);
    Button1 = Placed(new QPushButton(U("默认地址"), ks), 420, 24, 100, 24);
    connect(Button1, &QPushButton::clicked, this, &TSetPara::Button1Click);
    cbIE = Placed(new QCheckBox(U("使用IE通信方式访问"), ks), 10, 60, 200, 24);
    ckbSetDefault = Placed(new QCheckBox(U("设置为默认服务器"), ks), 230, 60, 200, 24);

    // The proxy settings are kept in the file but never shown.
    grbProxyGroup = new QGroupBox(U("代理服务器"), main);
    ckbProxy = new QCheckBox(U("使用代理"), grbProxyGroup);
    grbProxy = new QGroupBox(grbProxyGroup);
    edAddr = new QLineEdit(grbProxy);
    edPort = new QLineEdit(grbProxy);
    grbProxyGroup->hide();
    auto showProxy = [this] { grbProxy->setVisible(ckbProxy->isChecked()); };
    connect(ckbProxy, &QCheckBox::clicked, this, showProxy);
    connect(ckbSetDefault, &QCheckBox::clicked, this, showProxy);

    // The daily file's form: what the cataloguing system imports.
    auto* format = Placed(new QGroupBox(U("保存格式"), main), 10, 260, 540, 56);
    cbFormat = Placed(new QComboBox(format), 10, 22, 360, 24);
    cbFormat->addItem(U("GBK（ISO 2709，marcYYYYMMDD.txt）"), QStringLiteral("GBK"));
    cbFormat->addItem(U("UTF-8（ISO 2709，marcYYYYMMDD.txt）"), QStringLiteral("UTF-8"));
    cbFormat->addItem(U("MARCXML（marcYYYYMMDD.xml）"), QStringLiteral("MARCXML"));

    btOk = Placed(new QPushButton(U("保存参数"), main), 120, 326, 140, 30);
    connect(btOk, &QPushButton::clicked, this, &TSetPara::btOkClick);
    btZ39Svr = Placed(new QPushButton(U("设置Z39.50服务器参数"), main), 290, 326, 180, 30);
    connect(btZ39Svr, &QPushButton::clicked, this, [this] {
        if (openTargetEditor_) openTargetEditor_();
        state_.windowCommand = kExitWindowsCommand;
    });
    FormActivate();
}

void TSetPara::FormActivate() {
    SettingsForm f = ReadSettingsForm(IniFile(state_.settingsPath), FolderOf(state_.settingsPath));
    if (f.edPath.empty() ||
        IniFile(state_.settingsPath).ReadString(SystemSection(), "MARCPATH", "\x01") == "\x01")
        f.edPath = state_.settings.MARCPATH;
    edNum->setText(Q(f.edNum));
    cbAll->setChecked(f.cbAll);
    ckbProxy->setChecked(f.ckbProxy);
    cbIE->setChecked(f.cbIE);
    ckbSetDefault->setChecked(f.ckbSetDefault);
    edAddr->setText(Q(f.edAddr));
    edPort->setText(Q(f.edPort));
    edHAddr->setText(Q(f.edHAddr));
    edHPort->setText(Q(f.edHPort));
    edPath->setText(Q(f.edPath));
    rbOrder2->setChecked(f.rbOrder2);
    rbOrder1->setChecked(!f.rbOrder2);
    // A value the list does not hold is shown as it is, so saving does not change it
    // unasked; saving refuses it.
    const std::optional<DailyFormat> format = DailyFormatFromName(f.cbFormat);
    const QString name = format ? QString::fromLatin1(DailyFormatName(*format)) : Q(f.cbFormat);
    int at = cbFormat->findData(name);
    if (at < 0) {
        cbFormat->addItem(name, name);
        at = cbFormat->count() - 1;
    }
    cbFormat->setCurrentIndex(at);
    grbProxy->setVisible(f.ckbProxy);
}

void TSetPara::Button1Click() {
    edHAddr->setText(Q(DefaultKsAddress()));
    edHPort->setText(QString::fromLatin1(kDefaultKsPort));
}

void TSetPara::btOkClick() {
    SettingsForm f;
    f.edNum = Gb(edNum->text());
    f.cbAll = cbAll->isChecked();
    f.edPath = Gb(edPath->text());
    f.rbOrder2 = rbOrder2->isChecked();
    f.edHAddr = Gb(edHAddr->text());
    f.edHPort = Gb(edHPort->text());
    f.cbIE = cbIE->isChecked();
    f.ckbSetDefault = ckbSetDefault->isChecked();
    f.ckbProxy = ckbProxy->isChecked();
    f.edAddr = Gb(edAddr->text());
    f.edPort = Gb(edPort->text());
    f.cbFormat = Gb(cbFormat->currentData().toString());
    IniFile ini(state_.settingsPath);
    SettingsSave saved;
    try {
        saved = SaveSettingsForm(f, ini, state_);
    } catch (const Z39Error& e) {
        ui_.ShowMessage(NoticeTitle(), e.what());
        return;
    }
    edPath->setText(Q(f.edPath));
    if (saved.message.empty()) return;
    ui_.ShowMessage(NoticeTitle(), saved.message);
    if (saved.focus == "cbFormat") {
        cbFormat->setFocus();
        return;
    }
    QLineEdit* focus = saved.focus == "edNum"    ? edNum
                       : saved.focus == "edPath" ? edPath
                       : saved.focus == "edAddr" ? edAddr
                                                 : edPort;
    focus->setFocus();
}

}  // namespace z39
