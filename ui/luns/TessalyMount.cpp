// "挂载(只读)": the row's LUN served read-only through FUSE. The mount runs
// as a corvane-cli child that goes to the background once mounted, so the
// members stay open in that process only and a new analysis in the window
// cannot close them under the mount. Mounts outlive the window: the
// success box says how to unmount.
#include "ui/luns/TessalyView.h"

#include "engine/Context.h"
#include "engine/Exclude.h"
#include "ui/common/Busy.h"
#include "ui/luns/ExportDialogs.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace corvane::ui {

namespace {

// Analysis of a large group can take a while before the mount is up.
constexpr int kMountTimeoutMs = 10 * 60 * 1000;

QString Local(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

void ShowMountMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    ShowMessage(parent, {icon, AppCaption(), text});
}

} // namespace

QString CTessalyView::CliProgram()
{
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate : {here + QStringLiteral("/corvane-cli"), here + QStringLiteral("/../cli/corvane-cli")}) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return info.canonicalFilePath();
    }
    return QStandardPaths::findExecutable(QStringLiteral("corvane-cli"));
}

QStringList CTessalyView::MountArguments(const LunEntry& entry, const QString& mountPoint) const
{
    QStringList args{QStringLiteral("mount")};
    for (const SourceEntry& source : m_pContext->sources)
        args << Local(source.path);
    args << mountPoint << QStringLiteral("--lun") << QStringLiteral("%1:%2").arg(entry.group).arg(entry.id);
    for (const SourceEntry& source : m_pContext->sources)
        if (!source.mapfile.empty())
            args << QStringLiteral("--source-map") << Local(source.path + "=" + source.mapfile);
    for (const std::string& path : ExcludedSources(*m_pContext))
        args << QStringLiteral("--exclude") << Local(path);
    return args;
}

void CTessalyView::OnMountReadOnly()
{
    const LunEntry* entry = ChosenEntry();
    if (!entry)
        return;
    const QString folder = CExportDialogs::Current().mountFolder(this);
    if (folder.isEmpty())
        return;
    // Said here, before the sources are read again.
    const QDir dir(folder);
    if (!dir.exists()) {
        ShowMountMessage(this, QMessageBox::Warning, tr("无法挂载到 %1：文件夹不存在。").arg(folder));
        return;
    }
    if (!dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        ShowMountMessage(this, QMessageBox::Warning,
                         tr("无法挂载到 %1：文件夹不是空的。请选择一个空文件夹。").arg(folder));
        return;
    }
    const QString program = CliProgram();
    if (program.isEmpty()) {
        ShowMountMessage(this, QMessageBox::Critical,
                         tr("找不到 corvane-cli（本程序旁边、../cli/ 和 PATH 中都没有），无法挂载。"));
        return;
    }

    QProcess cli;
    cli.setProgram(program);
    cli.setArguments(MountArguments(*entry, folder));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    cli.start();
    const bool started = cli.waitForStarted();
    const bool finished = started && cli.waitForFinished(kMountTimeoutMs);
    QApplication::restoreOverrideCursor();
    const QString stderrText = QString::fromLocal8Bit(cli.readAllStandardError()).trimmed();
    if (!started) {
        ShowMountMessage(this, QMessageBox::Critical, tr("无法启动 %1：%2").arg(program, cli.errorString()));
        return;
    }
    if (!finished) {
        cli.kill();
        cli.waitForFinished();
        ShowMountMessage(this, QMessageBox::Critical,
                         tr("corvane-cli 在 %1 分钟内没有完成挂载，已被终止。\n%2")
                             .arg(kMountTimeoutMs / 60000)
                             .arg(stderrText));
        return;
    }
    if (cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        ShowMountMessage(this, QMessageBox::Critical,
                         tr("挂载失败（corvane-cli 退出码 %1）：\n%2").arg(cli.exitCode()).arg(stderrText));
        return;
    }
    const QString file = QDir(folder).filePath(QStringLiteral("lun-%1-%2.img").arg(entry->group).arg(entry->id));
    QString text = tr("LUN %1:%2 已只读挂载：\n%3\n\n关闭本程序后挂载仍然保留；卸载请运行：\nfusermount3 -u %4")
                       .arg(entry->group)
                       .arg(entry->id)
                       .arg(file, folder);
    // Warnings (an exclusion that leaves stripes short) still matter.
    if (!stderrText.isEmpty())
        text += QStringLiteral("\n\n") + stderrText;
    ShowMountMessage(this, QMessageBox::Information, text);
}

} // namespace corvane::ui
