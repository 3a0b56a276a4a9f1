#include "ui/luns/TessalyView.h"

#include "engine/Address.h"
#include "engine/Context.h"
#include "engine/Report.h"
#include "probe/LunContent.h"
#include "ui/common/Busy.h"
#include "ui/common/WindowMessages.h"
#include "ui/luns/ExportDialogs.h"
#include "ui/sources/MemberMapDlg.h"

#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QListView>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableView>

#include <set>
#include <utility>

namespace corvane::ui {

namespace {

// Slots a stripe record's five segments (four data, one parity) lie in.
constexpr unsigned kSegmentsPerStripe = 5;

// What the analysis knows about a LUN beyond the three columns: its exact
// size, how much of it the stripe records cover, and the sources an export
// of it reads (members of the slots its records name, in source order),
// with the slots that have no member and the warnings that concern it.
QString LunToolTip(const corvane::EvaContext* ctx, const corvane::AnalysisSummary& summary,
                   const corvane::LunEntry& e)
{
    QStringList lines;
    lines << CTessalyView::tr("LUN 组 %1，id %2").arg(e.group).arg(e.id);
    lines << CTessalyView::tr("声明大小：%1 字节（%2）")
                 .arg(QString::number(e.DeclaredBytes()), FormatBytes(e.DeclaredBytes()));
    lines << CTessalyView::tr("条带记录：%1 个，覆盖 %2 字节（%3）")
                 .arg(e.stripeRecords.size())
                 .arg(QString::number(e.CoveredBytes()), FormatBytes(e.CoveredBytes()));
    // The sizes are in the two lines above.
    if (e.ShortCoverage())
        lines << CTessalyView::tr("条带记录只覆盖声明大小的一部分：导出只含覆盖的部分。");
    if (!ctx)
        return lines.join(QLatin1Char('\n'));

    std::set<const corvane::MemberDisk*> used;
    std::set<std::pair<unsigned, unsigned>> empty;
    for (const corvane::LayoutRecord& r : e.stripeRecords) {
        for (unsigned p = 0; p < kSegmentsPerStripe; ++p) {
            const unsigned row = r.row();
            const unsigned column = corvane::PositionColumn(r, p);
            if (!corvane::InMatrix(row, column))
                continue;
            const corvane::MemberDisk* m = corvane::MemberAt(*ctx, row, column);
            if (m && !corvane::IsSlotMissing(*ctx, row, column))
                used.insert(m);
            else
                empty.insert({row, column});
        }
    }
    QStringList sources;
    for (const auto& m : ctx->members)
        if (used.count(m.get()))
            sources << QStringLiteral("  ") + QFile::decodeName(QByteArray::fromStdString(m->source));
    lines << CTessalyView::tr("读取的源（%1 个）：").arg(sources.size());
    lines << sources;
    if (!empty.empty()) {
        QStringList slots;
        for (const auto& [row, column] : empty)
            slots << QStringLiteral("(%1,%2)").arg(row).arg(column);
        lines << CTessalyView::tr("没有成员的槽位（行,列）：%1").arg(slots.join(QLatin1Char(' ')));
    }
    // A warning concerns the LUN when it names a source the LUN reads; when
    // slots of the LUN have no member, also every source left out, since
    // that may be the member the slot misses.
    const auto reads = [&](size_t member) {
        return member < ctx->members.size() && used.count(ctx->members[member].get());
    };
    QStringList warned;
    for (const corvane::SourceWarning& w : summary.warnings)
        if (!empty.empty() || reads(w.member) || reads(w.other))
            warned << QStringLiteral("  ") + SourceWarningLine(summary, w);
    if (!warned.isEmpty()) {
        lines << CTessalyView::tr("警告（%1 个）：").arg(warned.size());
        lines << warned;
    }
    return lines.join(QLatin1Char('\n'));
}

QString FileSystemText(const corvane::FileSystemInfo& fs)
{
    if (!fs.Recognised())
        return CTessalyView::tr("未识别到文件系统");
    QString s = QString::fromStdString(fs.type);
    if (!fs.label.empty())
        s += CTessalyView::tr("，卷标“%1”").arg(QString::fromStdString(fs.label));
    if (!fs.uuid.empty())
        s += CTessalyView::tr("，UUID %1").arg(QString::fromStdString(fs.uuid));
    return s;
}

// What the probe found in a LUN, for the end of its tooltip.
QStringList ContentLines(const corvane::LunContent& c)
{
    QStringList lines;
    if (!c.Recognised())
        lines << CTessalyView::tr("内容：未识别到任何内容");
    if (!c.tableType.empty()) {
        lines << CTessalyView::tr("分区表：%1，%2 个分区").arg(QString::fromStdString(c.tableType)).arg(c.partitions.size());
        for (const corvane::PartitionInfo& p : c.partitions)
            lines << CTessalyView::tr("  分区 %1：起始 %2 字节，大小 %3，类型 %4：%5")
                         .arg(p.number)
                         .arg(QString::number(p.start), FormatBytes(p.size), QString::fromStdString(p.type),
                              p.extended ? CTessalyView::tr("扩展分区") : FileSystemText(p.fs));
    }
    if (c.fs.Recognised())
        lines << CTessalyView::tr("整个 LUN 的文件系统：%1").arg(FileSystemText(c.fs));
    if (c.lostBytes != 0)
        lines << CTessalyView::tr("探测读取的 %1 字节中有 %2 字节无法恢复，按零处理")
                     .arg(QString::number(c.bytesRead), QString::number(c.lostBytes));
    for (const std::string& e : c.errors)
        lines << CTessalyView::tr("探测时读取失败：%1").arg(QString::fromStdString(e));
    return lines;
}

// The icon faces show every LUN as a drive, large in icon mode and small in
// the small-icon and list modes, so the modes look as different as they
// are. The report keeps its plain rows (a warning sign marks short ones).
class CLunIconDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (option->icon.isNull()) {
            const QWidget* view = qobject_cast<const QWidget*>(parent());
            const QStyle* style = view ? view->style() : QApplication::style();
            option->icon = style->standardIcon(QStyle::SP_DriveHDIcon);
            option->features |= QStyleOptionViewItem::HasDecoration;
        }
    }
};

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
    m_icons->setItemDelegate(new CLunIconDelegate(m_icons));
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

corvane::LunEntry* CTessalyView::ChosenEntry() const
{
    if (!m_pContext || IsBusy() || m_run)
        return nullptr;
    return RowEntry(m_nSelected);
}

bool CTessalyView::event(QEvent* e)
{
    if (auto* msg = CWindowMessage::Receive(e, WM_SHOW_LUNS)) {
        msg->SetResult(OnShowLuns(msg->wParam(), msg->lParam()));
        return true;
    }
    if (auto* msg = CWindowMessage::Receive(e, LunContentMessage())) {
        msg->SetResult(OnLunContent(msg->wParam(), msg->lParam()));
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
    const corvane::AnalysisSummary summary = corvane::Summarize(*m_pContext);
    const size_t n = m_pContext->lunList.size();
    for (size_t i = 0; i < n; ++i) {
        corvane::LunEntry* e = m_pContext->lunList[i].get();
        // Printed as signed 32-bit numbers, the size from its low 32 bits.
        auto* group = new QStandardItem(QString::asprintf("%d", std::int32_t(e->group)));
        auto* id = new QStandardItem(QString::asprintf("%d", std::int32_t(e->id)));
        auto* size = new QStandardItem(
            QString::asprintf("%dG", std::int32_t(std::uint32_t(e->sizeGiB & 0xFFFFFFFFu))));
        group->setData(QVariant::fromValue(quintptr(e)), kLunEntryRole);
        const QString tip = LunToolTip(m_pContext, summary, *e);
        for (QStandardItem* item : {group, id, size})
            item->setToolTip(tip);
        if (e->ShortCoverage())
            group->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
        m_model->appendRow({group, id, size});
    }
    return 0;
}

LRESULT CTessalyView::OnLunContent(WPARAM wParam, LPARAM lParam)
{
    const auto* content = reinterpret_cast<const corvane::LunContent*>(lParam);
    for (int r = 0; content && r < m_model->rowCount(); ++r)
        if (RowEntry(r) == reinterpret_cast<corvane::LunEntry*>(wParam))
            for (int c = 0; c < m_model->columnCount(); ++c)
                if (QStandardItem* item = m_model->item(r, c))
                    item->setToolTip(item->toolTip() + QLatin1Char('\n') + ContentLines(*content).join(QLatin1Char('\n')));
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
