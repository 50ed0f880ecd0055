#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "common/z39_error.h"
#include "records/result_list_ticks.h"
#include "search/multi_search.h"
#include "search/search_services.h"
#include "search/search_session.h"
#include "state/hand_off_store.h"
#include "targets/target_selection.h"
#include "ui/book_list_widget.h"
#include "ui/result_list_delegate.h"

namespace z39 {

// The search window "数据检索": database tree, search rows, buttons, result list and
// detail view.
class TFindRec : public QWidget {
    Q_OBJECT
  public:
    explicit TFindRec(const SearchServices& services, QWidget* parent = nullptr);
    // A search still running is cancelled and waited for.
    ~TFindRec() override;

    // A search or page is being fetched on its workers.
    bool searching() const { return !running_.empty(); }
    // The last search went over the ticked databases.
    bool searchingMany() const { return many_; }
    // Esc: the running search ends at once (the list keeps what earlier pages brought).
    void CancelSearch();
    // Before ticked records that were not saved would be lost (a new search, closing):
    // asks "保存/不保存/取消" and saves first on 保存. False when the user cancels (or the
    // save left records ticked). Always true in launch-query mode and with nothing ticked.
    bool KeepOrLetGoOfTicks();

    // What activation does: reload a changed target list, copy RECNUMBER into edNum,
    // take the sort order from RECORDER.
    void FormActivate();

    // Button handlers (also reached through F2, F3, F5).
    void btInitClick();
    void btNextClick();
    void btSaveRecClick();

    // Applies a back end's outcome to the window: the one place for every back end.
    // A further page that failed leaves the list as it was.
    void ApplyOutcome(const SearchOutcome& outcome, bool furtherPage = false);

    // The ticks of lstBooks, row by row.
    const std::vector<bool>& Ticks() const { return ticks_.ticks(); }

    // Components, named as the design names them (tests drive them).
    QGroupBox* grbField;
    QComboBox* cbbField[5];
    QComboBox* cbbAnd[5];  // [0] unused
    QLineEdit* edV[5];
    QPushButton* btInit;
    QPushButton* btNext;
    QPushButton* btSaveRec;
    QGroupBox* grpNum;
    QLineEdit* edBegin;
    QLineEdit* edNum;
    QLabel* lbNum;
    QGroupBox* grbDatabase;
    QTreeWidget* tvDatabase;
    QGroupBox* grbResult;
    QCheckBox* cbAll;
    QLabel* lbNotice;
    ColumnCaptionStrip* lbCaptions;
    BookListWidget* lstBooks;
    QWidget* lstIndex;
    QListWidget* lstDetail;
    QPushButton* btCloseDetail;
    QPlainTextEdit* memDetail;
    std::string detailRecord_;  // the record the detail view shows (GBK)
    QGroupBox* grpWait;

    const TargetSelection& targets() const { return targets_; }
    ResultIndex& index() { return s_.index; }
    RecordStore& store() { return s_.store; }

  signals:
    // A running search's progress has just gone to the status message.
    void progressShown();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void LayOut();
    void FillTree();
    // Shows the current target's node in bold.
    void MarkCurrentTarget();
    void ApplyTargetKind();
    void UpdateRowVisibility();
    // The first row fixed to ISBN and the page fields hidden, for a kind that needs it.
    void ShowIsbnOnly();
    std::vector<SearchCondition> Rows() const;
    void SetRows(const std::vector<std::string>& rows);
    void ShowWait(bool on);
    // Which step of a search a fetch is: the first page, the page that fills it up to
    // edNum, or a further page (F3).
    enum class FetchStep { kFirst, kFill, kNext };
    // Runs a fetch on a worker; its page comes back to FetchEnded on this thread.
    void RunFetch(PendingFetch fetch, FetchStep step);
    void FetchEnded(const PageResult& page, FetchStep step);
    // A fetch on a worker of its own; `ended` gets its page on this thread once the worker
    // has ended.
    void StartWorker(std::function<PageResult(CancelToken&)> run,
                     std::function<void(const PageResult&)> ended);
    // A search over the ticked databases: the fetches wait their turn (kMostFetchesAtOnce
    // run at once) and each page joins the list as it comes.
    void QueueSourceFetches(std::vector<SourceFetch> fetches);
    void RunQueued();
    void SourceEnded(size_t source, const PageResult& page);
    // Ends every fetch still waiting its turn as cancelled; the step the last one made.
    std::optional<SourceStep> EndQueuedAsCancelled();
    // The list as a step left it: as it stands while fetches are out, else the outcome.
    void ShowSourceStep(const SourceStep& step);
    void StartSourceFetches(std::vector<SourceFetch> fetches);
    // A search that could not begin (its working files): the message, the window as it was.
    void NotStarted(const Z39Error& e);
    // Shows the list as it stands while other databases are still awaited.
    void ApplyPartial(const SearchOutcome& outcome);
    // The ticks and the search form as the ticked databases make them.
    void TicksChanged();
    void tvDatabaseItemChanged(QTreeWidgetItem* item);
    // The fields the form offers: those of the current target, or, while databases are
    // ticked, every field one of them can search.
    std::vector<std::string> OfferedFields() const;
    bool IsbnOnly() const;
    void ShowTargetCaption();
    // While a search runs, what would start another or change it is disabled.
    void SetSearching(bool on);
    void ShowWaitSeconds();
    void HideDetails();
    // The record the detail view shows, as MARC text: to the clipboard, to the printer.
    void CopyDetailRecord();
    void PrintDetailRecord();
    void tvDatabaseDblClick(QTreeWidgetItem* item);
    void lstBooksClickCheck(QListWidgetItem* item);
    void lstBooksHotKey(QChar key);
    void lstBooksEnter();
    void lstBooksDblClick();
    void cbAllClick();
    void lstDetailClick();
    void FillList(const std::vector<std::string>& rows);
    std::vector<int> ListedRecordNumbers() const;
    void ShowTicks();
    void ShowNewOrder();
    void StartLaunchQuery();
    bool FunctionKey(int key);
    void SaveTicked();
    bool WindowKey(QWidget* target, QKeyEvent* key, bool release);

    SearchServices s_;
    HandOffStore handOff_;
    TargetSelection targets_;
    SearchSession session_;
    bool launchStarted_ = false;
    ResultListTicks ticks_;
    bool busy_ = false;  // a save is running
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::map<int, Worker> running_;  // by the number StartWorker gave it
    int nextWorker_ = 0;
    std::shared_ptr<CancelToken> cancel_;  // the running step's
    MultiSearch multi_;
    bool many_ = false;      // the list shown came from the ticked databases
    bool manyNext_ = false;  // the running step is F3's
    bool closing_ = false;   // the window is going: pages that come back are let go
    std::deque<SourceFetch> queued_;
    QLabel* lbWaitSeconds_ = nullptr;
    QTimer waitTimer_;
    QElapsedTimer waitClock_;
    bool formEnabled_ = true;        // grbField as it was before the search
    QPointer<QWidget> focusBefore_;  // the focus before the search, given back after it
};

}  // namespace z39
