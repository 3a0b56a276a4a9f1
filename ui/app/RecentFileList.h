// The recent-file list of the File menu: most recent first, at most a fixed
// number of entries, kept in the settings store under "Recent File List" as
// File1, File2, ...
#pragma once

#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QSettings;
QT_END_NAMESPACE

namespace corvane::ui {

class CRecentFileList {
public:
    explicit CRecentFileList(int maxEntries);

    int MaxEntries() const { return m_max; }
    const QStringList& Files() const { return m_files; }

    // Puts path first; an entry naming the same file moves up instead of
    // appearing twice; the oldest falls off past the limit.
    void Add(const QString& path);
    void Remove(int index);

    void ReadList(QSettings& settings);
    void WriteList(QSettings& settings) const;

    // The menu text of entry index: "&1 path".
    QString MenuText(int index) const;

private:
    int m_max;
    QStringList m_files;
};

} // namespace corvane::ui
