#include "ui/result_list_delegate.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

#include "common/gbk_text.h"
#include "ui/qt_text_widget.h"

namespace z39 {
namespace {
constexpr int kCheckWidth = 16;

// Cream, or the selection colour for a selected row; true when selected.
bool FillRowBackground(QPainter* painter, const QStyleOptionViewItem& option) {
    const bool selected = option.state & QStyle::State_Selected;
    painter->fillRect(option.rect, selected ? option.palette.highlight().color() : kCream);
    return selected;
}
}  // namespace

void DrawByteColumns(QPainter* painter, const QByteArray& gbk, int x, int baseline) {
    int column = 0;
    for (int i = 0; i < gbk.size();) {
        int width = (IsGbkLead(static_cast<unsigned char>(gbk[i])) && i + 1 < gbk.size()) ? 2 : 1;
        QString ch = QString::fromStdString(GbkToUtf8(std::string(gbk.constData() + i, width)));
        if (ch != QStringLiteral(" ")) painter->drawText(x + column * kPixelsPerByte, baseline, ch);
        column += width;
        i += width;
    }
}

void ColumnCaptionStrip::SetCaptions(const QByteArray& gbk) {
    gbk_ = gbk;
    update();
}

void ColumnCaptionStrip::SetScroll(int pixels) {
    scroll_ = pixels;
    update();
}

int ColumnCaptionStrip::TextWidth() const { return static_cast<int>(gbk_.size()) * kPixelsPerByte; }

void ColumnCaptionStrip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(ListFont());
    painter.setPen(palette().windowText().color());
    DrawByteColumns(&painter, gbk_, -scroll_, 12);
}

int ResultListDelegate::TextLeft() { return kCheckWidth + 2; }

QSize ResultListDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const {
    QByteArray gbk = index.data(kGbkRole).toByteArray();
    return QSize(TextLeft() + static_cast<int>(gbk.size()) * kPixelsPerByte + 4, kRowHeight);
}

void ResultListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    painter->save();
    const QRect r = option.rect;
    const bool selected = FillRowBackground(painter, option);

    QStyleOptionViewItem check(option);
    check.rect = QRect(r.left() + 1, r.top() + 1, kCheckWidth - 4, r.height() - 2);
    check.state = QStyle::State_Enabled;
    check.state |= index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On
                                                                         : QStyle::State_Off;
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, widget);

    painter->setFont(ListFont());
    painter->setPen(selected ? option.palette.highlightedText().color() : QColor(Qt::black));
    DrawByteColumns(painter, index.data(kGbkRole).toByteArray(), r.left() + TextLeft(),
                    r.top() + 11);
    painter->setPen(kMoneyGreen);
    painter->drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    painter->restore();
}

bool ResultListDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                     const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::MouseButtonRelease ||
        event->type() == QEvent::MouseButtonDblClick) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton &&
            mouse->position().x() < option.rect.left() + kCheckWidth) {
            if (event->type() == QEvent::MouseButtonRelease) {
                bool on = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
                model->setData(index, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
            }
            return true;
        }
    }
    return false;
}

QSize DetailListDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const {
    return QSize(static_cast<int>(index.data(kGbkRole).toByteArray().size()) * kPixelsPerByte + 4,
                 kRowHeight);
}

void DetailListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    painter->save();
    const QRect r = option.rect;
    const bool selected = FillRowBackground(painter, option);
    QByteArray line = index.data(kGbkRole).toByteArray();
    painter->setFont(ListFont());
    painter->setPen(kMoneyGreen);
    painter->drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    painter->drawLine(r.left() + 100, r.top(), r.left() + 100, r.bottom());
    painter->drawLine(r.left() + 118, r.top(), r.left() + 118, r.bottom());
    // The name column reads as one green band.
    painter->fillRect(QRect(r.left(), r.top(), 74, r.height() - 1), kMoneyGreen);
    painter->setPen(kCream);
    painter->drawLine(r.left(), r.bottom(), r.left() + 74, r.bottom());
    painter->setPen(selected ? option.palette.highlightedText().color() : QColor(Qt::black));
    DrawByteColumns(painter, line, r.left() + 2, r.top() + 11);
    painter->restore();
}

}  // namespace z39
