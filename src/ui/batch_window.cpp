#include "ui/batch_window.h"

#include <QUrl>

#include <QMimeData>

#include <QFileDialog>

#include <QDropEvent>

#include <QDragEnterEvent>

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMetaObject>
#include <QVBoxLayout>

#include "batch/batch_backends.h"
#include "batch/batch_chain.h"
#include "common/file_util.h"
#include "common/ini_file.h"
#include "common/paths.h"
#include "records/marc_record.h"
#include "records/record_saver.h"
#include "targets/target_profile.h"
#include "ui/qt_text_widget.h"
#include "ui/result_list_delegate.h"

namespace z39 {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

constexpr int kSlotRole = Qt::UserRole + 7;

QColor StateColour(const BatchRow& row) {
    if (row.saved == SaveMark::kAlreadySaved) return QColor(210, 225, 255);
    switch (row.state) {
        case BatchState::kFound:
            return row.saved == SaveMark::kSaved ? QColor(170, 225, 170) : QColor(205, 240, 205);
        case BatchState::kSeveral:
            return row.chosen >= 0 ? QColor(205, 240, 205) : QColor(255, 238, 170);
        case BatchState::kNotFound:
            return QColor(228, 228, 228);
        case BatchState::kInvalid:
            return QColor(255, 205, 205);
        case BatchState::kFailed:
            return QColor(255, 185, 150);
        case BatchState::kDuplicate:
            return QColor(238, 238, 238);
        case BatchState::kPending:
            break;
    }
    return QColor(255, 255, 255);
}

// Enter on a row opens it, as a double click does.
class ResultTable final : public QTableWidget {
  public:
    using QTableWidget::QTableWidget;
    std::function<void(int)> onEnter;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && onEnter &&
            currentRow() >= 0) {
            onEnter(currentRow());
            return;
        }
        QTableWidget::keyPressEvent(event);
    }
};

}  // namespace

TBatchWindow::TBatchWindow(AppState& state, UserInterface& ui,
                           std::function<const TargetList&()> targets, QWidget* parent)
    : QWidget(parent), state_(state), ui_(ui), targets_(std::move(targets)) {
    setWindowTitle(U("批量检索"));
    countsTimer_.setSingleShot(true);
    countsTimer_.setInterval(150);
    connect(&countsTimer_, &QTimer::timeout, this, &TBatchWindow::ShowCounts);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(U("列表文件:")));
    path_ = new QLineEdit;
    path_->setToolTip(U("输入ISBN列表文件的路径，回车载入"));
    top->addWidget(path_, 2);
    auto* load = new QPushButton(U("载入(&L)"));
    top->addWidget(load);
    auto* open = new QPushButton(U("打开(&O)..."));
    open->setToolTip(U("选择ISBN列表文件；也可以把文件拖到本窗口"));
    top->addWidget(open);
    connect(open, &QPushButton::clicked, this, [this] {
        const QString chosen =
            QFileDialog::getOpenFileName(this, U("选择ISBN列表文件"), path_->text(),
                                         U("ISBN列表 (*.txt *.csv *.tsv);;所有文件 (*)"));
        if (chosen.isEmpty()) return;
        path_->setText(chosen);
        LoadListFile(chosen);
    });
    setAcceptDrops(true);
    top->addWidget(new QLabel(U("扫描ISBN:")));
    scan_ = new QLineEdit;
    scan_->setToolTip(U("扫描或输入一个ISBN，回车加入列表"));
    top->addWidget(scan_, 1);

    listEdit_ = new QPlainTextEdit;
    listEdit_->setToolTip(U("每行一个ISBN，也可以粘贴书商的CSV文件内容"));
    listEdit_->setFont(ListFont());
    tree_ = new QTreeWidget;
    tree_->setHeaderHidden(true);
    tree_->setToolTip(U("双击数据库加入检索顺序"));
    chain_ = new QListWidget;
    chain_->setToolTip(U("按顺序检索，第一个有结果的数据库为准"));
    auto* up = new QPushButton(U("上移"));
    auto* down = new QPushButton(U("下移"));
    auto* remove = new QPushButton(U("移除"));
    auto* chainButtons = new QVBoxLayout;
    chainButtons->addWidget(up);
    chainButtons->addWidget(down);
    chainButtons->addWidget(remove);
    chainButtons->addStretch();
    // Each pane under its caption.
    auto captioned = [](const char* caption, QWidget* pane) {
        auto* column = new QVBoxLayout;
        column->setSpacing(2);
        column->addWidget(new QLabel(U(caption)));
        column->addWidget(pane, 1);
        return column;
    };
    auto* middle = new QHBoxLayout;
    middle->addLayout(captioned("ISBN列表", listEdit_), 3);
    middle->addLayout(captioned("数据库（双击加入检索顺序）", tree_), 3);
    middle->addLayout(captioned("检索顺序", chain_), 2);
    chainButtons->insertSpacing(0, QLabel().sizeHint().height() + 2);
    middle->addLayout(chainButtons);

    start_ = new QPushButton(U("开始(&S)"));
    cancel_ = new QPushButton(U("取消(&C)"));
    save_ = new QPushButton(U("保存(&V)"));
    export_ = new QPushButton(U("导出(&E)"));
    cancel_->setEnabled(false);
    progress_ = new QProgressBar;
    counts_ = new QLabel;
    auto* controls = new QHBoxLayout;
    for (QPushButton* b : {start_, cancel_, save_, export_}) controls->addWidget(b);
    controls->addWidget(progress_, 1);

    auto* table = new ResultTable(0, 5);
    table_ = table;
    table_->setHorizontalHeaderLabels(
        {U("ISBN"), U("状态"), U("目标数据库"), U("记录"), U("序号")});
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->verticalHeader()->setDefaultSectionSize(18);
    table_->horizontalHeader()->setStretchLastSection(false);
    table_->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
    table_->setFont(ListFont());
    table->onEnter = [this](int row) { Review(row); };

    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addLayout(middle, 2);
    all->addLayout(controls);
    all->addWidget(counts_);
    all->addWidget(new QLabel(U("检索结果（双击“多条”的行选择记录）")));
    all->addWidget(table_, 3);

    connect(load, &QPushButton::clicked, this, [this] { LoadListFile(path_->text()); });
    connect(path_, &QLineEdit::returnPressed, this, [this] { LoadListFile(path_->text()); });
    connect(scan_, &QLineEdit::returnPressed, this, [this] {
        const QString isbn = scan_->text().trimmed();
        if (!isbn.isEmpty()) listEdit_->appendPlainText(isbn);
        scan_->clear();
    });
    // A double click or Enter on a database puts it at the end of the chain.
    auto addFromTree = [this](QTreeWidgetItem* item) {
        const QVariant slot = item ? item->data(0, kSlotRole) : QVariant();
        if (slot.isValid()) {
            chainTouched_ = true;
            AddToChain(slot.toInt());
        }
    };
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, addFromTree);
    connect(tree_, &QTreeWidget::itemActivated, this, addFromTree);
    connect(up, &QPushButton::clicked, this, [this] {
        const int r = chain_->currentRow();
        if (r > 0) {
            chain_->insertItem(r - 1, chain_->takeItem(r));
            chain_->setCurrentRow(r - 1);
            chainTouched_ = true;
        }
    });
    connect(down, &QPushButton::clicked, this, [this] {
        const int r = chain_->currentRow();
        if (r >= 0 && r + 1 < chain_->count()) {
            chain_->insertItem(r + 1, chain_->takeItem(r));
            chain_->setCurrentRow(r + 1);
            chainTouched_ = true;
        }
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        delete chain_->takeItem(chain_->currentRow());
        chainTouched_ = true;
    });
    connect(start_, &QPushButton::clicked, this, &TBatchWindow::Start);
    connect(cancel_, &QPushButton::clicked, this, &TBatchWindow::Cancel);
    connect(save_, &QPushButton::clicked, this, &TBatchWindow::Save);
    connect(export_, &QPushButton::clicked, this, &TBatchWindow::Export);
    connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { Review(row); });
}

TBatchWindow::~TBatchWindow() {
    if (cancel_token_) cancel_token_->Cancel();
    if (thread_.joinable()) thread_.join();
}

void TBatchWindow::FormActivate() {
    BuildTree();
    if (!chainTouched_) {
        chain_->clear();
        const TargetList& list = targets_();
        AddToChain(1);
        if (list.CurrentTarget > 1) AddToChain(list.CurrentTarget);
    }
}

void TBatchWindow::BuildTree() {
    tree_->clear();
    const TargetList& list = targets_();
    // The nodes in tree order; a node's index is its slot, a database's slot holds it.
    std::vector<QTreeWidgetItem*> items;
    for (size_t index = 0; index < list.nodes.size(); ++index) {
        const TreeNode& node = list.nodes[index];
        QTreeWidgetItem* item = node.parent < 0 || node.parent >= static_cast<int>(items.size())
                                    ? new QTreeWidgetItem(tree_)
                                    : new QTreeWidgetItem(items[static_cast<size_t>(node.parent)]);
        item->setText(0, Q(node.text));
        const bool database = index == 1 || (index < list.TargetTable.size() &&
                                             !list.TargetTable[index].address.empty());
        if (database) item->setData(0, kSlotRole, static_cast<int>(index));
        items.push_back(item);
    }
    tree_->expandAll();
}

void TBatchWindow::AddToChain(int slot) {
    const TargetList& list = targets_();
    if (slot < 1 || slot >= kTargetSlots) return;
    if (slot != 1 && list.TargetTable[static_cast<size_t>(slot)].address.empty()) return;
    for (int i = 0; i < chain_->count(); ++i)
        if (chain_->item(i)->data(kSlotRole).toInt() == slot) return;
    // Named as the tree names it: the shared catalogue by its caption, any other database
    // with its server; the name z39batch --chain takes is the tooltip.
    const TargetEntry& entry = list.TargetTable[static_cast<size_t>(slot)];
    const std::string shown = slot == 1 ? entry.library : entry.library + "/" + entry.database;
    auto* item = new QListWidgetItem(Q(shown), chain_);
    item->setToolTip(U("z39batch --chain 中的名称：") + Q(ChainTargetOf(list, slot).name));
    item->setData(kSlotRole, slot);
}

void TBatchWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!running() && urls.size() == 1 && urls.front().isLocalFile()) event->acceptProposedAction();
}

void TBatchWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (running() || urls.size() != 1 || !urls.front().isLocalFile()) return;
    event->acceptProposedAction();
    const QString path = urls.front().toLocalFile();
    path_->setText(path);
    LoadListFile(path);
}

void TBatchWindow::LoadListFile(const QString& path) {
    auto text = ReadWholeFile(path.toStdString());
    if (!text) {
        ui_.ShowMessage(NoticeTitle(), G("文件[") + path.toStdString() + G("]无法读取！"));
        return;
    }
    // Shown as it reads; the list keeps the file's own name for its journal.
    listEdit_->setPlainText(QString::fromStdString(IsValidUtf8(*text) ? *text : GbkToUtf8(*text)));
    path_->setText(path);
    loadedPath_ = path.toStdString();
    loadedText_ = listEdit_->toPlainText();
}

// The kept list, journal, report and not-found list: a folder of their own under the
// download folder, so the cataloguing system's import sees only daily files.
std::string TBatchWindow::BatchFolder() const { return state_.settings.MARCPATH + "batch/"; }

std::string TBatchWindow::ListPath() {
    // A list typed, pasted or scanned is kept under the day's name in the batch folder, so
    // a run stopped by a crash goes on from the same list.
    if (!loadedPath_.empty() && path_->text().toStdString() == loadedPath_ &&
        listEdit_->toPlainText() == loadedText_)
        return loadedPath_;
    return BatchFolder() + "batch" + TodayYyyymmdd() + ".txt";
}

void TBatchWindow::Start() {
    if (running()) return;
    cancelled_ = false;
    if (chain_->count() == 0) {
        ui_.ShowMessage(NoticeTitle(), G("请先双击数据库树，选择检索顺序！"));
        return;
    }
    const std::string listPath = ListPath();
    if (listPath != loadedPath_) {
        const std::string missing =
            CheckDownloadFolder(state_.settings.MARCPATH, state_.autoCreateMarcPath);
        if (!missing.empty() || !MakeDirectories(BatchFolder()) ||
            !ReplaceFileAtomically(listPath, listEdit_->toPlainText().toStdString())) {
            ui_.ShowMessage(NoticeTitle(),
                            missing.empty() ? G("文件[") + listPath + G("]无法写入！") : missing);
            return;
        }
    }
    std::string why;
    const std::optional<DailyFormat> format = SettingsDailyFormat(state_.settings, &why);
    if (!format) {
        ui_.ShowMessage(NoticeTitle(), why);
        return;
    }
    BatchRunSetup setup;
    setup.format = *format;
    setup.listPath = listPath;
    setup.marcPath = state_.settings.MARCPATH;
    setup.workFolder = BatchFolder();
    setup.autoCreateMarcPath = state_.autoCreateMarcPath;
    setup.settings = state_.settings;
    setup.saveAsFound = false;
    const TargetList& list = targets_();
    shownNames_.clear();
    for (int i = 0; i < chain_->count(); ++i) {
        setup.chain.push_back(ChainTargetOf(list, chain_->item(i)->data(kSlotRole).toInt()));
        shownNames_[setup.chain.back().name] = chain_->item(i)->text();
    }
    run_ = std::make_unique<BatchRun>(setup);
    std::string error;
    if (!run_->Prepare(&error)) {
        run_.reset();
        ui_.ShowMessage(NoticeTitle(), error);
        return;
    }
    for (const std::string& notice : run_->notices()) ui_.ShowMessage(NoticeTitle(), notice);
    noticesShown_ = run_->notices().size();
    shown_ = run_->rows();
    table_->setRowCount(static_cast<int>(shown_.size()));
    for (size_t i = 0; i < shown_.size(); ++i) ShowRow(i, shown_[i]);
    const BatchCounts counts = CountRows(shown_);
    doneAtStart_ = counts.rows - counts.pending;
    progress_->setRange(0, counts.rows);
    ShowCounts();
    start_->setEnabled(false);
    save_->setEnabled(false);
    export_->setEnabled(false);
    cancel_->setEnabled(true);
    clock_.start();
    cancel_token_ = std::make_unique<CancelToken>();
    const std::string work = state_.files.privateFolder.empty()
                                 ? JoinPath(RawTempFolder(), "z39batch")
                                 : JoinPath(state_.files.privateFolder, "batch");
    BatchRun* run = run_.get();
    CancelToken* cancel = cancel_token_.get();
    thread_ = std::thread([this, run, cancel, work] {
        std::string why;
        bool ok = false;
        // Nothing thrown leaves this thread: it ends the run with its text.
        try {
            ok = run->Execute(
                RealBatchBackends(work), *cancel,
                [this, run](size_t i) {
                    BatchRow copy = run->rows()[i];
                    QMetaObject::invokeMethod(
                        this, [this, i, copy] { ShowRow(i, copy); }, Qt::QueuedConnection);
                },
                &why);
        } catch (const std::exception& e) {
            why = e.what();
        }
        QMetaObject::invokeMethod(
            this, [this, ok, why] { RunEnded(ok, why); }, Qt::QueuedConnection);
    });
}

void TBatchWindow::Cancel() {
    if (cancel_token_) cancel_token_->Cancel();
    cancel_->setEnabled(false);
}

void TBatchWindow::RunEnded(bool ok, const std::string& error) {
    if (thread_.joinable()) thread_.join();
    if (run_) {
        shown_ = run_->rows();
        // Rows a cancel left read 已取消, not as if still waiting their turn.
        cancelled_ = CountRows(shown_).pending > 0;
        for (size_t i = 0; i < shown_.size(); ++i) ShowRow(i, shown_[i]);
    }
    start_->setEnabled(true);
    save_->setEnabled(true);
    export_->setEnabled(true);
    cancel_->setEnabled(false);
    ShowCounts();
    if (!ok) ui_.ShowMessage(NoticeTitle(), error);
    ShowNewNotices();
}

void TBatchWindow::ShowNewNotices() {
    if (!run_) return;
    for (; noticesShown_ < run_->notices().size(); ++noticesShown_)
        ui_.ShowMessage(NoticeTitle(), run_->notices()[noticesShown_]);
}

namespace {

QString StateWord(BatchState state, SaveMark saved, bool cancelled) {
    return QString::fromUtf8(GbkToUtf8(StateText(state, saved, cancelled)));
}

}  // namespace

QString TBatchWindow::ShownName(const std::string& chainName) const {
    auto it = shownNames_.find(chainName);
    return it == shownNames_.end() ? Q(chainName) : it->second;
}

void TBatchWindow::ShowRow(size_t i, const BatchRow& row) {
    if (i >= shown_.size() || static_cast<int>(i) >= table_->rowCount()) return;
    shown_[i] = row;
    const std::string* record = row.RecordToSave();
    const QStringList cells = {
        Q(row.item.valid() ? row.item.isbn : row.item.input),
        StateWord(row.state, row.saved, cancelled_),
        ShownName(row.target) +
            (row.failedTargets.empty()
                 ? QString()
                 : U(" (连接失败: ") + ShownName(row.failedTargets.front()) + U(")")),
        // A row without a record says why in its place.
        record ? Q(Trim(DisplayLine(*record))) : Q(row.reason),
        row.dailyNumber > 0 ? QString::number(row.dailyNumber) : QString()};
    const QColor colour = StateColour(row);
    for (int c = 0; c < cells.size(); ++c) {
        auto* item = new QTableWidgetItem(cells[c]);
        item->setBackground(colour);
        if (!row.reason.empty()) item->setToolTip(Q(row.reason));
        table_->setItem(static_cast<int>(i), c, item);
    }
    if (!countsTimer_.isActive()) countsTimer_.start();
}

void TBatchWindow::ShowCounts() {
    const BatchCounts c = CountRows(shown_);
    const int done = c.rows - c.pending;
    progress_->setValue(done);
    QString left;
    const int doneNow = done - doneAtStart_;
    if (running() && doneNow > 0 && c.pending > 0) {
        const qint64 ms = clock_.elapsed() * c.pending / doneNow;
        left = U("  剩余约 %1 秒").arg((ms + 999) / 1000);
    }
    counts_->setText(U("共 %1  已找到 %2  多条 %3  未找到 %4  连接失败 %5  "
                       "ISBN无效 %6  已保存 %7  已保存过 %8")
                         .arg(c.rows)
                         .arg(c.found)
                         .arg(c.several)
                         .arg(c.notFound)
                         .arg(c.failed)
                         .arg(c.invalid)
                         .arg(c.saved)
                         .arg(c.alreadySaved) +
                     (c.duplicate > 0 ? U("  重复 %1").arg(c.duplicate) : QString()) +
                     (c.refused > 0 ? U("  未通过检查 %1").arg(c.refused) : QString()) + left);
}

void TBatchWindow::Review(int rowNumber) {
    if (!run_ || running() || rowNumber < 0 ||
        static_cast<size_t>(rowNumber) >= run_->rows().size())
        return;
    const BatchRow& row = run_->rows()[static_cast<size_t>(rowNumber)];
    if (row.state != BatchState::kSeveral || row.saved != SaveMark::kNotSaved) return;
    QDialog dialog(this);
    dialog.setWindowTitle(U("选择记录 ") + Q(row.item.isbn));
    auto* candidates = new QListWidget;
    candidates->setFont(ListFont());
    for (const auto& record : row.records) candidates->addItem(Q(DisplayLine(record)));
    auto* fields = new QListWidget;
    fields->setItemDelegate(new DetailListDelegate(fields));
    fields->setFont(ListFont());
    const FieldLabels labels = LoadFieldLabels(IniFile(state_.settingsPath));
    connect(candidates, &QListWidget::currentRowChanged, &dialog, [&](int r) {
        fields->clear();
        if (r < 0 || static_cast<size_t>(r) >= row.records.size()) return;
        for (const auto& detail : DetailLines(row.records[static_cast<size_t>(r)], labels)) {
            auto* item = new QListWidgetItem(Q(detail), fields);
            item->setData(kGbkRole, QByteArray::fromStdString(detail));
        }
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(U("选用"));
    buttons->button(QDialogButtonBox::Cancel)->setText(U("取消"));
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    connect(candidates, &QListWidget::itemActivated, &dialog, &QDialog::accept);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(candidates, 1);
    layout->addWidget(fields, 2);
    layout->addWidget(buttons);
    dialog.resize(680, 440);
    candidates->setCurrentRow(0);
    candidates->setFocus();
    if (dialog.exec() != QDialog::Accepted) return;
    std::string error;
    if (!run_->Choose(static_cast<size_t>(rowNumber), candidates->currentRow(), &error) &&
        !error.empty())
        ui_.ShowMessage(NoticeTitle(), error);
    shown_ = run_->rows();
    ShowRow(static_cast<size_t>(rowNumber), shown_[static_cast<size_t>(rowNumber)]);
    ShowCounts();
}

void TBatchWindow::Save() {
    if (!run_ || running()) return;
    std::string error;
    const bool ok = run_->SaveAll(&error);
    shown_ = run_->rows();
    for (size_t i = 0; i < shown_.size(); ++i) ShowRow(i, shown_[i]);
    ShowCounts();
    ShowNewNotices();
    if (!ok) {
        ui_.ShowMessage(NoticeTitle(), error);
        return;
    }
    const BatchCounts counts = CountRows(shown_);
    std::string text = G("已成功保存[") + std::to_string(counts.saved) + G("]条编目数据");
    if (counts.refused > 0)
        text += G("；有[") + std::to_string(counts.refused) +
                G("]条记录没有通过检查，没有保存（原因见该行的提示）");
    ui_.ShowMessage(NoticeTitle(), text);
}

void TBatchWindow::Export() {
    if (!run_ || running()) return;
    std::string error;
    if (!run_->Finish(&error)) {
        ui_.ShowMessage(NoticeTitle(), error);
        return;
    }
    ui_.ShowMessage(NoticeTitle(), G("检索结果已导出到[") + run_->FilePath(".report.csv") +
                                       G("]，没有找到的ISBN在[") + run_->FilePath(".notfound.txt") +
                                       G("]。"));
}

}  // namespace z39
