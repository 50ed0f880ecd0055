#pragma once

#include <QListWidget>

namespace z39 {

// The result list lstBooks: a check list whose typed keys are hot keys. Space toggles
// the selected row's tick; printable keys are reported and swallowed, so typing never
// moves the selection; Enter is reported.
class BookListWidget : public QListWidget {
    Q_OBJECT
  public:
    explicit BookListWidget(QWidget* parent = nullptr);
    // Index of the first visible row (0 when empty).
    int TopRow() const;

  signals:
    void hotKey(QChar key);
    void enterPressed();
    void focusChanged(bool in);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
};

// lstIndex: the hot-key characters "0" to "9" and "A" to "T", one per row height,
// shown beside the result list while it has the focus.
class HotKeyColumnWidget : public QWidget {
    Q_OBJECT
  public:
    explicit HotKeyColumnWidget(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace z39
