#include "ui/z39_svr_para_dialog.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>

#include "common/gbk_text.h"
#include "common/paths.h"
#include "common/z39_error.h"
#include "ui/qt_text_widget.h"

namespace z39 {
namespace {
QString U(const char* utf8) { return QString::fromUtf8(utf8); }
}  // namespace

TZ39SvrPara::TZ39SvrPara(const TargetList& list, const std::string& path, AppState& state,
                         UserInterface& ui, QWidget* parent, TargetMemory* memory)
    : QDialog(parent),
      editor_(list, path),
      memory_(memory ? memory : &ownMemory_),
      state_(state),
      ui_(ui) {
    setWindowTitle(U("Z39.50服务器参数配置"));
    resize(600, 470);
    sgBookList = Placed(new QTableWidget(0, 5, this), 8, 8, 584, 200);
    sgBookList->setHorizontalHeaderLabels(
        {U("分组名称"), U("服务器名称"), U("服务器地址"), U("端口"), U("数据库名称")});
    const int widths[] = {77, 192, 167, 46, 78};
    for (int c = 0; c < 5; ++c) sgBookList->setColumnWidth(c, widths[c]);
    sgBookList->verticalHeader()->hide();
    sgBookList->setSelectionBehavior(QAbstractItemView::SelectRows);
    sgBookList->setSelectionMode(QAbstractItemView::SingleSelection);
    sgBookList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The row the buttons act on is the highlighted one, however it was reached: mouse,
    // arrow keys, Home/End, Page keys.
    connect(sgBookList, &QTableWidget::currentCellChanged, this, [this](int row) {
        if (row < 0 || editor_.editing()) return;
        editor_.Select(row);
        ShowRow(editor_.rows()[static_cast<size_t>(editor_.selected())]);
    });

    auto* group = Placed(new QGroupBox(U("参数"), this), 8, 214, 584, 180);
    auto field = [group](const char* label, int x, int y) {
        (new QLabel(U(label), group))->setGeometry(x, y, 80, 24);
        auto* edit = Placed(new QLineEdit(group), x + 80, y, 190, 24);
        return edit;
    };
    db_country = field("分组名称", 10, 22);
    db_library = field("服务器名称", 300, 22);
    db_address = field("服务器地址", 10, 54);
    db_port = field("服务器端口", 300, 54);
    db_database = field("数据库名称", 10, 86);
    db_username = field("用户名称", 10, 118);
    db_userpass = field("用户密码", 300, 118);
    auto choice = [group](const char* label, int x, int y, const QStringList& items) {
        (new QLabel(U(label), group))->setGeometry(x, y, 80, 24);
        auto* combo = Placed(new QComboBox(group), x + 80, y, 190, 24);
        combo->setEditable(true);
        combo->addItems(items);
        return combo;
    };
    db_charset = choice("字符集", 10, 150, {U("自动"), "GBK", "UTF-8", "MARC-8", "Big5"});
    db_syntax = choice("记录格式", 300, 150, {U("自动"), "USMARC", "UNIMARC", "CNMARC"});
    auto* auth = Placed(new QGroupBox(U("授权方式"), group), 300, 80, 270, 36);
    db_auth1 = Placed(new QRadioButton(U("需要授权"), auth), 10, 12, 110, 20);
    db_auth0 = Placed(new QRadioButton(U("不需要授权"), auth), 130, 12, 120, 20);

    int x = 12;
    auto button = [this, &x](const char* caption) {
        auto* b = Placed(new QPushButton(U(caption), this), x, 410, 78, 30);
        x += 83;
        return b;
    };
    btAdd = button("增加");
    btMod = button("修改");
    btDel = button("删除");
    btTest = button("测试");
    btTest->setToolTip(
        U("测试这个目标数据库：能否连接、提供哪些检索字段、记录格式和字符集，并给出建议的设置"));
    btOk = button("确认");
    btCancel = button("取消");
    btExit = button("退出");
    connect(btAdd, &QPushButton::clicked, this, &TZ39SvrPara::btAddClick);
    connect(btMod, &QPushButton::clicked, this, &TZ39SvrPara::btModClick);
    connect(btDel, &QPushButton::clicked, this, &TZ39SvrPara::btDelClick);
    connect(btOk, &QPushButton::clicked, this, &TZ39SvrPara::btOkClick);
    connect(btCancel, &QPushButton::clicked, this, &TZ39SvrPara::btCancelClick);
    connect(btExit, &QPushButton::clicked, this, &QDialog::accept);
    connect(btTest, &QPushButton::clicked, this, &TZ39SvrPara::btTestClick);

    FillGrid();
    editor_.Select(0);
    sgBookList->setCurrentCell(0, 0);
    ShowRow(editor_.rows()[0]);
    SetEditing(false);
    if (!editor_.beyondTable().empty() && !state_.toldTargetsBeyondTable) {
        state_.toldTargetsBeyondTable = true;
        ui_.ShowMessage(
            NoticeTitle(),
            G("目标数据库列表文件中有[") + std::to_string(editor_.beyondTable().size()) +
                G("]个目标数据库超出了窗口能显示的数目，它们不显示，但保存时会原样保留。"));
    }
}

void TZ39SvrPara::FillGrid() {
    const auto& rows = editor_.rows();
    sgBookList->setRowCount(static_cast<int>(rows.size()));
    for (size_t r = 0; r < rows.size(); ++r) {
        const TargetEntry& e = rows[r];
        const std::string* cells[] = {&e.country, &e.library, &e.address, &e.port, &e.database};
        for (int c = 0; c < 5; ++c)
            sgBookList->setItem(static_cast<int>(r), c, new QTableWidgetItem(Q(*cells[c])));
    }
}

void TZ39SvrPara::ShowRow(const TargetEntry& row) {
    db_country->setText(Q(row.country));
    db_library->setText(Q(row.library));
    db_address->setText(Q(row.address));
    db_port->setText(Q(row.port));
    db_database->setText(Q(row.database));
    db_username->setText(Q(row.username));
    db_userpass->setText(Q(row.userpass));
    db_auth1->setChecked(row.auth == "1");
    db_auth0->setChecked(row.auth != "1");
    db_charset->setCurrentText(row.charset.empty() ? U("自动") : Q(row.charset));
    db_syntax->setCurrentText(row.syntax.empty() ? U("自动") : Q(row.syntax));
}

TargetEntry TZ39SvrPara::Fields() const {
    TargetEntry e;
    e.country = Gb(db_country->text());
    e.library = Gb(db_library->text());
    e.address = Gb(db_address->text());
    e.port = Gb(db_port->text());
    e.database = Gb(db_database->text());
    e.username = Gb(db_username->text());
    e.userpass = Gb(db_userpass->text());
    e.auth.assign(1, db_auth1->isChecked() ? '1' : '0');
    // "自动" is kept as no setting; a name holds no blank.
    auto option = [](const QComboBox* combo) {
        const QString text = combo->currentText().trimmed();
        return text == U("自动") ? std::string() : Gb(QString(text).replace(' ', '-'));
    };
    e.charset = option(db_charset);
    e.syntax = option(db_syntax);
    // SRU index names a test suggested and the user took, over those the entry had.
    if (!pendingIndexes_.empty()) {
        if (editor_.selected() >= 0 &&
            static_cast<size_t>(editor_.selected()) < editor_.rows().size())
            e.indexes = editor_.rows()[static_cast<size_t>(editor_.selected())].indexes;
        for (const auto& [field, name] : pendingIndexes_) e.indexes[field] = name;
    }
    return e;
}

TZ39SvrPara::~TZ39SvrPara() {
    if (probeCancel_) probeCancel_->Cancel();
    if (probeThread_.joinable()) probeThread_.join();
}

void TZ39SvrPara::btTestClick() {
    if (testing()) return;
    const TargetEntry entry = Fields();
    const TargetProfile profile = ProfileOfListEntry(entry);
    if (std::string missing = MissingAddressMessage(profile); !missing.empty()) {
        ui_.ShowMessage(NoticeTitle(), missing);
        return;
    }
    probeCancel_ = std::make_unique<CancelToken>();
    btTest->setEnabled(false);
    auto* wait = new QProgressDialog(
        U("正在测试[") + Q(entry.library + "/" + entry.database) + U("]……"), U("取消"), 0, 0, this);
    wait->setWindowTitle(U("测试"));
    wait->setMinimumDuration(0);
    wait->setAutoClose(false);
    wait->setAutoReset(false);
    connect(wait, &QProgressDialog::canceled, this, [this] {
        if (probeCancel_) probeCancel_->Cancel();
    });
    wait->show();
    probeWait_ = wait;
    ProbeSetup setup;
    setup.workFolder = state_.files.privateFolder.empty()
                           ? JoinPath(RawTempFolder(), "z39probe-editor")
                           : JoinPath(state_.files.privateFolder, "probe");
    const Z39Settings settings = state_.settings;
    CancelToken* cancel = probeCancel_.get();
    TargetMemory* memory = memory_;
    probeThread_ = std::thread([this, profile, settings, setup, cancel, memory] {
        ProbeReport report;
        try {
            report = ProbeTarget(profile, settings, setup, *memory, *cancel);
        } catch (const std::exception& e) {
            report.Fail(e.what());
        }
        QMetaObject::invokeMethod(
            this, [this, report] { ProbeEnded(report); }, Qt::QueuedConnection);
    });
}

void TZ39SvrPara::ProbeEnded(const ProbeReport& report) {
    if (probeThread_.joinable()) probeThread_.join();
    if (probeWait_) probeWait_->deleteLater();
    btTest->setEnabled(true);
    lastProbe_ = report;
    QStringList lines;
    for (const std::string& line : ProbeFindingLines(report)) lines << Q(line);
    const bool suggestions = !report.SuggestedOptionsText().empty();
    const QString text = U("测试结果：\n\n") + lines.join('\n') +
                         (suggestions ? U("\n\n要采用建议的设置吗？") : QString());
    bool take = false;
    if (askToTakeSuggestions) {
        take = askToTakeSuggestions(text, suggestions);
    } else {
        QMessageBox box(this);
        box.setWindowTitle(U("测试结果"));
        box.setText(text);
        box.setIcon(report.failure.empty() ? QMessageBox::Information : QMessageBox::Warning);
        QPushButton* yes = nullptr;
        if (suggestions) {
            yes = box.addButton(U("采用建议(&Y)"), QMessageBox::AcceptRole);
            box.addButton(U("不采用(&N)"), QMessageBox::RejectRole);
            box.setDefaultButton(yes);
        } else {
            box.addButton(U("关闭"), QMessageBox::AcceptRole);
        }
        box.exec();
        take = yes && box.clickedButton() == yes;
    }
    if (take) TakeSuggestions(report);
}

void TZ39SvrPara::TakeSuggestions(const ProbeReport& report) {
    // Taken into the fields as a change of the entry; 确认 stores it.
    if (!editor_.editing()) btModClick();
    if (!report.suggestedCharset.empty()) db_charset->setCurrentText(Q(report.suggestedCharset));
    if (!report.suggestedSyntax.empty()) db_syntax->setCurrentText(Q(report.suggestedSyntax));
    pendingIndexes_ = report.suggestedIndexes;
    btOk->setFocus();
}

void TZ39SvrPara::SetEditing(bool editing) {
    for (QLineEdit* e :
         {db_country, db_library, db_address, db_port, db_database, db_username, db_userpass}) {
        e->setReadOnly(!editing);
        QPalette p = e->palette();
        p.setColor(QPalette::Base,
                   editing ? palette().color(QPalette::Base) : palette().color(QPalette::Midlight));
        e->setPalette(p);
    }
    db_auth1->setEnabled(editing);
    db_auth0->setEnabled(editing);
    db_charset->setEnabled(editing);
    db_syntax->setEnabled(editing);
    btAdd->setEnabled(!editing);
    btMod->setEnabled(!editing);
    btDel->setEnabled(!editing);
    sgBookList->setEnabled(!editing);
    btOk->setEnabled(editing);
    btCancel->setEnabled(editing);
}

void TZ39SvrPara::btAddClick() {
    ShowRow(editor_.Add());
    SetEditing(true);
    db_country->setFocus();
}

void TZ39SvrPara::btModClick() {
    ShowRow(editor_.Modify());
    SetEditing(true);
    db_country->setFocus();
}

void TZ39SvrPara::btCancelClick() {
    pendingIndexes_.clear();
    ShowRow(editor_.Cancel());
    SetEditing(false);
}

void TZ39SvrPara::btOkClick() {
    TargetEditor::Refusal refused;
    try {
        refused = editor_.Confirm(Fields());
    } catch (const Z39Error& e) {
        ui_.ShowMessage(NoticeTitle(), e.what());
        return;
    }
    if (!refused.message.empty()) {
        ui_.ShowMessage(NoticeTitle(), refused.message);
        QLineEdit* focus = refused.field == "db_country"    ? db_country
                           : refused.field == "db_library"  ? db_library
                           : refused.field == "db_address"  ? db_address
                           : refused.field == "db_port"     ? db_port
                           : refused.field == "db_database" ? db_database
                           : refused.field == "db_username" ? db_username
                                                            : db_userpass;
        focus->setFocus();
        return;
    }
    state_.targetListChanged = true;
    pendingIndexes_.clear();
    SetEditing(false);
    FillGrid();
    sgBookList->setCurrentCell(editor_.selected(), 0);
}

void TZ39SvrPara::btDelClick() {
    bool deleted = false;
    try {
        deleted = editor_.Delete(ui_);
    } catch (const Z39Error& e) {
        ui_.ShowMessage(NoticeTitle(), e.what());
        return;
    }
    if (!deleted) return;
    state_.targetListChanged = true;
    FillGrid();
    sgBookList->setCurrentCell(editor_.selected(), 0);
    ShowRow(editor_.rows()[static_cast<size_t>(editor_.selected())]);
}

}  // namespace z39
