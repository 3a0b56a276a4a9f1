#include "ui/luns/ExportDialogs.h"

#include "engine/Errors.h"
#include "ui/luns/ExportSeting.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QMenu>
#include <QPushButton>

namespace corvane::ui {

namespace {

int RunMessageBox(QWidget* parent, const CMessageRequest& request)
{
    QMessageBox box(request.icon, request.caption, request.text, request.buttons, parent);
    if (request.defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(request.defaultButton);
    QPushButton* extra = nullptr;
    if (!request.extraButton.isEmpty())
        extra = box.addButton(request.extraButton, QMessageBox::ActionRole);
    bool withdrawn = false;
    if (request.withdrawnWith) {
        QObject::connect(request.withdrawnWith, &QObject::destroyed, &box, [&box, &withdrawn] {
            withdrawn = true;
            box.done(kWithdrawn);
        });
    }
    box.exec();
    if (withdrawn)
        return kWithdrawn;
    if (extra && box.clickedButton() == extra)
        return kExtraButton;
    return int(box.standardButton(box.clickedButton()));
}

} // namespace

CExportDialogs CExportDialogs::Defaults()
{
    CExportDialogs d;
    d.imageFile = [](QWidget* parent) {
        // No filter and no default extension: an image is whatever the user
        // names. The dialog asks before replacing a file.
        return QFileDialog::getSaveFileName(parent, QString(), QString(), QString());
    };
    d.mapFile = [](QWidget* parent, const QString& suggested) {
        return QFileDialog::getSaveFileName(parent, QString(), suggested,
                                            QObject::tr("ddrescue 映射文件 (*.map);;所有文件 (*)"));
    };
    d.mountFolder = [](QWidget* parent) {
        return QFileDialog::getExistingDirectory(parent, QObject::tr("挂载到（空文件夹）"));
    };
    d.resumeMapFile = [](QWidget* parent) {
        return QFileDialog::getOpenFileName(parent, QString(), QString(),
                                            QObject::tr("ddrescue 映射文件 (*.map);;所有文件 (*)"));
    };
    d.diskTarget = [](QWidget* parent, const CTargetNeeds& needs, CDiskTarget& out) {
        CExportSeting dialog(parent, needs);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        out = dialog.Target();
        return true;
    };
    d.messageBox = RunMessageBox;
    d.damageReport = [](QWidget* parent, const DamageReportData& data,
                        const CDamageReport::SaveMap& saveMap) {
        CDamageReport report(data, saveMap, parent);
        report.exec();
    };
    d.trackPopupMenu = [](QMenu* menu, const QPoint& at) { return menu->exec(at); };
    return d;
}

CExportDialogs& CExportDialogs::Current()
{
    static CExportDialogs current = Defaults();
    return current;
}

void CExportDialogs::Install(const CExportDialogs& dialogs)
{
    CExportDialogs d = Defaults();
    if (dialogs.imageFile)
        d.imageFile = dialogs.imageFile;
    if (dialogs.mapFile)
        d.mapFile = dialogs.mapFile;
    if (dialogs.mountFolder)
        d.mountFolder = dialogs.mountFolder;
    if (dialogs.resumeMapFile)
        d.resumeMapFile = dialogs.resumeMapFile;
    if (dialogs.diskTarget)
        d.diskTarget = dialogs.diskTarget;
    if (dialogs.messageBox)
        d.messageBox = dialogs.messageBox;
    if (dialogs.damageReport)
        d.damageReport = dialogs.damageReport;
    if (dialogs.trackPopupMenu)
        d.trackPopupMenu = dialogs.trackPopupMenu;
    Current() = d;
}

int ShowMessage(QWidget* parent, const CMessageRequest& request)
{
    return CExportDialogs::Current().messageBox(parent, request);
}

QString FormatBytes(std::uint64_t bytes)
{
    constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
    constexpr double kMiB = 1024.0 * 1024.0;
    if (bytes >= (std::uint64_t(1) << 30))
        return QStringLiteral("%1 GiB").arg(double(bytes) / kGiB, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(double(bytes) / kMiB, 0, 'f', 1);
}

QString AppCaption() { return QStringLiteral("corvane recovery for hp eva 1.2"); }

QString CodeCaption() { return QString::fromUtf8(kCaption); }

} // namespace corvane::ui
