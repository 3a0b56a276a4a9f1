#include "ui/luns/ExportSeting.h"

#include "disk/Drives.h"
#include "disk/JIO.h"
#include "ui/common/DialogUnits.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <set>

namespace corvane::ui {

namespace {

CExportSeting::DriveProbe& ProbeOverride()
{
    static CExportSeting::DriveProbe probe;
    return probe;
}

// Drive numbers offered, highest first: every row goes to the top, so the
// list ends up in increasing order.
constexpr int kHighestDrive = 128;

} // namespace

CExportSeting::CExportSeting(QWidget* parent, const CTargetNeeds& needs)
    : CExportSeting(parent, DriveProbe(), needs)
{
}

CExportSeting::CExportSeting(QWidget* parent, DriveProbe probe, const CTargetNeeds& needs)
    : QDialog(parent, CDialogUnits::FixedDialogFlags()),
      m_probe(std::move(probe)),
      m_needs(needs)
{
    if (!m_probe && ProbeOverride())
        m_probe = ProbeOverride();
    if (!m_probe) {
        const std::vector<corvane::SourceIdentity> sources = m_needs.sources;
        m_probe = [sources](int n) { return ProbeDrive(n, sources); };
    }
    setObjectName(QStringLiteral("IDD_EXPORT_SETTING"));
    setWindowTitle(tr("导出设置"));
    BuildControls();
    OnInitDialog();
}

void CExportSeting::SetDriveProbe(DriveProbe probe) { ProbeOverride() = std::move(probe); }

std::optional<CDriveRow> CExportSeting::ProbeDrive(int number,
                                                 const std::vector<corvane::SourceIdentity>& sources)
{
    // Read-only: the list shows evidence drives too, and a device closed
    // after a write-open is probed again by the system (udev).
    JFileHandle::JDisk disk;
    if (!disk.Open(JFileHandle::DriveNameW(number), false, JFileHandle::Access::ReadOnly))
        return std::nullopt;
    std::string vendor;
    std::string model;
    struct stat st {};
    const bool known = ::fstat(disk.Handle(), &st) == 0;
    if (known && S_ISBLK(st.st_mode))
        JFileHandle::DeviceVendorModel(major(st.st_rdev), minor(st.st_rdev), vendor, model);
    const QString name = QString::fromStdU16String(JFileHandle::DriveNameW(number));
    const std::string node = disk.OpenedPath();
    QString description = QString::fromUtf8((vendor + " " + model).c_str()).trimmed();
    if (description.isEmpty())
        description = tr("磁盘");
    CDriveRow row;
    row.name = name;
    row.size = disk.Size();
    row.info = QStringLiteral("%1, %2, %3")
                   .arg(description, FormatBytes(row.size), QString::fromStdString(node));

    // What would make the export refuse it, asked before anything is open
    // for writing. A source (or a drive sharing storage with one) first:
    // it is evidence whatever else is true of it.
    const std::string conflict =
        known ? corvane::TargetConflict(name.toStdString(), st, sources) : std::string();
    int readOnly = 0;
    if (!conflict.empty())
        row.unusable = QString::fromStdString(conflict);
    else if (::ioctl(disk.Handle(), BLKROGET, &readOnly) == 0 && readOnly)
        row.unusable = tr("只读设备");
    else if (::faccessat(AT_FDCWD, node.c_str(), W_OK, AT_EACCESS) != 0)
        row.unusable = tr("没有写入权限");
    return row;
}

void CExportSeting::BuildControls()
{
    const CDialogUnits du =
        CDialogUnits::SetUpDialog(this, QStringLiteral("MS Shell Dlg"), 8, 231, 141);

    m_list = new QTableWidget(this);
    m_list->setObjectName(QStringLiteral("IDC_TARGET_LIST"));
    m_list->setColumnCount(2);
    m_list->setHorizontalHeaderLabels({tr("设备名称"), tr("信息")});
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_list->horizontalHeader()->setHighlightSections(false);
    m_list->setColumnWidth(0, 100);
    m_list->setColumnWidth(1, 100);
    m_list->verticalHeader()->hide();
    m_list->setShowGrid(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setWordWrap(false);
    m_list->setProperty("controlId", IDC_TARGET_LIST);
    du.Place(m_list, 7, 7, 217, 113);

    m_label = new QLabel(tr("偏移位置(扇区)"), this);
    du.PlaceText(m_label, 7, 122, 54, 8);

    m_edit = new QLineEdit(this);
    m_edit->setObjectName(QStringLiteral("IDC_OFFSET"));
    m_edit->setProperty("controlId", IDC_OFFSET);
    du.Place(m_edit, 66, 120, 55, 14);

    m_ok = new QPushButton(tr("确定"), this);
    m_ok->setObjectName(QStringLiteral("IDOK"));
    m_ok->setDefault(true);
    m_ok->setAutoDefault(true);
    du.Place(m_ok, 124, 120, 50, 14);
    connect(m_ok, &QPushButton::clicked, this, &CExportSeting::accept);

    m_cancel = new QPushButton(tr("取消"), this);
    m_cancel->setObjectName(QStringLiteral("IDCANCEL"));
    m_cancel->setAutoDefault(false);
    du.Place(m_cancel, 174, 120, 50, 14);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    // Tab order of the template: list, edit, OK, cancel.
    setTabOrder(m_list, m_edit);
    setTabOrder(m_edit, m_ok);
    setTabOrder(m_ok, m_cancel);
}

bool CExportSeting::OnInitDialog()
{
    for (int n = kHighestDrive; n >= 0; --n) {
        const std::optional<CDriveRow> drive = m_probe(n);
        if (!drive)
            continue;
        m_rows.insert(m_rows.begin(), *drive);
        m_list->insertRow(0);
        auto* name = new QTableWidgetItem(drive->name);
        name->setCheckState(Qt::Unchecked);
        m_list->setItem(0, 0, name);
        m_list->setItem(0, 1, new QTableWidgetItem(drive->info));
    }
    m_edit->setText(QString::number(m_offset));
    UpdateRowStates();
    connect(m_edit, &QLineEdit::textChanged, this, [this] { UpdateRowStates(); });
    m_ok->setFocus(Qt::OtherFocusReason);
    return true;
}

QString CExportSeting::RowProblem(int row) const
{
    if (row < 0 || size_t(row) >= m_rows.size())
        return QString();
    const CDriveRow& drive = m_rows[size_t(row)];
    if (!drive.unusable.isEmpty())
        return drive.unusable;
    if (m_needs.bytes == 0)
        return QString();
    // From the sector typed; while the text is no number, from sector 0.
    std::int64_t sectors = 0;
    if (ParseOffset(m_edit->text(), sectors) != OffsetParse::Ok)
        sectors = 0;
    const std::uint64_t start = std::uint64_t(sectors) * kSectorSize;
    if (drive.size >= start && drive.size - start >= m_needs.bytes)
        return QString();
    return tr("容量不足：从扇区 %1 起需要 %2（%3 字节），设备只有 %4（%5 字节）")
        .arg(sectors)
        .arg(FormatBytes(m_needs.bytes), QString::number(m_needs.bytes), FormatBytes(drive.size),
             QString::number(drive.size));
}

void CExportSeting::UpdateRowStates()
{
    for (int r = 0; r < m_list->rowCount(); ++r) {
        QTableWidgetItem* name = m_list->item(r, 0);
        QTableWidgetItem* info = m_list->item(r, 1);
        const CDriveRow& drive = m_rows[size_t(r)];
        const QString problem = RowProblem(r);
        if (problem.isEmpty()) {
            name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            info->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            info->setText(drive.info);
        } else {
            // Greyed, and never the target: it cannot be checked or selected.
            name->setCheckState(Qt::Unchecked);
            name->setFlags(Qt::ItemIsUserCheckable);
            info->setFlags(Qt::NoItemFlags);
            info->setText(tr("不可用：%1；%2").arg(problem, drive.info));
            for (int c = 0; c < 2; ++c)
                m_list->selectionModel()->select(m_list->model()->index(r, c),
                                                 QItemSelectionModel::Deselect);
        }
        name->setToolTip(info->text());
        info->setToolTip(info->text());
    }
    // Names and information are wider than the template's 100 pixels: the
    // columns grow to their texts (the list scrolls sideways), so no drive
    // is told apart by a cut-off name.
    m_list->resizeColumnsToContents();
    for (int c = 0; c < 2; ++c)
        m_list->setColumnWidth(c, std::max(100, m_list->columnWidth(c) + 8));
}

QList<int> CExportSeting::ChosenRows() const
{
    std::set<int> rows;
    for (int r = 0; r < m_list->rowCount(); ++r) {
        const QTableWidgetItem* item = m_list->item(r, 0);
        if (item && item->checkState() != Qt::Unchecked)
            rows.insert(r);
    }
    if (const QItemSelectionModel* sel = m_list->selectionModel())
        for (const QModelIndex& index : sel->selectedRows())
            rows.insert(index.row());
    // A greyed row is never a target, however it came to be marked.
    for (auto it = rows.begin(); it != rows.end();)
        it = RowProblem(*it).isEmpty() ? std::next(it) : rows.erase(it);
    return QList<int>(rows.begin(), rows.end());
}

CExportSeting::OffsetParse CExportSeting::ParseOffset(const QString& text, std::int64_t& sectors)
{
    // The edit hands over at most 63 characters.
    const QString t = text.left(63);
    qsizetype i = 0;
    while (i < t.size() && (t[i] == u' ' || t[i] == u'\t' || t[i] == u'\n' || t[i] == u'\r' ||
                            t[i] == u'\v' || t[i] == u'\f'))
        ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        negative = t[i] == u'-';
        ++i;
    }
    if (i >= t.size() || t[i] < u'0' || t[i] > u'9')
        return OffsetParse::NoNumber;
    // Accumulated as a magnitude so that the most negative number is read
    // whole before it is refused.
    std::uint64_t magnitude = 0;
    bool tooLarge = false;
    for (; i < t.size() && t[i] >= u'0' && t[i] <= u'9'; ++i) {
        const unsigned digit = unsigned(t[i].unicode() - u'0');
        if (magnitude > (std::uint64_t(INT64_MAX) - digit) / 10)
            tooLarge = true;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (negative && (magnitude != 0 || tooLarge))
        return OffsetParse::Negative;
    if (tooLarge || magnitude > std::uint64_t(INT64_MAX) / kSectorSize)
        return OffsetParse::TooLarge;
    sectors = std::int64_t(magnitude);
    return OffsetParse::Ok;
}

bool CExportSeting::SaveOffset()
{
    std::int64_t sectors = 0;
    QString refusal;
    switch (ParseOffset(m_edit->text(), sectors)) {
    case OffsetParse::Ok:
        m_offset = sectors;
        return true;
    case OffsetParse::NoNumber:
        refusal = tr("请输入一个整数。");
        break;
    case OffsetParse::Negative:
        refusal = tr("偏移位置不能为负数。");
        break;
    case OffsetParse::TooLarge:
        refusal = tr("偏移位置太大：起始位置超出了磁盘可寻址的范围。");
        break;
    }
    ShowMessage(this, {QMessageBox::Warning, AppCaption(), refusal});
    m_edit->setFocus(Qt::OtherFocusReason);
    m_edit->selectAll();
    return false;
}

void CExportSeting::accept()
{
    if (!SaveOffset())
        return;
    const QList<int> rows = ChosenRows();
    if (rows.size() != 1) {
        ShowMessage(this, {QMessageBox::Warning, AppCaption(),
                           rows.isEmpty() ? tr("请选择一个目标磁盘。")
                                          : tr("只能选择一个目标磁盘：请只勾选或选中一行。")});
        m_list->setFocus(Qt::OtherFocusReason);
        return;
    }
    const int row = rows.front();
    m_strDevice = m_list->item(row, 0)->text();
    m_target.device = m_strDevice;
    m_target.info = m_list->item(row, 1) ? m_list->item(row, 1)->text() : QString();
    m_target.sectors = m_offset;
    m_target.startOffset = std::uint64_t(m_offset) * kSectorSize;
    QDialog::accept();
}

} // namespace corvane::ui
