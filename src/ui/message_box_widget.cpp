#include "ui/message_box_widget.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "ui/qt_text_widget.h"

namespace z39 {
namespace {

bool OnGuiThread() { return QThread::currentThread() == qApp->thread(); }

// Runs `f` on the window's thread: at once there, else through its event loop, waiting
// for it when `wait` (a message box a search worker shows).
template <typename F>
void OnGui(F f, bool wait) {
    if (OnGuiThread()) {
        f();
    } else {
        QMetaObject::invokeMethod(qApp, f,
                                  wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
    }
}

}  // namespace

void MessageBoxWidget::ShowMessage(const std::string& title, const std::string& text) {
    OnGui(
        [this, title, text] {
            QMessageBox box(QMessageBox::NoIcon, Q(title), Q(text), QMessageBox::Ok, parent_);
            box.exec();
        },
        true);
}

Cursor MessageBoxWidget::CurrentCursor() const {
    // A worker's search runs under the window's hourglass.
    if (!OnGuiThread()) return Cursor::kBusy;
    const QCursor* c = QApplication::overrideCursor();
    return c && c->shape() == Qt::WaitCursor ? Cursor::kBusy : Cursor::kNormal;
}

void MessageBoxWidget::SetCursor(Cursor cursor) {
    // The window shows and takes back the hourglass of a search that runs on a worker.
    if (!OnGuiThread()) return;
    if (cursor == Cursor::kBusy) {
        if (CurrentCursor() != Cursor::kBusy) QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    }
}

bool MessageBoxWidget::AskYesNo(const std::string& title, const std::string& text) {
    bool yes = false;
    OnGui(
        [this, title, text, &yes] {
            yes = QMessageBox::question(parent_, Q(title), Q(text),
                                        QMessageBox::Yes | QMessageBox::No,
                                        QMessageBox::No) == QMessageBox::Yes;
        },
        true);
    return yes;
}

SaveChoice MessageBoxWidget::AskSaveDiscardCancel(const std::string& title,
                                                  const std::string& text) {
    SaveChoice choice = SaveChoice::kCancel;
    OnGui(
        [this, title, text, &choice] {
            QMessageBox box(QMessageBox::Question, Q(title), Q(text), QMessageBox::NoButton,
                            parent_);
            QPushButton* save = box.addButton(QString::fromUtf8("保存"), QMessageBox::AcceptRole);
            QPushButton* discard =
                box.addButton(QString::fromUtf8("不保存"), QMessageBox::DestructiveRole);
            QPushButton* cancel = box.addButton(QString::fromUtf8("取消"), QMessageBox::RejectRole);
            box.setDefaultButton(cancel);
            box.setEscapeButton(cancel);
            box.exec();
            if (box.clickedButton() == save) choice = SaveChoice::kSave;
            if (box.clickedButton() == discard) choice = SaveChoice::kDiscard;
        },
        true);
    return choice;
}

void MessageBoxWidget::ProcessPendingEvents() {
    // The window's thread is free while a worker searches: nothing to pump from there.
    if (OnGuiThread()) QApplication::processEvents();
}

}  // namespace z39
