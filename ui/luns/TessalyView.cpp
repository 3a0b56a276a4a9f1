#include "ui/luns/TessalyView.h"

#include "engine/Context.h"
#include "ui/common/WindowMessages.h"
#include "ui/luns/ExportDialogs.h"

#include <QHeaderView>
#include <QListView>
#include <QStyle>
#include <QStandardItemModel>
#include <QTableView>

namespace corvane::ui {

namespace {

// A LUN whose stripe records cover less than its header declares is shown
// with a warning sign; its tooltip gives both sizes. An export of it yields
// only the covered part.
void MarkShortCoverage(const QList<QStandardItem*>& row, const corvane::LunEntry& e,
                       const QStyle* style)
{
    if (!e.ShortCoverage())
        return;
    const QString tip =
        CTessalyView::tr("条带记录只覆盖 %1（%2 字节），LUN 声明大小为 %3（%4 字节）")
            .arg(FormatBytes(e.CoveredBytes()), QString::number(e.CoveredBytes()),
                 FormatBytes(e.DeclaredBytes()), QString::number(e.DeclaredBytes()));
    for (QStandardItem* item : row)
        item->setToolTip(tip);
    if (!row.isEmpty() && style)
        row.first()->setIcon(style->standardIcon(QStyle::SP_MessageBoxWarning));
}

} // namespace

CTessalyView::CTessalyView(QWidget* parent)
    : QStackedWidget(parent),
      m_model(new QStandardItemModel(this)),
      m_report(new QTableView(this)),
      m_icons(new QListView(this))
{
    setObjectName(QStringLiteral("CTessalyView"));
    m_report->setModel(m_model);
    m_report->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_report->setShowGrid(true);
    m_report->verticalHeader()->hide();
    m_report->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_icons->setModel(m_model);
    // One selection for both faces, so a switch keeps the chosen row.
    m_icons->setSelectionModel(m_report->selectionModel());
    addWidget(m_report);
    addWidget(m_icons);
    SetViewMode(LVS_REPORT);
    SetUpColumns();
    SetUpExportSide();
    g_hLunView.Attach(this);
}

CTessalyView::~CTessalyView()
{
    // No message may reach the view once it is being taken apart.
    g_hLunView.DetachIf(this);
}

void CTessalyView::SetUpColumns()
{
    // Report mode, grid lines, whole rows selected; three left-aligned
    // columns 200 pixels wide.
    m_model->setColumnCount(3);
    m_model->setHorizontalHeaderLabels({tr("Lun组"), tr("id"), tr("大小")});
    for (int c = 0; c < 3; ++c)
        m_report->setColumnWidth(c, 200);
    m_report->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_report->setShowGrid(true);
    m_report->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_icons->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

corvane::LunEntry* CTessalyView::RowEntry(int row) const
{
    if (row < 0 || row >= m_model->rowCount())
        return nullptr;
    const QStandardItem* item = m_model->item(row, 0);
    if (!item)
        return nullptr;
    return reinterpret_cast<corvane::LunEntry*>(item->data(kLunEntryRole).value<quintptr>());
}

bool CTessalyView::event(QEvent* e)
{
    if (auto* msg = CWindowMessage::Receive(e, WM_SHOW_LUNS)) {
        msg->SetResult(OnShowLuns(msg->wParam(), msg->lParam()));
        return true;
    }
    return QStackedWidget::event(e);
}

LRESULT CTessalyView::OnShowLuns(WPARAM, LPARAM lParam)
{
    m_pContext = reinterpret_cast<corvane::EvaContext*>(lParam);
    // An analysis starts from an emptied list, so rows of the last one
    // (whose entries it freed) cannot be exported.
    m_model->removeRows(0, m_model->rowCount());
    m_nSelected = -1;
    if (!m_pContext)
        return 0;
    const size_t n = m_pContext->lunList.size();
    for (size_t i = 0; i < n; ++i) {
        corvane::LunEntry* e = m_pContext->lunList[i].get();
        // Printed as signed 32-bit numbers, the size from its low 32 bits.
        auto* group = new QStandardItem(QString::asprintf("%d", std::int32_t(e->group)));
        auto* id = new QStandardItem(QString::asprintf("%d", std::int32_t(e->id)));
        auto* size = new QStandardItem(
            QString::asprintf("%dG", std::int32_t(std::uint32_t(e->sizeGiB & 0xFFFFFFFFu))));
        group->setData(QVariant::fromValue(quintptr(e)), kLunEntryRole);
        MarkShortCoverage({group, id, size}, *e, style());
        m_model->appendRow({group, id, size});
    }
    return 0;
}

void CTessalyView::SetViewMode(std::uint32_t mode)
{
    const bool hadFocus = currentWidget() && currentWidget()->hasFocus();
    m_mode = mode & LVS_TYPEMASK;
    if (m_mode == LVS_REPORT) {
        setCurrentWidget(m_report);
    } else {
        m_icons->setViewMode(m_mode == LVS_ICON ? QListView::IconMode : QListView::ListMode);
        m_icons->setIconSize(m_mode == LVS_ICON ? QSize(32, 32) : QSize(16, 16));
        // Small icons fill rows left to right, the list fills columns.
        m_icons->setFlow(m_mode == LVS_LIST ? QListView::TopToBottom : QListView::LeftToRight);
        m_icons->setWrapping(true);
        m_icons->setResizeMode(QListView::Adjust);
        setCurrentWidget(m_icons);
    }
    setFocusProxy(currentWidget());
    if (hadFocus)
        currentWidget()->setFocus();
}

void CTessalyView::Arrange()
{
    if (m_mode == LVS_ICON || m_mode == LVS_SMALLICON)
        m_icons->doItemsLayout();
}

} // namespace corvane::ui
