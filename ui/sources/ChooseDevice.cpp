#include "ui/sources/ChooseDevice.h"

#include "disk/Drives.h"
#include "ui/common/DialogUnits.h"
#include "ui/common/WindowMessages.h"
#include "ui/sources/SourceDialogs.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableWidget>

#include <string>

namespace corvane::ui {

namespace {

// Draws a column's texts cut in its own way when they do not fit.
class CElideDelegate : public QStyledItemDelegate {
public:
    CElideDelegate(Qt::TextElideMode mode, QObject* parent)
        : QStyledItemDelegate(parent), m_mode(mode)
    {
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = m_mode;
    }

private:
    Qt::TextElideMode m_mode;
};

} // namespace

CChooseDevice::CChooseDevice(QWidget* parent)
    : QDialog(parent),
      m_list(new QTableWidget(this)),
      m_addImage(new QPushButton(tr("添加镜像文件"), this)),
      m_attachMap(new QPushButton(tr("映射文件..."), this)),
      m_ok(new QPushButton(tr("确定"), this)),
      m_cancel(new QPushButton(tr("取消"), this))
{
    setObjectName(QStringLiteral("IDD_CHOOSE_DEVICE"));
    setWindowTitle(tr("选择源"));
    // Modal frame with caption and system menu (SetUpDialog): no resizing,
    // no help, no minimise or maximise.
    const CDialogUnits du =
        CDialogUnits::SetUpDialog(this, QStringLiteral("MS Shell Dlg"), 8, 303, 159);

    m_list->setObjectName(QStringLiteral("IDC_DEVICE_LIST"));
    m_list->setProperty("controlId", IDC_DEVICE_LIST);
    du.Place(m_list, 7, 7, 289, 127);

    // The buttons share one row; a translation longer than the template's
    // 50 units widens its button rather than being cut.
    m_addImage->setObjectName(QStringLiteral("IDC_ADD_IMAGE"));
    m_addImage->setProperty("controlId", IDC_ADD_IMAGE);
    du.PlaceText(m_addImage, 110, 135, 50, 14);
    // An image's ddrescue mapfile: its unread bytes are not data.
    m_attachMap->setObjectName(QStringLiteral("IDC_ATTACH_MAP"));
    m_attachMap->setProperty("controlId", IDC_ATTACH_MAP);
    m_attachMap->setToolTip(tr("为选中的镜像文件指定 GNU ddrescue 映射文件：映射中未标记为 + 的字节按不可读处理"));
    du.PlaceText(m_attachMap, 54, 135, 50, 14);
    m_ok->setObjectName(QStringLiteral("IDOK"));
    m_ok->setProperty("controlId", IDOK);
    m_ok->setDefault(true);
    du.PlaceText(m_ok, 171, 135, 50, 14);
    m_cancel->setObjectName(QStringLiteral("IDCANCEL"));
    m_cancel->setProperty("controlId", IDCANCEL);
    du.PlaceText(m_cancel, 237, 135, 50, 14);
    for (QPushButton* b : {m_addImage, m_attachMap, m_ok, m_cancel})
        b->setAutoDefault(false);
    m_ok->setAutoDefault(true);

    connect(m_addImage, &QPushButton::clicked, this, [this] { OnAddImage(); });
    connect(m_attachMap, &QPushButton::clicked, this, [this] { OnAttachMap(); });
    connect(m_ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    OnInitDialog();
}

CChooseDevice::~CChooseDevice() = default;

int CChooseDevice::DoModal() { return exec(); }

bool CChooseDevice::OnInitDialog()
{
    // Report view with grid lines, check boxes and whole-row selection;
    // several rows may be selected.
    m_list->setColumnCount(2);
    m_list->setHorizontalHeaderLabels({tr("设备名称"), tr("信息")});
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_list->setColumnWidth(0, 200);
    m_list->setColumnWidth(1, 200);
    // The information column takes what is left of the list, never less.
    m_list->horizontalHeader()->setStretchLastSection(true);
    m_list->verticalHeader()->hide();
    m_list->setShowGrid(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setWordWrap(false);
    // A name is never cut: two groups' members differ only in a folder that
    // any cut may hide; the column grows to the longest name and the list
    // scrolls sideways. The information keeps node and size (cut at the end).
    m_list->setItemDelegateForColumn(0, new CElideDelegate(Qt::ElideNone, m_list));
    m_list->setItemDelegateForColumn(1, new CElideDelegate(Qt::ElideRight, m_list));
    m_list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    const auto& probe = CSourceDialogs::Current().probeDrive;
    for (int n = 0; n < kProbedDrives; ++n) {
        const std::optional<QString> info = probe ? probe(n) : std::nullopt;
        if (info)
            AppendRow(QString::fromStdString(JFileHandle::DriveName(n)), *info);
    }
    return true;
}

int CChooseDevice::AppendRow(const QString& name, const QString& info)
{
    const int row = m_list->rowCount();
    m_list->insertRow(row);
    auto* nameItem = new QTableWidgetItem(name);
    nameItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    nameItem->setCheckState(Qt::Unchecked);
    nameItem->setToolTip(name);
    auto* infoItem = new QTableWidgetItem(info);
    infoItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (!info.isEmpty())
        infoItem->setToolTip(info);
    m_list->setItem(row, 0, nameItem);
    m_list->setItem(row, 1, infoItem);
    // Grown to the longest name, never below the template's width.
    const int before = m_list->columnWidth(0);
    m_list->resizeColumnToContents(0);
    if (m_list->columnWidth(0) < before)
        m_list->setColumnWidth(0, before);
    return row;
}

namespace {
// Where an image row keeps its mapfile.
constexpr int kMapRole = Qt::UserRole + 1;
constexpr int kImageRole = Qt::UserRole + 2;
} // namespace

void CChooseDevice::OnAddImage()
{
    const auto& choose = CSourceDialogs::Current().imageFile;
    const QString path = choose ? choose(this) : QString();
    if (path.isEmpty())
        return;
    const int row = AppendRow(path, QString());
    m_list->item(row, 0)->setData(kImageRole, true);
    // A mapfile ddrescue left beside the image is taken at once; the user
    // sees it in the row and may choose another.
    const QString beside = MapfileBeside(path);
    if (!beside.isEmpty()) {
        m_list->item(row, 0)->setData(kMapRole, beside);
        m_list->item(row, 1)->setText(tr("ddrescue 映射文件：%1").arg(beside));
        m_list->item(row, 1)->setToolTip(m_list->item(row, 1)->text());
    }
}

void CChooseDevice::OnAttachMap()
{
    const int row = m_list->currentRow();
    QTableWidgetItem* name = row >= 0 ? m_list->item(row, 0) : nullptr;
    const auto& box = CSourceDialogs::Current().messageBox;
    if (!name || !name->data(kImageRole).toBool()) {
        if (box)
            box(this, tr("请先选中一个镜像文件。"), tr("选择源"));
        return;
    }
    const auto& choose = CSourceDialogs::Current().mapFile;
    const QString path = choose ? choose(this, name->text()) : QString();
    if (path.isEmpty())
        return;
    const QString problem = MapfileProblem(path);
    if (!problem.isEmpty()) {
        if (box)
            box(this, tr("%1 不是 ddrescue 映射文件：%2").arg(path, problem), tr("选择源"));
        return;
    }
    name->setData(kMapRole, path);
    m_list->item(row, 1)->setText(tr("ddrescue 映射文件：%1").arg(path));
    m_list->item(row, 1)->setToolTip(m_list->item(row, 1)->text());
}

QString CChooseDevice::RowMap(int row) const
{
    const QTableWidgetItem* name = m_list->item(row, 0);
    return name ? name->data(kMapRole).toString() : QString();
}

QStringList CChooseDevice::ChosenMaps() const
{
    QStringList maps;
    for (int row : ChosenRows())
        maps << RowMap(row);
    return maps;
}

std::vector<int> CChooseDevice::ChosenRows() const
{
    std::vector<int> rows;
    const QItemSelectionModel* selection = m_list->selectionModel();
    for (int i = 0; i < m_list->rowCount(); ++i) {
        const QTableWidgetItem* name = m_list->item(i, 0);
        if (!name)
            continue;
        const bool selected = selection && selection->isRowSelected(i, QModelIndex());
        if (selected || name->checkState() == Qt::Checked)
            rows.push_back(i);
    }
    return rows;
}

QStringList CChooseDevice::ChosenSources() const
{
    QStringList chosen;
    for (int row : ChosenRows())
        chosen << m_list->item(row, 0)->text();
    return chosen;
}

void CChooseDevice::OnOK()
{
    const QStringList names = ChosenSources(), maps = ChosenMaps();
    for (int i = 0; i < names.size(); ++i) {
        // The texts stay valid during the send: the tree copies them.
        // wParam carries the image's mapfile, or nothing.
        const std::u16string text = names[i].toStdU16String();
        const std::u16string map = maps.value(i).toStdU16String();
        SendWindowMessage(g_hLeftView, WM_ADD_SOURCE, map.empty() ? 0 : reinterpret_cast<WPARAM>(map.c_str()),
                          reinterpret_cast<LPARAM>(text.c_str()));
    }
    QDialog::accept();
}

void CChooseDevice::accept()
{
    // Enter and the default button end up here: OK hands the rows on.
    OnOK();
}

void RunChooseDevice(QWidget* parent)
{
    CChooseDevice dlg(parent);
    dlg.DoModal();
}

} // namespace corvane::ui
