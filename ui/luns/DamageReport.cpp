#include "ui/luns/DamageReport.h"

#include "export/Export.h"
#include "ui/luns/ExportDialogs.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

namespace corvane::ui {

namespace {

// As the mapfile writes positions: at least eight upper-case hex digits.
QString Hex(std::uint64_t v)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
}

QString Amount(std::uint64_t bytes)
{
    return CDamageReport::tr("%1 字节（%2）").arg(QString::number(bytes), FormatBytes(bytes));
}

// Ctrl+C in the range list copies whole rows, not the current cell.
class CCopyFilter : public QObject {
public:
    explicit CCopyFilter(CDamageReport* report) : QObject(report), m_report(report) {}

protected:
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == QEvent::ShortcutOverride || e->type() == QEvent::KeyPress) {
            auto* ke = static_cast<QKeyEvent*>(e);
            if (ke->matches(QKeySequence::Copy)) {
                e->accept();
                if (e->type() == QEvent::KeyPress)
                    m_report->CopyRanges();
                return true;
            }
        }
        return QObject::eventFilter(watched, e);
    }

private:
    CDamageReport* m_report;
};

} // namespace

DamageReportData ToDamageReport(const ExportReport& report, bool ok, const QString& failure)
{
    DamageReportData d;
    if (!ok) {
        d.state = DamageReportData::State::Failed;
        d.failure = failure;
    } else if (report.cancelled || !report.Finished()) {
        d.state = DamageReportData::State::Stopped;
    }
    d.bytesTotal = std::uint64_t(report.stripes) * kRunSize;
    d.bytesWritten = report.DoneEnd();
    for (const ByteRange& r : report.zeroRanges)
        d.lostRanges.emplace_back(r.offset, r.length);
    // The export counts every LUN byte it wrote as read, rebuilt or lost.
    d.bytesRead = report.bytesRead;
    d.bytesRebuilt = report.bytesRebuilt;
    d.bytesLost = report.bytesLost;
    return d;
}

QString DamageHeadline(const DamageReportData& data)
{
    switch (data.state) {
    case DamageReportData::State::Failed:
        return CDamageReport::tr("导出失败，目标上的数据不完整。");
    case DamageReportData::State::Stopped:
        return CDamageReport::tr("导出已停止，目标上的数据不完整。");
    case DamageReportData::State::Finished:
        break;
    }
    if (data.bytesLost == 0)
        return CDamageReport::tr("导出成功！");
    return CDamageReport::tr("导出已完成，但有 %1 无法恢复，目标上的这些字节已填零。")
        .arg(FormatBytes(data.bytesLost));
}

QString LostRangesText(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges)
{
    QString text;
    for (const auto& [offset, length] : ranges)
        text += Hex(offset) + QLatin1Char(' ') + Hex(length) + QLatin1Char('\n');
    return text;
}

CDamageReport::CDamageReport(const DamageReportData& report, SaveMap saveMap, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_data(report),
      m_saveMapFn(std::move(saveMap))
{
    setObjectName(QStringLiteral("damageReport"));
    setWindowTitle(tr("导出报告"));
    const auto selectable = Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard;

    m_headline = new QLabel(DamageHeadline(m_data), this);
    m_headline->setObjectName(QStringLiteral("headline"));
    QFont big = m_headline->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.15);
    m_headline->setFont(big);
    m_headline->setWordWrap(true);
    m_headline->setTextInteractionFlags(selectable);

    QStringList lines;
    if (m_data.state == DamageReportData::State::Failed && !m_data.failure.isEmpty())
        lines << m_data.failure << QString();
    lines << tr("LUN：组 %1，id %2").arg(m_data.group).arg(m_data.id);
    if (!m_data.target.isEmpty())
        lines << tr("目标：%1").arg(m_data.target);
    lines << tr("已写入：%1 / %2 字节").arg(QString::number(m_data.bytesWritten),
                                        QString::number(m_data.bytesTotal));
    if (m_data.resumedFrom > 0)
        lines << tr("从上次的映射继续：前 %1 字节已在目标上，本次从这里开始；下面的读取和重建只计本次。")
                     .arg(QString::number(m_data.resumedFrom));
    lines << tr("从成员读取：%1").arg(Amount(m_data.bytesRead));
    lines << tr("由校验重建：%1").arg(Amount(m_data.bytesRebuilt));
    lines << tr("无法恢复（已填零）：%1").arg(Amount(m_data.bytesLost));
    if (!m_data.hash.isEmpty())
        lines << tr("目标的校验值：%1").arg(m_data.hash);
    m_details = new QLabel(lines.join(QLatin1Char('\n')), this);
    m_details->setObjectName(QStringLiteral("details"));
    m_details->setTextFormat(Qt::PlainText);
    m_details->setWordWrap(true);
    m_details->setTextInteractionFlags(selectable);

    m_rangesLabel = new QLabel(
        tr("无法恢复的 LUN 字节范围（%1 个；偏移和长度，可选中复制）：").arg(m_data.lostRanges.size()),
        this);
    m_ranges = new QTableWidget(int(m_data.lostRanges.size()), 2, this);
    m_ranges->setObjectName(QStringLiteral("lostRanges"));
    m_ranges->setHorizontalHeaderLabels({tr("偏移"), tr("长度")});
    m_ranges->verticalHeader()->hide();
    m_ranges->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_ranges->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_ranges->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_ranges->horizontalHeader()->setStretchLastSection(true);
    for (int row = 0; row < int(m_data.lostRanges.size()); ++row) {
        const auto& [offset, length] = m_data.lostRanges[size_t(row)];
        auto* o = new QTableWidgetItem(Hex(offset));
        o->setToolTip(QString::number(offset));
        auto* l = new QTableWidgetItem(Hex(length));
        l->setToolTip(tr("%1 字节").arg(length));
        m_ranges->setItem(row, 0, o);
        m_ranges->setItem(row, 1, l);
    }
    m_ranges->resizeColumnToContents(0);
    m_ranges->installEventFilter(new CCopyFilter(this));
    auto* copyAction = new QAction(tr("复制"), m_ranges);
    connect(copyAction, &QAction::triggered, this, [this] { CopyRanges(); });
    m_ranges->addAction(copyAction);
    m_ranges->setContextMenuPolicy(Qt::ActionsContextMenu);
    const bool anyLost = !m_data.lostRanges.empty();
    m_rangesLabel->setVisible(anyLost);
    m_ranges->setVisible(anyLost);

    m_map = new QLabel(this);
    m_map->setObjectName(QStringLiteral("mapPath"));
    m_map->setTextFormat(Qt::PlainText);
    m_map->setWordWrap(true);
    m_map->setTextInteractionFlags(selectable);
    ShowMapLine();

    m_copy = new QPushButton(tr("复制范围"), this);
    m_copy->setObjectName(QStringLiteral("copyRanges"));
    m_copy->setAutoDefault(false);
    m_copy->setVisible(anyLost);
    connect(m_copy, &QPushButton::clicked, this, [this] { CopyRanges(); });
    m_saveMap = new QPushButton(tr("另存映射文件..."), this);
    m_saveMap->setObjectName(QStringLiteral("saveMap"));
    m_saveMap->setAutoDefault(false);
    m_saveMap->setVisible(bool(m_saveMapFn));
    connect(m_saveMap, &QPushButton::clicked, this, [this] { OnSaveMap(); });
    m_close = new QPushButton(tr("关闭"), this);
    m_close->setObjectName(QStringLiteral("IDOK"));
    m_close->setDefault(true);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_copy);
    buttons->addWidget(m_saveMap);
    buttons->addStretch(1);
    buttons->addWidget(m_close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_headline);
    layout->addWidget(m_details);
    layout->addWidget(m_rangesLabel);
    layout->addWidget(m_ranges, 1);
    layout->addWidget(m_map);
    layout->addLayout(buttons);
    if (!anyLost)
        layout->addStretch(1);

    // Wide enough for a path on one line where the screen allows.
    resize(std::max(sizeHint().width(), 520), sizeHint().height());
    m_close->setFocus(Qt::OtherFocusReason);
}

void CDamageReport::ShowMapLine()
{
    QString text;
    if (!m_data.mapPath.isEmpty())
        text = tr("损坏映射（GNU ddrescue 格式）已保存到：%1").arg(m_data.mapPath);
    else
        text = tr("损坏映射未保存。");
    if (!m_data.mapProblem.isEmpty())
        text += QLatin1Char('\n') + m_data.mapProblem;
    m_map->setText(text);
}

void CDamageReport::OnSaveMap()
{
    const QString path = m_saveMapFn ? m_saveMapFn(this) : QString();
    if (path.isEmpty())
        return;
    m_data.mapPath = path;
    m_data.mapProblem.clear();
    ShowMapLine();
}

QString CDamageReport::CopyRanges()
{
    std::set<int> rows;
    for (const QModelIndex& index : m_ranges->selectionModel()->selectedRows())
        rows.insert(index.row());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> chosen;
    for (int row = 0; row < int(m_data.lostRanges.size()); ++row)
        if (rows.empty() || rows.count(row))
            chosen.push_back(m_data.lostRanges[size_t(row)]);
    const QString text = LostRangesText(chosen);
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
    return text;
}

void CDamageReport::keyPressEvent(QKeyEvent* e)
{
    // Esc closes the report as the close button does (never a "reject" that
    // a caller could take for anything else).
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

} // namespace corvane::ui
