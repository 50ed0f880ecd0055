#include "ui/find_rec_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QScrollBar>
#include <QShortcut>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidgetItemIterator>
#include <algorithm>

#include "backends/backend_kinds.h"
#include "common/z39_error.h"
#include "records/daily_file.h"
#include "records/daily_format.h"
#include "records/marc_record.h"
#include "records/record_quality.h"
#include "records/record_saver.h"
#include "ui/qt_text_widget.h"
#include "ui/result_list_delegate.h"

namespace z39 {
namespace {
// The search window's height in the design's 724 x 510 frame.
constexpr int kDesignHeight = 430;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

constexpr int kHotKeyColumnWidth = 14;

// Marks a search, page or save in progress for as long as it runs.
class Busy {
  public:
    explicit Busy(bool& flag) : flag_(flag) { flag_ = true; }
    ~Busy() { flag_ = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

  private:
    bool& flag_;
};

// Column captions over the byte columns of the display line; with `source`, over the
// database a row of a search over several came from too.
QByteArray ColumnCaptions(bool source = false) {
    struct Caption {
        const char* text;
        int column;
    };
    const Caption captions[] = {{"题名", 0},    {"责任者", 34},   {"出版地", 60},
                                {"出版者", 69}, {"出版日期", 85}, {"ISBN", 95}};
    std::string line;
    for (const auto& c : captions) {
        line.resize(static_cast<size_t>(c.column), ' ');
        line += G(c.text);
    }
    if (source) {
        line.resize(kSourceColumn, ' ');
        line += G("来源");
    }
    return QByteArray::fromStdString(line);
}

void SetCombo(QComboBox* combo, const QString& text) {
    int at = combo->findText(text);
    combo->setCurrentIndex(at);
    combo->setEditText(text);
}

}  // namespace

TFindRec::TFindRec(const SearchServices& services, QWidget* parent)
    : QWidget(parent),
      s_(services),
      handOff_(services.state.handOffPath),
      session_(services),
      multi_(services) {
    setWindowTitle(U("数据检索"));
    BuildControls();
    s_.index.SetSorted(s_.state.settings.RECORDER != "1");
    s_.state.discoveredHost.clear();
    targets_.Load(s_.targetListPath, s_.state.settings);
    const std::string gone = targets_.LoadTicks(s_.state.settings.SEARCHSET);
    FillTree();
    ApplyTargetKind();
    for (auto* combo : cbbField) SetCombo(combo, U("ISBN"));
    edNum->setText(QString::number(s_.state.settings.RECNUMBER));
    btSaveRec->setToolTip(Q(G("保存在文件[") + s_.state.settings.MARCPATH + "marc" +
                            TodayYyyymmdd() + G(".txt]中。")));
    resize(716, 440);
    if (!gone.empty()) {
        TicksChanged();  // SEARCHSET without what is gone
        QTimer::singleShot(0, this, [this, gone] { s_.ui.ShowMessage(NoticeTitle(), gone); });
    }
}

void TFindRec::BuildControls() {
    grbField = new QGroupBox(U("检索条件"), this);
    auto* lbField = new QLabel(U("检索字段"), grbField);
    lbField->move(64, 16);
    auto* lbValue = new QLabel(U("检索内容(F9)"), grbField);
    lbValue->move(150, 16);
    const QStringList joiners = {U("并且"), U("或者")};
    for (int k = 0; k < 5; ++k) {
        int y = 34 + k * 28;
        cbbAnd[k] = nullptr;
        if (k > 0) {
            cbbAnd[k] = new QComboBox(grbField);
            cbbAnd[k]->addItems(joiners);
            cbbAnd[k]->setGeometry(6, y, 54, 22);
            cbbAnd[k]->installEventFilter(this);
        }
        cbbField[k] = new QComboBox(grbField);
        cbbField[k]->setEditable(true);
        cbbField[k]->lineEdit()->setReadOnly(true);
        cbbField[k]->setGeometry(64, y, 82, 22);
        cbbField[k]->installEventFilter(this);
        cbbField[k]->lineEdit()->installEventFilter(this);
        edV[k] = Placed(new QLineEdit(grbField), 150, y, 148, 22);
        edV[k]->installEventFilter(this);
        connect(edV[k], &QLineEdit::textChanged, this, [this] { UpdateRowVisibility(); });
        if (k > 0) {
            cbbAnd[k]->hide();
            cbbField[k]->hide();
            edV[k]->hide();
        }
    }

    btInit = new QPushButton(U("开始新的查询.F2"), this);
    btNext = new QPushButton(U("获取更多数据.F3"), this);
    btSaveRec = new QPushButton(U("保存打钩记录.F5"), this);
    btNext->setEnabled(false);
    btSaveRec->setEnabled(false);
    connect(btInit, &QPushButton::clicked, this, &TFindRec::btInitClick);
    connect(btNext, &QPushButton::clicked, this, &TFindRec::btNextClick);
    connect(btSaveRec, &QPushButton::clicked, this, &TFindRec::btSaveRecClick);

    grpNum = new QGroupBox(this);
    edBegin = Placed(new QLineEdit(QStringLiteral("1"), grpNum), 6, 10, 40, 22);
    Placed(new QLabel(QStringLiteral("+"), grpNum), 50, 10, 10, 22);
    edNum = Placed(new QLineEdit(QStringLiteral("10"), grpNum), 62, 10, 40, 22);
    lbNum = Placed(new QLabel(U("共有 0 条"), grpNum), 6, 36, 100, 18);
    lbNum->hide();
    edBegin->installEventFilter(this);
    edNum->installEventFilter(this);

    grbDatabase = new QGroupBox(U("请先选择要查询的目标数据库"), this);
    tvDatabase = new QTreeWidget(grbDatabase);
    tvDatabase->setHeaderHidden(true);
    connect(tvDatabase, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { tvDatabaseDblClick(item); });
    connect(tvDatabase, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item) { tvDatabaseItemChanged(item); });

    grbResult = new QGroupBox(U("结果(F8)"), this);
    cbAll = new QCheckBox(grbResult);
    cbAll->setToolTip(U("全部选中或全部不选中"));
    connect(cbAll, &QCheckBox::clicked, this, &TFindRec::cbAllClick);
    // The captions sit in a strip as wide as the list's text and move with its horizontal
    // scroll bar, so each stays over its column however the list is scrolled.
    lbCaptions = new ColumnCaptionStrip(grbResult);
    lbCaptions->SetCaptions(ColumnCaptions());
    lbNotice = new QLabel(grbResult);
    lbNotice->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lstBooks = new BookListWidget(grbResult);
    lstBooks->setToolTip(U("鼠标双击显示详细信息"));
    connect(lstBooks->horizontalScrollBar(), &QScrollBar::valueChanged, this,
            [this](int value) { lbCaptions->SetScroll(value); });
    connect(lstBooks, &BookListWidget::hotKey, this, &TFindRec::lstBooksHotKey);
    connect(lstBooks, &BookListWidget::enterPressed, this, &TFindRec::lstBooksEnter);
    connect(lstBooks, &QListWidget::itemDoubleClicked, this, [this] { lstBooksDblClick(); });
    connect(lstBooks, &QListWidget::itemChanged, this, &TFindRec::lstBooksClickCheck);
    lstIndex = new HotKeyColumnWidget(grbResult);
    lstIndex->hide();
    connect(lstBooks, &BookListWidget::focusChanged, this,
            [this](bool in) { lstIndex->setVisible(in && !lstDetail->isVisible()); });

    lstDetail = new QListWidget(grbResult);
    lstDetail->setItemDelegate(new DetailListDelegate(lstDetail));
    lstDetail->setFont(ListFont());
    lstDetail->setUniformItemSizes(true);
    lstDetail->setToolTip(
        U("双击鼠标左键显示全部信息；Ctrl+C复制整条记录，Ctrl+P打印；按鼠标右键弹出菜单；"
          "按Esc关闭"));
    lstDetail->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lstDetail, &QListWidget::itemClicked, this, [this] { lstDetailClick(); });
    connect(lstDetail, &QListWidget::itemDoubleClicked, this, [this] { memDetail->hide(); });
    // The whole record as MARC text, to the clipboard or the printer; closing stays one
    // click away.
    auto* copyRecord = new QAction(U("复制整条记录(&C)"), lstDetail);
    copyRecord->setShortcut(QKeySequence::Copy);
    copyRecord->setShortcutContext(Qt::WidgetShortcut);
    connect(copyRecord, &QAction::triggered, this, &TFindRec::CopyDetailRecord);
    auto* printRecord = new QAction(U("打印(&P)..."), lstDetail);
    printRecord->setShortcut(QKeySequence::Print);
    printRecord->setShortcutContext(Qt::WidgetShortcut);
    connect(printRecord, &QAction::triggered, this, &TFindRec::PrintDetailRecord);
    auto* closeDetail = new QAction(U("关闭(&X)"), lstDetail);
    connect(closeDetail, &QAction::triggered, this, [this] { HideDetails(); });
    lstDetail->addAction(copyRecord);
    lstDetail->addAction(printRecord);
    connect(lstDetail, &QWidget::customContextMenuRequested, this,
            [this, copyRecord, printRecord, closeDetail](const QPoint& at) {
                QMenu menu(lstDetail);
                menu.addAction(copyRecord);
                menu.addAction(printRecord);
                menu.addSeparator();
                menu.addAction(closeDetail);
                menu.exec(lstDetail->viewport()->mapToGlobal(at));
            });
    btCloseDetail = new QPushButton(U("关闭"), grbResult);
    btCloseDetail->setToolTip(U("关闭详细信息（Esc）"));
    connect(btCloseDetail, &QPushButton::clicked, this, [this] { HideDetails(); });
    memDetail = new QPlainTextEdit(grbResult);
    memDetail->setReadOnly(true);
    memDetail->setFont(ListFont());
    memDetail->setToolTip(U("鼠标点击关闭"));
    memDetail->viewport()->installEventFilter(this);
    HideDetails();

    grpWait = new QGroupBox(this);
    grpWait->setFocusPolicy(Qt::StrongFocus);
    grpWait->setAutoFillBackground(true);  // nothing beneath shows through the panel
    Placed(new QLabel(U("正在搜索服务器,请稍侯"), grpWait), 10, 10, 200, 20);
    lbWaitSeconds_ = new QLabel(grpWait);
    Placed(lbWaitSeconds_, 10, 30, 280, 20);
    grpWait->hide();
    waitTimer_.setInterval(250);
    connect(&waitTimer_, &QTimer::timeout, this, &TFindRec::ShowWaitSeconds);

    // Function keys and Enter are seen for the whole window before any control takes them.
    qApp->installEventFilter(this);
}

bool TFindRec::FunctionKey(int key) {
    switch (key) {
        case Qt::Key_F2:
            if (btInit->isEnabled()) {
                btInit->setFocus();
                btInitClick();
            }
            return true;
        case Qt::Key_F3:
            if (btNext->isEnabled()) btNextClick();
            return true;
        case Qt::Key_F5:
            if (btSaveRec->isEnabled()) btSaveRecClick();
            return true;
        case Qt::Key_F8:
            if (lstBooks->isEnabled()) {
                lstBooks->setFocus();
                if (lstBooks->count() > 0) lstBooks->setCurrentRow(0);
            }
            return true;
        case Qt::Key_F9:
            edV[0]->selectAll();
            edV[0]->setFocus();
            return true;
        default:
            return false;
    }
}

bool TFindRec::WindowKey(QWidget* target, QKeyEvent* key, bool release) {
    switch (key->key()) {
        case Qt::Key_Escape:
            // Esc ends a running search, else closes the detail view; otherwise it is the
            // control's own.
            if (searching()) {
                if (!release) CancelSearch();
                return true;
            }
            if (lstDetail->isVisible()) {
                if (!release) {
                    HideDetails();
                    lstBooks->setFocus();
                }
                return true;
            }
            return false;
        case Qt::Key_F2:
        case Qt::Key_F3:
        case Qt::Key_F5:
        case Qt::Key_F8:
        case Qt::Key_F9:
            // On release, and once for a key held down: the repeats are swallowed.
            if (release && !key->isAutoRepeat()) FunctionKey(key->key());
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (release) return false;
            // On a database of the tree, Enter chooses it as a double-click does.
            if ((target == tvDatabase || target == tvDatabase->viewport()) &&
                tvDatabase->currentItem() && tvDatabase->currentItem()->childCount() == 0) {
                tvDatabaseDblClick(tvDatabase->currentItem());
                return true;
            }
            // A button, the tree or cbAll: Enter moves to the next control, as in every
            // other control but the result list (which saves in launch-query mode).
            if (qobject_cast<QPushButton*>(target) || qobject_cast<QCheckBox*>(target) ||
                target == tvDatabase || target == tvDatabase->viewport()) {
                focusNextChild();
                return true;
            }
            return false;
        default:
            return false;
    }
}

void TFindRec::LayOut() {
    const int W = width(), H = height();
    // A window taller than the design's gives half of what it gains to the database tree,
    // half to the result list; the widths follow the design's rules.
    const int top = 180 + std::max(0, (H - kDesignHeight) / 2);
    grbField->setGeometry(6, 2, 306, 180);
    btInit->setGeometry(318, 8, 110, 28);
    btNext->setGeometry(318, 40, 110, 28);
    btSaveRec->setGeometry(318, 72, 110, 28);
    grpNum->setGeometry(318, 104, 110, 60);
    grbDatabase->setGeometry(436, 2, std::max(60, W - 433 - 9), top);
    tvDatabase->setGeometry(6, 18, grbDatabase->width() - 12, grbDatabase->height() - 24);
    grbResult->setGeometry(6, top + 6, std::max(100, W - 25 + 8), std::max(60, H - top - 24 + 10));
    const int gw = grbResult->width(), gh = grbResult->height();
    // lstIndex is a narrow column at the left edge, beside the tick boxes, never over them.
    lstIndex->setGeometry(6, 34, kHotKeyColumnWidth, gh - 32 - 4 - 4);
    const int listLeft = 6 + kHotKeyColumnWidth + 2;
    lstBooks->setGeometry(listLeft, 32, gw - 6 - listLeft, gh - 32 - 4);
    cbAll->setGeometry(listLeft + 2, 16, 16, 16);
    const int captionLeft = listLeft + lstBooks->frameWidth() + ResultListDelegate::TextLeft();
    lbCaptions->setGeometry(captionLeft, 16,
                            std::max(0, gw - 6 - lstBooks->frameWidth() - captionLeft), 16);
    lbNotice->setGeometry(gw - 4 - 400, 0, 400, 15);
    lstDetail->setGeometry(lstBooks->x(), 16, lstBooks->width(), gh - 16 - 4);
    btCloseDetail->setGeometry(gw - 6 - 44 - 18, 17, 44, 18);
    memDetail->setGeometry(1, gh - 60, gw - 1, 58);
    grpWait->setGeometry((W - 300) / 2, (H - 60) / 2, 300, 60);
}

void TFindRec::resizeEvent(QResizeEvent*) { LayOut(); }

void TFindRec::showEvent(QShowEvent*) {
    LayOut();
    if (launchStarted_) return;
    launchStarted_ = true;
    if (s_.state.launch.launchQuery.empty()) {
        edV[0]->setFocus();
        return;
    }
    QTimer::singleShot(0, this, &TFindRec::StartLaunchQuery);
}

void TFindRec::StartLaunchQuery() {
    const std::string& query = s_.state.launch.launchQuery;
    SetCombo(cbbField[0], LaunchQueryIsIsbn(query) ? U("ISBN") : U("题名"));
    edV[0]->setText(Q(LaunchQueryValue(query)));
    for (int k = 1; k < 5; ++k) {
        cbbAnd[k]->hide();
        cbbField[k]->hide();
        edV[k]->hide();
    }
    grbField->setEnabled(false);
    btSaveRec->setText(U("不查询,退出.F5"));
    btSaveRec->setToolTip(U("不查询,退出.F5"));
    btSaveRec->setEnabled(true);
    btInit->setFocus();
    btInitClick();
}

void TFindRec::FormActivate() {
    targets_.SetSharedCatalogue(s_.state.settings);
    if (s_.state.targetListChanged) {
        s_.state.targetListChanged = false;
        const std::string gone = targets_.Reload(s_.targetListPath, s_.state.settings);
        FillTree();
        if (gone.empty()) {
            ApplyTargetKind();
        } else {
            TicksChanged();
            s_.ui.ShowMessage(NoticeTitle(), gone);
        }
    }
    edNum->setText(QString::number(s_.state.settings.RECNUMBER));
    const bool sorted = s_.state.settings.RECORDER != "1";
    if (sorted != s_.index.sorted()) {
        s_.index.SetSorted(sorted);
        // Row i shows entry i: the rows follow the index's new order, ticks their records.
        ShowNewOrder();
    }
}

void TFindRec::FillTree() {
    QSignalBlocker quiet(tvDatabase);
    tvDatabase->clear();
    std::vector<QTreeWidgetItem*> items;
    for (const auto& node : targets_.list().nodes) {
        QTreeWidgetItem* item = node.parent < 0
                                    ? new QTreeWidgetItem(tvDatabase)
                                    : new QTreeWidgetItem(items[static_cast<size_t>(node.parent)]);
        const int slot = static_cast<int>(items.size());
        item->setText(0, Q(node.text));
        item->setData(0, Qt::UserRole, slot);
        // Every database can be ticked, to be searched with the other ticked ones.
        const bool database = targets_.IsDatabase(slot);
        if (database) {
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(0, targets_.IsTicked(slot) ? Qt::Checked : Qt::Unchecked);
        }
        items.push_back(item);
    }
    tvDatabase->expandAll();
    ShowTargetCaption();
    MarkCurrentTarget();
}

void TFindRec::ShowTargetCaption() {
    lbNotice->setText(Q(targets_.ticked().empty() ? targets_.caption() : targets_.TickedCaption()));
}

void TFindRec::tvDatabaseItemChanged(QTreeWidgetItem* item) {
    if (!(item->flags() & Qt::ItemIsUserCheckable)) return;
    const int slot = item->data(0, Qt::UserRole).toInt();
    const bool on = item->checkState(0) == Qt::Checked;
    if (on == targets_.IsTicked(slot)) return;
    targets_.SetTicked(slot, on);
    TicksChanged();
}

void TFindRec::TicksChanged() {
    const std::string text = targets_.SearchSetText();
    s_.state.settings.SEARCHSET = text;
    try {
        IniFile ini(s_.state.settingsPath);
        ini.WriteString(SystemSection(), "SEARCHSET", text);
    } catch (const Z39Error& e) {
        s_.ui.ShowMessage(NoticeTitle(), e.what());
    }
    ShowTargetCaption();
    ApplyTargetKind();
}

std::vector<std::string> TFindRec::OfferedFields() const {
    if (targets_.ticked().empty()) return CapabilitiesOf(targets_.kind()).fields;
    std::vector<std::string> fields;
    for (const auto& t : targets_.TickedTargets()) {
        const KindCapabilities& k = CapabilitiesOf(t.profile.kind);
        const std::vector<std::string> own =
            k.isbnOnly ? std::vector<std::string>{"ISBN"} : k.fields;
        for (const auto& f : own)
            if (std::find(fields.begin(), fields.end(), f) == fields.end()) fields.push_back(f);
    }
    // In the order a single target's form has them.
    std::vector<std::string> ordered;
    for (const auto& f : CapabilitiesOf(TargetKind::kZ39).fields)
        if (std::find(fields.begin(), fields.end(), f) != fields.end()) ordered.push_back(f);
    for (const auto& f : fields)
        if (std::find(ordered.begin(), ordered.end(), f) == ordered.end()) ordered.push_back(f);
    return ordered;
}

bool TFindRec::IsbnOnly() const {
    if (targets_.ticked().empty()) return CapabilitiesOf(targets_.kind()).isbnOnly;
    for (const auto& t : targets_.TickedTargets())
        if (!CapabilitiesOf(t.profile.kind).isbnOnly) return false;
    return true;
}

void TFindRec::MarkCurrentTarget() {
    // The current target in bold: the highlight alone (where the arrows or a click left
    // it) is not the target F2 searches.
    for (QTreeWidgetItemIterator it(tvDatabase); *it; ++it) {
        QFont font = (*it)->font(0);
        font.setBold((*it)->data(0, Qt::UserRole).toInt() == targets_.CurrentTarget());
        (*it)->setFont(0, font);
    }
}

void TFindRec::ApplyTargetKind() {
    ShowIsbnOnly();
    for (auto* combo : cbbField) {
        QString text = combo->currentText();
        combo->clear();
        for (const auto& f : OfferedFields()) combo->addItem(Q(f));
        // The field stays chosen where it is still offered, so the list keys go on from it.
        combo->setCurrentIndex(combo->findText(text));
        combo->setEditText(text);
    }
    UpdateRowVisibility();
}

void TFindRec::tvDatabaseDblClick(QTreeWidgetItem* item) {
    const int slot = item->data(0, Qt::UserRole).toInt();
    std::vector<ComboState> before;
    for (auto* combo : cbbField)
        before.push_back({combo->currentIndex(), Gb(combo->currentText())});
    SelectionOutcome out;
    try {
        IniFile ini(s_.state.settingsPath);
        out = targets_.Select(slot, s_.state, ini);
    } catch (const Z39Error& e) {
        s_.ui.ShowMessage(NoticeTitle(), e.what());
        out.changed = targets_.CurrentTarget() == slot;
        out.kind = targets_.kind();  // the lists stay filled
    }
    if (!out.changed) return;
    ShowTargetCaption();
    MarkCurrentTarget();
    btNext->setEnabled(false);
    edBegin->setText(QStringLiteral("1"));
    lbNum->setText(U("共有 0 条"));
    for (int k = 0; k < 5; ++k) {
        const std::vector<std::string> fields = OfferedFields();
        ComboState after = RebuildFieldCombo(before[static_cast<size_t>(k)], fields.size());
        cbbField[k]->clear();
        for (const auto& f : fields) cbbField[k]->addItem(Q(f));
        cbbField[k]->setCurrentIndex(after.index);
        cbbField[k]->setEditText(Q(after.text));
    }
    ShowIsbnOnly();
    UpdateRowVisibility();
}

void TFindRec::ShowIsbnOnly() {
    const bool isbnOnly = IsbnOnly();
    if (isbnOnly) SetCombo(cbbField[0], U("ISBN"));
    cbbField[0]->setEnabled(!isbnOnly);
    grpNum->setVisible(!isbnOnly);
}

void TFindRec::UpdateRowVisibility() {
    auto filled = [this](int k) { return !Trim(Gb(edV[k]->text())).empty(); };
    bool show = filled(0) && !IsbnOnly();
    for (int k = 1; k < 5; ++k) {
        if (k > 1) show = show && filled(k - 1);
        cbbAnd[k]->setVisible(show);
        cbbField[k]->setVisible(show);
        edV[k]->setVisible(show);
    }
}

std::vector<SearchCondition> TFindRec::Rows() const {
    std::vector<SearchCondition> rows;
    for (int k = 0; k < 5; ++k) {
        rows.push_back({k > 0 ? Gb(cbbAnd[k]->currentText()) : std::string(),
                        Gb(cbbField[k]->currentText()), Gb(edV[k]->text())});
    }
    return rows;
}

void TFindRec::ShowWait(bool on) {
    grpWait->setVisible(on);
    if (on) {
        waitClock_.start();
        ShowWaitSeconds();
        waitTimer_.start();
        grpWait->raise();
        s_.ui.SetCursor(Cursor::kBusy);
    } else {
        waitTimer_.stop();
        s_.ui.SetCursor(Cursor::kNormal);
    }
}

void TFindRec::ShowWaitSeconds() {
    QString text = U("已等待 %1 秒，按Esc取消").arg(waitClock_.elapsed() / 1000);
    if (many_ && searching())
        text = U("已回答 %1/%2，").arg(multi_.answered()).arg(multi_.asked()) + text;
    lbWaitSeconds_->setText(text);
}

void TFindRec::SetSearching(bool on) {
    if (on) {
        formEnabled_ = grbField->isEnabled();
        // The focus waits on the panel, not on whatever control Qt would move it to when
        // the focused one is disabled (a toolbar button a key would then press).
        focusBefore_ = QApplication::focusWidget();
        grpWait->setFocus();
    }
    grbField->setEnabled(!on && formEnabled_);
    btInit->setEnabled(!on);
    if (on) {
        btNext->setEnabled(false);
        btSaveRec->setEnabled(false);
    }
    grpNum->setEnabled(!on);
    tvDatabase->setEnabled(!on);
    if (!on && focusBefore_ && focusBefore_->isEnabled() && focusBefore_->isVisible())
        focusBefore_->setFocus();
}

void TFindRec::StartWorker(std::function<PageResult(CancelToken&)> run,
                           std::function<void(const PageResult&)> ended) {
    const int id = nextWorker_++;
    QPointer<TFindRec> self(this);
    Worker w;
    w.done = std::make_shared<std::atomic<bool>>(false);
    w.thread = std::thread([self, run = std::move(run), ended = std::move(ended), cancel = cancel_,
                            doneFlag = w.done, id] {
        PageResult page = run(*cancel);
        doneFlag->store(true);
        QMetaObject::invokeMethod(
            qApp,
            [self, page = std::move(page), ended, id] {
                if (!self) return;
                auto it = self->running_.find(id);
                if (it != self->running_.end()) {
                    it->second.thread.join();
                    self->running_.erase(it);
                }
                if (!self->closing_) ended(page);
            },
            Qt::QueuedConnection);
    });
    running_.emplace(id, std::move(w));
}

void TFindRec::RunFetch(PendingFetch fetch, FetchStep step) {
    if (step != FetchStep::kFill) {
        SetSearching(true);  // a fill goes on from the first page
        cancel_ = std::make_shared<CancelToken>();
    }
    // The progress of a long fetch reaches the status bar through this thread.
    QPointer<TFindRec> self(this);
    AppState* state = &s_.state;
    fetch.request.progress = [self, state](int done, int all) {
        QMetaObject::invokeMethod(
            qApp,
            [self, state, done, all] {
                if (!self) return;
                state->statusMessage = ReceivingStatus(done, all);
                emit self->progressShown();
            },
            Qt::QueuedConnection);
    };
    StartWorker([fetch = std::move(fetch)](CancelToken& cancel) { return fetch.Run(cancel); },
                [this, step](const PageResult& page) { FetchEnded(page, step); });
}

void TFindRec::FetchEnded(const PageResult& page, FetchStep step) {
    if (step == FetchStep::kFirst) {
        const SearchOutcome first = session_.FinishStart(page);
        // A first page that brought fewer than edNum while more hits exist is filled
        // before it is shown, so the list holds a page.
        SearchStep fill = session_.BeginFill();
        if (fill.fetch) {
            RunFetch(std::move(*fill.fetch), FetchStep::kFill);
            return;
        }
        SetSearching(false);
        ApplyOutcome(first, false);
        return;
    }
    SetSearching(false);
    if (step == FetchStep::kFill) {
        ApplyOutcome(session_.FinishFill(page), false);
        return;
    }
    SearchOutcome out = session_.FinishNext(page);
    out.searchCompleted = false;  // only a first page restores the compact window
    ApplyOutcome(out, true);
}

void TFindRec::QueueSourceFetches(std::vector<SourceFetch> fetches) {
    for (auto& f : fetches) queued_.push_back(std::move(f));
    RunQueued();
}

void TFindRec::RunQueued() {
    while (!queued_.empty() && static_cast<int>(running_.size()) < kMostFetchesAtOnce) {
        SourceFetch f = std::move(queued_.front());
        queued_.pop_front();
        const size_t source = f.source;
        StartWorker([fetch = std::move(f.fetch)](CancelToken& cancel) { return fetch.Run(cancel); },
                    [this, source](const PageResult& page) { SourceEnded(source, page); });
    }
}

void TFindRec::SourceEnded(size_t source, const PageResult& page) {
    SourceStep step;
    try {
        step = multi_.Finish(source, page);
    } catch (const Z39Error& e) {
        // The records could not be kept (the record store): the database counts as failed.
        s_.ui.ShowMessage(NoticeTitle(), e.what());
        PageResult failed;
        failed.status = PageStatus::kNoConnection;
        failed.cause = G("记录无法保存");
        step = multi_.Finish(source, failed);
    }
    if (step.more) queued_.push_back(std::move(*step.more));
    // After Esc nothing new starts.
    if (cancel_ && cancel_->cancelled())
        if (std::optional<SourceStep> last = EndQueuedAsCancelled()) step = std::move(*last);
    RunQueued();
    ShowSourceStep(step);
}

std::optional<SourceStep> TFindRec::EndQueuedAsCancelled() {
    std::optional<SourceStep> last;
    while (!queued_.empty()) {
        const size_t waiting = queued_.front().source;
        queued_.pop_front();
        PageResult cancelled;
        cancelled.status = PageStatus::kCancelled;
        last = multi_.Finish(waiting, cancelled);
    }
    return last;
}

void TFindRec::ShowSourceStep(const SourceStep& step) {
    if (!running_.empty() || !queued_.empty()) {
        ApplyPartial(step.outcome);
        return;
    }
    SetSearching(false);
    SearchOutcome out = step.outcome;
    if (manyNext_) out.searchCompleted = false;  // only a first page restores the compact window
    ApplyOutcome(out, manyNext_);
}

void TFindRec::StartSourceFetches(std::vector<SourceFetch> fetches) {
    SetSearching(true);
    cancel_ = std::make_shared<CancelToken>();
    QueueSourceFetches(std::move(fetches));
    ShowWaitSeconds();
}

void TFindRec::ApplyPartial(const SearchOutcome& o) {
    lbCaptions->SetCaptions(ColumnCaptions(many_));
    const int current = lstBooks->currentRow();
    const int currentRecord =
        current >= 0 && static_cast<size_t>(current) < ticks_.recordNumbers().size()
            ? ticks_.recordNumbers()[static_cast<size_t>(current)]
            : -1;
    FillList(o.rows);
    ticks_.Reorder(ListedRecordNumbers());
    ShowTicks();
    const int row = ticks_.RowOf(currentRecord);
    if (row >= 0) {
        QSignalBlocker quiet(lstBooks);
        lstBooks->setCurrentRow(row);
    }
    if (!o.hitLabel.empty()) {
        lbNum->setText(Q(o.hitLabel));
        lbNum->show();
    }
    if (!o.statusMessage.empty()) {
        s_.state.statusMessage = o.statusMessage;
        emit progressShown();
    }
    ShowWaitSeconds();
}

void TFindRec::CancelSearch() {
    if (!cancel_) return;
    cancel_->Cancel();
    if (!many_) return;
    // What waits its turn is not started: it ends as cancelled now.
    if (std::optional<SourceStep> last = EndQueuedAsCancelled()) ShowSourceStep(*last);
}

TFindRec::~TFindRec() {
    closing_ = true;
    if (running_.empty()) return;
    if (cancel_) cancel_->Cancel();
    queued_.clear();
    // A worker may be showing a message through this thread: let it, until all have ended.
    auto allDone = [this] {
        for (auto& [id, w] : running_)
            if (!w.done->load()) return false;
        return true;
    };
    while (!allDone()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    for (auto& [id, w] : running_) w.thread.join();
    running_.clear();
}

void TFindRec::closeEvent(QCloseEvent* event) {
    if (!KeepOrLetGoOfTicks()) {
        event->ignore();
        return;
    }
    CancelSearch();
    QWidget::closeEvent(event);
}

bool TFindRec::KeepOrLetGoOfTicks() {
    if (!s_.state.launch.launchQuery.empty()) return true;
    const auto& ticks = ticks_.ticks();
    const int ticked = static_cast<int>(std::count(ticks.begin(), ticks.end(), true));
    if (ticked == 0) return true;
    switch (s_.ui.AskSaveDiscardCancel(
        NoticeTitle(),
        G("有[") + std::to_string(ticked) + G("]条打钩的记录还没有保存，要先保存吗？"))) {
        case SaveChoice::kSave: {
            SaveTicked();
            const auto& left = ticks_.ticks();
            return std::count(left.begin(), left.end(), true) == 0;
        }
        case SaveChoice::kDiscard:
            ticks_.SetAll(false);  // let go of: not asked about again
            ShowTicks();
            return true;
        case SaveChoice::kCancel:
            break;
    }
    return false;
}

void TFindRec::HideDetails() {
    grbResult->setTitle(U("结果(F8)"));
    btCloseDetail->hide();
    lstDetail->hide();
    memDetail->hide();
}

void TFindRec::btInitClick() {
    if (busy_ || searching()) return;
    if (!KeepOrLetGoOfTicks()) return;
    lbNum->hide();
    if (Trim(Gb(edV[0]->text())).empty()) {
        s_.ui.ShowMessage(NoticeTitle(), EmptyQueryMessage());
        edV[0]->setFocus();
        return;
    }
    ShowWait(true);
    edBegin->setText(QStringLiteral("1"));
    if (Trim(Gb(edNum->text())).empty()) edNum->setText(QStringLiteral("10"));
    btNext->setEnabled(false);
    btSaveRec->setEnabled(false);
    HideDetails();
    lstBooks->clear();
    many_ = !targets_.ticked().empty();
    manyNext_ = false;
    if (many_) {
        ticks_.Reset({});  // the numbers of a new search are new records
        MultiStep step;
        try {
            step = multi_.BeginStart(targets_.TickedTargets(), Rows(), Gb(edNum->text()));
        } catch (const Z39Error& e) {
            NotStarted(e);
            return;
        }
        if (step.done) {
            ApplyOutcome(*step.done);
            return;
        }
        StartSourceFetches(std::move(step.fetches));
        return;
    }
    SearchStep step;
    try {
        step = session_.BeginStart(targets_.CurrentProfile(), Rows(), Gb(edNum->text()));
    } catch (const Z39Error& e) {
        NotStarted(e);
        return;
    }
    if (step.done) {
        ApplyOutcome(*step.done);
        return;
    }
    RunFetch(std::move(*step.fetch), FetchStep::kFirst);
}

void TFindRec::NotStarted(const Z39Error& e) {
    ShowWait(false);
    btSaveRec->setEnabled(true);
    s_.ui.ShowMessage(NoticeTitle(), e.what());
}

void TFindRec::btNextClick() {
    if (busy_ || searching()) return;
    if (!s_.state.launch.launchQuery.empty()) {
        ticks_.SetAll(false);
        ShowTicks();
    }
    ShowWait(true);
    if (Trim(Gb(edNum->text())).empty()) edNum->setText(QStringLiteral("10"));
    btNext->setEnabled(false);
    btSaveRec->setEnabled(false);
    HideDetails();
    if (many_) {
        manyNext_ = true;
        MultiStep step = multi_.BeginNext(Gb(edNum->text()));
        if (step.done) {
            ApplyOutcome(*step.done, true);
            return;
        }
        StartSourceFetches(std::move(step.fetches));
        return;
    }
    SearchStep step = session_.BeginNext(Gb(edBegin->text()), Gb(edNum->text()));
    if (step.done) {
        step.done->searchCompleted = false;
        ApplyOutcome(*step.done, true);
        return;
    }
    RunFetch(std::move(*step.fetch), FetchStep::kNext);
}

void TFindRec::FillList(const std::vector<std::string>& rows) {
    QSignalBlocker quiet(lstBooks);
    lstBooks->clear();
    for (const auto& row : rows) {
        auto* item = new QListWidgetItem(Q(row), lstBooks);
        item->setData(kGbkRole, QByteArray::fromStdString(row));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
}

std::vector<int> TFindRec::ListedRecordNumbers() const {
    std::vector<int> numbers;
    for (size_t row = 0; row < s_.index.size(); ++row)
        numbers.push_back(s_.index.RecordNumberAt(row));
    return numbers;
}

void TFindRec::ShowTicks() {
    QSignalBlocker quiet(lstBooks);
    const auto& ticks = ticks_.ticks();
    for (int i = 0; i < lstBooks->count() && static_cast<size_t>(i) < ticks.size(); ++i) {
        Qt::CheckState state = ticks[static_cast<size_t>(i)] ? Qt::Checked : Qt::Unchecked;
        if (lstBooks->item(i)->checkState() != state) lstBooks->item(i)->setCheckState(state);
    }
}

void TFindRec::ShowNewOrder() {
    if (lstBooks->count() == 0) return;
    int current = lstBooks->currentRow();
    int currentRecord = current >= 0 ? ticks_.recordNumbers()[static_cast<size_t>(current)] : -1;
    ticks_.Reorder(ListedRecordNumbers());
    FillList(s_.index.Rows());
    ShowTicks();
    HideDetails();
    int row = ticks_.RowOf(currentRecord);
    if (row >= 0) {
        QSignalBlocker quiet(lstBooks);
        lstBooks->setCurrentRow(row);
    }
}

void TFindRec::ApplyOutcome(const SearchOutcome& o, bool furtherPage) {
    lbCaptions->SetCaptions(ColumnCaptions(many_));
    for (const UserMessage& m : o.alerts) s_.ui.ShowMessage(m.title, m.text);
    // A search that could not begin (no address to connect to) says why.
    if (!o.refusedMessage.empty()) {
        ShowWait(false);
        s_.ui.ShowMessage(NoticeTitle(), o.refusedMessage);
    }
    // A further page that failed leaves the list as earlier pages made it, ticks included.
    if (!(furtherPage && o.connectionFailed)) {
        FillList(o.rows);
        if (o.keepTicks) {
            ticks_.Reorder(ListedRecordNumbers());
        } else {
            ticks_.Reset(ListedRecordNumbers());
        }
        for (int row : o.tickRows) ticks_.Set(row, true, false);
        if (o.selectRow >= 0 && o.selectRow < lstBooks->count()) {
            QSignalBlocker quiet(lstBooks);
            lstBooks->setCurrentRow(o.selectRow);
        }
        if (o.singleChoice) ticks_.ChooseOnly(lstBooks->currentRow());
        ShowTicks();
    }

    edBegin->setText(QString::number(o.nextStart));
    if (!o.countText.empty()) edNum->setText(Q(o.countText));
    btNext->setEnabled(o.nextEnabled);
    btSaveRec->setEnabled(true);
    if (!o.hitLabel.empty()) {
        lbNum->setText(Q(o.hitLabel));
        lbNum->show();
    }
    if (!o.statusMessage.empty()) s_.state.statusMessage = o.statusMessage + o.statusDetail;
    if (o.launchFinished) {
        cbAll->hide();
        btSaveRec->setText(U("选择或退出.F5"));
        btSaveRec->setToolTip(U("选中打钩的记录，退出"));
    }
    ShowWait(false);
    switch (o.focus) {
        case SearchOutcome::Focus::kList:
            lstBooks->setFocus();
            break;
        case SearchOutcome::Focus::kNext:
            btNext->setFocus();
            break;
        case SearchOutcome::Focus::kSave:
            btSaveRec->setFocus();
            break;
        case SearchOutcome::Focus::kNone:
            break;
    }
    if (o.searchCompleted) s_.state.searchCompleted = true;
    if (!o.notice.empty()) s_.ui.ShowMessage(NoticeTitle(), o.notice);
    if (o.autoSave) SaveTicked();
}

void TFindRec::btSaveRecClick() {
    if (busy_ || searching()) return;
    Busy busy(busy_);
    SaveTicked();
}

void TFindRec::SaveTicked() {
    SaveResult r;
    try {
        r = SaveTickedRecords(s_.state, s_.index, s_.store, handOff_, ticks_.ticks(), TodayYyyymmdd,
                              [this](int count, const std::string& file) {
                                  return s_.ui.AskYesNo(NoticeTitle(),
                                                        SaveAgainQuestion(count, file));
                              });
    } catch (const Z39Error& e) {
        s_.ui.ShowMessage(NoticeTitle(), e.what());
        return;
    }
    ticks_.Untick(r.savedRows);
    ticks_.Untick(r.skippedRows);
    ShowTicks();
    for (const auto& m : r.messages) s_.ui.ShowMessage(NoticeTitle(), m);
}

void TFindRec::lstBooksClickCheck(QListWidgetItem* item) {
    if (!item) return;
    ticks_.Set(lstBooks->row(item), item->checkState() == Qt::Checked,
               !s_.state.launch.launchQuery.empty());
    ShowTicks();
}

void TFindRec::lstBooksHotKey(QChar key) {
    if (key.unicode() > 0x7F) return;
    auto done =
        ticks_.HotKey(key.toLatin1(), lstBooks->TopRow(), !s_.state.launch.launchQuery.empty());
    if (done.row < 0) return;
    ShowTicks();
    if (done.select) lstBooks->setCurrentRow(done.row);
    if (done.save) btSaveRecClick();
}

void TFindRec::lstBooksEnter() {
    // Enter opens the row's fields, as a double-click does (Esc closes them again).
    if (s_.state.launch.launchQuery.empty()) {
        lstBooksDblClick();
        if (lstDetail->isVisible()) {
            lstDetail->setFocus();
            if (lstDetail->count() > 0) lstDetail->setCurrentRow(0);
        }
        return;
    }
    ticks_.ChooseOnly(lstBooks->currentRow());
    ShowTicks();
    btSaveRecClick();
}

void TFindRec::lstBooksDblClick() {
    int row = lstBooks->currentRow();
    if (row < 0) return;
    std::string line = lstBooks->item(row)->data(kGbkRole).toByteArray().toStdString();
    if (line == BadRecordLine()) return;
    std::string record;
    try {
        record = s_.index.RecordAt(static_cast<size_t>(row), s_.store);
    } catch (const Z39Error& e) {
        s_.ui.ShowMessage(NoticeTitle(), e.what());
        return;
    }
    lstDetail->show();
    btCloseDetail->show();
    lstIndex->hide();  // its keys are the result list's, which the detail view covers
    lstDetail->raise();
    btCloseDetail->raise();
    lstDetail->clear();
    detailRecord_ = record;
    // How full the record is, and where it came from, over the fields.
    const RecordQuality quality = AssessRecord(record);
    QString title =
        U("结果(F8)  著录要素 %1 项，字段 %2 个").arg(quality.essentials).arg(quality.fields);
    const int number = s_.index.RecordNumberAt(static_cast<size_t>(row));
    if (many_) title += U("，来自 ") + Q(multi_.SourceOf(number));
    grbResult->setTitle(title);
    FieldLabels labels = LoadFieldLabels(IniFile(s_.state.settingsPath));
    for (const auto& detail : DetailLines(record, labels)) {
        auto* item = new QListWidgetItem(Q(detail), lstDetail);
        item->setData(kGbkRole, QByteArray::fromStdString(detail));
    }
}

void TFindRec::CopyDetailRecord() {
    const std::optional<std::string> text = RecordAsMarcText(detailRecord_);
    if (!text) {
        s_.ui.ShowMessage(NoticeTitle(), G("这条记录无法转换为MARC文本，没有复制。"));
        return;
    }
    QGuiApplication::clipboard()->setText(QString::fromUtf8(*text));
    s_.state.statusMessage = G("整条记录已复制到剪贴板");
    emit progressShown();
}

void TFindRec::PrintDetailRecord() {
    const std::optional<std::string> text = RecordAsMarcText(detailRecord_);
    if (!text) {
        s_.ui.ShowMessage(NoticeTitle(), G("这条记录无法转换为MARC文本，没有打印。"));
        return;
    }
    QPrinter printer;
    // Where no printer is set up, the dialog offers a PDF file, named after the book.
    if (QPrinterInfo::availablePrinters().isEmpty()) {
        const std::vector<std::string> isbns = RecordIsbns(detailRecord_);
        const QString name = isbns.empty() ? U("记录") : QString::fromStdString(isbns.front());
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QDir::home().filePath(name + QStringLiteral(".pdf")));
    }
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(U("打印记录"));
    if (dialog.exec() != QDialog::Accepted) return;
    QTextDocument document;
    document.setDefaultFont(ListFont());
    document.setPlainText(QString::fromUtf8(*text));
    document.print(&printer);
}

void TFindRec::cbAllClick() {
    ticks_.SetAll(cbAll->isChecked());
    ShowTicks();
    lstBooks->setFocus();
}

void TFindRec::lstDetailClick() {
    if (!lstDetail->currentItem()) return;
    memDetail->setPlainText(lstDetail->currentItem()->text());
    memDetail->show();
    memDetail->raise();
}

bool TFindRec::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* target = qobject_cast<QWidget*>(watched);
        if (target && (target == this || isAncestorOf(target)) &&
            WindowKey(target, static_cast<QKeyEvent*>(event), event->type() == QEvent::KeyRelease))
            return true;
    }
    if (event->type() == QEvent::MouseButtonPress && watched == memDetail->viewport()) {
        memDetail->hide();
        return true;
    }
    if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
    // Only this window's own controls: the filter sees every key of the application, and
    // another window's line edit keeps its Enter.
    auto* own = qobject_cast<QWidget*>(watched);
    if (!own || !(own == this || isAncestorOf(own))) return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    // Field and joiner lists take no typed characters: a field is chosen from the list,
    // by mouse or with the list keys (Up, Down, Alt+Down, F4 ...).
    for (int k = 0; k < 5; ++k) {
        if (watched == cbbField[k] || watched == cbbField[k]->lineEdit() ||
            (k > 0 && watched == cbbAnd[k])) {
            if (enter) {
                focusNextChild();
                return true;
            }
            const bool typed = !key->text().isEmpty() && key->text()[0].isPrint();
            return typed || key->key() == Qt::Key_Backspace || key->key() == Qt::Key_Delete;
        }
    }
    if (watched == edBegin || watched == edNum) {
        if (enter) {
            focusNextChild();
            return true;
        }
        // Tab and Shift+Tab move on, whatever else the filter refuses.
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) return false;
        const QString text = key->text();
        if (key->key() == Qt::Key_Backspace || text.isEmpty()) return false;
        return !(text.size() == 1 && text[0] >= QChar('0') && text[0] <= QChar('9'));
    }
    if (enter && qobject_cast<QLineEdit*>(watched)) {
        focusNextChild();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace z39
