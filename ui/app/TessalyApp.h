// The application object: starts the program (settings, recent files, the
// document and the main frame), and takes the commands no window takes:
// about, exit, open and the recent-file entries.
#pragma once

#include "ui/app/RecentFileList.h"
#include "ui/common/CmdTarget.h"

#include <QApplication>

#include <memory>

namespace corvane::ui {

class CMainFrame;
class CTessalyDoc;

class CTessalyApp : public QApplication, public CCmdTarget {
    Q_OBJECT

public:
    CTessalyApp(int& argc, char** argv);
    ~CTessalyApp() override;

    // Settings, recent files, document, frame, command line, then shows the
    // frame. False when start-up cannot go on.
    bool InitInstance();
    // Saves what the settings store keeps; returns the exit code.
    int ExitInstance(int code);

    CMainFrame* MainFrame() const { return m_frame.get(); }
    CTessalyDoc* Document() const { return m_doc; }
    CRecentFileList& RecentFiles() { return m_recent; }

    // Reads the recent-file list of up to maxMru entries.
    void LoadStdProfileSettings(int maxMru);
    void SaveStdProfileSettings() const;
    void AddToRecentFileList(const QString& path);
    // Opens path as the document (reads nothing). On failure a message is
    // shown and a recent-file entry naming it is dropped.
    bool OpenDocumentFile(const QString& path);

    void OnAppAbout();

    bool OnUpdateCmdUI(CCmdUI& ui) override;
    bool OnCmdMsg(int id) override;

    // The settings store's key; the recent-file list lives under it.
    static constexpr const char* kRegistryKey = "应用程序向导生成的本地应用程序";

private:
    void OnFileOpen();

    CRecentFileList m_recent;
    CTessalyDoc* m_doc = nullptr;
    std::unique_ptr<CMainFrame> m_frame;
};

} // namespace corvane::ui
