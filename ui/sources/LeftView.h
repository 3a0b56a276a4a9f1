// The left pane of the main window: the tree of the sources the user added,
// one item "Root" with one child per source in the order added. The view
// owns the run's recovery context; each added source is also appended to
// the context's sources, so child i of "Root" is sources[i].
//
// It handles "初始化lun信息": the analysis runs on a worker thread of its
// own, which hands the context to the LUN list (WM_SHOW_LUNS) and waits
// until the list is filled. While the worker runs the commands that would
// touch the context are disabled (ui/common/Busy.h).
#pragma once

#include "ui/common/CmdTarget.h"
#include "ui/common/MessageTypes.h"

#include <QString>
#include <QTreeWidget>

#include <atomic>
#include <memory>
#include <thread>

QT_BEGIN_NAMESPACE
class QAction;
QT_END_NAMESPACE

namespace corvane {
class EvaContext;
struct AnalysisResult;
} // namespace corvane

namespace corvane::ui {

class CMemberMapDlg;

class CLeftView : public QTreeWidget, public CCmdTarget {
    Q_OBJECT

public:
    explicit CLeftView(QWidget* parent = nullptr);
    ~CLeftView() override;

    // Tree styles, the item "Root", the handle the dialog sends to.
    void OnInitialUpdate();

    // WM_ADD_SOURCE: lParam a NUL-terminated UTF-16 name, valid during the
    // call. Adds the source to the tree and the context; a name that has no
    // narrow form is refused with its code's text. Returns 0.
    LRESULT OnAddSource(WPARAM wParam, LPARAM lParam);
    // "初始化lun信息": starts the analysis worker and returns at once.
    void OnInitLunInfo();
    // Removes the current source (tree and context); not while a worker
    // holds the context. The last analysis goes with it (LUN list emptied,
    // members closed): it read the removed source. False when nothing was
    // removed.
    bool OnRemoveSource();
    // "成员映射": the member map of the last analysis in a window of its
    // own (shown, not waited for). Null while a worker holds the context or
    // before the first analysis.
    CMemberMapDlg* OnMemberMap();
    // The "exclude" check of sources[index]: the source stays open but is
    // treated as missing, so the next export rebuilds its segments from
    // parity (applied to the last analysis at once, and kept by the next).
    // Not while a worker holds the context. False when nothing changed.
    bool SetExcluded(int index, bool excluded);
    bool IsExcluded(int index) const;

    // The analysis worker's thread procedure: runs the analysis on the
    // view's context, hands a successful result to the LUN list and has
    // its outcome shown on the user-interface thread. Returns 0.
    static unsigned RunAnalysis(CLeftView* view);

    bool OnUpdateCmdUI(CCmdUI& ui) override;
    bool OnCmdMsg(int id) override;

    QTreeWidgetItem* RootItem() const { return m_hRoot; }
    // The source item for sources[index], or nullptr.
    QTreeWidgetItem* SourceItem(int index) const;
    corvane::EvaContext& Context() { return *m_context; }
    // An analysis worker of this view has started and not yet ended.
    bool AnalysisRunning() const { return m_worker.joinable() && !m_workerDone.load(); }
    // The status text of the last analysis ("" before the first).
    QString StatusText() const { return m_statusText; }
    QAction* RemoveAction() const { return m_removeAction; }
    QAction* MemberMapAction() const { return m_memberMapAction; }
    QAction* ExcludeAction() const { return m_excludeAction; }

Q_SIGNALS:
    // The analysis worker has ended (its outcome was shown).
    void analysisFinished();
    // A line for the status bar's message area: sources left out and
    // missing slots of the member map after an analysis, the detail of a
    // failure, or "" to clear it.
    void statusMessage(const QString& text);

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

private:
    // On the user-interface thread while the worker waits: tooltips of the
    // source items, the status line, and the message box of a failure.
    void OnAnalysisDone(const corvane::AnalysisResult& result);
    void ClearAnalysisMarks();
    void MarkExcluded(int index);
    void OnWorkerEnded();
    void ShowMessage(const QString& text);
    void SetStatusText(const QString& text);
    void JoinWorker();

    QTreeWidgetItem* m_hRoot = nullptr;
    QAction* m_removeAction = nullptr;
    QAction* m_memberMapAction = nullptr;
    QAction* m_excludeAction = nullptr;
    QString m_statusText;
    // Built with the view, destroyed with it. Kept behind a pointer so that
    // the windows need not see the engine's headers.
    std::unique_ptr<corvane::EvaContext> m_context;
    std::atomic<bool> m_workerDone{true};
    // Last member: joined before the context and the tree go.
    std::thread m_worker;
};

} // namespace corvane::ui
