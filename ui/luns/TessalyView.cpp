#include "ui/luns/TessalyView.h"

#include "engine/Context.h"
#include "ui/common/WindowMessages.h"

#include <QHeaderView>
#include <QListView>
#include <QStandardItemModel>
#include <QTableView>

namespace corvane::ui {

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
