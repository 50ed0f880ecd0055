#include "ui/book_list_widget.h"

#include <QKeyEvent>
#include <QPainter>

#include "ui/qt_text_widget.h"
#include "ui/result_list_delegate.h"

namespace z39 {

BookListWidget::BookListWidget(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new ResultListDelegate(this));
    setUniformItemSizes(true);
    setFont(ListFont());
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette p = palette();
    p.setColor(QPalette::Base, kCream);
    setPalette(p);
}

int BookListWidget::TopRow() const {
    QModelIndex top = indexAt(QPoint(1, 1));
    return top.isValid() ? top.row() : 0;
}

void BookListWidget::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space) {
        if (QListWidgetItem* item = currentItem()) {
            item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        }
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        emit enterPressed();
        return;
    }
    const QString text = event->text();
    if (!text.isEmpty() && text[0].isPrint() && !(event->modifiers() & Qt::ControlModifier)) {
        emit hotKey(text[0]);
        return;
    }
    QListWidget::keyPressEvent(event);
}

void BookListWidget::focusInEvent(QFocusEvent* event) {
    QListWidget::focusInEvent(event);
    emit focusChanged(true);
}

void BookListWidget::focusOutEvent(QFocusEvent* event) {
    QListWidget::focusOutEvent(event);
    emit focusChanged(false);
}

HotKeyColumnWidget::HotKeyColumnWidget(QWidget* parent) : QWidget(parent) {
    setToolTip(QString::fromUtf8("按对应的字母，改变此行选中状态"));
}

void HotKeyColumnWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kMoneyGreen);
    p.setFont(ListFont());
    const QString keys = QStringLiteral("0123456789ABCDEFGHIJKLMNOPQRST");
    for (int i = 0; i < keys.size() && i * kRowHeight < height(); ++i)
        p.drawText(QRect(0, i * kRowHeight, width(), kRowHeight), Qt::AlignCenter, keys.mid(i, 1));
}

}  // namespace z39
