#include "ui/z39_main_window.h"

#include <QApplication>

#include <QCloseEvent>
#include <QDateTime>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QTextBrowser>
#include <QToolBar>

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "common/gbk_text.h"
#include "common/ini_file.h"
#include "common/z39_error.h"
#include "search/search_outcome.h"
#include "state/z39_settings.h"
#include "ui/batch_window.h"
#include "ui/qt_text_widget.h"
#include "ui/z39_svr_para_dialog.h"

namespace z39 {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

constexpr int kFrameWidth = 724;
constexpr int kFrameHeight = 510;
constexpr int kCompactWidth = 240;
constexpr int kCompactHeight = 20;

const char* kAboutText =
    "<h3>岱恒Z39.50客户端</h3><p>版本 " Z39_VERSION
    "</p>"
    "<p>"
    "编目数据查询：输入检索条件，在右侧数据库树中双击选择目标数据库（勾选多个数据库则一起检索），"
    "按 F2 开始查询。</p>"
    "<ul><li>F2 开始新的查询；F3 获取更多数据；F5 保存打钩记录；F8 转到结果列表；F9 "
    "转到检索内容；Esc 取消正在等待的检索</li>"
    "<li>结果列表中按 0-9、A-Z 改变对应行的选中状态；空格键改变当前行；双击或回车显示详细信息，"
    "其中 Ctrl+C 复制整条记录，Ctrl+P 打印</li>"
    "<li>编目程序调用：z39client \"ISBN@7111213823\" 或 \"NAME@书名\"；第二个参数为 1 "
    "时显示完整窗口。"
    "选中的记录写入临时目录的 lib.tmp，或通过 ~/.config/TesmarkSoft/Lib.ini 的 Z39_OUTPUT_STR "
    "返回。</li></ul>";

}  // namespace

StatusPanelWidget::StatusPanelWidget(AppState& state, QWidget* parent)
    : QWidget(parent), state_(state) {
    setMinimumHeight(18);
}

QColor StatusPanelWidget::TextColour() const {
    return state_.statusMessage.starts_with(ConnectionFailedStatus()) ? QColor(255, 0, 0)
                                                                      : QColor(0, 128, 0);
}

void StatusPanelWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().button());
    p.setPen(TextColour());
    p.drawText(rect().adjusted(1, 1, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
               Q(state_.statusMessage));
    drawn_ = state_.statusMessage;
}

TZ39Main::TZ39Main(bool compactWindow, const SearchServices& services, QWidget* parent)
    : QMainWindow(parent), state_(services.state), services_(services), compact_(compactWindow) {
    setWindowTitle(U("Z39.50客户端 "));
    mdi_ = new QMdiArea(this);
    setCentralWidget(mdi_);
    connect(mdi_, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* w) {
        if (w && w == findRecWindow_) findRec_->FormActivate();
        if (w && w == settingsWindow_) setPara_->FormActivate();
    });

    QToolBar* bar = addToolBar(U("工具栏"));
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    auto button = [&](const char* caption, const char* hint, auto onClick) {
        QAction* a = bar->addAction(U(caption));
        a->setToolTip(U(hint));
        connect(a, &QAction::triggered, this, onClick);
        return a;
    };
    button("编目查询", "编目数据查询", [this] {
        ShowFindRec();
        panel0_->setText(U("图书编目信息查询"));
    });
    bar->addSeparator();
    QAction* hidden = button("", "数据库参数配置", [] {});
    hidden->setVisible(false);
    button("参数配置", "通用参数配置", [this] {
        ShowSettings();
        panel0_->setText(U("系统参数设置"));
    });
    bar->addSeparator();
    button("帮助", "帮助", [this] {
        ShowAbout();
        panel0_->setText(U("关于..."));
    });
    // After the others, so theirs stay where they were.
    bar->addSeparator();
    button("批量检索", "按ISBN列表批量检索编目数据", [this] {
        ShowBatch();
        panel0_->setText(U("批量检索"));
    });

    panel0_ = new QLabel(U("图书编目信息查询"));
    panel0_->setFixedWidth(120);
    panel1_ = new StatusPanelWidget(state_);
    panel2_ = new QLabel;
    // Wide enough for the whole clock in the font in use, seconds included.
    panel2_->setFixedWidth(
        panel2_->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 12);
    statusBar()->addWidget(panel0_);
    statusBar()->addWidget(panel1_, 1);
    statusBar()->addPermanentWidget(panel2_);

    if (compact_) {
        setWindowTitle(U("系统正在查询，请稍候... [Z39.50客户端]"));
        bar->hide();
        statusBar()->hide();
        mdi_->setMinimumSize(0, 0);
        setFixedSize(kCompactWidth, kCompactHeight);
    } else {
        resize(kFrameWidth, kFrameHeight);
    }
    connect(&timer_, &QTimer::timeout, this, &TZ39Main::TimerTick);
    timer_.start(100);
}

void TZ39Main::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!childrenCreated_) {
        if (!compact_ && state_.launch.launchQuery.empty()) {
            PlaceFrame();
            // The window manager's frame is known once the window is on the screen.
            QTimer::singleShot(0, this, &TZ39Main::KeepFrameOnScreen);
        } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect s = screen->availableGeometry();
            move(std::max(0, (s.width() - width()) / 2), std::max(0, (s.height() - height()) / 2));
        }
    }
    CreateChildren();
}

// Four numbers "a,b,c,d" of a key, or nothing.
static std::optional<std::array<int, 4>> FourNumbers(IniFile& ini, const char* key) {
    const QStringList parts = Q(ini.ReadString(SystemSection(), key, "")).split(QLatin1Char(','));
    if (parts.size() != 4) return std::nullopt;
    std::array<int, 4> out{};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        out[static_cast<size_t>(i)] = parts[i].trimmed().toInt(&ok);
        if (!ok) return std::nullopt;
    }
    return out;
}

void TZ39Main::PlaceFrame() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    IniFile ini(state_.settingsPath);
    // The window manager's frame around the window (left, top, right, bottom) as it was
    // last time; before that, a title bar and borders that fit every common desktop's.
    std::array<int, 4> frame = {4, 32, 4, 4};
    if (auto saved = FourNumbers(ini, "WINDOWFRAME"))
        if (std::all_of(saved->begin(), saved->end(), [](int n) { return n >= 0 && n < 100; }))
            frame = *saved;
    const QRect available =
        screen->availableGeometry().adjusted(frame[0], frame[1], -frame[2], -frame[3]);
    QRect wanted(0, 0, kFrameWidth, kFrameHeight);
    wanted.moveCenter(available.center());
    if (auto saved = FourNumbers(ini, "WINDOWRECT");
        saved && (*saved)[2] >= 200 && (*saved)[3] >= 150)
        wanted = QRect((*saved)[0], (*saved)[1], (*saved)[2], (*saved)[3]);
    // Never larger than the screen, never off it: the title bar stays within reach.
    wanted.setSize(wanted.size().boundedTo(available.size()));
    wanted.moveLeft(
        std::clamp(wanted.left(), available.left(), available.right() + 1 - wanted.width()));
    wanted.moveTop(
        std::clamp(wanted.top(), available.top(), available.bottom() + 1 - wanted.height()));
    setGeometry(wanted);
    if (Trim(ini.ReadString(SystemSection(), "WINDOWMAXIMIZED", "0")) == "1")
        setWindowState(windowState() | Qt::WindowMaximized);
}

void TZ39Main::KeepFrameOnScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen || isMaximized()) return;
    const QRect available = screen->availableGeometry();
    QRect frame = frameGeometry();
    // Larger fonts make the window ask for more room than the screen has: it is cut to the
    // screen, title bar included.
    const int decoration = frame.height() - geometry().height();
    if (frame.height() > available.height())
        resize(width(), std::max(minimumHeight(), available.height() - decoration));
    if (frame.width() > available.width()) resize(available.width(), height());
    frame = frameGeometry();
    int left = std::clamp(frame.left(), available.left(),
                          std::max(available.left(), available.right() + 1 - frame.width()));
    int top = std::clamp(frame.top(), available.top(),
                         std::max(available.top(), available.bottom() + 1 - frame.height()));
    if (left != frame.left() || top != frame.top()) move(left, top);
}

void TZ39Main::RememberFrame() {
    if (compact_ || !state_.launch.launchQuery.empty()) return;
    // The window's own place and size as they were before a maximise, and the frame the
    // window manager drew around it.
    const QRect normal = normalGeometry().isValid() ? normalGeometry() : geometry();
    const QRect outer = frameGeometry(), inner = geometry();
    auto four = [](int a, int b, int c, int d) {
        return std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," +
               std::to_string(d);
    };
    try {
        IniFile ini(state_.settingsPath);
        ini.WriteString(SystemSection(), "WINDOWRECT",
                        four(normal.left(), normal.top(), normal.width(), normal.height()));
        ini.WriteString(SystemSection(), "WINDOWFRAME",
                        four(inner.left() - outer.left(), inner.top() - outer.top(),
                             outer.right() - inner.right(), outer.bottom() - inner.bottom()));
        ini.WriteString(SystemSection(), "WINDOWMAXIMIZED", isMaximized() ? "1" : "0");
    } catch (const Z39Error&) {
        // A settings file that cannot be written costs the place, nothing else.
    }
}

// The children live as long as the frame: their own close button only hides them, and
// the toolbar shows them again as they were.
QMdiSubWindow* TZ39Main::AddChild(QWidget* child) {
    QMdiSubWindow* window = mdi_->addSubWindow(child);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->installEventFilter(this);
    window->showMaximized();
    return window;
}

bool TZ39Main::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close) {
        auto* window = qobject_cast<QMdiSubWindow*>(watched);
        if (window) focusBeforeClose_[window] = window->focusWidget();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TZ39Main::CreateChildren() {
    if (childrenCreated_) return;
    childrenCreated_ = true;
    state_.windowCommand = ProductName();
    auto* about = new QTextBrowser;
    // Which settings and target list this copy read: where to look when it behaves
    // otherwise than another copy.
    about->setHtml(
        U(kAboutText) +
        U("<p>参数文件：%1<br>目标数据库列表：%2</p>")
            .arg(Q(state_.settingsPath).toHtmlEscaped(),
                 QFileInfo(Q(services_.targetListPath)).absoluteFilePath().toHtmlEscaped()));
    about->setWindowTitle(U("关于..."));
    aboutWindow_ = AddChild(about);
    setPara_ = new TSetPara(state_, services_.ui, [this] {
        TZ39SvrPara editor(findRec_->targets().list(), services_.targetListPath, state_,
                           services_.ui, this, services_.memory);
        editor.exec();
    });
    settingsWindow_ = AddChild(setPara_);
    findRec_ = new TFindRec(services_);
    findRecWindow_ = AddChild(findRec_);
    mdi_->setActiveSubWindow(findRecWindow_);
}

void TZ39Main::ShowChild(QMdiSubWindow* window) {
    // A child closed with its own button was hidden together with its content.
    if (QWidget* content = window->widget()) content->show();
    window->showMaximized();
    mdi_->setActiveSubWindow(window);
    auto remembered = focusBeforeClose_.find(window);
    if (remembered != focusBeforeClose_.end()) {
        if (remembered->second) remembered->second->setFocus();
        focusBeforeClose_.erase(remembered);
    }
}

void TZ39Main::ShowFindRec() {
    if (!findRecWindow_) return;
    ShowChild(findRecWindow_);
    findRec_->FormActivate();
}

void TZ39Main::ShowSettings() {
    if (settingsWindow_) ShowChild(settingsWindow_);
}

void TZ39Main::ShowBatch() {
    if (!findRec_) return;
    // Made when first asked for, so the other windows start as they always have.
    if (!batchWindow_) {
        batch_ = new TBatchWindow(state_, services_.ui, [this]() -> const TargetList& {
            return findRec_->targets().list();
        });
        batchWindow_ = AddChild(batch_);
    }
    ShowChild(batchWindow_);
    batch_->FormActivate();
}

void TZ39Main::ShowAbout() {
    if (aboutWindow_) ShowChild(aboutWindow_);
}

void TZ39Main::RestoreFrame() {
    compact_ = false;
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    if (QToolBar* bar = findChild<QToolBar*>()) bar->show();
    statusBar()->show();
    setWindowState(Qt::WindowNoState);
    int left = 0, top = 0;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        left = std::max(0, (screen->geometry().width() - kFrameWidth) / 2);
        top = std::max(0, (screen->geometry().height() - kFrameHeight) / 2);
    }
    setGeometry(left, top, kFrameWidth, kFrameHeight);
    setWindowTitle(U("Z39.50客户端"));
    update();
}

void TZ39Main::TimerTick() {
    if (state_.searchCompleted && !state_.launch.keepFullWindow) {
        state_.searchCompleted = false;
        // The compact launch window grows to the frame once; a frame the user has sized
        // and placed stays as it is.
        if (compact_) RestoreFrame();
    }
    if (state_.windowCommand == kExitSystemCommand) {
        // A notice still open (a record that was not handed over, say) is read first: the
        // next tick after it is closed ends the program.
        if (QApplication::activeModalWidget()) return;
        timer_.stop();
        close();
        return;
    }
    if (state_.windowCommand == kExitWindowsCommand) {
        state_.windowCommand.clear();
        ShowFindRec();
        panel0_->setText(U("图书编目信息查询"));
        return;
    }
    panel2_->setText(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    if (panel1_->drawnText() != state_.statusMessage) panel1_->update();
}

void TZ39Main::closeEvent(QCloseEvent* event) {
    // Ending the program would drop ticked records that were not saved.
    if (findRec_ && !findRec_->KeepOrLetGoOfTicks()) {
        event->ignore();
        return;
    }
    RememberFrame();
    CleanupWorkingFiles(state_.files);
    event->accept();
}

}  // namespace z39
