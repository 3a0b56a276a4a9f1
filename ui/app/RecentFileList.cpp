#include "ui/app/RecentFileList.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace corvane::ui {

namespace {
const QString kSection = QStringLiteral("Recent File List");

QString Canonical(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}
} // namespace

CRecentFileList::CRecentFileList(int maxEntries) : m_max(maxEntries < 0 ? 0 : maxEntries) {}

void CRecentFileList::Add(const QString& path)
{
    if (path.isEmpty() || m_max == 0)
        return;
    const QString full = Canonical(path);
    m_files.removeIf([&](const QString& f) { return Canonical(f) == full; });
    m_files.prepend(QDir::toNativeSeparators(full));
    while (m_files.size() > m_max)
        m_files.removeLast();
}

void CRecentFileList::Remove(int index)
{
    if (index >= 0 && index < m_files.size())
        m_files.removeAt(index);
}

void CRecentFileList::ReadList(QSettings& settings)
{
    m_files.clear();
    settings.beginGroup(kSection);
    for (int i = 1; i <= m_max; ++i) {
        const QString f = settings.value(QStringLiteral("File%1").arg(i)).toString();
        if (!f.isEmpty())
            m_files.append(f);
    }
    settings.endGroup();
}

void CRecentFileList::WriteList(QSettings& settings) const
{
    settings.beginGroup(kSection);
    settings.remove(QString()); // drops entries a longer list left behind
    for (int i = 0; i < m_files.size(); ++i)
        settings.setValue(QStringLiteral("File%1").arg(i + 1), m_files[i]);
    settings.endGroup();
}

QString CRecentFileList::MenuText(int index) const
{
    if (index < 0 || index >= m_files.size())
        return QString();
    QString path = m_files[index];
    // A literal ampersand in a path must not become a mnemonic.
    path.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return QStringLiteral("&%1 %2").arg(index + 1).arg(path);
}

} // namespace corvane::ui
