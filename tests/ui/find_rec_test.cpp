// Drives the real windows on the offscreen platform against a real catalogue-server.
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidgetItemIterator>
#include <QUrl>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "backends/nlc_opac.h"
#include "backends/shared_catalogue.h"
#include "catalogue_db.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "demo_catalogue.h"
#include "records/marc_record.h"
#include "records/record_saver.h"
#include "search/search_outcome.h"
#include "support/catalogue_server_process.h"
#include "support/fakes.h"
#include "support/marc_builder.h"
#include "support/opac_server.h"
#include "support/scripted_server.h"
#include "support/strict_records.h"
#include "support/temp_dir.h"
#include "targets/target_selection.h"
#include "ui/batch_window.h"
#include "ui/qt_text_widget.h"
#include "ui/result_list_delegate.h"
#include "ui/z39_main_window.h"
#include "ui/z39_svr_para_dialog.h"

using namespace z39;

// The record store, result index and back ends main() would build; no Z39.50 client.
struct RunServices {
    RunServices(AppState& state, HttpClient& http, Clock& clock)
        : store(state.files.recordListPath),
          ks(
              http, [] { return std::make_unique<PosixTcpClient>(); }, clock),
          opac(http),
          backends(test::RegistryOf(ks, z39, opac)) {}
    RecordStore store;
    ResultIndex index;
    SharedCatalogueBackend ks;
    test::UnreachedBackend z39;
    NlcOpacBackend opac;
    BackendRegistry backends;
};

// A database of a search over several: answers with one record named after it once
// `hold` is let go, or never (the database named `silent`) until cancelled; counts how
// many fetch at once.
struct GateState {
    std::atomic<bool> hold{true};
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::string silent;
};

class GateBackend final : public SearchBackend {
  public:
    explicit GateBackend(GateState& gate) : gate_(gate) {}
    PageResult Fetch(const TargetProfile& target, const SearchRequest&,
                     CancelToken& cancel) override {
        const int now = ++gate_.running;
        int most = gate_.most.load();
        while (now > most && !gate_.most.compare_exchange_weak(most, now)) {
        }
        while ((gate_.hold || target.entry.database == gate_.silent) && !cancel.cancelled())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --gate_.running;
        PageResult page;
        if (cancel.cancelled()) {
            page.status = PageStatus::kCancelled;
            return page;
        }
        page.hasTotal = true;
        page.total = 1;
        page.records = {test::MarcBuilder()
                            .Data("200", "1 ", {{'a', "Book of " + target.entry.database}})
                            .Build()};
        return page;
    }

  private:
    GateState& gate_;
};

// Tabs from the first search value (F9) to the database tree.
constexpr int kTabsToTree = 4;

class FindRecTest : public QObject {
    Q_OBJECT

  private:
    test::CatalogueServerProcess* server = nullptr;
    std::unique_ptr<test::TempDir> dir;
    std::unique_ptr<AppState> state;
    std::unique_ptr<test::RecordingUi> ui;
    CurlHttpClient http;
    SteadyClock clock;
    int ksPort = 0;  // the shared catalogue's port, when not the test server's
    std::string ksIp = "127.0.0.1";
    std::unique_ptr<RunServices> run;
    std::unique_ptr<TZ39Main> frame;
    TFindRec* w = nullptr;
    std::function<std::unique_ptr<BackendRegistry>(int)> sourceBackends;
    std::string searchSet;
    std::string targetList =
        "{Demo\n[Local\n(Default,127.0.0.1,9999,0,,)\n(opac,opac.nlc.cn,80,0,,)\n]\n}\n";

    void Open(const std::string& launchQuery = "", bool compact = false) {
        dir = std::make_unique<test::TempDir>();
        state = std::make_unique<AppState>();
        state->files = MakeWorkingFiles(dir->path());
        state->settingsPath = dir->File("Z39.ini");
        state->handOffPath = dir->File("Lib.ini");
        state->settings.KSIP = ksIp;
        state->settings.KSPORT = std::to_string(ksPort ? ksPort : server->port());
        state->settings.KSDEFAULT = 1;
        state->settings.MARCPATH = dir->path() + "/";
        state->statusMessage = ReadyStatus();
        state->launch.launchQuery = launchQuery;
        state->launch.keepFullWindow = !compact;
        state->settings.SEARCHSET = searchSet;
        dir->Write("Z39.ini",
                   "[" + G("MARC标志") + "]\r\n" +
                       G("001=记录标识\r\n005=处理时间\r\n010=ISBN\r\n100=通用数据\r\n101=语种\r\n"
                         "200=题名与责任\r\n210=出版发行\r\n215=载体形态\r\n606=主题\r\n"
                         "690=中图分类号\r\n701=个人责任\r\n801=记录来源\r\n"));
        dir->Write("z39svr.cfg", targetList);
        ui = std::make_unique<test::RecordingUi>();
        run = std::make_unique<RunServices>(*state, http, clock);
        SearchServices services{*state, run->store, run->index, *ui, run->backends};
        services.targetListPath = dir->File("z39svr.cfg");
        services.sourceBackends = sourceBackends;
        frame = std::make_unique<TZ39Main>(compact, services);
        frame->show();
        QApplication::setActiveWindow(frame.get());
        if (!compact) QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
        w = frame->findRec();
        QVERIFY(w != nullptr);
        w->activateWindow();
    }

    void Search(const QString& value, const QString& field = QStringLiteral("ISBN")) {
        w->cbbField[0]->setEditText(field);
        w->edV[0]->setText(value);
        w->edV[0]->setFocus();
        QTest::keyClick(w->edV[0], Qt::Key_F2);
        Wait();
    }

    // A search runs on a worker: its outcome is shown once the window hears it ended.
    void Wait() { QTRY_VERIFY_WITH_TIMEOUT(!w->searching(), 30000); }

    std::string RowText(int row) {
        return w->lstBooks->item(row)->data(kGbkRole).toByteArray().toStdString();
    }

    void Screenshot(QWidget* widget, const char* name) {
        const char* target = std::getenv("Z39_SCREENSHOT_DIR");
        if (target && *target) widget->grab().save(QString::fromUtf8(target) + "/" + name);
    }

    void ClickTick(int row) {
        QRect r = w->lstBooks->visualItemRect(w->lstBooks->item(row));
        QTest::mouseClick(w->lstBooks->viewport(), Qt::LeftButton, {},
                          QPoint(r.left() + 6, r.center().y()));
    }

    bool Ticked(int row) { return w->lstBooks->item(row)->checkState() == Qt::Checked; }

    // Eleven rows in arrival order (a first page of one, then ten), rows 1 and 3 ticked.
    void ElevenRowsTwoTicked() {
        state->settings.RECORDER = "1";
        w->FormActivate();
        w->edNum->setText(QStringLiteral("1"));
        Search(QString::fromUtf8(ks::kPagingTitleWord), QString::fromUtf8("题名"));
        w->edNum->setText(QStringLiteral("10"));
        QTest::keyClick(w->btNext, Qt::Key_F3);
        Wait();
        QCOMPARE(w->lstBooks->count(), 11);
        ClickTick(1);
        ClickTick(3);
    }

    // At the window's first size every caption is on screen, and each stays over its
    // column of the rows however far the list is scrolled sideways.
    void CaptionsStayOverTheirColumns() {
        QCOMPARE(frame->size(), QSize(724, 510));
        auto* strip = w->lbCaptions;
        auto* list = w->lstBooks;
        QVERIFY(strip->isVisible());
        const QByteArray captions = strip->Captions();
        const int isbnColumn = captions.indexOf("ISBN");
        QVERIFY(captions.indexOf(G("出版日期").c_str()) > 0 && isbnColumn > 0);
        const QRect group = w->grbResult->rect();
        const QRect onGroup(strip->mapTo(w->grbResult, QPoint(0, 0)), strip->size());
        QVERIFY(group.contains(onGroup));
        QVERIFY2(strip->width() >= strip->TextWidth(),
                 qPrintable(QString("%1 < %2").arg(strip->width()).arg(strip->TextWidth())));
        auto rowColumnX = [&](int column) {
            QRect row = list->visualItemRect(list->item(0));
            return list->viewport()
                ->mapTo(
                    w,
                    QPoint(row.x() + ResultListDelegate::TextLeft() + column * kPixelsPerByte, 0))
                .x();
        };
        auto captionColumnX = [&](int column) {
            return strip->mapTo(w, QPoint(column * kPixelsPerByte - strip->Scroll(), 0)).x();
        };
        QCOMPARE(captionColumnX(0), rowColumnX(0));
        auto* bar = list->horizontalScrollBar();
        QVERIFY(bar->maximum() > 0);  // the ISBNs run past the list's right edge
        bar->setValue(bar->maximum());
        QCOMPARE(strip->Scroll(), bar->maximum());
        QCOMPARE(captionColumnX(isbnColumn), rowColumnX(isbnColumn));
        bar->setValue(0);
    }

  private slots:
    void initTestCase() {
        server = new test::CatalogueServerProcess(1000);
        QVERIFY(server->ok());
    }
    void cleanupTestCase() { delete server; }
    void cleanup() {
        frame.reset();
        w = nullptr;
    }

    void isbnSearchShowsTheRowAndStatus() {
        Open();
        Search(QStringLiteral("7-5366-9293-5"));
        QCOMPARE(w->lstBooks->count(), 1);
        ks::CatalogueDb db(server->dbPath(), false);
        std::string stored =
            db.Search(ks::ParseWhereClause("ma_isbn='9787536692930'").clause, 1, 1, false)
                .hits[0]
                .record;
        QCOMPARE(RowText(0), DisplayLine(stored));
        QVERIFY(Ticked(0));  // one hit of one: ticked and selected
        QCOMPARE(state->statusMessage, FoundStatus(1));
        frame->TimerTick();
        QCOMPARE(frame->panel1()->TextColour(), QColor(0, 128, 0));
        QCOMPARE(w->lbNum->text(), QString::fromUtf8("共有 1 条"));
        QVERIFY(!w->btNext->isEnabled());
        QVERIFY(w->btSaveRec->isEnabled());

        w->lstBooks->setCurrentRow(0);
        emit w->lstBooks->itemDoubleClicked(w->lstBooks->item(0));
        QVERIFY(w->lstDetail->isVisible());
        QCOMPARE(w->lstDetail->count(), static_cast<int>(DetailLines(stored, {}).size()));
        Screenshot(frame.get(), "screenshot-detail.png");
        QTest::mouseClick(w->btCloseDetail, Qt::LeftButton);
        QVERIFY(!w->lstDetail->isVisible());
    }

    void pagingTicksHotKeysAndSaving() {
        Open();
        w->edNum->setText(QStringLiteral("10"));
        Search(QString::fromUtf8(ks::kPagingTitleWord), QString::fromUtf8("题名"));
        // F2 shows a page: the first record and the nine that fill it.
        QCOMPARE(w->lstBooks->count(), 10);
        QVERIFY(w->btNext->isEnabled());
        QCOMPARE(w->edBegin->text(), QStringLiteral("11"));
        QCOMPARE(state->statusMessage, FoundStatus(25) + ShownStatus(10, 25));
        frame->TimerTick();  // the status bar shows it
        Screenshot(frame.get(), "screenshot-main.png");
        CaptionsStayOverTheirColumns();
        QTest::keyClick(w->btNext, Qt::Key_F3);
        Wait();
        QCOMPARE(w->lstBooks->count(), 20);
        QCOMPARE(w->edBegin->text(), QStringLiteral("21"));
        QCOMPARE(state->statusMessage, FoundStatus(25) + ShownStatus(20, 25));
        QTest::keyClick(w->btNext, Qt::Key_F3);
        Wait();
        QCOMPARE(state->statusMessage, ReceivedStatus());
        QCOMPARE(w->lstBooks->count(), 25);
        QVERIFY(!w->btNext->isEnabled());
        QCOMPARE(w->edBegin->text(), QStringLiteral("26"));

        // Ticks: mouse, space, hot keys.
        ClickTick(2);
        QVERIFY(Ticked(2));
        w->lstBooks->setFocus();
        w->lstBooks->setCurrentRow(4);
        QTest::keyClick(w->lstBooks, Qt::Key_Space);
        QVERIFY(Ticked(4));
        QTest::keyClick(w->lstBooks, Qt::Key_7);
        QVERIFY(Ticked(w->lstBooks->TopRow() + 7));
        QCOMPARE(w->lstBooks->currentRow(), w->lstBooks->TopRow() + 7);

        std::vector<std::string> expected;
        for (int row = 0; row < w->lstBooks->count(); ++row)
            if (Ticked(row))
                expected.push_back(w->index().RecordAt(static_cast<size_t>(row), w->store()));
        QCOMPARE(expected.size(), size_t{3});
        QTest::keyClick(w->lstBooks, Qt::Key_F5);
        std::string daily = DailyFilePath(state->settings.MARCPATH, TodayYyyymmdd());
        std::string want;
        for (auto& r : expected) want += r + "\r\n";
        QCOMPARE(ReadWholeFile(daily).value_or(""), want);
        QCOMPARE(test::StrictRecords(want), std::string());
        QVERIFY(ui->messages.back().second.starts_with(G("已成功保存[3]条编目数据，保存在文件[")));
        for (int row = 0; row < w->lstBooks->count(); ++row) QVERIFY(!Ticked(row));

        // cbAll ticks everything; a second save the same day asks once about the three
        // already there (Yes: saved again) and appends.
        QTest::mouseClick(w->cbAll, Qt::LeftButton);
        for (int row = 0; row < w->lstBooks->count(); ++row) QVERIFY(Ticked(row));
        ui->answerYes = true;
        QTest::keyClick(w->lstBooks, Qt::Key_F5);
        QCOMPARE(ui->questions.size(), size_t{1});
        QVERIFY(ui->questions[0].starts_with(G("有[3]条打钩的记录今天已经保存在文件[")));
        std::string all = ReadWholeFile(daily).value_or("");
        QVERIFY(all.starts_with(want));
        QCOMPARE(all.size() - want.size() > 0, true);
        QVERIFY(ui->messages.back().second.starts_with(G("已成功保存[25]条编目数据")));
    }

    void hotKeyRelativeToTheTopRow() {
        Open();
        for (int n = 0; n < 80; ++n) {
            std::string record = ks::DemoRecord(n, 80);
            w->index().AddResult(DisplayLine(record), record, w->store());
        }
        SearchOutcome page;
        page.rows = w->index().Rows();
        w->ApplyOutcome(page);
        QCOMPARE(w->lstBooks->count(), 80);
        w->lstBooks->scrollToItem(w->lstBooks->item(40), QAbstractItemView::PositionAtTop);
        QCOMPARE(w->lstBooks->TopRow(), 40);
        w->lstBooks->setFocus();
        QTest::keyClick(w->lstBooks, Qt::Key_B);
        QVERIFY(Ticked(51));
        QTest::keyClick(w->lstBooks, Qt::Key_B);
        QVERIFY(!Ticked(51));
        QTest::keyClick(w->lstBooks, Qt::Key_Z);  // row 40 + 35 exists though not on screen
        QVERIFY(Ticked(75));
    }

    void rowVisibilityAndKeyboardRules() {
        Open();
        QVERIFY(!w->edV[1]->isVisible());
        QTest::keyClicks(w->edV[0], QStringLiteral("abc"));
        QVERIFY(w->edV[1]->isVisible());
        QVERIFY(!w->edV[2]->isVisible());
        w->edV[1]->setText(QStringLiteral("x"));
        w->edV[2]->setText(QStringLiteral("y"));
        QVERIFY(w->edV[3]->isVisible());
        w->edV[0]->setText(QStringLiteral("   "));  // blanks count as empty
        for (int k = 1; k < 5; ++k) QVERIFY(!w->edV[k]->isVisible());
        QCOMPARE(w->edV[1]->text(), QStringLiteral("x"));  // hidden rows keep their values

        // Number fields take digits only; field lists take no typed keys.
        w->edNum->clear();
        QTest::keyClicks(w->edNum, QStringLiteral("1a2-"));
        QCOMPARE(w->edNum->text(), QStringLiteral("12"));
        QString before = w->cbbField[0]->currentText();
        QTest::keyClicks(w->cbbField[0], QStringLiteral("zz"));
        QCOMPARE(w->cbbField[0]->currentText(), before);

        // F5 while disabled does nothing; F2 with an empty value says so.
        QVERIFY(!w->btSaveRec->isEnabled());
        QTest::keyClick(w->edV[0], Qt::Key_F5);
        QVERIFY(ui->messages.empty());
        w->edV[0]->clear();
        QTest::keyClick(w->edV[0], Qt::Key_F2);
        Wait();
        QCOMPARE(ui->messages.size(), size_t{1});
        QCOMPARE(ui->messages[0].second, G("请输入查询条件"));

        // The web OPAC never shows row 2 and fixes row 1 to ISBN.
        QTreeWidgetItem* opac = w->tvDatabase->topLevelItem(1)->child(0)->child(1);
        emit w->tvDatabase->itemDoubleClicked(opac, 0);
        QVERIFY(w->targets().IsWebOpac());
        w->edV[0]->setText(QStringLiteral("123"));
        QVERIFY(!w->edV[1]->isVisible());
        QVERIFY(!w->cbbField[0]->isEnabled());
        QVERIFY(!w->grpNum->isVisible());
        QCOMPARE(w->cbbField[0]->currentText(), QStringLiteral("ISBN"));
    }

    void savingFailures() {
        Open();
        Search(QStringLiteral("9787536692930"));
        state->settings.MARCPATH = dir->path() + "/removed/";
        QTest::keyClick(w->lstBooks, Qt::Key_F5);
        QCOMPARE(ui->messages.back().second,
                 G("目录[") + dir->path() + "/removed" + G("]不存在！请先配置好参数！"));
        QVERIFY(Ticked(0));
        MakeDirectories(dir->path() + "/ro");
        state->settings.MARCPATH = dir->path() + "/ro/";
        MakeDirectories(
            DailyFilePath(state->settings.MARCPATH, TodayYyyymmdd()));  // a folder in the way
        QTest::keyClick(w->lstBooks, Qt::Key_F5);
        QVERIFY(Ticked(0));
        QVERIFY(ui->messages[ui->messages.size() - 2].second.find(G("没有保存")) !=
                std::string::npos);
        QCOMPARE(ui->messages.back().second, G("已成功保存[0]条编目数据"));
    }

    void launchQueryWithOneHitSavesWithoutGrowing() {
        Open("ISBN@9787536692930", true);
        QTRY_COMPARE(state->windowCommand, std::string("PleaseExitThisSystem"));
        QVERIFY(ReadWholeFile(state->files.handOffPath).value_or("").ends_with("\x1D\r\n"));
        QCOMPARE(test::StrictRecords(ReadWholeFile(state->files.handOffPath).value_or("")),
                 std::string());
        frame->TimerTick();
        QCOMPARE(frame->width(), 240);
        QVERIFY(!frame->isVisible());  // closed by the tick
    }

    void launchQueryWithSeveralHitsEnterChooses() {
        Open(std::string("NAME@") + G(ks::kPagingTitleWord), true);
        // Both editions and more are in sight; the first is ticked as it always was.
        QTRY_COMPARE(w->lstBooks->count(), 10);
        QVERIFY(Ticked(0));
        QCOMPARE(w->btSaveRec->text(), QString::fromUtf8("选择或退出.F5"));
        QVERIFY(!w->cbAll->isVisible());
        frame->TimerTick();  // the search completed: the frame grows to full size
        QCOMPARE(frame->width(), 724);
        QTest::keyClick(w->btNext, Qt::Key_F3);
        Wait();
        QCOMPARE(w->lstBooks->count(), 20);
        QVERIFY(Ticked(0));  // hand-off: the first row is ticked, the only one
        w->lstBooks->setFocus();
        w->lstBooks->setCurrentRow(5);
        QTest::keyClick(w->lstBooks, Qt::Key_Return);
        QCOMPARE(state->windowCommand, std::string("PleaseExitThisSystem"));
        std::string chosen = w->index().RecordAt(5, w->store()) + "\r\n";
        QCOMPARE(ReadWholeFile(state->files.handOffPath).value_or(""), chosen);
        QCOMPARE(test::StrictRecords(chosen), std::string());
    }

    void launchQueryExitWithoutTick() {
        Open("ISBN@0000000000", true);
        QTRY_COMPARE(state->statusMessage, NoDataStatus());
        AppendToFile(state->files.handOffPath, "stale");
        QTest::mouseClick(w->btSaveRec, Qt::LeftButton);
        QCOMPARE(state->windowCommand, std::string("PleaseExitThisSystem"));
        QVERIFY(!FileExists(state->files.handOffPath));
    }

    void settingsDialogSavesAndTheSearchWindowFollows() {
        Open();
        TSetPara* d = frame->setPara();
        frame->ShowSettings();
        QTRY_VERIFY(d->isVisible());
        d->FormActivate();
        d->edPath->setText(QString::fromStdString(dir->path() + "/marc"));
        d->edNum->setText(QStringLiteral("25"));
        d->ckbProxy->setChecked(false);
        d->edAddr->clear();
        d->btOkClick();
        IniFile ini(state->settingsPath);
        QCOMPARE(ini.ReadString(SystemSection(), "MARCPATH", ""), dir->path() + "/marc/");
        QCOMPARE(d->edPath->text(), QString::fromStdString(dir->path() + "/marc/"));
        QCOMPARE(state->windowCommand, std::string("PleaseExitThisWindows"));
        frame->TimerTick();
        QCOMPARE(w->edNum->text(), QStringLiteral("25"));  // the search window took RECNUMBER

        d->edNum->clear();
        d->btOkClick();
        QVERIFY(!ui->messages.empty());
        QCOMPARE(ui->messages.back().second, G("每次读取记录数不能为空"));
        d->edNum->setText(QStringLiteral("10"));
        d->ckbProxy->setChecked(true);
        d->btOkClick();
        QCOMPARE(ui->messages.back().second, G("地址不能为空"));
        d->ckbProxy->setChecked(false);

        state->discoveredHost = "10.0.0.9";
        d->Button1Click();
        d->btOkClick();
        QCOMPARE(ini.ReadString(SystemSection(), "KSPORT", ""), std::string("-210"));
        QCOMPARE(state->discoveredHost, std::string());
        frame->ShowSettings();
        d->FormActivate();
        Screenshot(frame.get(), "screenshot-settings.png");
    }

    void targetEditorWritesAndTheTreeReloads() {
        Open();
        TZ39SvrPara editor(w->targets().list(), dir->File("z39svr.cfg"), *state, *ui);
        editor.show();
        QCOMPARE(editor.sgBookList->rowCount(), 2);
        QTest::mouseClick(editor.btAdd, Qt::LeftButton);
        QCOMPARE(editor.db_country->text(), QString::fromUtf8("中国"));
        editor.db_library->setText(QString::fromUtf8("上海图书馆"));
        editor.db_address->setText(QStringLiteral("z.library.sh.cn"));
        editor.db_port->setText(QStringLiteral("210"));
        editor.db_database->setText(QStringLiteral("ADVANCE"));
        editor.db_userpass->setText(QStringLiteral("a,b"));
        QTest::mouseClick(editor.btOk, Qt::LeftButton);
        QCOMPARE(ui->messages.back().second, G("【用户密码】不能包含逗号"));
        QVERIFY(editor.db_userpass->hasFocus() || !editor.isActiveWindow());
        QVERIFY(editor.btOk->isEnabled());  // still editing
        editor.db_userpass->clear();
        QTest::mouseClick(editor.btOk, Qt::LeftButton);
        QCOMPARE(editor.sgBookList->rowCount(), 3);
        QVERIFY(state->targetListChanged);
        Screenshot(&editor, "screenshot-target-editor.png");
        editor.accept();
        w->FormActivate();
        QTreeWidgetItem* added = w->tvDatabase->topLevelItem(2);
        QVERIFY(added != nullptr);
        QCOMPARE(added->text(0), QString::fromUtf8("中国"));
        QCOMPARE(added->child(0)->child(0)->text(0), QStringLiteral("ADVANCE"));
    }

    void targetEditorActsOnTheRowTheArrowKeysReached() {
        Open();
        dir->Write("z39svr.cfg",
                   "{G\n[S\n(first,h1,210,0,,)\n(second,h2,210,0,,)\n(third,h3,210,0,,)\n]\n}\n");
        TargetList list = GetZ39SvrPara(dir->File("z39svr.cfg"), state->settings);
        TZ39SvrPara editor(list, dir->File("z39svr.cfg"), *state, *ui);
        editor.show();
        QCOMPARE(editor.sgBookList->rowCount(), 3);
        editor.sgBookList->setFocus();
        QTest::keyClick(editor.sgBookList, Qt::Key_Down);
        QTest::keyClick(editor.sgBookList, Qt::Key_Down);
        QCOMPARE(editor.sgBookList->currentRow(), 2);
        QCOMPARE(editor.db_database->text(), QStringLiteral("third"));  // the fields follow
        QTest::keyClick(editor.sgBookList, Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(editor.db_database->text(), QStringLiteral("first"));
        QTest::keyClick(editor.sgBookList, Qt::Key_Down);
        QCOMPARE(editor.db_database->text(), QStringLiteral("second"));
        ui->answerYes = true;
        QTest::mouseClick(editor.btDel, Qt::LeftButton);
        std::string file = dir->Read("z39svr.cfg");
        QVERIFY(file.find("(second,") == std::string::npos);
        QVERIFY(file.find("(first,h1,210,0,,)") != std::string::npos);
        QVERIFY(file.find("(third,h3,210,0,,)") != std::string::npos);
        editor.accept();
    }

    void opacPagesArriveWhileTheWindowRepaintsAndCounts() {
        std::vector<std::string> records;
        for (int i = 0; i < 5; ++i) records.push_back(ks::DemoRecord(i, 5));
        test::OpacServer opac(records);
        opac.reportedHits = 5;
        opac.recordDelayMs = [](size_t entry) { return static_cast<int>(6 - entry) * 20; };
        Open();
        state->settings.OPACURL = opac.Base();
        QTreeWidgetItem* item = w->tvDatabase->topLevelItem(1)->child(0)->child(1);
        emit w->tvDatabase->itemDoubleClicked(item, 0);
        QVERIFY(w->targets().IsWebOpac());
        std::vector<std::string> seen;
        bool panelDrewProgress = false;
        // Each record's progress reaches the status bar while the worker fetches the next.
        auto watch = connect(w, &TFindRec::progressShown, [&] {
            seen.push_back(state->statusMessage);
            frame->TimerTick();
            frame->panel1()->repaint();
            panelDrewProgress =
                panelDrewProgress || (frame->panel1()->drawnText() == state->statusMessage &&
                                      state->statusMessage.find('/') != std::string::npos);
        });
        Search(QStringLiteral("7-5366-9293-5"));
        disconnect(watch);
        QCOMPARE(w->lstBooks->count(), 5);
        for (int n = 1; n <= 5; ++n) {
            std::string progress = G("正在接收记录 ") + std::to_string(n) + "/5";
            QVERIFY2(std::find(seen.begin(), seen.end(), progress) != seen.end(), progress.c_str());
        }
        QVERIFY(panelDrewProgress);
        QCOMPARE(state->statusMessage, FoundStatus(5));
    }

    void connectionFailureIsRed() {
        Open();
        emit w->tvDatabase->itemDoubleClicked(w->tvDatabase->topLevelItem(1)->child(0)->child(0),
                                              0);
        Search(QStringLiteral("1"));  // a Z39.50 target that cannot be reached here
        // The design's text, then where the search went.
        QCOMPARE(state->statusMessage, ConnectionFailedStatus() + "[127.0.0.1:9999]");
        frame->TimerTick();
        QCOMPARE(frame->panel1()->TextColour(), QColor(255, 0, 0));
    }

    void resortKeepsRowsRecordsAndTicksTogether() {
        Open();
        ElevenRowsTwoTicked();
        std::set<std::string> tickedRecords = {w->index().RecordAt(1, w->store()),
                                               w->index().RecordAt(3, w->store())};
        std::vector<std::string> arrival;
        for (int i = 0; i < 11; ++i) arrival.push_back(RowText(i));
        state->settings.RECORDER = "0";  // 按题名排序, as the settings dialog stores it
        w->FormActivate();
        QCOMPARE(w->lstBooks->count(), 11);
        std::vector<std::string> sorted;
        std::set<std::string> tickedNow;
        for (int i = 0; i < 11; ++i) {
            std::string record = w->index().RecordAt(static_cast<size_t>(i), w->store());
            QCOMPARE(RowText(i), DisplayLine(record));  // row i shows entry i
            sorted.push_back(RowText(i));
            if (Ticked(i)) tickedNow.insert(record);
            QCOMPARE(Ticked(i), w->Ticks()[static_cast<size_t>(i)]);
        }
        QVERIFY(sorted != arrival);
        QCOMPARE(tickedNow, tickedRecords);
        // The detail view of each row shows that row's record.
        w->lstBooks->setCurrentRow(5);
        emit w->lstBooks->itemDoubleClicked(w->lstBooks->item(5));
        std::string record5 = w->index().RecordAt(5, w->store());
        QCOMPARE(w->lstDetail->count(),
                 static_cast<int>(DetailLines(record5, FieldLabels()).size()));
        QVERIFY(w->lstDetail->item(0)->text().contains(
            Q(DetailLines(record5, FieldLabels())[0].substr(12))));
        // Saving writes the ticked records, whatever rows they moved to.
        QTest::keyClick(w->lstBooks, Qt::Key_F5);
        std::string daily = dir->Read("marc" + TodayYyyymmdd() + ".txt");
        QCOMPARE(test::StrictRecords(daily), std::string());
        for (const auto& r : tickedRecords) QVERIFY(daily.find(r + "\r\n") != std::string::npos);
        QCOMPARE(daily.size(),
                 (*tickedRecords.begin()).size() + (*tickedRecords.rbegin()).size() + 4);
    }

    void failedFurtherPageKeepsTheListAndItsTicks() {
        auto own = std::make_unique<test::CatalogueServerProcess>(200);
        QVERIFY(own->ok());
        Open();
        state->settings.KSPORT = std::to_string(own->port());
        w->FormActivate();
        ElevenRowsTwoTicked();
        own.reset();  // the server is gone
        ui->messages.clear();
        QTest::keyClick(w->btNext, Qt::Key_F3);
        Wait();
        // The socket error the worker met is shown by the window, as the design words it.
        QCOMPARE(ui->messages.size(), size_t{1});
        QCOMPARE(ui->messages[0].first, G("网络了解错误"));
        QCOMPARE(ui->messages[0].second, std::to_string(ECONNREFUSED));
        QVERIFY(state->statusMessage.starts_with(ConnectionFailedStatus() + "[127.0.0.1:"));
        QVERIFY(state->statusMessage.ends_with(G("连接失败]")));
        QCOMPARE(w->lstBooks->count(), 11);
        QCOMPARE(w->Ticks(), (std::vector<bool>{false, true, false, true, false, false, false,
                                                false, false, false, false}));
        QVERIFY(Ticked(1) && Ticked(3) && !Ticked(0));
    }

    void escEndsASearchThatNeverAnswersAndTheWindowStaysLive() {
        // A shared catalogue that takes the connection and never answers.
        test::ScriptedServer stuck({{{}, true}, {{}, true}});
        ksPort = stuck.port();
        Open();
        ksPort = 0;
        w->cbbField[0]->setEditText(QStringLiteral("ISBN"));
        w->edV[0]->setText(QStringLiteral("9787536692930"));
        w->edV[0]->setFocus();
        QTest::keyClick(w->edV[0], Qt::Key_F2);
        QVERIFY(w->searching());
        QVERIFY(w->grpWait->isVisible());
        // The window's thread is free: the frame's timer ticks, F2 and F5 are refused.
        const QString clock = w->grpWait->findChildren<QLabel*>().back()->text();
        QTRY_VERIFY_WITH_TIMEOUT(w->grpWait->findChildren<QLabel*>().back()->text() != clock, 5000);
        QVERIFY2(w->searching(), GbkToUtf8(state->statusMessage).c_str());
        QVERIFY(!w->btInit->isEnabled() && !w->btSaveRec->isEnabled() && !w->grbField->isEnabled());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F2);
        QVERIFY(w->searching());
        // Esc ends it: cancelled, not left to the silent server's time-out.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        Wait();
        QCOMPARE(state->statusMessage, CancelledStatus());
        QVERIFY(!w->grpWait->isVisible());
        QVERIFY(w->btInit->isEnabled() && w->grbField->isEnabled());
        // And the next search runs as ever (on this stuck server: waited for again).
        QTest::keyClick(w->edV[0], Qt::Key_F2);
        QVERIFY(w->searching());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        Wait();
        QCOMPARE(state->statusMessage, CancelledStatus());
    }

    void tenTickedDatabasesEightAtOnceEscKeepsWhatCame() {
        // Outlives the test: a failed check leaves the window (and its workers) to cleanup().
        static GateState gate;
        gate.silent = "d5";
        targetList = "{Demo\n[Local\n";
        searchSet.clear();
        for (int i = 1; i <= 10; ++i) {
            targetList += "(d" + std::to_string(i) + ",127.0.0.1,9999,0,,)\n";
            searchSet += (i > 1 ? ",d" : "d") + std::to_string(i);
        }
        targetList += "]\n}\n";
        sourceBackends = [](int) {
            auto r = std::make_unique<BackendRegistry>();
            r->Own(TargetKind::kZ39, std::make_unique<GateBackend>(gate));
            return r;
        };
        searchSet += ",gone";  // no longer in the list: dropped, and the user told
        Open();
        searchSet.clear();
        QTRY_COMPARE(ui->messages.size(), size_t{1});
        QVERIFY(ui->messages[0].second.find("gone") != std::string::npos);
        QCOMPARE(w->lbNotice->text(), QString::fromUtf8("[当前数据库：已勾选10个数据库]"));
        QVERIFY(ReadWholeFile(dir->File("Z39.ini"))
                    ->find("SEARCHSET=d1,d2,d3,d4,d5,d6,d7,d8,d9,d10\r\n") != std::string::npos);

        w->cbbField[0]->setEditText(QString::fromUtf8("题名"));
        w->edV[0]->setText(QStringLiteral("x"));
        w->edV[0]->setFocus();
        QTest::keyClick(w->edV[0], Qt::Key_F2);
        QTRY_COMPARE(gate.running.load(), 8);
        QVERIFY(w->searching());
        QTest::qWait(50);
        QCOMPARE(gate.most.load(), 8);  // at most eight at once; two wait their turn
        gate.hold = false;
        QTRY_COMPARE(w->lstBooks->count(), 9);
        QVERIFY(w->searching());  // d5 is still awaited
        QVERIFY(w->grpWait->findChildren<QLabel*>().back()->text().startsWith(
            QString::fromUtf8("已回答 9/10")));
        ClickTick(0);  // a tick while the others come stays on its record
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        Wait();
        QCOMPARE(w->lstBooks->count(), 9);
        QVERIFY(Ticked(0));
        QVERIFY2(state->statusMessage.find(G("1个已取消（d5）")) != std::string::npos,
                 GbkToUtf8(state->statusMessage).c_str());
        QVERIFY(RowText(0).find("[d") != std::string::npos);
        // The detail view says how full the record is and where it came from.
        w->lstBooks->setCurrentRow(0);
        QTest::keyClick(w->lstBooks, Qt::Key_Return);
        QVERIFY(
            w->grbResult->title().contains(QString::fromUtf8("著录要素 0 项，字段 1 个，来自 d")));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QCOMPARE(w->grbResult->title(), QString::fromUtf8("结果(F8)"));

        // Unticking every database returns to the current target.
        for (QTreeWidgetItemIterator it(w->tvDatabase); *it; ++it)
            if ((*it)->flags() & Qt::ItemIsUserCheckable) (*it)->setCheckState(0, Qt::Unchecked);
        QVERIFY(w->lbNotice->text().startsWith(QString::fromUtf8("[当前数据库：")));
        QVERIFY(!w->lbNotice->text().contains(QString::fromUtf8("已勾选")));
        QVERIFY(ReadWholeFile(dir->File("Z39.ini"))->find("SEARCHSET=\r\n") != std::string::npos);
        w->lstBooks->item(0)->setCheckState(Qt::Unchecked);
        frame.reset();
        sourceBackends = nullptr;
        targetList =
            "{Demo\n[Local\n(Default,127.0.0.1,9999,0,,)\n(opac,opac.nlc.cn,80,0,,)\n]\n}\n";
    }

    // A list file dropped on the batch window (from a file manager) is loaded into it.
    void aListFileDroppedOnTheBatchWindowIsLoaded() {
        AppState batchState;
        test::RecordingUi batchUi;
        TargetList none;
        TBatchWindow window(batchState, batchUi, [&]() -> const TargetList& { return none; });
        test::TempDir folder;
        const std::string list = folder.File("delivery.txt");
        QVERIFY(ReplaceFileAtomically(list, "9787536692930\n7-5366-9293-5\n"));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(list))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &drop);
        auto* text = window.findChild<QPlainTextEdit*>();
        QVERIFY(text);
        QCOMPARE(text->toPlainText(), QStringLiteral("9787536692930\n7-5366-9293-5\n"));
        QVERIFY(batchUi.messages.empty());
    }

    // A run of the batch window names each row's target as the chain and the tree do, and
    // keeps the typed list, journal and report in batch/: the download folder, which the
    // cataloguing system imports from, is left holding the daily file alone.
    void theBatchWindowNamesTargetsAsTheTreeAndKeepsItsFilesInBatch() {
        test::TempDir folder;
        AppState batchState;
        batchState.files = MakeWorkingFiles(folder.path());
        batchState.settings.KSIP = "127.0.0.1";
        batchState.settings.KSPORT = std::to_string(server->port());
        batchState.settings.MARCPATH = folder.File("marc") + "/";
        QVERIFY(MakeDirectories(folder.File("marc")));
        folder.Write("z39svr.cfg", "");
        TargetSelection targets;
        targets.Load(folder.File("z39svr.cfg"), batchState.settings);
        test::RecordingUi batchUi;
        TBatchWindow window(batchState, batchUi,
                            [&]() -> const TargetList& { return targets.list(); });
        window.FormActivate();
        auto* text = window.findChild<QPlainTextEdit*>();
        QVERIFY(text);
        text->setPlainText(QStringLiteral("9787536692930\n9787000000000\n"));
        window.Start();
        QTRY_VERIFY_WITH_TIMEOUT(!window.running(), 30000);
        auto* table = window.findChild<QTableWidget*>();
        QVERIFY(table && table->rowCount() == 2);
        QCOMPARE(table->item(0, 2)->text(), QString::fromUtf8("岱恒共享编目数据库"));
        window.Save();
        window.Export();
        const std::string today = TodayYyyymmdd();
        std::set<std::string> marc, batch;
        for (const auto& e : std::filesystem::directory_iterator(folder.File("marc")))
            marc.insert(e.path().filename().string());
        for (const auto& e : std::filesystem::directory_iterator(folder.File("marc/batch")))
            batch.insert(e.path().filename().string());
        QCOMPARE(marc, (std::set<std::string>{"batch", "marc" + today + ".txt"}));
        for (const char* suffix : {".txt", ".journal", ".report.csv", ".notfound.txt"})
            QVERIFY2(batch.count("batch" + today + suffix), suffix);
    }

    // A new user's shared catalogue has no address: F2 says where to set it, and the wait
    // panel does not stay up behind the message.
    void f2WithoutTheSharedCataloguesAddressSaysWhereToSetIt() {
        ksIp = "";
        Open();
        ksIp = "127.0.0.1";
        Search(QStringLiteral("9787536692930"));
        QVERIFY(!ui->messages.empty());
        QVERIFY(ui->messages.back().second.starts_with(G("岱恒共享编目库的地址没有设置")));
        QVERIFY(!w->grpWait->isVisible());
        QCOMPARE(w->lstBooks->count(), 0);
    }

    void enterOpensTheFieldsEscClosesThemTabLeavesThePageFields() {
        Open();
        Search(QStringLiteral("9787536692930"));
        QCOMPARE(w->lstBooks->count(), 1);
        w->lstBooks->setFocus();
        w->lstBooks->setCurrentRow(0);
        QVERIFY(w->lstIndex->isVisible());
        QTest::keyClick(w->lstBooks, Qt::Key_Return);
        QVERIFY(w->lstDetail->isVisible());
        QVERIFY(w->lstDetail->hasFocus());
        QVERIFY(!w->lstIndex->isVisible());  // its hot keys are the covered list's
        QCOMPARE(w->lstDetail->toolTip().count(QString::fromUtf8("按鼠标右键")), 1);
        QTest::keyClick(w->lstDetail, Qt::Key_Escape);
        QVERIFY(!w->lstDetail->isVisible());
        QVERIFY(w->lstBooks->hasFocus());
        // Tab leaves the page fields, which still refuse letters.
        w->edBegin->setFocus();
        QTest::keyClicks(w->edBegin, QStringLiteral("x"));
        QVERIFY(!w->edBegin->text().contains(QLatin1Char('x')));
        QTest::keyClick(w->edBegin, Qt::Key_Tab);
        QVERIFY(!w->edBegin->hasFocus());
    }

    // The keyboard path to the database tree: F9, then Tab. The desk's keyboard-only test
    // presses the same number of Tabs.
    void tabFromTheSearchValueReachesTheTree() {
        Open();
        frame->activateWindow();
        QTest::keyClick(w->edV[0], Qt::Key_F9);
        QTRY_VERIFY(w->edV[0]->hasFocus());
        int tabs = 0;
        while (!w->tvDatabase->hasFocus() && tabs < 40) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            ++tabs;
        }
        qInfo("Tabs from the search value to the tree: %d", tabs);
        QCOMPARE(tabs, kTabsToTree);
    }

    void tickedRecordsAreNotDroppedByANewSearchOrClosing() {
        Open();
        Search(QStringLiteral("9787536692930"));
        QCOMPARE(w->lstBooks->count(), 1);
        QVERIFY(Ticked(0));
        // F2 with a ticked row: Cancel keeps everything as it was.
        ui->saveChoice = SaveChoice::kCancel;
        QTest::keyClick(w->edV[0], Qt::Key_F2);
        Wait();
        QCOMPARE(ui->questions.size(), size_t{1});
        QVERIFY(ui->questions[0].starts_with(G("有[1]条打钩的记录还没有保存")));
        QVERIFY(Ticked(0));
        QVERIFY(!FileExists(DailyFilePath(state->settings.MARCPATH, TodayYyyymmdd())));
        // Closing the program: Cancel keeps it open; Save saves first, then it closes.
        QCloseEvent refused;
        QApplication::sendEvent(frame.get(), &refused);
        QVERIFY(!refused.isAccepted());
        ui->saveChoice = SaveChoice::kSave;
        QCloseEvent saved;
        QApplication::sendEvent(frame.get(), &saved);
        QVERIFY(saved.isAccepted());
        QCOMPARE(test::StrictRecords(
                     ReadWholeFile(DailyFilePath(state->settings.MARCPATH, TodayYyyymmdd()))
                         .value_or("")),
                 std::string());
        QVERIFY(FileExists(DailyFilePath(state->settings.MARCPATH, TodayYyyymmdd())));
        QCOMPARE(ui->questions.size(), size_t{3});
    }

    void theTreeByKeyboardAndTheCurrentTargetInBold() {
        Open();
        QTreeWidgetItem* ksLib = w->tvDatabase->topLevelItem(0)->child(0);
        QTreeWidgetItem* opac = w->tvDatabase->topLevelItem(1)->child(0)->child(1);
        QVERIFY(ksLib->font(0).bold());
        QVERIFY(!opac->font(0).bold());
        w->tvDatabase->setFocus();
        w->tvDatabase->setCurrentItem(opac);  // highlighted, not chosen
        QVERIFY(!w->targets().IsWebOpac());
        QTest::keyClick(w->tvDatabase, Qt::Key_Return);
        QVERIFY(w->targets().IsWebOpac());
        QVERIFY(opac->font(0).bold());
        QVERIFY(!ksLib->font(0).bold());
        // Enter on a group node chooses nothing.
        w->tvDatabase->setCurrentItem(w->tvDatabase->topLevelItem(0));
        QTest::keyClick(w->tvDatabase, Qt::Key_Return);
        QVERIFY(w->targets().IsWebOpac());
    }

    void keyboardReachesTheFieldListsAndFunctionKeysActOnRelease() {
        Open();
        QComboBox* field = w->cbbField[0];
        field->setFocus();
        QCOMPARE(field->currentText(), QStringLiteral("ISBN"));
        QTest::keyClick(field, Qt::Key_Up);
        QCOMPARE(field->currentText(), QString::fromUtf8("题名"));
        QTest::keyClick(field, Qt::Key_Down);
        QCOMPARE(field->currentText(), QStringLiteral("ISBN"));
        QTest::keyClicks(field, QStringLiteral("zz"));  // typed characters are still discarded
        QCOMPARE(field->currentText(), QStringLiteral("ISBN"));

        w->edNum->setText(QStringLiteral("1"));
        Search(QString::fromUtf8(ks::kPagingTitleWord), QString::fromUtf8("题名"));
        QCOMPARE(w->edBegin->text(), QStringLiteral("2"));
        w->edNum->setText(QStringLiteral("10"));
        // F3 held down: one press, repeats while held, one release: one page.
        auto send = [&](QEvent::Type type, bool repeat) {
            QKeyEvent e(type, Qt::Key_F3, Qt::NoModifier, QString(), repeat);
            QApplication::sendEvent(w->btNext, &e);
        };
        send(QEvent::KeyPress, false);
        QCOMPARE(w->edBegin->text(), QStringLiteral("2"));  // nothing on the press itself
        for (int i = 0; i < 5; ++i) {
            send(QEvent::KeyRelease, true);
            send(QEvent::KeyPress, true);
        }
        send(QEvent::KeyRelease, false);
        Wait();
        QCOMPARE(w->edBegin->text(), QStringLiteral("12"));
        QCOMPARE(w->lstBooks->count(), 11);

        // Enter on a button or the tree moves on; it presses nothing.
        w->btInit->setFocus();
        QTest::keyClick(w->btInit, Qt::Key_Return);
        QVERIFY(!w->btInit->hasFocus());
        QCOMPARE(w->lstBooks->count(), 11);
    }
};

QTEST_MAIN(FindRecTest)
#include "find_rec_test.moc"
