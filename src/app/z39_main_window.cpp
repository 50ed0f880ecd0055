#include "app/z39_main_window.h"

#include "common/gbk_text.h"

namespace z39 {

TZ39Main::TZ39Main(AppState& state, bool compactWindow, QWidget* parent)
    : QMainWindow(parent), state_(state) {
    setWindowTitle(QString::fromUtf8("Z39.50客户端 "));
    if (compactWindow) {
        resize(240, 20);
        setWindowTitle(QString::fromUtf8("系统正在查询，请稍候... [Z39.50客户端]"));
    } else {
        resize(724, 510);
    }
}

}  // namespace z39
