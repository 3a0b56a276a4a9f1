#include "ui/sources/MemberMapDlg.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace corvane::ui {

namespace {

QString FullName(const std::string& utf8Path)
{
    return QString::fromStdString(utf8Path);
}

QTableWidgetItem* Cell(const QString& text, const QString& tip)
{
    auto* item = new QTableWidgetItem(text);
    item->setToolTip(tip);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

} // namespace

QColor CMemberMapDlg::MissingColour()
{
    return QColor(0xF4, 0xB6, 0xB6);
}

QColor CMemberMapDlg::ConflictColour()
{
    return QColor(0xFF, 0xE0, 0x8A);
}

QColor CMemberMapDlg::ExcludedColour()
{
    return QColor(0xD0, 0xD0, 0xD0);
}

QString SourceShortName(const std::string& utf8Path)
{
    const QString path = FullName(utf8Path);
    // "\\.\Physicaldrive3" has no folder; a path keeps only its file name.
    if (path.startsWith(QLatin1String("\\\\.\\")))
        return path;
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}

QString SourceWarningReason(const AnalysisSummary& summary, const SourceWarning& w)
{
    switch (w.kind) {
    case SourceWarning::Kind::DiskIdCollision: {
        const QString holder = w.other < summary.members.size() ? SourceShortName(summary.members[w.other].source)
                                                                 : QString();
        return CMemberMapDlg::tr("与 %1 带有同一磁盘 id %2，槽位归 %1，本源未使用").arg(holder).arg(w.diskId);
    }
    case SourceWarning::Kind::Unidentified:
        return CMemberMapDlg::tr("前 1 KiB 无法读取，本源未使用");
    case SourceWarning::Kind::NoSlot:
        return CMemberMapDlg::tr("RAID 信息中没有磁盘 id %1 的槽位，本源未使用").arg(w.diskId);
    }
    return QString();
}

QString SourceWarningLine(const AnalysisSummary& summary, const SourceWarning& w)
{
    const QString name = w.member < summary.members.size() ? SourceShortName(summary.members[w.member].source)
                                                           : QString();
    return CMemberMapDlg::tr("%1：%2").arg(name, SourceWarningReason(summary, w));
}

CMemberMapDlg::CMemberMapDlg(const AnalysisSummary& summary, QWidget* parent)
    : QDialog(parent), m_grid(new QTableWidget(this)), m_unused(new QTableWidget(this)),
      m_unusedLabel(new QLabel(this))
{
    setObjectName(QStringLiteral("CMemberMapDlg"));
    setWindowTitle(tr("成员映射"));

    // Slots whose disk id another source carries too: the holder's cells.
    std::map<size_t, QStringList> rivals;
    for (const SourceWarning& w : summary.warnings)
        if (w.kind == SourceWarning::Kind::DiskIdCollision && w.other < summary.members.size())
            rivals[w.other] << SourceShortName(summary.members[w.member].source);

    std::set<int> rows;
    int columns = 1;
    std::vector<std::pair<MapCell, bool>> cells; // held slots, and whether excluded
    for (const MapCell& c : summary.memberMap)
        cells.emplace_back(c, false);
    for (const MapCell& c : summary.excluded)
        cells.emplace_back(c, true);
    for (const auto& [c, excluded] : cells) {
        rows.insert(c.row);
        columns = std::max(columns, c.column + 1);
    }
    for (const SlotKey& k : summary.missingSlots) {
        rows.insert(k.row);
        columns = std::max(columns, k.column + 1);
    }
    m_rows = QList<int>(rows.begin(), rows.end());

    m_grid->setObjectName(QStringLiteral("memberMapGrid"));
    m_grid->setRowCount(int(m_rows.size()));
    m_grid->setColumnCount(columns);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setWordWrap(false);
    QStringList rowLabels, columnLabels;
    for (int r : m_rows)
        rowLabels << tr("行 %1").arg(r);
    for (int c = 0; c < columns; ++c)
        columnLabels << tr("列 %1").arg(c);
    m_grid->setVerticalHeaderLabels(rowLabels);
    m_grid->setHorizontalHeaderLabels(columnLabels);

    for (const auto& [c, excluded] : cells) {
        const MemberSummary& m = summary.members.at(c.member);
        QString tip = tr("%1\n磁盘 id %2").arg(FullName(m.source)).arg(c.diskId);
        const auto rival = rivals.find(c.member);
        if (rival != rivals.end())
            tip += tr("\n同一磁盘 id 也由 %1 携带（未使用）").arg(rival->second.join(QStringLiteral("、")));
        tip += tr("\n勾选“排除”：本源按缺失处理，下次导出由校验重建它的段");
        auto* item = Cell(tr("%1\n磁盘 id %2").arg(SourceShortName(m.source)).arg(c.diskId), tip);
        if (rival != rivals.end())
            item->setBackground(ConflictColour());
        // The check is the source's "exclude": one source, all its cells.
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(excluded ? Qt::Checked : Qt::Unchecked);
        item->setData(Qt::UserRole, int(c.member));
        item->setData(Qt::UserRole + 1, rival != rivals.end());
        if (excluded)
            item->setBackground(ExcludedColour());
        m_grid->setItem(int(m_rows.indexOf(c.row)), c.column, item);
    }
    connect(m_grid, &QTableWidget::itemChanged, this, &CMemberMapDlg::OnCellChanged);
    for (size_t i = 0; i < summary.missingSlots.size(); ++i) {
        const SlotKey& k = summary.missingSlots[i];
        const int id = i < summary.missingDiskIds.size() ? summary.missingDiskIds[i] : -1;
        const QString why = id < 0 ? tr("条目为空") : tr("无源带有磁盘 id %1").arg(id);
        auto* item = Cell(tr("缺失\n%1").arg(why), tr("槽位（%1,%2）缺少成员：%3").arg(k.row).arg(k.column).arg(why));
        item->setBackground(MissingColour());
        m_grid->setItem(int(m_rows.indexOf(k.row)), k.column, item);
    }
    m_grid->resizeColumnsToContents();
    m_grid->resizeRowsToContents();

    m_unused->setObjectName(QStringLiteral("unusedSources"));
    m_unused->setColumnCount(2);
    m_unused->setHorizontalHeaderLabels({tr("源"), tr("原因")});
    m_unused->verticalHeader()->hide();
    m_unused->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_unused->horizontalHeader()->setStretchLastSection(true);
    m_unused->setWordWrap(false);
    m_unused->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (const SourceWarning& w : summary.warnings) {
        if (w.member >= summary.members.size())
            continue;
        const int row = m_unused->rowCount();
        m_unused->insertRow(row);
        const QString path = FullName(summary.members[w.member].source);
        auto* name = new QTableWidgetItem(SourceShortName(summary.members[w.member].source));
        name->setToolTip(path);
        auto* reason = new QTableWidgetItem(SourceWarningReason(summary, w));
        reason->setToolTip(QString::fromStdString(w.text));
        for (auto* item : {name, reason}) {
            item->setBackground(ConflictColour());
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        }
        m_unused->setItem(row, 0, name);
        m_unused->setItem(row, 1, reason);
    }
    m_unused->resizeColumnToContents(0);
    m_unusedLabel->setObjectName(QStringLiteral("unusedLabel"));
    m_unusedLabel->setText(m_unused->rowCount() == 0 ? tr("每个源都在成员映射中。") : tr("未使用的源："));
    m_unused->setVisible(m_unused->rowCount() > 0);

    auto* legend = new QLabel(
        tr("红色：缺少成员的槽位　黄色：磁盘 id 相同的源所在的槽位，以及未使用的源　灰色：已排除的源（勾选“排除”）"), this);
    legend->setObjectName(QStringLiteral("legend"));
    legend->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(tr("关闭"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    if (m_rows.isEmpty()) {
        auto* none = new QLabel(tr("分析没有得到成员映射（未找到 RAID 信息）。"), this);
        none->setObjectName(QStringLiteral("noMap"));
        layout->addWidget(none);
        m_grid->hide();
        legend->hide();
    }
    layout->addWidget(m_grid);
    layout->addWidget(legend);
    layout->addWidget(m_unusedLabel);
    layout->addWidget(m_unused);
    layout->addStretch(1);
    layout->addWidget(buttons);

    // Each table as tall as its rows (up to a screenful: 16 RAID rows, 8
    // sources), the window as wide as the grid within reason; beyond that
    // the tables scroll.
    auto fit = [](QTableWidget* t, int maxRows) {
        int h = t->horizontalHeader()->sizeHint().height() + 2 * t->frameWidth();
        if (t->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff)
            h += t->horizontalScrollBar()->sizeHint().height();
        for (int r = 0; r < std::min(t->rowCount(), maxRows); ++r)
            h += t->rowHeight(r);
        t->setFixedHeight(h);
    };
    fit(m_grid, 16);
    m_unused->resizeRowsToContents();
    fit(m_unused, 8);
    int gridWidth = m_grid->verticalHeader()->sizeHint().width() + 2 * m_grid->frameWidth() +
                    m_grid->verticalScrollBar()->sizeHint().width();
    for (int c = 0; c < m_grid->columnCount(); ++c)
        gridWidth += m_grid->columnWidth(c);
    resize(std::clamp(gridWidth + layout->contentsMargins().left() + layout->contentsMargins().right(), 480, 1240),
           sizeHint().height());
}

void CMemberMapDlg::OnCellChanged(QTableWidgetItem* item)
{
    if (!item || !(item->flags() & Qt::ItemIsUserCheckable))
        return;
    const int member = item->data(Qt::UserRole).toInt();
    const bool excluded = item->checkState() == Qt::Checked;
    {
        const QSignalBlocker block(m_grid);
        for (int r = 0; r < m_grid->rowCount(); ++r)
            for (int c = 0; c < m_grid->columnCount(); ++c) {
                QTableWidgetItem* other = m_grid->item(r, c);
                if (!other || !(other->flags() & Qt::ItemIsUserCheckable) ||
                    other->data(Qt::UserRole).toInt() != member)
                    continue;
                other->setCheckState(excluded ? Qt::Checked : Qt::Unchecked);
                other->setBackground(excluded                                ? QBrush(ExcludedColour())
                                     : other->data(Qt::UserRole + 1).toBool() ? QBrush(ConflictColour())
                                                                              : QBrush());
            }
    }
    Q_EMIT excludeToggled(member, excluded);
}

} // namespace corvane::ui
