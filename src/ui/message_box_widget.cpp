#include "ui/message_box_widget.h"

#include <QApplication>
#include <QMessageBox>

#include "ui/qt_text_widget.h"

namespace z39 {

void MessageBoxWidget::ShowMessage(const std::string& title, const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, Q(title), Q(text), QMessageBox::Ok, parent_);
    box.exec();
}

Cursor MessageBoxWidget::CurrentCursor() const {
    const QCursor* c = QApplication::overrideCursor();
    return c && c->shape() == Qt::WaitCursor ? Cursor::kBusy : Cursor::kNormal;
}

void MessageBoxWidget::SetCursor(Cursor cursor) {
    if (cursor == Cursor::kBusy) {
        if (CurrentCursor() != Cursor::kBusy) QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    }
}

bool MessageBoxWidget::AskYesNo(const std::string& title, const std::string& text) {
    return QMessageBox::question(parent_, Q(title), Q(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void MessageBoxWidget::ProcessPendingEvents() { QApplication::processEvents(); }

}  // namespace z39
