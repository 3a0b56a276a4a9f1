// The main window as a user meets it: title, menus, keys, toolbar, panes,
// the status bar's progress, and export progress sent from worker threads.
#include "ui/app/AboutDlg.h"
#include "ui/app/MainFrm.h"
#include "ui/app/SplitterWnd.h"
#include "ui/app/TessalyApp.h"
#include "ui/app/TessalyDoc.h"
#include "ui/app/Translations.h"
#include "ui/common/Commands.h"
#include "ui/common/DialogUnits.h"
#include "ui/common/WindowMessages.h"
#include "ui/controls/TextProgressCtrl.h"
#include "ui/luns/DamageReport.h"
#include "ui/luns/ExportSeting.h"
#include "ui/luns/TessalyView.h"
#include "ui/sources/ChooseDevice.h"
#include "ui/sources/LeftView.h"
#include "ui/sources/SourceDialogs.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QStandardItemModel>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QtTest>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

using namespace corvane::ui;

namespace {

CTessalyApp* App() { return static_cast<CTessalyApp*>(qApp); }

// What the bar showed right after each message returned to the worker.
struct BarState {
    QString text;
    int pos = -1;
    int lower = -1;
    int upper = -1;
};

// Runs an export's progress messages on a worker thread, as the export
// thread does, while this thread keeps the event loop going. Each state is
// read by the worker itself once its send has returned, so it shows what
// the bar held when the worker was let go.
std::vector<BarState> RunExport(CMainFrame* frame,
                                const std::vector<std::pair<quint32, quint32>>& messages)
{
    std::vector<BarState> states;
    std::atomic<bool> back{false};
    std::thread worker([&] {
        for (const auto& [total, done] : messages) {
            SendExportProgress(total, done);
            BarState s;
            s.text = frame->Progress()->GetWindowText();
            s.pos = frame->Progress()->GetPos();
            frame->Progress()->GetRange(s.lower, s.upper);
            states.push_back(s);
        }
        back = true;
    });
    const bool finished = QTest::qWaitFor([&] { return back.load(); }, 10000);
    worker.join();
    if (!finished)
        states.clear();
    return states;
}

QList<int> ToolbarIds(QToolBar* bar)
{
    QList<int> ids;
    for (QAction* a : bar->actions())
        ids.append(a->isSeparator() ? 0 : a->data().toInt());
    return ids;
}

QStringList MenuEntries(QMenu* menu)
{
    QStringList entries;
    for (QAction* a : menu->actions()) {
        if (a->isSeparator())
            entries.append(QStringLiteral("-"));
        else if (a->isVisible())
            entries.append(a->text());
    }
    return entries;
}

} // namespace

class MainFrameTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void startsWithZeroProgress();
    void titleNeverChanges();
    void menuEntries();
    void acceleratorKeys_data();
    void acceleratorKeys();
    void toolbarButtonsInOrder();
    void commandsWithoutHandlerStayDisabled();
    void addDeviceOpensDialogFromKeyAndButton();
    void progressFromWorkerThread();
    void secondExportSetsItsOwnRange();
    void largeTotalsKeepFullRange();
    void emptyExportStillShowsText();
    void barKeepsPlaceWhenFrameResized();
    void messageAreaNeverCoversTheProgressText_data();
    void messageAreaNeverCoversTheProgressText();
    void splitterHoldsBothPanes();
    void viewStyleSwitchesLunList_data();
    void viewStyleSwitchesLunList();
    void f6MovesBetweenPanes();
    void keyboardSplitMovesBar();
    void barsToggle();
    void recentFileList();
    void openAndSaveTouchNoFile();
    void aboutBoxLayout();
    void aboutLinkSaysWhenNothingOpensIt();
    void dialogUnitsFollowFont();
    void windowsFollowTheLocale_data();
    void windowsFollowTheLocale();
    void cleanupTestCase();

private:
    CMainFrame* m_frame = nullptr;
    QTemporaryDir m_files;
};

void MainFrameTest::initTestCase()
{
    QVERIFY(m_files.isValid());
    QVERIFY(App()->InitInstance());
    m_frame = App()->MainFrame();
    QVERIFY(m_frame);
    QVERIFY(QTest::qWaitForWindowExposed(m_frame));
}

void MainFrameTest::startsWithZeroProgress()
{
    CTextProgressCtrl* bar = m_frame->Progress();
    QCOMPARE(bar->GetWindowText(), QStringLiteral("0M/0M"));
    QCOMPARE(bar->DisplayText(), QStringLiteral("0M/0M"));
    QCOMPARE(bar->parentWidget(), m_frame->StatusBar());
    QCOMPARE(bar->GetStyle(), PBS_SMOOTH);
    QCOMPARE(bar->property("controlId").toInt(), IDC_EXPORT_PROGRESS);
    QCOMPARE(CMainFrame::s_progressCalls, 0);
    // The pane's own text lies beneath the bar, at the same place.
    QLabel* pane = m_frame->PaneLabel();
    QCOMPARE(pane->text(), QStringLiteral("当前用户："));
    QCOMPARE(pane->geometry(), bar->geometry());
    const QObjectList children = m_frame->StatusBar()->children();
    QVERIFY(children.indexOf(pane) < children.indexOf(bar));
    QVERIFY(bar->isVisible());
    QCOMPARE(g_hMainFrame.Window(), m_frame);
    QCOMPARE(g_hLeftView.Window(), m_frame->LeftView());
    QCOMPARE(g_hLunView.Window(), m_frame->LunView());
}

void MainFrameTest::titleNeverChanges()
{
    const QString title = QStringLiteral("corvane recovery for hp eva 1.2");
    QCOMPARE(m_frame->windowTitle(), title);
    App()->Document()->SetTitle(QStringLiteral("other"));
    QCOMPARE(App()->Document()->GetTitle(), QStringLiteral("corvane recovery for hp eva"));
    m_frame->setWindowTitle(QStringLiteral("something else"));
    QCOMPARE(m_frame->windowTitle(), title);
    // Every window's caption is its own: no display name was set for the
    // window system to append to each of them (the display name follows
    // the application name only while none was set).
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("probe"));
    const QString shown = QGuiApplication::applicationDisplayName();
    QCoreApplication::setApplicationName(name);
    QCOMPARE(shown, QStringLiteral("probe"));
}

void MainFrameTest::menuEntries()
{
    m_frame->UpdateCommandUI();
    const QList<QAction*> menus = m_frame->menuBar()->actions();
    QStringList titles;
    for (QAction* m : menus)
        titles.append(m->text());
    QCOMPARE(titles, (QStringList{QStringLiteral("文件(&F)"), QStringLiteral("编辑(&E)"),
                                  QStringLiteral("视图(&V)"), QStringLiteral("帮助(&H)")}));
    QCOMPARE(MenuEntries(menus[0]->menu()),
             (QStringList{QStringLiteral("添加设备(&N)\tCtrl+N"), QStringLiteral("-"),
                          QStringLiteral("最近的文件"), QStringLiteral("-"),
                          QStringLiteral("退出(&X)")}));
    QCOMPARE(MenuEntries(menus[1]->menu()),
             (QStringList{QStringLiteral("初始化lun信息"), QStringLiteral("成员映射(&M)...")}));
    QCOMPARE(MenuEntries(menus[2]->menu()),
             (QStringList{QStringLiteral("工具栏(&T)"), QStringLiteral("状态栏(&S)"),
                          QStringLiteral("拆分(&P)")}));
    QCOMPARE(MenuEntries(menus[3]->menu()), QStringList{QStringLiteral("关于 Corvane (&A)...")});
    // An empty recent-file list shows its place, grayed.
    QVERIFY(!m_frame->Action(ID_FILE_MRU_FILE1)->isEnabled());
    QCOMPARE(m_frame->Action(ID_FILE_NEW)->toolTip(), QStringLiteral("添加设备(Add)"));
    QCOMPARE(m_frame->Action(ID_FILE_NEW)->statusTip(), QStringLiteral("添加设备"));
    QVERIFY(m_frame->Action(ID_VIEW_TOOLBAR)->isChecked());
    QVERIFY(m_frame->Action(ID_VIEW_STATUS_BAR)->isChecked());
}

void MainFrameTest::acceleratorKeys_data()
{
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<int>("command");
    QTest::newRow("Ctrl+N") << QKeySequence(Qt::CTRL | Qt::Key_N) << ID_FILE_NEW;
    QTest::newRow("Ctrl+O") << QKeySequence(Qt::CTRL | Qt::Key_O) << ID_FILE_OPEN;
    QTest::newRow("Ctrl+S") << QKeySequence(Qt::CTRL | Qt::Key_S) << ID_FILE_SAVE;
    QTest::newRow("Ctrl+Z") << QKeySequence(Qt::CTRL | Qt::Key_Z) << ID_EDIT_UNDO;
    QTest::newRow("Alt+Backspace") << QKeySequence(Qt::ALT | Qt::Key_Backspace) << ID_EDIT_UNDO;
    QTest::newRow("Ctrl+X") << QKeySequence(Qt::CTRL | Qt::Key_X) << ID_EDIT_CUT;
    QTest::newRow("Shift+Delete") << QKeySequence(Qt::SHIFT | Qt::Key_Delete) << ID_EDIT_CUT;
    QTest::newRow("Ctrl+C") << QKeySequence(Qt::CTRL | Qt::Key_C) << ID_EDIT_COPY;
    QTest::newRow("Ctrl+Insert") << QKeySequence(Qt::CTRL | Qt::Key_Insert) << ID_EDIT_COPY;
    QTest::newRow("Ctrl+V") << QKeySequence(Qt::CTRL | Qt::Key_V) << ID_EDIT_PASTE;
    QTest::newRow("Shift+Insert") << QKeySequence(Qt::SHIFT | Qt::Key_Insert) << ID_EDIT_PASTE;
    QTest::newRow("F6") << QKeySequence(Qt::Key_F6) << ID_NEXT_PANE;
    QTest::newRow("Shift+F6") << QKeySequence(Qt::SHIFT | Qt::Key_F6) << ID_PREV_PANE;
}

void MainFrameTest::acceleratorKeys()
{
    QFETCH(QKeySequence, keys);
    QFETCH(int, command);
    // Exactly one command owns each key.
    QList<int> owners;
    for (QAction* a : m_frame->actions()) {
        if (a->shortcuts().contains(keys))
            owners.append(a->data().toInt());
    }
    QCOMPARE(owners, QList<int>{command});
}

void MainFrameTest::toolbarButtonsInOrder()
{
    QToolBar* bar = m_frame->ToolBar();
    QCOMPARE(ToolbarIds(bar),
             (QList<int>{ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, 0, ID_EDIT_CUT, ID_EDIT_COPY,
                         ID_EDIT_PASTE, 0, ID_FILE_PRINT, 0, ID_VIEW_LARGEICON, ID_VIEW_SMALLICON,
                         ID_VIEW_LIST, ID_VIEW_DETAILS, ID_APP_ABOUT}));
    QCOMPARE(bar->iconSize(), QSize(16, 15));
    for (QAction* a : bar->actions()) {
        if (!a->isSeparator())
            QVERIFY2(!a->icon().isNull(), qPrintable(a->toolTip()));
    }
    m_frame->UpdateCommandUI();
    QVERIFY(m_frame->Action(ID_FILE_OPEN)->isEnabled());
    QVERIFY(m_frame->Action(ID_FILE_SAVE)->isEnabled());
    QVERIFY(m_frame->Action(ID_APP_ABOUT)->isEnabled());
    QVERIFY(m_frame->Action(ID_VIEW_DETAILS)->isEnabled());
    QVERIFY(m_frame->Action(ID_VIEW_DETAILS)->isChecked());
    QVERIFY(!m_frame->Action(ID_VIEW_LARGEICON)->isChecked());
}

void MainFrameTest::commandsWithoutHandlerStayDisabled()
{
    m_frame->UpdateCommandUI();
    for (int id : {ID_EDIT_UNDO, ID_EDIT_CUT, ID_EDIT_COPY, ID_EDIT_PASTE, ID_FILE_PRINT}) {
        QVERIFY2(!m_frame->Action(id)->isEnabled(), qPrintable(QString::number(id)));
        QVERIFY(!m_frame->ExecuteCommand(id));
        QVERIFY(!m_frame->ToolBar()->widgetForAction(m_frame->Action(id)) ||
                !m_frame->ToolBar()->widgetForAction(m_frame->Action(id))->isEnabled());
    }
}

void MainFrameTest::addDeviceOpensDialogFromKeyAndButton()
{
    m_frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_frame));
    // Without a dialog the command cannot run.
    m_frame->UpdateCommandUI();
    QVERIFY(!m_frame->Action(ID_FILE_NEW)->isEnabled());

    int runs = 0;
    QWidget* parentSeen = nullptr;
    CMainFrame::SetAddDeviceDialog([&](QWidget* parent) {
        ++runs;
        parentSeen = parent;
    });
    QTest::keyClick(m_frame, Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(runs, 1);
    QCOMPARE(parentSeen, m_frame);
    QWidget* button = m_frame->ToolBar()->widgetForAction(m_frame->Action(ID_FILE_NEW));
    QVERIFY(button);
    QTRY_VERIFY(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(runs, 2);
    // The key works with the toolbar hidden too.
    m_frame->ExecuteCommand(ID_VIEW_TOOLBAR);
    QTest::keyClick(m_frame, Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(runs, 3);
    m_frame->ExecuteCommand(ID_VIEW_TOOLBAR);
    CMainFrame::SetAddDeviceDialog({});
    QCOMPARE(App()->Document()->GetPathName(), QString()); // no new document either
}

void MainFrameTest::progressFromWorkerThread()
{
    const int before = CMainFrame::s_progressCalls;
    const auto states = RunExport(m_frame, {{10, 0}, {10, 3}, {10, 10}});
    QCOMPARE(states.size(), std::size_t(3));
    QCOMPARE(states[0].text, QStringLiteral("0M/80M"));
    QCOMPARE(states[0].lower, 0);
    QCOMPARE(states[0].upper, 10);
    QCOMPARE(states[0].pos, 0);
    QCOMPARE(states[1].text, QStringLiteral("24M/80M"));
    QCOMPARE(states[1].pos, 3);
    // The last message of an export names the whole amount as done.
    QCOMPARE(states[2].text, QStringLiteral("80M/80M"));
    QCOMPARE(states[2].pos, 10);
    QCOMPARE(CMainFrame::s_progressCalls, before + 3);
}

void MainFrameTest::secondExportSetsItsOwnRange()
{
    RunExport(m_frame, {{100, 0}, {100, 50}});
    const auto states = RunExport(m_frame, {{4, 0}, {4, 2}, {4, 4}});
    QCOMPARE(states.size(), std::size_t(3));
    QCOMPARE(states[0].upper, 4);
    QCOMPARE(states[0].text, QStringLiteral("0M/32M"));
    QCOMPARE(states[1].pos, 2);
    QCOMPARE(states[1].text, QStringLiteral("16M/32M"));
    QCOMPARE(states[2].pos, 4);
    QCOMPARE(states[2].text, QStringLiteral("32M/32M"));
}

void MainFrameTest::largeTotalsKeepFullRange()
{
    // 65536 stripe records and more: the range is not cut to 16 bits.
    auto states = RunExport(m_frame, {{65536, 0}, {70000, 0}, {70000, 69999}});
    QCOMPARE(states.size(), std::size_t(3));
    QCOMPARE(states[0].upper, 65536);
    QCOMPARE(states[0].text, QStringLiteral("0M/524288M"));
    QCOMPARE(states[1].upper, 70000);
    QCOMPARE(states[2].pos, 69999);
    QCOMPARE(states[2].text, QStringLiteral("559992M/560000M"));

    // A total beyond the int range still fills the bar proportionally, and
    // the text counts in 64 bits.
    states = RunExport(m_frame, {{0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0x80000000u}});
    QCOMPARE(states.size(), std::size_t(2));
    QCOMPARE(states[0].text, QStringLiteral("0M/34359738360M"));
    QVERIFY(states[1].upper > 0);
    QVERIFY(qAbs(double(states[1].pos) / states[1].upper - 0.5) < 1e-6);
    QCOMPARE(states[1].text, QStringLiteral("17179869184M/34359738360M"));
}

void MainFrameTest::emptyExportStillShowsText()
{
    const auto states = RunExport(m_frame, {{0, 0}});
    QCOMPARE(states.size(), std::size_t(1));
    QCOMPARE(states[0].text, QStringLiteral("0M/0M"));
    // A range the bar can paint, so the text is really shown.
    QVERIFY(states[0].lower < states[0].upper);
}

void MainFrameTest::barKeepsPlaceWhenFrameResized()
{
    const QRect place = m_frame->Progress()->geometry();
    QVERIFY(place.width() > 100);
    m_frame->resize(1200, 700);
    QTRY_COMPARE(m_frame->size(), QSize(1200, 700));
    QCOMPARE(m_frame->Progress()->geometry(), place);
    m_frame->resize(500, 400);
    QTRY_COMPARE(m_frame->size(), QSize(500, 400));
    QCOMPARE(m_frame->Progress()->geometry(), place);
    m_frame->resize(960, 600);
    QTRY_COMPARE(m_frame->size(), QSize(960, 600));
}

void MainFrameTest::messageAreaNeverCoversTheProgressText_data()
{
    QTest::addColumn<int>("width");
    QTest::newRow("740 wide") << 740;
    QTest::newRow("600 wide") << 600;
    QTest::newRow("1200 wide") << 1200;
}

void MainFrameTest::messageAreaNeverCoversTheProgressText()
{
    QFETCH(int, width);
    m_frame->resize(width, 600);
    QTRY_COMPARE(m_frame->width(), width);
    // A degraded group: missing slots named while an export runs.
    m_frame->SetMessageText(QStringLiteral("缺少成员的槽位（行,列）：(1,3) (1,4) (2,3) (2,4) (3,3) (3,4) "
                                           "(4,3) (4,4) (5,3) (5,4) (6,3) (6,4)"));
    RunExport(m_frame, {{800, 22}});
    CTextProgressCtrl* bar = m_frame->Progress();
    QCOMPARE(bar->GetWindowText(), QStringLiteral("176M/6400M"));
    QLabel* area = m_frame->MessageLabel();
    QTRY_VERIFY(area->isVisible());
    QCoreApplication::processEvents();

    // Where the bar writes its centred text, in the frame's coordinates.
    const int textWidth = bar->fontMetrics().horizontalAdvance(bar->GetWindowText());
    const QRect inBar((bar->width() - textWidth) / 2, 0, textWidth, bar->height());
    const QRect text(bar->mapTo(m_frame, inBar.topLeft()), inBar.size());
    const QRect areaRect(area->mapTo(m_frame, QPoint(0, 0)), area->size());
    QVERIFY2(!areaRect.intersects(text), qPrintable(QStringLiteral("message %1,%2 %3x%4 over text %5,%6 %7x%8")
                                                        .arg(areaRect.x()).arg(areaRect.y())
                                                        .arg(areaRect.width()).arg(areaRect.height())
                                                        .arg(text.x()).arg(text.y())
                                                        .arg(text.width()).arg(text.height())));
    // Nothing else of the status bar lies over the text either, and all of
    // it is inside the window.
    for (QWidget* w : m_frame->StatusBar()->findChildren<QWidget*>()) {
        if (w == bar || w == m_frame->PaneLabel() || !w->isVisible() || bar->isAncestorOf(w))
            continue;
        const QRect r(w->mapTo(m_frame, QPoint(0, 0)), w->size());
        QVERIFY2(!r.intersects(text), qPrintable(w->objectName()));
    }
    QVERIFY(text.right() < m_frame->width());
    QVERIFY(area->width() <= m_frame->width());

    m_frame->SetMessageText(QString());
    QVERIFY(area->isHidden());
    m_frame->resize(960, 600);
    QTRY_COMPARE(m_frame->size(), QSize(960, 600));
}

void MainFrameTest::splitterHoldsBothPanes()
{
    CSplitterWnd* splitter = m_frame->Splitter();
    QCOMPARE(splitter->count(), 2);
    QVERIFY(qobject_cast<CLeftView*>(splitter->GetPane(0, 0)));
    QVERIFY(qobject_cast<CTessalyView*>(splitter->GetPane(0, 1)));
    QCOMPARE(splitter->GetPane(0, 2), nullptr);
    QCOMPARE(splitter->sizes().value(0), 300);
    QCOMPARE(m_frame->LunView()->GetViewMode(), LVS_REPORT);
}

void MainFrameTest::viewStyleSwitchesLunList_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<uint>("mode");
    QTest::newRow("large icons") << ID_VIEW_LARGEICON << uint(LVS_ICON);
    QTest::newRow("small icons") << ID_VIEW_SMALLICON << uint(LVS_SMALLICON);
    QTest::newRow("list") << ID_VIEW_LIST << uint(LVS_LIST);
    QTest::newRow("details") << ID_VIEW_DETAILS << uint(LVS_REPORT);
}

void MainFrameTest::viewStyleSwitchesLunList()
{
    QFETCH(int, command);
    QFETCH(uint, mode);
    // Through the toolbar button, as a user clicks it.
    QWidget* button = m_frame->ToolBar()->widgetForAction(m_frame->Action(command));
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(m_frame->LunView()->GetViewMode(), mode);
    m_frame->UpdateCommandUI();
    for (int id : {ID_VIEW_LARGEICON, ID_VIEW_SMALLICON, ID_VIEW_LIST, ID_VIEW_DETAILS})
        QCOMPARE(m_frame->Action(id)->isChecked(), id == command);
    const bool icons = mode == LVS_ICON || mode == LVS_SMALLICON;
    QCOMPARE(m_frame->QueryCommand(ID_VIEW_LINEUP).enabled, icons);
    QVERIFY(m_frame->QueryCommand(ID_VIEW_BYNAME).enabled);
    QVERIFY(!m_frame->QueryCommand(ID_VIEW_BYNAME).checked);
    QCOMPARE(m_frame->LunView()->currentWidget() ==
                 static_cast<QWidget*>(m_frame->LunView()->ReportView()),
             mode == LVS_REPORT);
}

void MainFrameTest::f6MovesBetweenPanes()
{
    m_frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_frame));
    CLeftView* left = m_frame->LeftView();
    CTessalyView* right = m_frame->LunView();
    left->setFocus();
    QTRY_VERIFY(left->hasFocus());
    auto inRight = [&] {
        QWidget* f = QApplication::focusWidget();
        return f && (f == right || right->isAncestorOf(f));
    };
    QTest::keyClick(m_frame, Qt::Key_F6);
    QTRY_VERIFY(inRight());
    QTest::keyClick(m_frame, Qt::Key_F6);
    QTRY_VERIFY(left->hasFocus());
    QTest::keyClick(m_frame, Qt::Key_F6, Qt::ShiftModifier);
    QTRY_VERIFY(inRight());
    QTest::keyClick(m_frame, Qt::Key_F6, Qt::ShiftModifier);
    QTRY_VERIFY(left->hasFocus());
}

void MainFrameTest::keyboardSplitMovesBar()
{
    CSplitterWnd* splitter = m_frame->Splitter();
    const int start = splitter->sizes().value(0);
    QVERIFY(m_frame->ExecuteCommand(ID_WINDOW_SPLIT));
    QVERIFY(splitter->IsTracking());
    QVERIFY(!m_frame->QueryCommand(ID_WINDOW_SPLIT).enabled);
    QTest::keyClick(splitter, Qt::Key_Right);
    QTest::keyClick(splitter, Qt::Key_Right);
    QCOMPARE(splitter->sizes().value(0), start + 2 * CSplitterWnd::kKeyStep);
    QTest::keyClick(splitter, Qt::Key_Escape);
    QVERIFY(!splitter->IsTracking());
    QCOMPARE(splitter->sizes().value(0), start);

    QVERIFY(m_frame->ExecuteCommand(ID_WINDOW_SPLIT));
    QTest::keyClick(splitter, Qt::Key_Left);
    QTest::keyClick(splitter, Qt::Key_Return);
    QVERIFY(!splitter->IsTracking());
    QCOMPARE(splitter->sizes().value(0), start - CSplitterWnd::kKeyStep);
    splitter->setSizes({start, splitter->width() - start});
}

void MainFrameTest::barsToggle()
{
    QVERIFY(m_frame->ExecuteCommand(ID_VIEW_TOOLBAR));
    QVERIFY(m_frame->ToolBar()->isHidden());
    QVERIFY(!m_frame->Action(ID_VIEW_TOOLBAR)->isChecked());
    QVERIFY(m_frame->ExecuteCommand(ID_VIEW_TOOLBAR));
    QVERIFY(!m_frame->ToolBar()->isHidden());
    QVERIFY(m_frame->Action(ID_VIEW_TOOLBAR)->isChecked());

    QVERIFY(m_frame->ExecuteCommand(ID_VIEW_STATUS_BAR));
    QVERIFY(m_frame->StatusBar()->isHidden());
    QVERIFY(!m_frame->Action(ID_VIEW_STATUS_BAR)->isChecked());
    QVERIFY(m_frame->ExecuteCommand(ID_VIEW_STATUS_BAR));
    QVERIFY(!m_frame->StatusBar()->isHidden());
}

void MainFrameTest::recentFileList()
{
    QStringList paths;
    for (int i = 0; i < 5; ++i) {
        const QString path = m_files.filePath(QStringLiteral("f%1 & co.img").arg(i));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        paths.append(path);
        App()->AddToRecentFileList(path);
    }
    // Four kept, newest first; naming one again moves it up.
    App()->AddToRecentFileList(paths[2]);
    const QStringList files = App()->RecentFiles().Files();
    QCOMPARE(files.size(), 4);
    QVERIFY(files[0].endsWith(QStringLiteral("f2 & co.img")));
    QVERIFY(files[1].endsWith(QStringLiteral("f4 & co.img")));
    QVERIFY(files[3].endsWith(QStringLiteral("f1 & co.img")));

    m_frame->FileMenu()->aboutToShow();
    QStringList entries = MenuEntries(m_frame->FileMenu());
    QCOMPARE(entries.size(), 8);
    QVERIFY(entries[2].startsWith(QStringLiteral("&1 ")));
    QVERIFY(entries[2].endsWith(QStringLiteral("f2 && co.img")));
    QVERIFY(entries[5].startsWith(QStringLiteral("&4 ")));
    QVERIFY(m_frame->Action(ID_FILE_MRU_FILE1 + 3)->isEnabled());

    // Kept in the settings store under the program's key.
    QSettings settings;
    QCOMPARE(settings.organizationName(), QString::fromUtf8(CTessalyApp::kRegistryKey));
    QVERIFY(settings.fileName().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
    QCOMPARE(settings.value(QStringLiteral("Recent File List/File1")).toString(), files[0]);
    QCOMPARE(settings.value(QStringLiteral("Recent File List/File4")).toString(), files[3]);
    QVERIFY(!settings.contains(QStringLiteral("Recent File List/File5")));
    App()->LoadStdProfileSettings(kMaxRecentFiles);
    QCOMPARE(App()->RecentFiles().Files(), files);

    // Choosing an entry whose file has gone drops it, after a message.
    QVERIFY(QFile::remove(paths[2]));
    QTimer::singleShot(200, [] {
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    QVERIFY(m_frame->ExecuteCommand(ID_FILE_MRU_FILE1));
    QCOMPARE(App()->RecentFiles().Files().size(), 3);
    QVERIFY(!App()->RecentFiles().Files().join(QLatin1Char('|')).contains(QStringLiteral("f2 ")));
}

void MainFrameTest::openAndSaveTouchNoFile()
{
    const QString path = m_files.filePath(QStringLiteral("evidence.img"));
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("keep me");
    }
    QVERIFY(App()->OpenDocumentFile(path));
    QCOMPARE(App()->Document()->GetPathName(), path);
    // Saving over the file it came from leaves it as it was.
    QVERIFY(m_frame->ExecuteCommand(ID_FILE_SAVE));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("keep me"));
    QCOMPARE(m_frame->windowTitle(), QStringLiteral("corvane recovery for hp eva 1.2"));
    QVERIFY(App()->RecentFiles().Files().value(0).endsWith(QStringLiteral("evidence.img")));
}

void MainFrameTest::aboutBoxLayout()
{
    CAboutDlg about(m_frame);
    QCOMPARE(about.windowTitle(), QStringLiteral("关于 Corvane"));
    QCOMPARE(about.NameLabel()->text(), QStringLiteral("Corvane Recovery For HP EVA  V1.0"));
    QVERIFY(about.Link()->text().contains(QStringLiteral(">README.md</a>")));
    QCOMPARE(about.LicenceLabel()->text(), QStringLiteral("MIT 许可证"));
    QCOMPARE(about.OkButton()->text(), QStringLiteral("确定"));
    QVERIFY(about.OkButton()->isDefault());

    const CDialogUnits du(about.font());
    QCOMPARE(about.size(), du.MapDialogSize(246, 97));
    QCOMPARE(about.OkButton()->geometry(), du.MapDialogRect(189, 76, 50, 14));
    QCOMPARE(about.NameLabel()->pos(), du.MapDialogRect(54, 26, 119, 8).topLeft());
    QCOMPARE(about.Link()->pos(), du.MapDialogRect(58, 40, 119, 8).topLeft());
    QCOMPARE(about.LicenceLabel()->pos(), du.MapDialogRect(69, 52, 119, 8).topLeft());
    QCOMPARE(about.IconLabel()->pos(), du.MapDialogRect(18, 38, 0, 0).topLeft());
    // No text is cut off, and all of it lies inside the box.
    for (QLabel* label : {about.NameLabel(), about.Link(), about.LicenceLabel()}) {
        QVERIFY(label->width() >= label->sizeHint().width());
        QVERIFY(label->geometry().right() < about.width());
    }
    // A fixed dialog: nothing to minimise or maximise.
    const Qt::WindowFlags flags = about.windowFlags();
    QVERIFY(flags & Qt::CustomizeWindowHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(about.minimumSize(), about.maximumSize());
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QTest::keyClick(&about, Qt::Key_Return);
    QCOMPARE(about.result(), int(QDialog::Accepted));
}

void MainFrameTest::aboutLinkSaysWhenNothingOpensIt()
{
    const QString readme = CAboutDlg::FindReadme();
    if (readme.isEmpty())
        QSKIP("no README.md beside the test");
    QList<QUrl> asked;
    bool opens = false;
    CAboutDlg::SetUrlOpener([&](const QUrl& url) {
        asked << url;
        return opens;
    });
    auto restore = qScopeGuard([] { CAboutDlg::SetUrlOpener({}); });
    CAboutDlg about(m_frame);
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));

    // No program opens it: a box says so and where the file is.
    QString said;
    QTimer::singleShot(100, [&said] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            said = box->text();
            box->close();
        }
    });
    QVERIFY(!about.OnLinkActivated());
    QCOMPARE(asked, QList<QUrl>{QUrl::fromLocalFile(readme)});
    QVERIFY2(said.contains(readme), qPrintable(said));

    // Opened: nothing more to say.
    opens = true;
    said.clear();
    QVERIFY(about.OnLinkActivated());
    QCOMPARE(asked.size(), 2);
    QVERIFY(said.isEmpty());
}

void MainFrameTest::dialogUnitsFollowFont()
{
    QFont small = CDialogUnits::DialogFont(QStringLiteral("MS Shell Dlg"), 8);
    QFont large = small;
    large.setPointSize(16);
    const CDialogUnits a(small);
    const CDialogUnits b(large);
    QVERIFY(a.BaseX() > 0 && a.BaseY() > 0);
    QCOMPARE(a.X(4), a.BaseX());
    QCOMPARE(a.Y(8), a.BaseY());
    QVERIFY(b.BaseX() > a.BaseX());
    QVERIFY(b.BaseY() > a.BaseY());
    // Edges convert, so neighbours stay neighbours.
    const QRect left = a.MapDialogRect(7, 7, 10, 5);
    const QRect right = a.MapDialogRect(17, 7, 13, 5);
    QCOMPARE(left.right() + 1, right.left());
}

void MainFrameTest::windowsFollowTheLocale_data()
{
    QTest::addColumn<QString>("lcAll");
    QTest::addColumn<QString>("lang");
    QTest::addColumn<bool>("english");
    QTest::newRow("en_US.UTF-8") << "" << "en_US.UTF-8" << true;
    QTest::newRow("LC_ALL en_GB over LANG zh_CN") << "en_GB.UTF-8" << "zh_CN.UTF-8" << true;
    QTest::newRow("zh_CN.UTF-8") << "" << "zh_CN.UTF-8" << false;
    QTest::newRow("C") << "C" << "en_US.UTF-8" << false;
    QTest::newRow("POSIX") << "POSIX" << "" << false;
    QTest::newRow("nothing set") << "" << "" << false;
    QTest::newRow("a language without texts") << "de_DE.UTF-8" << "" << false;
}

void MainFrameTest::windowsFollowTheLocale()
{
    QFETCH(QString, lcAll);
    QFETCH(QString, lang);
    QFETCH(bool, english);
    const QByteArray savedAll = qgetenv("LC_ALL");
    const QByteArray savedLang = qgetenv("LANG");
    const QByteArray savedMessages = qgetenv("LC_MESSAGES");
    auto restore = qScopeGuard([&] {
        qputenv("LC_ALL", savedAll);
        qputenv("LANG", savedLang);
        qputenv("LC_MESSAGES", savedMessages);
        InstallTranslations(LanguageOfLocale(MessagesLocale()));
    });
    qputenv("LC_ALL", lcAll.toLocal8Bit());
    qputenv("LANG", lang.toLocal8Bit());
    qunsetenv("LC_MESSAGES");
    QCOMPARE(LanguageOfLocale(MessagesLocale()), english ? CUiLanguage::English : CUiLanguage::Chinese);
    QVERIFY(InstallTranslations(LanguageOfLocale(MessagesLocale())));
    auto pick = [english](const char* en, const char* zh) {
        return QString::fromUtf8(english ? en : zh);
    };

    // The main window: menus, status bar, the LUN list's columns and menu.
    CMainFrame frame;
    QVERIFY(frame.Create());
    const QList<QAction*> menus = frame.menuBar()->actions();
    QCOMPARE(menus.value(0)->text(), pick("&File", "文件(&F)"));
    QCOMPARE(frame.Action(ID_FILE_NEW)->text(), pick("&Add Device\tCtrl+N", "添加设备(&N)\tCtrl+N"));
    QCOMPARE(frame.Action(ID_INIT_LUN_INFO)->text(), pick("Initialise LUN Information", "初始化lun信息"));
    QCOMPARE(frame.PaneLabel()->text(), pick("Current user:", "当前用户："));
    QCOMPARE(frame.windowTitle(), QStringLiteral("corvane recovery for hp eva 1.2"));
    QCOMPARE(frame.LunView()->Model()->headerData(0, Qt::Horizontal).toString(),
             pick("LUN Group", "Lun组"));
    QCOMPARE(frame.LunView()->LunMenu()->title(), pick("LUN Actions", "操作LUN"));
    QAction* resume = nullptr;
    for (QAction* a : frame.LunView()->LunMenu()->actions())
        if (a->data().toInt() == ID_EXPORT_RESUME)
            resume = a;
    QVERIFY(resume);
    QCOMPARE(resume->text(), pick("Resume export", "恢复导出"));

    // The dialogs.
    CSourceDialogs probeNothing;
    probeNothing.probeDrive = [](int) { return std::optional<QString>(); };
    CSourceDialogs::Install(probeNothing);
    auto realDialogs = qScopeGuard([] { CSourceDialogs::Install(CSourceDialogs::Defaults()); });
    CChooseDevice sources;
    QCOMPARE(sources.windowTitle(), pick("Choose Sources", "选择源"));
    QCOMPARE(sources.AddImageButton()->text(), pick("Add Image File", "添加镜像文件"));
    CExportSeting settings(nullptr, [](int) { return std::optional<CDriveRow>(); });
    QCOMPARE(settings.windowTitle(), pick("Export Settings", "导出设置"));
    QCOMPARE(settings.OkButton()->text(), pick("OK", "确定"));
    CAboutDlg about;
    QCOMPARE(about.windowTitle(), pick("About Corvane", "关于 Corvane"));
    DamageReportData clean;
    CDamageReport report(clean, {});
    QCOMPARE(report.Headline()->text(), pick("Export succeeded!", "导出成功！"));
    QCOMPARE(report.windowTitle(), pick("Export Report", "导出报告"));

    // Qt's own: standard buttons, the file dialog, its replace question.
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Yes | QDialogButtonBox::No);
    QCOMPARE(buttons.button(QDialogButtonBox::Ok)->text(), pick("OK", "确定"));
    QCOMPARE(buttons.button(QDialogButtonBox::Yes)->text(), pick("&Yes", "是(&Y)"));
    const QString replace = QCoreApplication::translate("QFileDialog", "%1 already exists.\nDo you want to replace it?");
    QCOMPARE(replace.startsWith(QStringLiteral("%1 已存在")), !english);
}

void MainFrameTest::cleanupTestCase()
{
    // An export still sending when its frame goes away is let go at once.
    auto* frame = new CMainFrame;
    QVERIFY(frame->Create());
    QCOMPARE(g_hMainFrame.Window(), frame);
    std::atomic<bool> back{false};
    bool delivered = true;
    std::thread worker([&] {
        int total = 1, done = 0;
        SendWindowMessage(g_hMainFrame, WM_EXPORT_PROGRESS, reinterpret_cast<WPARAM>(&total),
                          reinterpret_cast<LPARAM>(&done), &delivered);
        back = true;
    });
    QThread::msleep(50);
    // No event loop runs here: the worker waits until the frame is gone.
    const bool waited = !back.load();
    delete frame;
    worker.join();
    QVERIFY(waited);
    QVERIFY(!delivered);
    QVERIFY(!g_hMainFrame.IsWindow());
}

int main(int argc, char** argv)
{
    // A settings store of the test's own, empty at every run.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    // The program's own default language, whatever the machine's locale.
    qputenv("LC_ALL", "C.UTF-8");
    CTessalyApp app(argc, argv);
    MainFrameTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "ui_mainframe_test.moc"
