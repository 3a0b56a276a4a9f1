#include "ui/sources/LeftView.h"

#include "engine/Analysis.h"
#include "engine/Context.h"
#include "engine/Errors.h"
#include "engine/Exclude.h"
#include "engine/Report.h"
#include "probe/LunContent.h"
#include "ui/common/Busy.h"
#include "ui/common/Commands.h"
#include "ui/common/WindowMessages.h"
#include "ui/sources/MemberMapDlg.h"
#include "ui/sources/SourceDialogs.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QStyle>
#include <QStringList>

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>

namespace corvane::ui {

namespace {

// Worker -> source tree, on the user-interface thread: the analysis has
// ended; lParam points at an AnalysisOutcome that lives during the call.
const QEvent::Type kAnalysisDone = QEvent::Type(QEvent::registerEventType());

struct AnalysisOutcome {
    const CLeftView* view;
    const AnalysisResult* result;
};

QString SlotText(std::uint8_t row, std::uint8_t column)
{
    return QStringLiteral("(%1,%2)").arg(row).arg(column);
}

// The tooltip of a source item after an analysis: how the member was taken.
QString MemberToolTip(const MemberSummary& m, const QStringList& slots)
{
    QString text;
    if (!m.identified)
        text = CLeftView::tr("无成员标记：前 1 KiB 无法读取");
    else if (m.tagged)
        text = CLeftView::tr("磁盘 id：%1").arg(m.diskId);
    else
        text = CLeftView::tr("无成员标记（磁盘 id：%1）").arg(m.diskId);
    if (m.replacedByDuplicate)
        text += CLeftView::tr("\n后面的源带有同一磁盘 id，取代了它");
    if (!slots.isEmpty())
        text += CLeftView::tr("\n槽位（行,列）：%1").arg(slots.join(QLatin1Char(' ')));
    return text;
}

} // namespace

CLeftView::CLeftView(QWidget* parent)
    : QTreeWidget(parent), m_context(std::make_unique<corvane::EvaContext>())
{
    setObjectName(QStringLiteral("CLeftView"));
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Full names, with a horizontal scroll bar when the pane is narrower
    // than a path, as a tree control shows them; never cut with "...".
    header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    setTextElideMode(Qt::ElideNone);

    m_removeAction = new QAction(tr("移除源(&R)"), this);
    m_removeAction->setObjectName(QStringLiteral("removeSource"));
    m_removeAction->setShortcut(QKeySequence::Delete);
    m_removeAction->setShortcutContext(Qt::WidgetShortcut);
    connect(m_removeAction, &QAction::triggered, this, [this] { OnRemoveSource(); });
    m_memberMapAction = new QAction(tr("成员映射(&M)..."), this);
    m_memberMapAction->setObjectName(QStringLiteral("memberMap"));
    connect(m_memberMapAction, &QAction::triggered, this, [this] { OnMemberMap(); });
    m_excludeAction = new QAction(tr("排除(&X)"), this);
    m_excludeAction->setObjectName(QStringLiteral("excludeSource"));
    m_excludeAction->setCheckable(true);
    m_excludeAction->setToolTip(tr("打开本源，但按缺失处理：下次导出由校验重建它的段（例如过时的成员）"));
    connect(m_excludeAction, &QAction::triggered, this, [this](bool on) {
        if (QTreeWidgetItem* item = currentItem(); item && item->parent() == m_hRoot)
            SetExcluded(m_hRoot->indexOfChild(item), on);
    });

    OnInitialUpdate();
}

CLeftView::~CLeftView()
{
    // No message may reach the view once it is being taken apart; a worker
    // waiting on the view is let go.
    g_hLeftView.DetachIf(this);
    if (m_worker.joinable()) {
        // The analysis cannot be interrupted, and the context it works on
        // goes with this view: wait for it. A worker waiting on the LUN list
        // would wait for this very thread, so it is let go first.
        if (!m_workerDone.load())
            g_hLunView.Detach();
        m_worker.join();
    }
}

void CLeftView::OnInitialUpdate()
{
    g_hLeftView.Attach(this);
    // Buttons, lines, lines at the root.
    setRootIsDecorated(true);
    setItemsExpandable(true);
    m_hRoot = new QTreeWidgetItem(this, {QStringLiteral("Root")});
}

QTreeWidgetItem* CLeftView::SourceItem(int index) const
{
    if (!m_hRoot || index < 0 || index >= m_hRoot->childCount())
        return nullptr;
    return m_hRoot->child(index);
}

LRESULT CLeftView::OnAddSource(WPARAM wParam, LPARAM lParam)
{
    const auto* text = reinterpret_cast<const char16_t*>(lParam);
    if (!text || !*text || !m_hRoot)
        return 0;
    const std::u16string name(text);
    if (IsBusy()) {
        // Unreachable through the dialog (add-device is disabled meanwhile),
        // but the context must not change under a worker.
        ShowMessage(tr("正在分析或导出，源 %1 未添加。").arg(QString::fromStdU16String(name)));
        return 0;
    }
    std::string narrow;
    try {
        narrow = corvane::ToOemPath(name);
    } catch (const std::exception& e) {
        // A name with no narrow form cannot be opened by the analysis:
        // say so and add nothing; the program goes on.
        ShowMessage(QString::fromStdString(corvane::MessageText(e.what())));
        return 0;
    }
    // wParam: the image's ddrescue mapfile (UTF-16), or none.
    const auto* mapText = reinterpret_cast<const char16_t*>(wParam);
    const std::u16string mapName = mapText ? std::u16string(mapText) : std::u16string();
    std::string mapNarrow;
    if (!mapName.empty()) {
        try {
            mapNarrow = corvane::ToOemPath(mapName);
        } catch (const std::exception& e) {
            ShowMessage(QString::fromStdString(corvane::MessageText(e.what())));
            return 0;
        }
    }
    auto* item = new QTreeWidgetItem(m_hRoot, {QString::fromStdU16String(name)});
    item->setToolTip(0, item->text(0));
    if (!mapName.empty()) {
        auto* map = new QTreeWidgetItem(item, {tr("映射文件：%1").arg(QString::fromStdU16String(mapName))});
        map->setToolTip(0, tr("GNU ddrescue 映射文件：其中未标记为 + 的字节按不可读处理"));
        expandItem(item);
    }
    expandItem(m_hRoot);
    m_context->sources.push_back({std::move(narrow), std::move(mapNarrow)});
    return 0;
}

bool CLeftView::OnRemoveSource()
{
    QTreeWidgetItem* item = currentItem();
    if (!item || item->parent() != m_hRoot || IsBusy())
        return false;
    const int index = m_hRoot->indexOfChild(item);
    if (index < 0 || size_t(index) >= m_context->sources.size())
        return false;
    std::erase(m_context->exclude, m_context->sources[size_t(index)].path);
    m_context->sources.erase(m_context->sources.begin() + index);
    delete item;
    // The last analysis read the removed source: its LUN list, and the
    // members it keeps open, must not be exported from any more. The list
    // is emptied first (its rows point at the entries about to go).
    if (!m_context->members.empty() || !m_context->lunList.empty()) {
        SendWindowMessage(g_hLunView, WM_SHOW_LUNS, 0, 0);
        m_context->ResetAnalysis();
        ClearAnalysisMarks();
    }
    return true;
}

CMemberMapDlg* CLeftView::OnMemberMap()
{
    if (IsBusy() || m_context->members.empty())
        return nullptr;
    auto* dlg = new CMemberMapDlg(Summarize(*m_context), this);
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    connect(dlg, &CMemberMapDlg::excludeToggled, this, [this](int member, bool on) { SetExcluded(member, on); });
    dlg->open();
    return dlg;
}

bool CLeftView::IsExcluded(int index) const
{
    if (index < 0 || size_t(index) >= m_context->sources.size())
        return false;
    const std::string& path = m_context->sources[size_t(index)].path;
    return std::find(m_context->exclude.begin(), m_context->exclude.end(), path) != m_context->exclude.end();
}

bool CLeftView::SetExcluded(int index, bool excluded)
{
    if (IsBusy() || index < 0 || size_t(index) >= m_context->sources.size() || IsExcluded(index) == excluded)
        return false;
    const std::string& path = m_context->sources[size_t(index)].path;
    if (excluded)
        m_context->exclude.push_back(path);
    else
        std::erase(m_context->exclude, path);
    // The members of the last analysis are open: the map changes now, so
    // the next export (and the member map) sees it without a new analysis.
    if (!m_context->members.empty()) {
        std::string error;
        if (!ExcludeSources(*m_context, m_context->exclude, error))
            ShowMessage(QString::fromStdString(error));
    }
    MarkExcluded(index);
    return true;
}

void CLeftView::MarkExcluded(int index)
{
    QTreeWidgetItem* item = SourceItem(index);
    if (!item)
        return;
    QFont font = item->font(0);
    font.setStrikeOut(IsExcluded(index));
    item->setFont(0, font);
    const QString note = tr("已排除：按缺失处理，导出时由校验重建");
    QString tip = item->toolTip(0);
    tip.remove(QLatin1Char('\n') + note);
    if (IsExcluded(index))
        tip += QLatin1Char('\n') + note;
    item->setToolTip(0, tip);
}

void CLeftView::OnInitLunInfo()
{
    if (!TryBeginBusy(BusyJob::Analysis))
        return;
    JoinWorker();
    if (!m_context->sources.empty()) {
        // The analysis is about to free the LUN entries the list's rows
        // point at: the rows and the marks of the last analysis go first.
        ClearAnalysisMarks();
        SendWindowMessage(g_hLunView, WM_SHOW_LUNS, 0, 0);
    }
    m_workerDone = false;
    try {
        m_worker = std::thread([this] { RunAnalysis(this); });
    } catch (const std::system_error&) {
        m_workerDone = true;
        EndBusy(BusyJob::Analysis);
        ShowMessage(QString::fromUtf8(corvane::CodeText(corvane::kCreateThreadFailed)));
    }
}

unsigned CLeftView::RunAnalysis(CLeftView* view)
{
    // Never throws: every failure comes back with its code and text.
    const AnalysisResult result = corvane::RunAnalysis(*view->m_context);
    if (result.ok()) {
        // Synchronous: the list fills its rows while this thread waits, so
        // the context does not change under it.
        SendWindowMessage(g_hLunView, WM_SHOW_LUNS, 0,
                          reinterpret_cast<LPARAM>(view->m_context.get()));
    }
    const AnalysisOutcome outcome{view, &result};
    SendWindowMessage(g_hLeftView, kAnalysisDone, 0, reinterpret_cast<LPARAM>(&outcome));
    // What each LUN holds, for its row's tooltip, once the list shows them.
    try {
        for (size_t i = 0; result.ok() && i < view->m_context->lunList.size(); ++i) {
            const corvane::LunEntry& lun = *view->m_context->lunList[i];
            const corvane::LunContent content = corvane::ProbeLun(*view->m_context, lun);
            bool delivered = false;
            SendWindowMessage(g_hLunView, LunContentMessage(), reinterpret_cast<WPARAM>(&lun),
                              reinterpret_cast<LPARAM>(&content), &delivered);
            if (!delivered)
                break; // the list has gone
        }
    } catch (const std::exception&) {
        // No thread or memory for the probe: the rows keep their tooltips.
    }
    view->m_workerDone = true;
    EndBusy(BusyJob::Analysis);
    QMetaObject::invokeMethod(view, [view] { view->OnWorkerEnded(); }, Qt::QueuedConnection);
    return 0;
}

void CLeftView::OnAnalysisDone(const AnalysisResult& result)
{
    const AnalysisSummary summary = Summarize(*m_context);
    for (size_t i = 0; i < summary.members.size(); ++i) {
        QTreeWidgetItem* item = SourceItem(int(i));
        if (!item)
            break;
        QStringList slots;
        for (const MapCell& cell : summary.memberMap)
            if (cell.member == i)
                slots << SlotText(cell.row, cell.column);
        item->setToolTip(0, item->text(0) + QLatin1Char('\n') +
                                MemberToolTip(summary.members[i], slots));
        MarkExcluded(int(i));
    }
    // A source left out is marked where the user looks for it.
    QStringList warned;
    for (const SourceWarning& w : summary.warnings) {
        warned << SourceWarningLine(summary, w);
        if (QTreeWidgetItem* item = SourceItem(int(w.member))) {
            item->setIcon(0, style()->standardIcon(QStyle::SP_MessageBoxWarning));
            item->setToolTip(0, item->toolTip(0) + QLatin1Char('\n') + SourceWarningReason(summary, w));
        }
    }
    const QString warnings =
        warned.isEmpty() ? QString() : tr("警告：%1").arg(warned.join(QStringLiteral("；")));

    switch (result.status) {
    case AnalysisResult::Status::Ok: {
        QStringList missing;
        for (const SlotKey& slot : summary.missingSlots)
            missing << SlotText(slot.row, slot.column);
        QStringList parts;
        if (!warnings.isEmpty())
            parts << warnings;
        if (!missing.isEmpty())
            parts << tr("缺少成员的槽位（行,列）：%1").arg(missing.join(QLatin1Char(' ')));
        QStringList excluded;
        for (const MemberSummary& m : summary.members)
            if (m.excluded)
                excluded << SourceShortName(m.source);
        if (!excluded.isEmpty())
            parts << tr("已排除（按缺失处理）：%1").arg(excluded.join(QLatin1Char(' ')));
        SetStatusText(parts.join(QStringLiteral("；")));
        break;
    }
    case AnalysisResult::Status::NoSources:
        ShowMessage(QString::fromUtf8(corvane::kNoSourcesText));
        break;
    case AnalysisResult::Status::Failed:
        // The box shows the code's text alone; what the engine knows about
        // where it happened goes to the status line.
        SetStatusText((result.reason.empty()
                           ? QString::fromStdString(result.text)
                           : QStringLiteral("%1 %2").arg(QString::fromStdString(result.text),
                                                         QString::fromStdString(result.reason))) +
                      (warnings.isEmpty() ? QString() : QStringLiteral("；") + warnings));
        ShowMessage(QString::fromStdString(result.text));
        break;
    }
}

void CLeftView::ClearAnalysisMarks()
{
    for (int i = 0; m_hRoot && i < m_hRoot->childCount(); ++i) {
        m_hRoot->child(i)->setToolTip(0, m_hRoot->child(i)->text(0));
        m_hRoot->child(i)->setIcon(0, QIcon());
        MarkExcluded(i);
    }
    SetStatusText(QString());
}

void CLeftView::OnWorkerEnded()
{
    JoinWorker();
    Q_EMIT analysisFinished();
}

void CLeftView::JoinWorker()
{
    // Only a worker that has said it is done: the join is then immediate.
    if (m_worker.joinable() && m_workerDone.load())
        m_worker.join();
}

void CLeftView::ShowMessage(const QString& text)
{
    const auto& box = CSourceDialogs::Current().messageBox;
    if (box)
        box(this, text, SourceCaption());
}

void CLeftView::SetStatusText(const QString& text)
{
    m_statusText = text;
    Q_EMIT statusMessage(text);
}

bool CLeftView::OnUpdateCmdUI(CCmdUI& ui)
{
    switch (ui.id) {
    case ID_INIT_LUN_INFO:
        // The context has no lock: one analysis or export at a time.
        ui.Enable(!IsBusy());
        return true;
    case ID_VIEW_MEMBER_MAP:
        ui.Enable(!IsBusy() && !m_context->members.empty());
        return true;
    default:
        return false;
    }
}

bool CLeftView::OnCmdMsg(int id)
{
    switch (id) {
    case ID_INIT_LUN_INFO:
        OnInitLunInfo();
        return true;
    case ID_VIEW_MEMBER_MAP:
        OnMemberMap();
        return true;
    default:
        return false;
    }
}

bool CLeftView::event(QEvent* e)
{
    if (auto* msg = CWindowMessage::Receive(e, WM_ADD_SOURCE)) {
        msg->SetResult(OnAddSource(msg->wParam(), msg->lParam()));
        return true;
    }
    if (auto* msg = CWindowMessage::Receive(e, kAnalysisDone)) {
        const auto* outcome = reinterpret_cast<const AnalysisOutcome*>(msg->lParam());
        // Only the outcome of this view's own worker marks this tree.
        if (outcome && outcome->view == this && outcome->result)
            OnAnalysisDone(*outcome->result);
        msg->SetResult(0);
        return true;
    }
    return QTreeWidget::event(e);
}

void CLeftView::keyPressEvent(QKeyEvent* e)
{
    if (e->matches(QKeySequence::Delete)) {
        OnRemoveSource();
        e->accept();
        return;
    }
    QTreeWidget::keyPressEvent(e);
}

void CLeftView::contextMenuEvent(QContextMenuEvent* e)
{
    QTreeWidgetItem* item = itemAt(viewport()->mapFromGlobal(e->globalPos()));
    if (e->reason() == QContextMenuEvent::Keyboard)
        item = currentItem();
    const bool source = item && item->parent() == m_hRoot;
    if (source)
        setCurrentItem(item);
    m_removeAction->setEnabled(!IsBusy());
    m_memberMapAction->setEnabled(!IsBusy() && !m_context->members.empty());
    m_excludeAction->setEnabled(!IsBusy());
    QMenu menu(this);
    if (source) {
        m_excludeAction->setChecked(IsExcluded(m_hRoot->indexOfChild(item)));
        menu.addAction(m_excludeAction);
        menu.addAction(m_removeAction);
    }
    menu.addAction(m_memberMapAction);
    menu.exec(e->globalPos());
}

} // namespace corvane::ui
