#include "ui/app/TessalyApp.h"

#include "ui/app/AboutDlg.h"
#include "ui/app/MainFrm.h"
#include "ui/app/TessalyDoc.h"
#include "ui/app/Translations.h"
#include "ui/common/Commands.h"

#include <QCommandLineParser>
#include <QFileDialog>
#include <QMessageBox>
#include <QSettings>

namespace corvane::ui {

CTessalyApp::CTessalyApp(int& argc, char** argv)
    : QApplication(argc, argv), m_recent(kMaxRecentFiles)
{
    // The store is named by the key and the program's name.
    setOrganizationName(QString::fromUtf8(kRegistryKey));
    setApplicationName(QStringLiteral("corvane recovery for hp eva 1.2"));
    // No display name: the window system would append it to every caption
    // ("选择源 — corvane ..."), and small boxes could no longer show their own.
    setApplicationVersion(QStringLiteral("1.2"));
    // Before any window is built: each takes its texts when it is made.
    InstallTranslations(LanguageOfLocale(MessagesLocale()));
}

CTessalyApp::~CTessalyApp()
{
    // The frame goes first: its destruction releases any worker still
    // sending to it, before the event system itself is torn down.
    m_frame.reset();
}

bool CTessalyApp::InitInstance()
{
    LoadStdProfileSettings(kMaxRecentFiles);

    m_doc = new CTessalyDoc(this);
    m_doc->addToRecentFileList = [this](const QString& path) { AddToRecentFileList(path); };

    m_frame = std::make_unique<CMainFrame>();
    m_doc->dialogParent = m_frame.get();
    m_frame->SetRouteTargets(m_doc, this);
    m_frame->SetRecentFileList(&m_recent);
    if (!m_frame->Create())
        return false;

    // The command line names at most a document to open; the toolkit has
    // already taken its own options.
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("file"), QString());
    parser.parse(arguments());
    const QStringList files = parser.positionalArguments();

    m_frame->show();
    if (!files.isEmpty())
        OpenDocumentFile(files.first());
    return true;
}

int CTessalyApp::ExitInstance(int code)
{
    SaveStdProfileSettings();
    return code;
}

void CTessalyApp::LoadStdProfileSettings(int maxMru)
{
    m_recent = CRecentFileList(maxMru);
    QSettings settings;
    m_recent.ReadList(settings);
}

void CTessalyApp::SaveStdProfileSettings() const
{
    QSettings settings;
    m_recent.WriteList(settings);
}

void CTessalyApp::AddToRecentFileList(const QString& path)
{
    m_recent.Add(path);
    // Kept at once, so the list survives a program that does not end well.
    SaveStdProfileSettings();
}

bool CTessalyApp::OpenDocumentFile(const QString& path)
{
    if (!m_doc->OnOpenDocument(path)) {
        const qsizetype index = m_recent.Files().indexOf(path);
        if (index >= 0) {
            m_recent.Remove(int(index));
            SaveStdProfileSettings();
        }
        QMessageBox::warning(m_frame.get(), tr("corvane recovery for hp eva 1.2"),
                             tr("无法打开文档 %1。").arg(path));
        return false;
    }
    m_doc->SetPathName(path);
    return true;
}

void CTessalyApp::OnFileOpen()
{
    const QString path = QFileDialog::getOpenFileName(m_frame.get(), tr("打开"), QString(),
                                                      tr("所有文件 (*.*)"));
    if (!path.isEmpty())
        OpenDocumentFile(path);
}

void CTessalyApp::OnAppAbout()
{
    CAboutDlg about(m_frame.get());
    about.exec();
}

bool CTessalyApp::OnUpdateCmdUI(CCmdUI& ui)
{
    switch (ui.id) {
    case ID_APP_ABOUT:
    case ID_APP_EXIT:
    case ID_FILE_OPEN:
        return true;
    default:
        if (ui.id >= ID_FILE_MRU_FILE1 && ui.id < ID_FILE_MRU_FILE1 + kMaxRecentFiles) {
            ui.Enable(ui.id - ID_FILE_MRU_FILE1 < m_recent.Files().size());
            return true;
        }
        return false;
    }
}

bool CTessalyApp::OnCmdMsg(int id)
{
    switch (id) {
    case ID_APP_ABOUT:
        OnAppAbout();
        return true;
    case ID_APP_EXIT:
        if (m_frame)
            m_frame->close();
        return true;
    case ID_FILE_OPEN:
        OnFileOpen();
        return true;
    default:
        if (id >= ID_FILE_MRU_FILE1 && id < ID_FILE_MRU_FILE1 + kMaxRecentFiles) {
            const int index = id - ID_FILE_MRU_FILE1;
            if (index < m_recent.Files().size()) {
                // A copy: opening reorders (or shortens) the list.
                const QString path = m_recent.Files().at(index);
                OpenDocumentFile(path);
            }
            return true;
        }
        return false;
    }
}

} // namespace corvane::ui
