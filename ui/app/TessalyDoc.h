// The document of the single-document frame. It holds no data: opening reads
// nothing and saving writes nothing (a chosen file is neither created nor
// truncated). It only remembers the path last opened or saved as.
#pragma once

#include "ui/common/CmdTarget.h"

#include <QObject>
#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

namespace corvane::ui {

class CTessalyDoc : public QObject, public CCmdTarget {
    Q_OBJECT

public:
    explicit CTessalyDoc(QObject* parent = nullptr);

    // The title is always the same, whatever is asked for.
    void SetTitle(const QString& ignored);
    QString GetTitle() const { return m_title; }

    QString GetPathName() const { return m_pathName; }
    // Sets the path; with addToMru the path also enters the recent-file list.
    void SetPathName(const QString& path, bool addToMru = true);

    // Opens path for reading to make sure it is a readable file; reads
    // nothing. False (and nothing changes) when it cannot be opened.
    bool OnOpenDocument(const QString& path);
    // Writes nothing; succeeds.
    bool OnSaveDocument(const QString& path);

    // Asked whenever a path should enter the recent-file list.
    std::function<void(const QString&)> addToRecentFileList;
    // Parent for the save dialog.
    QWidget* dialogParent = nullptr;

    bool OnUpdateCmdUI(CCmdUI& ui) override;
    bool OnCmdMsg(int id) override;

private:
    void OnFileSave();

    QString m_title;
    QString m_pathName;
};

} // namespace corvane::ui
