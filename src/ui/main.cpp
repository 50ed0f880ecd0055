#include <QApplication>
#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/config_location.h"
#include "app/startup.h"
#include "backends/backend_kinds.h"
#include "backends/backend_set.h"
#include "backends/external_z39.h"
#include "backends/http_client.h"
#include "backends/nlc_opac.h"
#include "backends/process_runner.h"
#include "backends/shared_catalogue.h"
#include "backends/sru.h"
#include "backends/tcp_client.h"
#include "common/clock.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/paths.h"
#include "common/unique_fd.h"
#include "common/version.h"
#include "common/z39_error.h"
#include "ui/message_box_widget.h"
#include "ui/program_icon.h"
#include "ui/qt_text_widget.h"
#include "ui/z39_main_window.h"

// A raised error that reaches the event loop is shown, not lost.
//
// With Z39_INPUT_TRACE naming a file, a line is appended to it for each key and mouse
// button released on one of the windows, and each window given or losing the focus ("key",
// "click", "focus", "blur"), once the program has handled it and what that posted. A program
// driving the window from outside (the desk tests, a screen reader's script) waits for these lines
// instead of for a guessed time.
class Application : public QApplication {
  public:
    Application(int& argc, char** argv) : QApplication(argc, argv) {
        const char* trace = std::getenv("Z39_INPUT_TRACE");
        if (trace && *trace)
            trace_.reset(::open(trace, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    }
    z39::UserInterface* ui = nullptr;
    bool notify(QObject* receiver, QEvent* event) override {
        const char* traced = trace_.ok() ? Traced(receiver, event) : nullptr;
        bool handled = false;
        try {
            handled = QApplication::notify(receiver, event);
        } catch (const z39::Z39Error& e) {
            if (ui) ui->ShowMessage(z39::NoticeTitle(), e.what());
        }
        if (traced) {
            QTimer::singleShot(0, this, [this, traced] {
                const std::string line = std::string(traced) + "\n";
                [[maybe_unused]] ssize_t n = ::write(trace_.get(), line.data(), line.size());
            });
        }
        return handled;
    }

  private:
    static const char* Traced(QObject* receiver, QEvent* event) {
        if (!receiver->isWindowType()) return nullptr;
        switch (event->type()) {
            case QEvent::KeyRelease:
                return event->spontaneous() ? "key" : nullptr;
            case QEvent::MouseButtonRelease:
                return event->spontaneous() ? "click" : nullptr;
            case QEvent::FocusIn:
                return "focus";
            case QEvent::FocusOut:
                return "blur";
            default:
                return nullptr;
        }
    }
    z39::UniqueFd trace_;
};

namespace {

constexpr const char* kHelp =
    "usage: z39client [QUERY [1]]\n"
    "\n"
    "The copy-cataloguing client. Without a query it opens the search window. With one it\n"
    "searches at once and hands the chosen record to the host program in $TMPDIR/lib.tmp\n"
    "(the record and CR LF; no file: no record), then ends. A second argument 1 keeps the\n"
    "full window.\n"
    "\n"
    "  ISBN@NUMBER   search the current target by ISBN\n"
    "  NAME@TITLE    search by title; NAME@!ABC searches the shared catalogue by the\n"
    "                pinyin initials of the title\n"
    "  --help        this text; --version: the version\n"
    "\n"
    "Settings: Z39.ini, the target list z39svr.cfg, the hand-off file Lib.ini; see\n"
    "z39client(1).\n";

// True when Qt would find no display to open: no X11 or Wayland display named, and no
// other platform asked for.
bool NoDisplay() {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return v && *v;
    };
    if (set("DISPLAY") || set("WAYLAND_DISPLAY")) return false;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return !platform || !*platform || std::strncmp(platform, "xcb", 3) == 0 ||
           std::strncmp(platform, "wayland", 7) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << kHelp;
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "z39client " << z39::kVersion << "\n";
        return 0;
    }
    if (NoDisplay()) {
        std::cerr << "z39client: no display to open (DISPLAY is not set); start it in a "
                     "desktop session, or with QT_QPA_PLATFORM=offscreen for a run without "
                     "one\n";
        return 1;
    }
    // A file-size limit must fail the write that passes it (reported, and the daily file
    // put back as it was), not kill the client in the middle of a save.
    ::signal(SIGXFSZ, SIG_IGN);
    Application app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8("Z39.50客户端"));
    // Every window, the frame and its child windows alike, carries the program's icon; the
    // desktop file name lets a desktop match the windows to the menu entry.
    QApplication::setWindowIcon(z39::ProgramIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("z39client"));
    // Qt's own texts in Chinese (the standard buttons read 确定, 取消, 是, 否), whatever the
    // locale: the window is Chinese throughout.
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_zh_CN"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    z39::StartupEnvironment env;
    env.rawTempFolder = z39::RawTempFolder();
    for (int i = 1; i < argc; ++i) env.args.push_back(z39::Utf8ToGbk(argv[i]));
    env.handOffPath = z39::HandOffStore::DefaultPath();
    env.programFolder = z39::ExecutableFolder();
    z39::ConfigLocation where = z39::ResolveConfigLocation(env.programFolder);
    env.settingsPath = where.settingsPath;
    env.defaultMarcPath = where.defaultMarcPath;
    env.createMarcFolder = where.createMarcFolder;
    env.targetListPath = z39::ResolveTargetListPath(where.settingsPath);
    std::string firstStart;
    if (z39::IsInstalledProgramFolder(env.programFolder))
        firstStart = z39::CopyExampleTargetList(z39::ExampleTargetListPath(), env.targetListPath);
    z39::MakeDirectories(z39::FolderOf(where.settingsPath));
    z39::StartupResult start = z39::RunStartup(env);
    // A host program's query is not held up by a notice before its record: it is said on
    // standard error then.
    if (!firstStart.empty()) {
        if (start.state.launch.launchQuery.empty())
            start.fileWarnings.push_back(firstStart);
        else
            std::cerr << "z39client: " << z39::GbkToUtf8(firstStart) << "\n";
    }
    // The window opens as for no argument, as ever; the caller hears why.
    if (argc >= 2 && start.state.launch.launchQuery.empty())
        std::cerr << "z39client: 参数“" << argv[1]
                  << "”不是检索式，已忽略，按普通方式启动；检索式如 ISBN@9787536692930 或 "
                     "NAME@书名（见 z39client --help）\n";

    z39::MessageBoxWidget ui;
    app.ui = &ui;
    z39::CurlHttpClient http;
    z39::SteadyClock clock;
    z39::ProcessRunner runner(ui, clock);
    // One notice for all of them: a second message box before the main window would
    // close at once, the application having seen its last window close.
    if (!start.fileWarnings.empty()) {
        std::string text;
        for (const std::string& warning : start.fileWarnings)
            text += (text.empty() ? "" : "\r\n") + warning;
        ui.ShowMessage(z39::NoticeTitle(), text);
    }
    if (!start.handOffBlocked.empty()) {
        ui.ShowMessage(z39::NoticeTitle(), start.handOffBlocked);
        z39::CleanupWorkingFiles(start.state.files);
        return 1;
    }
    // One back end per kind of target; the search session fills the run's one record
    // store and result index from what they fetch.
    z39::AppState& state = start.state;
    z39::RecordStore store(state.files.recordListPath);
    z39::ResultIndex index;
    z39::TargetMemory memory;
    std::unique_ptr<z39::BackendRegistry> backends = z39::BuildBackends(
        {http, runner, clock, z39::FolderOf(state.files.clientScriptPath), memory});
    z39::SearchServices services{state, store, index, ui, *backends};
    services.targetListPath = env.targetListPath;
    services.memory = &memory;
    // Each ticked database of a search over several is fetched through back ends of its own.
    const std::string workFolder = z39::FolderOf(state.files.clientScriptPath);
    services.sourceBackends = [workFolder, &memory](int source) {
        const std::string folder = z39::JoinPath(workFolder, "source" + std::to_string(source));
        return z39::MakeDirectories(folder) ? z39::BuildOwnBackends(folder, memory) : nullptr;
    };
    z39::TZ39Main frame(start.compactWindow, services);
    ui.setParent(&frame);
    frame.show();
    int status = app.exec();
    return status != 0 ? status : start.state.exitCode;
}
