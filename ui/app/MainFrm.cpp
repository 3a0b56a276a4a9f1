#include "ui/app/MainFrm.h"

#include "ui/app/RecentFileList.h"
#include "ui/app/SplitterWnd.h"
#include "ui/app/TessalyDoc.h"
#include "ui/common/Busy.h"
#include "ui/common/Commands.h"
#include "ui/common/WindowMessages.h"
#include "ui/controls/TextProgressCtrl.h"
#include "ui/luns/TessalyView.h"
#include "ui/sources/LeftView.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

// Resources of a static library are registered by hand.
static void InitCorvaneResources()
{
    Q_INIT_RESOURCE(corvane);
}

namespace corvane::ui {

int CMainFrame::s_progressCalls = 0;

namespace {

CMainFrame::AddDeviceDialog& AddDeviceRunner()
{
    static CMainFrame::AddDeviceDialog run;
    return run;
}

// How often the toolbar's states follow the update functions while idle.
constexpr int kUpdateIntervalMs = 200;

} // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent)
{
    InitCorvaneResources();
    setObjectName(QStringLiteral("CMainFrame"));
    // The title never follows the document: it is always the program's name.
    setWindowTitle(tr("corvane recovery for hp eva 1.2"));
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/icons/corvane-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    setContextMenuPolicy(Qt::PreventContextMenu);
}

CMainFrame::~CMainFrame()
{
    // Export threads still running find the handle empty from here on, and
    // any of them waiting on a message is let go.
    g_hMainFrame.DetachIf(this);
    // An export still running is stopped and joined before the panes (and
    // the context the source tree holds) are taken apart.
    if (m_lunView)
        m_lunView->EndExportNow();
}

void CMainFrame::closeEvent(QCloseEvent* e)
{
    // An export running: the LUN list asks whether to stop it, and closes
    // the window itself once its threads have left.
    if (m_lunView && !m_lunView->CanCloseFrame()) {
        e->ignore();
        return;
    }
    QMainWindow::closeEvent(e);
}

void CMainFrame::SetAddDeviceDialog(AddDeviceDialog run) { AddDeviceRunner() = std::move(run); }

void CMainFrame::SetRouteTargets(CTessalyDoc* doc, CCmdTarget* app)
{
    m_doc = doc;
    m_app = app;
}

void CMainFrame::SetRecentFileList(const CRecentFileList* list)
{
    m_recent = list;
    UpdateRecentFileMenu();
}

bool CMainFrame::Create(const QSize& initialSize)
{
    resize(initialSize);
    const int clientWidth = initialSize.width();

    g_hMainFrame.Attach(this);
    CreateActions();
    CreateMenus();
    if (!CreateToolBar())
        return false;
    if (!CreateStatusBar(clientWidth))
        return false;
    if (!OnCreateClient(clientWidth))
        return false;

    m_updateTimer = new QTimer(this);
    m_updateTimer->setInterval(kUpdateIntervalMs);
    connect(m_updateTimer, &QTimer::timeout, this, [this] { UpdateCommandUI(); });
    m_updateTimer->start();
    // Keys are matched against the states of this moment, not of the last
    // idle update: a key must not miss a command that just became possible.
    qApp->installEventFilter(this);
    UpdateCommandUI();
    return true;
}

QAction* CMainFrame::MakeAction(int id, const QString& text, const QString& prompt,
                                const QList<QKeySequence>& keys, const QString& icon)
{
    auto* action = new QAction(text, this);
    action->setData(id);
    action->setObjectName(QStringLiteral("command_%1").arg(id));
    // A prompt is "status text\ntooltip".
    const qsizetype nl = prompt.indexOf(QLatin1Char('\n'));
    action->setStatusTip(nl < 0 ? prompt : prompt.left(nl));
    if (nl >= 0)
        action->setToolTip(prompt.mid(nl + 1));
    if (!keys.isEmpty())
        action->setShortcuts(keys);
    if (!icon.isEmpty())
        action->setIcon(QIcon(QStringLiteral(":/toolbar/%1.png").arg(icon)));
    // Menus show texts only, as the menu resource has no pictures.
    action->setIconVisibleInMenu(false);
    action->setEnabled(false);
    connect(action, &QAction::triggered, this, [this, id] { ExecuteCommand(id); });
    // Keys work whatever bar or menu shows the action, even a hidden one.
    addAction(action);
    m_actions[id] = action;
    return action;
}

void CMainFrame::CreateActions()
{
    using K = QKeySequence;
    MakeAction(ID_FILE_NEW, tr("添加设备(&N)\tCtrl+N"), tr("添加设备\n添加设备(Add)"),
               {K(Qt::CTRL | Qt::Key_N)}, QStringLiteral("file_new"));
    MakeAction(ID_FILE_OPEN, tr("打开(&O)..."), tr("打开现有文档\n打开"), {K(Qt::CTRL | Qt::Key_O)},
               QStringLiteral("file_open"));
    MakeAction(ID_FILE_SAVE, tr("保存(&S)"), tr("保存活动文档\n保存"), {K(Qt::CTRL | Qt::Key_S)},
               QStringLiteral("file_save"));
    MakeAction(ID_FILE_PRINT, tr("打印(&P)..."), tr("打印活动文档\n打印"), {},
               QStringLiteral("file_print"));
    for (int i = 0; i < kMaxRecentFiles; ++i)
        MakeAction(ID_FILE_MRU_FILE1 + i, i == 0 ? tr("最近的文件") : QString(), tr("打开此文档"));
    MakeAction(ID_APP_EXIT, tr("退出(&X)"), tr("退出应用程序；提示保存文档\n退出"));

    MakeAction(ID_EDIT_UNDO, tr("撤消(&U)"), tr("撤消上一操作\n撤消"),
               {K(Qt::CTRL | Qt::Key_Z), K(Qt::ALT | Qt::Key_Backspace)});
    MakeAction(ID_EDIT_CUT, tr("剪切(&T)"), tr("剪切所选内容，将其放入剪贴板\n剪切"),
               {K(Qt::CTRL | Qt::Key_X), K(Qt::SHIFT | Qt::Key_Delete)},
               QStringLiteral("edit_cut"));
    MakeAction(ID_EDIT_COPY, tr("复制(&C)"), tr("复制所选内容，将其放入剪贴板\n复制"),
               {K(Qt::CTRL | Qt::Key_C), K(Qt::CTRL | Qt::Key_Insert)},
               QStringLiteral("edit_copy"));
    MakeAction(ID_EDIT_PASTE, tr("粘贴(&P)"), tr("插入剪贴板内容\n粘贴"),
               {K(Qt::CTRL | Qt::Key_V), K(Qt::SHIFT | Qt::Key_Insert)},
               QStringLiteral("edit_paste"));
    MakeAction(ID_INIT_LUN_INFO, tr("初始化lun信息"), QString());
    MakeAction(ID_VIEW_MEMBER_MAP, tr("成员映射(&M)..."), tr("显示每个槽位由哪个源提供\n成员映射"));

    MakeAction(ID_VIEW_TOOLBAR, tr("工具栏(&T)"), tr("显示或隐藏工具栏\n切换工具栏"))
        ->setCheckable(true);
    MakeAction(ID_VIEW_STATUS_BAR, tr("状态栏(&S)"), tr("显示或隐藏状态栏\n切换状态栏"))
        ->setCheckable(true);
    MakeAction(ID_WINDOW_SPLIT, tr("拆分(&P)"), tr("将活动窗口拆分为多个窗格\n拆分"));
    MakeAction(ID_NEXT_PANE, tr("下一窗格"), tr("切换到下一个窗格\n下一窗格"), {K(Qt::Key_F6)});
    MakeAction(ID_PREV_PANE, tr("上一窗格"), tr("切换回上一个窗格\n上一窗格"),
               {K(Qt::SHIFT | Qt::Key_F6)});

    MakeAction(ID_VIEW_LARGEICON, tr("大图标(&G)"), tr("使用大图标显示项\n大图标"), {},
               QStringLiteral("view_largeicon"))
        ->setCheckable(true);
    MakeAction(ID_VIEW_SMALLICON, tr("小图标(&M)"), tr("使用小图标显示项\n小图标"), {},
               QStringLiteral("view_smallicon"))
        ->setCheckable(true);
    MakeAction(ID_VIEW_LIST, tr("列表(&L)"), tr("以列表方式显示项\n列表"), {},
               QStringLiteral("view_list"))
        ->setCheckable(true);
    MakeAction(ID_VIEW_DETAILS, tr("详细信息(&D)"), tr("显示窗口中每一项的相关信息\n详细信息"), {},
               QStringLiteral("view_details"))
        ->setCheckable(true);
    MakeAction(ID_VIEW_LINEUP, tr("对齐图标(&I)"), tr("以网格方式排列图标"));
    MakeAction(ID_VIEW_BYNAME, tr("按名称排序(&N)"), tr("按字母顺序对图标排序"));

    MakeAction(ID_APP_ABOUT, tr("关于 Corvane (&A)..."),
               tr("显示程序信息、版本号和版权信息\n关于"), {}, QStringLiteral("app_about"));
}

void CMainFrame::CreateMenus()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("IDR_MAINFRAME"));
    auto addMenu = [&](const QString& title, std::initializer_list<int> ids) {
        QMenu* menu = bar->addMenu(title);
        for (int id : ids) {
            if (id == 0)
                menu->addSeparator();
            else
                menu->addAction(m_actions.at(id));
        }
        connect(menu, &QMenu::aboutToShow, this, [this] {
            UpdateRecentFileMenu();
            UpdateCommandUI();
        });
        return menu;
    };
    m_fileMenu = addMenu(tr("文件(&F)"), {ID_FILE_NEW, 0, ID_FILE_MRU_FILE1, ID_FILE_MRU_FILE1 + 1,
                                         ID_FILE_MRU_FILE1 + 2, ID_FILE_MRU_FILE1 + 3, 0,
                                         ID_APP_EXIT});
    addMenu(tr("编辑(&E)"), {ID_INIT_LUN_INFO, ID_VIEW_MEMBER_MAP});
    addMenu(tr("视图(&V)"), {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_WINDOW_SPLIT});
    addMenu(tr("帮助(&H)"), {ID_APP_ABOUT});
    UpdateRecentFileMenu();
}

bool CMainFrame::CreateToolBar()
{
    m_wndToolBar = new QToolBar(this);
    m_wndToolBar->setObjectName(QStringLiteral("m_wndToolBar"));
    m_wndToolBar->setIconSize(QSize(16, 15));
    m_wndToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    // Gripper, docking on every side, floating.
    m_wndToolBar->setMovable(true);
    m_wndToolBar->setFloatable(true);
    m_wndToolBar->setAllowedAreas(Qt::AllToolBarAreas);
    const int buttons[] = {ID_FILE_NEW,       ID_FILE_OPEN,      ID_FILE_SAVE,   0,
                           ID_EDIT_CUT,       ID_EDIT_COPY,      ID_EDIT_PASTE,  0,
                           ID_FILE_PRINT,     0,                 ID_VIEW_LARGEICON,
                           ID_VIEW_SMALLICON, ID_VIEW_LIST,      ID_VIEW_DETAILS, ID_APP_ABOUT};
    for (int id : buttons) {
        if (id == 0)
            m_wndToolBar->addSeparator();
        else
            m_wndToolBar->addAction(m_actions.at(id));
    }
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);
    return true;
}

bool CMainFrame::CreateStatusBar(int clientWidth)
{
    m_wndStatusBar = new QStatusBar(this);
    m_wndStatusBar->setObjectName(QStringLiteral("m_wndStatusBar"));
    // The progress bar covers the pane; a grip beneath it could not be used.
    m_wndStatusBar->setSizeGripEnabled(false);
    setStatusBar(m_wndStatusBar);

    m_progress = new CTextProgressCtrl(m_wndStatusBar, PBS_SMOOTH);
    m_progress->setObjectName(QStringLiteral("IDC_EXPORT_PROGRESS"));
    m_progress->setProperty("controlId", IDC_EXPORT_PROGRESS);
    const int height = std::max(m_wndStatusBar->sizeHint().height(),
                                m_progress->sizeHint().height() + 4);
    m_wndStatusBar->setFixedHeight(height);

    // The one pane: as wide as the frame's client area when it is made, and
    // it keeps that width when the frame is resized.
    const QRect pane(2, 2, std::max(1, clientWidth - 4), height - 4);
    m_paneLabel = new QLabel(tr("当前用户："), m_wndStatusBar);
    m_paneLabel->setObjectName(QStringLiteral("pane0"));
    m_paneLabel->setIndent(2);
    m_paneLabel->setGeometry(pane);
    m_paneLabel->show();

    // The bar lies over the pane, at exactly its place and size, and is
    // never moved afterwards.
    m_progress->setGeometry(pane);
    m_progress->raise();
    m_progress->show();
    m_progress->SetWindowText(QStringLiteral("0M/0M"));
    return true;
}

void CMainFrame::SetMessageText(const QString& text)
{
    if (!m_messageLabel)
        return;
    // Whole, wrapped where it must be (paths break after their slashes), so
    // a failing source keeps its file name; selectable, so it can be copied.
    m_messageLabel->setText(text);
    m_messageLabel->setToolTip(text);
    m_messageLabel->setVisible(!text.isEmpty());
}

bool CMainFrame::OnCreateClient(int clientWidth)
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    m_wndSplitter = new CSplitterWnd(client);
    m_leftView = new CLeftView(m_wndSplitter);
    m_lunView = new CTessalyView(m_wndSplitter);
    m_wndSplitter->addWidget(m_leftView);
    m_wndSplitter->addWidget(m_lunView);
    connect(m_leftView, &CLeftView::statusMessage, this, &CMainFrame::SetMessageText);
    // The left column starts 300 wide; the right one takes what is left and
    // all later growth.
    m_wndSplitter->setStretchFactor(0, 0);
    m_wndSplitter->setStretchFactor(1, 1);
    m_wndSplitter->setSizes({300, std::max(100, clientWidth - 300)});

    // The message area is a strip of its own between the panes and the
    // status bar: over the bar it would hide the progress text, exactly
    // when a degraded group makes progress matter most.
    m_messageLabel = new QLabel(client);
    m_messageLabel->setObjectName(QStringLiteral("messageArea"));
    m_messageLabel->setFrameShape(QFrame::StyledPanel);
    m_messageLabel->setFrameShadow(QFrame::Sunken);
    m_messageLabel->setIndent(4);
    m_messageLabel->setWordWrap(true);
    m_messageLabel->setTextFormat(Qt::PlainText);
    m_messageLabel->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                            Qt::TextSelectableByKeyboard);
    // Never wider than the window: a long text wraps instead.
    m_messageLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_messageLabel->hide();

    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_wndSplitter, 1);
    layout->addWidget(m_messageLabel);
    setCentralWidget(client);
    m_leftView->setFocus(Qt::OtherFocusReason);
    return true;
}

QAction* CMainFrame::Action(int id) const
{
    const auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

bool CMainFrame::RouteUpdate(CCmdUI& ui)
{
    std::vector<CCmdTarget*> targets;
    if (m_wndSplitter) {
        const int active = std::max(0, m_wndSplitter->ActivePaneIndex());
        if (auto* t = dynamic_cast<CCmdTarget*>(m_wndSplitter->widget(active)))
            targets.push_back(t);
        for (int i = 0; i < m_wndSplitter->count(); ++i) {
            if (i == active)
                continue;
            if (auto* t = dynamic_cast<CCmdTarget*>(m_wndSplitter->widget(i)))
                targets.push_back(t);
        }
    }
    if (m_doc)
        targets.push_back(m_doc);
    targets.push_back(this);
    if (m_app)
        targets.push_back(m_app);

    for (CCmdTarget* target : targets) {
        CCmdUI state;
        state.id = ui.id;
        if (target->OnUpdateCmdUI(state)) {
            ui = state;
            ui.handledBy = target;
            return true;
        }
    }
    ui.enabled = false;
    ui.checked = false;
    ui.handledBy = nullptr;
    return false;
}

CCmdUI CMainFrame::QueryCommand(int id)
{
    CCmdUI ui;
    ui.id = id;
    RouteUpdate(ui);
    return ui;
}

bool CMainFrame::ExecuteCommand(int id)
{
    // Asked again here: a key may fire before the idle update has run.
    CCmdUI ui = QueryCommand(id);
    if (!ui.handledBy || !ui.enabled)
        return false;
    const bool ran = ui.handledBy->OnCmdMsg(id);
    UpdateCommandUI();
    return ran;
}

void CMainFrame::UpdateCommandUI()
{
    for (auto& [id, action] : m_actions) {
        const CCmdUI ui = QueryCommand(id);
        action->setEnabled(ui.enabled);
        if (action->isCheckable())
            action->setChecked(ui.checked);
    }
}

void CMainFrame::UpdateRecentFileMenu()
{
    const int count = m_recent ? int(m_recent->Files().size()) : 0;
    for (int i = 0; i < kMaxRecentFiles; ++i) {
        QAction* action = Action(ID_FILE_MRU_FILE1 + i);
        if (!action)
            continue;
        if (i < count) {
            action->setText(m_recent->MenuText(i));
            action->setVisible(true);
        } else {
            // An empty list shows its place, grayed, under this name.
            action->setText(i == 0 ? tr("最近的文件") : QString());
            action->setVisible(i == 0);
        }
    }
}

CTessalyView* CMainFrame::StyleTarget() const
{
    return m_wndSplitter ? qobject_cast<CTessalyView*>(m_wndSplitter->GetPane(0, 1)) : nullptr;
}

bool CMainFrame::OnUpdateViewStyle(CCmdUI& ui)
{
    CTessalyView* view = StyleTarget();
    if (!view) {
        ui.Enable(false);
        return true;
    }
    const std::uint32_t mode = view->GetViewMode() & LVS_TYPEMASK;
    switch (ui.id) {
    case ID_VIEW_SMALLICON:
        ui.SetRadio(mode == LVS_SMALLICON);
        break;
    case ID_VIEW_LARGEICON:
        ui.SetRadio(mode == LVS_ICON);
        break;
    case ID_VIEW_LIST:
        ui.SetRadio(mode == LVS_LIST);
        break;
    case ID_VIEW_DETAILS:
        ui.SetRadio(mode == LVS_REPORT);
        break;
    case ID_VIEW_LINEUP:
        // Lining up means something only for icons.
        ui.Enable((mode & LVS_REPORT) == 0);
        break;
    case ID_VIEW_BYNAME:
    default:
        break;
    }
    return true;
}

void CMainFrame::OnViewStyle(int id)
{
    CTessalyView* view = StyleTarget();
    if (!view)
        return;
    switch (id) {
    case ID_VIEW_SMALLICON:
        view->SetViewMode(LVS_SMALLICON);
        break;
    case ID_VIEW_LARGEICON:
        view->SetViewMode(LVS_ICON);
        break;
    case ID_VIEW_LIST:
        view->SetViewMode(LVS_LIST);
        break;
    case ID_VIEW_DETAILS:
        view->SetViewMode(LVS_REPORT);
        break;
    case ID_VIEW_LINEUP:
        view->Arrange();
        break;
    default:
        break;
    }
}

bool CMainFrame::OnUpdateCmdUI(CCmdUI& ui)
{
    switch (ui.id) {
    case ID_FILE_NEW:
        // No source may be added while a worker holds the context.
        ui.Enable(!IsBusy());
        return bool(AddDeviceRunner());
    case ID_VIEW_TOOLBAR:
        ui.SetCheck(m_wndToolBar && !m_wndToolBar->isHidden());
        return true;
    case ID_VIEW_STATUS_BAR:
        ui.SetCheck(m_wndStatusBar && !m_wndStatusBar->isHidden());
        return true;
    case ID_WINDOW_SPLIT:
        ui.Enable(m_wndSplitter && !m_wndSplitter->IsTracking());
        return true;
    case ID_NEXT_PANE:
    case ID_PREV_PANE:
        ui.Enable(m_wndSplitter && m_wndSplitter->CanActivateNext());
        return true;
    default:
        if (ui.id >= ID_VIEW_SMALLICON && ui.id <= ID_VIEW_BYNAME)
            return OnUpdateViewStyle(ui);
        return false;
    }
}

bool CMainFrame::OnCmdMsg(int id)
{
    switch (id) {
    case ID_FILE_NEW:
        // The dialog hands its sources to the source tree itself.
        if (AddDeviceRunner())
            AddDeviceRunner()(this);
        return true;
    case ID_VIEW_TOOLBAR:
        m_wndToolBar->setVisible(m_wndToolBar->isHidden());
        return true;
    case ID_VIEW_STATUS_BAR:
        m_wndStatusBar->setVisible(m_wndStatusBar->isHidden());
        return true;
    case ID_WINDOW_SPLIT:
        m_wndSplitter->DoKeyboardSplit();
        return true;
    case ID_NEXT_PANE:
    case ID_PREV_PANE:
        m_wndSplitter->ActivateNext(id == ID_PREV_PANE);
        return true;
    default:
        if (id >= ID_VIEW_SMALLICON && id <= ID_VIEW_BYNAME) {
            OnViewStyle(id);
            return true;
        }
        return false;
    }
}

LRESULT CMainFrame::OnExportProgress(WPARAM wParam, LPARAM lParam)
{
    if (!wParam || !lParam || !m_progress)
        return 0;
    const auto total = std::uint32_t(*reinterpret_cast<const std::int32_t*>(wParam));
    const auto done = std::uint32_t(*reinterpret_cast<const std::int32_t*>(lParam));

    // Each export sets its own range with its first message (done == 0), or
    // when a message of another total comes; the full 32-bit total counts.
    if (s_progressCalls == 0 || done == 0 || total != m_progressTotal) {
        m_progressTotal = total;
        m_progressShift = 0;
        while ((total >> m_progressShift) > std::uint32_t(INT_MAX))
            ++m_progressShift;
        // An empty export still shows its text: an empty range would not
        // paint at all.
        const int upper = std::max(1, int(total >> m_progressShift));
        m_progress->SetRange32(0, upper);
    }
    ++s_progressCalls;
    m_progress->SetPos(int(std::min<std::uint32_t>(done, total) >> m_progressShift));
    m_progress->SetWindowText(QString::asprintf("%lluM/%lluM",
                                                static_cast<unsigned long long>(done) * 8ULL,
                                                static_cast<unsigned long long>(total) * 8ULL));
    return 0;
}

bool CMainFrame::event(QEvent* e)
{
    if (auto* msg = CWindowMessage::Receive(e, WM_EXPORT_PROGRESS)) {
        msg->SetResult(OnExportProgress(msg->wParam(), msg->lParam()));
        return true;
    }
    return QMainWindow::event(e);
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::ShortcutOverride) {
        const auto* widget = qobject_cast<const QWidget*>(watched);
        if (widget && widget->window() == this)
            UpdateCommandUI();
    }
    return QMainWindow::eventFilter(watched, e);
}

void CMainFrame::changeEvent(QEvent* e)
{
    if (e->type() == QEvent::WindowTitleChange) {
        const QString title = tr("corvane recovery for hp eva 1.2");
        if (windowTitle() != title)
            setWindowTitle(title);
    }
    QMainWindow::changeEvent(e);
}

} // namespace corvane::ui
