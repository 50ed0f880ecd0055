#include <QApplication>

#include "app/app_state.h"
#include "app/z39_main_window.h"
#include "common/gbk_text.h"
#include "common/paths.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    z39::StartupEnvironment env;
    env.rawTempFolder = z39::RawTempFolder();
    for (int i = 1; i < argc; ++i) env.args.push_back(z39::Utf8ToGbk(argv[i]));
    env.handOffPath = z39::HandOffStore::DefaultPath();
    env.programFolder = z39::ExecutableFolder();
    env.settingsPath = z39::JoinPath(env.programFolder, "Z39.ini");
    z39::StartupResult start = z39::RunStartup(env);
    z39::TZ39Main frame(start.state, start.compactWindow);
    frame.show();
    return app.exec();
}
