#pragma once

#include <QColor>
#include <QStyledItemDelegate>
#include <QWidget>

namespace z39 {

inline const QColor kCream(255, 251, 240);
inline const QColor kMoneyGreen(192, 220, 192);

// Item data role holding a row's GBK bytes (QByteArray), so columns are laid out by byte.
inline constexpr int kGbkRole = Qt::UserRole + 1;

// Draws `gbk` from x, each byte kPixelsPerByte wide, so byte columns line up whatever
// the font's own advance.
void DrawByteColumns(QPainter* painter, const QByteArray& gbk, int x, int baseline);

// A result row: cream background (selection colour when selected), its tick box, the
// display line in byte columns, and the money-green rule along its bottom.
class ResultListDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // A click on the tick box toggles the tick.
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    // Left edge of the row text inside the list's viewport.
    static int TextLeft();
};

// A detail line: name column on a green band, separators at 100 and 118 pixels.
class DetailListDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

inline constexpr int kRowHeight = 14;

// The column captions over the result list, drawn in the same byte columns as its rows and
// shifted by the list's horizontal scroll, so each caption stays over its column.
class ColumnCaptionStrip : public QWidget {
    Q_OBJECT
  public:
    explicit ColumnCaptionStrip(QWidget* parent) : QWidget(parent) {}
    void SetCaptions(const QByteArray& gbk);
    QByteArray Captions() const { return gbk_; }
    void SetScroll(int pixels);
    int Scroll() const { return scroll_; }
    // Width the whole caption line takes.
    int TextWidth() const;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QByteArray gbk_;
    int scroll_ = 0;
};

}  // namespace z39
