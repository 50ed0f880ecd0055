#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "batch/batch_run.h"
#include "common/user_interface.h"
#include "state/app_state.h"
#include "targets/target_table.h"

namespace z39 {

// "批量检索": a list of ISBNs (loaded from a file, pasted, or scanned one by one) searched
// through a chain of targets ordered from the database tree. The run goes on a thread of
// its own with its own back ends; the window shows each row as it ends, the counts and
// the time left, and stays responsive. "several" rows open their candidates to take one;
// Save appends the found and taken records in list order; Export writes the report.
class TBatchWindow : public QWidget {
    Q_OBJECT
  public:
    // `targets` gives the target list as the search window has it.
    TBatchWindow(AppState& state, UserInterface& ui, std::function<const TargetList&()> targets,
                 QWidget* parent = nullptr);
    ~TBatchWindow() override;

    // Called when the window is shown: the tree and the default chain follow the list.
    void FormActivate();
    bool running() const { return thread_.joinable(); }

    // For tests.
    QPlainTextEdit* listEdit() const { return listEdit_; }
    QTableWidget* table() const { return table_; }
    QListWidget* chain() const { return chain_; }
    QLabel* countsLabel() const { return counts_; }

    void LoadListFile(const QString& path);

  protected:
    // A list file dropped on the window (from a file manager) is loaded.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  public:
    void Start();
    void Cancel();
    void Save();
    void Export();
    // Opens the candidates of row `row` when it is "several".
    void Review(int row);

  private:
    void BuildTree();
    void AddToChain(int slot);
    void ShowRow(size_t i, const BatchRow& row);
    void ShowCounts();
    void RunEnded(bool ok, const std::string& error);
    // The run's notices not shown yet (a damaged journal, saves taken as done).
    void ShowNewNotices();
    std::string ListPath();
    std::string BatchFolder() const;
    // A target of the run as the chain shows it (the tree's name), from its z39batch name.
    QString ShownName(const std::string& chainName) const;

    AppState& state_;
    UserInterface& ui_;
    std::function<const TargetList&()> targets_;
    QLineEdit* path_;
    QLineEdit* scan_;
    QPlainTextEdit* listEdit_;
    QTreeWidget* tree_;
    QListWidget* chain_;
    QPushButton* start_;
    QPushButton* cancel_;
    QPushButton* save_;
    QPushButton* export_;
    QProgressBar* progress_;
    QLabel* counts_;
    QTableWidget* table_;

    std::unique_ptr<BatchRun> run_;
    std::vector<BatchRow> shown_;                // the rows as the window last heard of them
    std::map<std::string, QString> shownNames_;  // z39batch name -> name in the chain
    std::thread thread_;
    std::unique_ptr<CancelToken> cancel_token_;
    QElapsedTimer clock_;
    // Counting goes over every row: while rows change one by one, the counts are shown
    // again once this fires, not after each row.
    QTimer countsTimer_;
    int doneAtStart_ = 0;
    bool cancelled_ = false;  // the last run was stopped with rows left
    size_t noticesShown_ = 0;
    bool chainTouched_ = false;
    std::string loadedPath_;  // the list file last loaded, and its text as shown
    QString loadedText_;
};

}  // namespace z39
