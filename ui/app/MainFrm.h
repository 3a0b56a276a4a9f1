// The main window: menu, accelerators, toolbar, a splitter with the source
// tree on the left and the LUN list on the right, and a status bar whose one
// pane is covered by the export progress bar.
//
// Every command is one QAction (menu entry, toolbar button and keys alike)
// carrying its command id. Its enabled and checked states come from the
// update functions of the command targets, asked in routing order: the pane
// with the focus, the other pane, the document, the frame, the application.
// An id nobody answers for stays disabled.
#pragma once

#include "ui/common/CmdTarget.h"
#include "ui/common/MessageTypes.h"

#include <QMainWindow>
#include <QRect>

#include <cstdint>
#include <functional>
#include <map>

QT_BEGIN_NAMESPACE
class QAction;
class QLabel;
class QMenu;
class QStatusBar;
class QTimer;
class QToolBar;
QT_END_NAMESPACE

namespace corvane::ui {

class CLeftView;
class CRecentFileList;
class CSplitterWnd;
class CTessalyDoc;
class CTessalyView;
class CTextProgressCtrl;

class CMainFrame : public QMainWindow, public CCmdTarget {
    Q_OBJECT

public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Builds bars, progress bar and client area at the given size. False
    // when any part cannot be made.
    bool Create(const QSize& initialSize = QSize(960, 600));

    // Where commands the panes and the frame do not take go next.
    void SetRouteTargets(CTessalyDoc* doc, CCmdTarget* app);
    // The list the File menu shows (not owned).
    void SetRecentFileList(const CRecentFileList* list);

    // The source selection dialog, run modally by the add-device command
    // with the frame as parent. Until one is installed the command stays
    // disabled.
    using AddDeviceDialog = std::function<void(QWidget* parent)>;
    static void SetAddDeviceDialog(AddDeviceDialog run);

    QAction* Action(int id) const;
    // The state the update functions give id now (disabled when no target
    // answers for it).
    CCmdUI QueryCommand(int id);
    // Runs id if it is enabled now; true when a target ran it.
    bool ExecuteCommand(int id);
    // Runs every update function and applies the states to the actions.
    void UpdateCommandUI();

    CSplitterWnd* Splitter() const { return m_wndSplitter; }
    CLeftView* LeftView() const { return m_leftView; }
    CTessalyView* LunView() const { return m_lunView; }
    QToolBar* ToolBar() const { return m_wndToolBar; }
    QStatusBar* StatusBar() const { return m_wndStatusBar; }
    CTextProgressCtrl* Progress() const { return m_progress; }
    // The status bar pane's own text, beneath the progress bar.
    QLabel* PaneLabel() const { return m_paneLabel; }
    // The message area, a strip above the status bar: what the last
    // analysis left to say (missing slots, where it failed), in full.
    // Hidden while empty.
    QLabel* MessageLabel() const { return m_messageLabel; }
    void SetMessageText(const QString& text);
    QMenu* FileMenu() const { return m_fileMenu; }

    // WM_EXPORT_PROGRESS: wParam -> int32 total, lParam -> int32 done.
    LRESULT OnExportProgress(WPARAM wParam, LPARAM lParam);
    // Progress messages handled since start-up.
    static int s_progressCalls;

    bool OnUpdateCmdUI(CCmdUI& ui) override;
    bool OnCmdMsg(int id) override;

protected:
    bool event(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    QAction* MakeAction(int id, const QString& text, const QString& prompt,
                        const QList<QKeySequence>& keys = {}, const QString& icon = QString());
    void CreateActions();
    void CreateMenus();
    bool CreateToolBar();
    bool CreateStatusBar(int clientWidth);
    bool OnCreateClient(int clientWidth);
    bool RouteUpdate(CCmdUI& ui);
    void UpdateRecentFileMenu();
    CTessalyView* StyleTarget() const;
    bool OnUpdateViewStyle(CCmdUI& ui);
    void OnViewStyle(int id);

    CSplitterWnd* m_wndSplitter = nullptr;
    QToolBar* m_wndToolBar = nullptr;
    QStatusBar* m_wndStatusBar = nullptr;
    CTextProgressCtrl* m_progress = nullptr;
    QLabel* m_paneLabel = nullptr;
    QLabel* m_messageLabel = nullptr;
    CLeftView* m_leftView = nullptr;
    CTessalyView* m_lunView = nullptr;
    QMenu* m_fileMenu = nullptr;
    QTimer* m_updateTimer = nullptr;

    std::map<int, QAction*> m_actions;
    CTessalyDoc* m_doc = nullptr;
    CCmdTarget* m_app = nullptr;
    const CRecentFileList* m_recent = nullptr;

    // The export whose range the bar shows: its total, and how far totals
    // beyond the int range are shifted down to fit the bar.
    std::uint32_t m_progressTotal = 0;
    int m_progressShift = 0;
};

} // namespace corvane::ui
