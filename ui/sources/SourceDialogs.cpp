#include "ui/sources/SourceDialogs.h"

#include "disk/Drives.h"
#include "disk/JIO.h"
#include "disk/Mapfile.h"
#include "disk/Text.h"
#include "engine/Errors.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

namespace corvane::ui {

namespace {

QString ChooseImageFile(QWidget* parent)
{
    // No filter: members come as .img, .dd, .raw or with no extension.
    const QString path = QFileDialog::getOpenFileName(parent, QString(), QString(), QString());
    // The full path: the analysis opens it later, whatever folder the
    // process is in by then.
    return path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
}

QString ChooseMapFile(QWidget* parent, const QString& image)
{
    const QString path = QFileDialog::getOpenFileName(parent, QString(), QFileInfo(image).absolutePath(),
                                                      QObject::tr("ddrescue 映射文件 (*.map *.mapfile *.log);;所有文件 (*)"));
    return path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
}

void PlainMessageBox(QWidget* owner, const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

} // namespace

CSourceDialogs CSourceDialogs::Defaults()
{
    CSourceDialogs d;
    d.probeDrive = &ProbeDrive;
    d.imageFile = &ChooseImageFile;
    d.mapFile = &ChooseMapFile;
    d.messageBox = &PlainMessageBox;
    return d;
}

CSourceDialogs& CSourceDialogs::Current()
{
    static CSourceDialogs current = Defaults();
    return current;
}

void CSourceDialogs::Install(const CSourceDialogs& dialogs)
{
    const CSourceDialogs defaults = Defaults();
    CSourceDialogs& c = Current();
    c.probeDrive = dialogs.probeDrive ? dialogs.probeDrive : defaults.probeDrive;
    c.imageFile = dialogs.imageFile ? dialogs.imageFile : defaults.imageFile;
    c.mapFile = dialogs.mapFile ? dialogs.mapFile : defaults.mapFile;
    c.messageBox = dialogs.messageBox ? dialogs.messageBox : defaults.messageBox;
}

QString MapfileProblem(const QString& path)
{
    JFileHandle::Mapfile map;
    std::string error;
    if (JFileHandle::LoadMapfile(QFile::encodeName(path).toStdString(), map, error))
        return QString();
    return QString::fromLocal8Bit(error.c_str());
}

QString MapfileBeside(const QString& image)
{
    for (const char* suffix : {".map", ".mapfile"}) {
        const QString candidate = image + QLatin1String(suffix);
        if (QFileInfo(candidate).isFile() && MapfileProblem(candidate).isEmpty())
            return candidate;
    }
    return QString();
}

std::optional<QString> ProbeDrive(int n)
{
    JFileHandle::JDisk disk;
    // Read-only: the program never writes a member, and a drive behind a
    // write blocker or without write rights must still be offered.
    if (!disk.Open(JFileHandle::DriveNameW(n), false, JFileHandle::Access::ReadOnly))
        return std::nullopt;
    disk.Describe();
    const QString description =
        QString::fromStdString(JFileHandle::NarrowToUtf8(disk.Description())).trimmed();
    return DriveInfoText(description, QString::fromStdString(disk.OpenedPath()), disk.Size());
}

QString DriveInfoText(const QString& description, const QString& node, std::uint64_t bytes)
{
    // What tells two drives of one make apart comes first, so a narrow
    // column cuts only the tail of the description.
    QStringList parts;
    if (!node.isEmpty())
        parts << node;
    parts << HumanSize(bytes);
    if (!description.isEmpty())
        parts << description;
    return parts.join(QStringLiteral(", "));
}

QString HumanSize(std::uint64_t bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = double(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString SourceCaption() { return QString::fromUtf8(corvane::kCaption); }

} // namespace corvane::ui
