#include "ui/app/TessalyDoc.h"

#include "ui/common/Commands.h"

#include <QFile>
#include <QFileDialog>

namespace corvane::ui {

CTessalyDoc::CTessalyDoc(QObject* parent) : QObject(parent)
{
    SetTitle(QString());
}

void CTessalyDoc::SetTitle(const QString&)
{
    m_title = tr("corvane recovery for hp eva");
}

void CTessalyDoc::SetPathName(const QString& path, bool addToMru)
{
    m_pathName = path;
    SetTitle(path);
    if (addToMru && addToRecentFileList)
        addToRecentFileList(path);
}

bool CTessalyDoc::OnOpenDocument(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

bool CTessalyDoc::OnSaveDocument(const QString&)
{
    return true;
}

bool CTessalyDoc::OnUpdateCmdUI(CCmdUI& ui)
{
    return ui.id == ID_FILE_SAVE;
}

bool CTessalyDoc::OnCmdMsg(int id)
{
    if (id != ID_FILE_SAVE)
        return false;
    OnFileSave();
    return true;
}

void CTessalyDoc::OnFileSave()
{
    QString path = m_pathName;
    if (path.isEmpty()) {
        path = QFileDialog::getSaveFileName(dialogParent, tr("另存为"), QString(),
                                            tr("所有文件 (*.*)"));
        if (path.isEmpty())
            return;
    }
    if (OnSaveDocument(path))
        SetPathName(path);
}

} // namespace corvane::ui
