#include "ui/luns/ExportSeting.h"

#include "disk/Drives.h"
#include "disk/JIO.h"
#include "ui/common/DialogUnits.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <climits>
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

CExportSeting::CExportSeting(QWidget* parent) : CExportSeting(parent, DriveProbe()) {}

CExportSeting::CExportSeting(QWidget* parent, DriveProbe probe)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      m_probe(std::move(probe))
{
    if (!m_probe)
        m_probe = ProbeOverride() ? ProbeOverride() : DriveProbe(&CExportSeting::ProbeDrive);
    setObjectName(QStringLiteral("IDD_EXPORT_SETTING"));
    setWindowTitle(tr("导出设置"));
    BuildControls();
    OnInitDialog();
}

void CExportSeting::SetDriveProbe(DriveProbe probe) { ProbeOverride() = std::move(probe); }

std::optional<CDriveRow> CExportSeting::ProbeDrive(int number)
{
    // Read-write, as the export will open it: a drive that only opens for
    // reading could not take the LUN anyway.
    JFileHandle::JDisk disk;
    if (!disk.Open(JFileHandle::DriveNameW(number), false, JFileHandle::Access::ReadWrite))
        return std::nullopt;
    std::string vendor;
    std::string model;
    struct stat st {};
    if (::fstat(disk.Handle(), &st) == 0 && S_ISBLK(st.st_mode))
        JFileHandle::DeviceVendorModel(major(st.st_rdev), minor(st.st_rdev), vendor, model);
    const QString name = QString::fromStdU16String(JFileHandle::DriveNameW(number));
    QString description = QString::fromUtf8((vendor + " " + model).c_str()).trimmed();
    if (description.isEmpty())
        description = tr("磁盘");
    const QString info = QStringLiteral("%1, %2, %3")
                             .arg(description, FormatBytes(disk.Size()),
                                  QString::fromStdString(disk.OpenedPath()));
    return CDriveRow{name, info};
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
        m_list->insertRow(0);
        auto* name = new QTableWidgetItem(drive->name);
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        name->setCheckState(Qt::Unchecked);
        name->setToolTip(drive->info);
        auto* info = new QTableWidgetItem(drive->info);
        info->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        info->setToolTip(drive->info);
        m_list->setItem(0, 0, name);
        m_list->setItem(0, 1, info);
    }
    // Names and information are wider than the template's 100 pixels: the
    // columns grow to their texts (the list scrolls sideways), so no drive
    // is told apart by a cut-off name.
    m_list->resizeColumnsToContents();
    for (int c = 0; c < 2; ++c)
        m_list->setColumnWidth(c, std::max(100, m_list->columnWidth(c) + 8));
    m_edit->setText(QString::number(m_offset));
    m_ok->setFocus(Qt::OtherFocusReason);
    return true;
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
