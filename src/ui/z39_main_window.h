#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTimer>
#include <QToolButton>

#include <map>

#include "app/startup.h"
#include "ui/batch_window.h"
#include "ui/find_rec_window.h"
#include "ui/set_para_dialog.h"

namespace z39 {

// Status panel 1: the status message in green, or in red for a failed connection.
class StatusPanelWidget : public QWidget {
    Q_OBJECT
  public:
    StatusPanelWidget(AppState& state, QWidget* parent = nullptr);
    // The text last drawn.
    const std::string& drawnText() const { return drawn_; }
    QColor TextColour() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    AppState& state_;
    std::string drawn_;
};

// The frame (TZ39Main): MDI parent with toolbar, three-panel status bar and a 100 ms
// timer that serves the other windows through the shared values of AppState.
class TZ39Main : public QMainWindow {
    Q_OBJECT
  public:
    // The search window works with `services`; their state is the frame's too.
    TZ39Main(bool compactWindow, const SearchServices& services, QWidget* parent = nullptr);

    TFindRec* findRec() const { return findRec_; }
    TSetPara* setPara() const { return setPara_; }
    QLabel* panel0() const { return panel0_; }
    StatusPanelWidget* panel1() const { return panel1_; }
    QLabel* panel2() const { return panel2_; }
    QMdiArea* mdi() const { return mdi_; }
    // One timer tick (public so tests can step it).
    void TimerTick();
    // Opens the settings dialog or the target list editor (until they exist, a notice).
    void ShowSettings();
    void ShowAbout();
    void ShowBatch();
    TBatchWindow* batch() const { return batch_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void CreateChildren();
    QMdiSubWindow* AddChild(QWidget* child);
    void ShowChild(QMdiSubWindow* window);
    void ShowFindRec();
    void RestoreFrame();
    // The interactive frame where and as large as it was last closed (WINDOWRECT,
    // WINDOWMAXIMIZED in Z39.ini), kept within the available screen so its title bar can
    // be reached; the design's 724 x 510 centred the first time.
    void PlaceFrame();
    void KeepFrameOnScreen();
    void RememberFrame();

    AppState& state_;
    SearchServices services_;
    bool compact_;
    bool childrenCreated_ = false;
    QMdiArea* mdi_;
    QLabel* panel0_;
    StatusPanelWidget* panel1_;
    QLabel* panel2_;
    QTimer timer_;
    TFindRec* findRec_ = nullptr;
    TSetPara* setPara_ = nullptr;
    QMdiSubWindow* findRecWindow_ = nullptr;
    QMdiSubWindow* aboutWindow_ = nullptr;
    QMdiSubWindow* settingsWindow_ = nullptr;
    TBatchWindow* batch_ = nullptr;
    QMdiSubWindow* batchWindow_ = nullptr;
    // Where the focus was in a child when its own close button hid it.
    std::map<QMdiSubWindow*, QPointer<QWidget>> focusBeforeClose_;
};

}  // namespace z39
