// The right pane of the main window: the list of the LUNs an analysis found.
// One model is shown either as a report (a table with columns) or as icons,
// small icons or a list, as the toolbar's view-style buttons choose; rows,
// selection and commands are the model's and survive every switch.
#pragma once

#include "ui/common/CmdTarget.h"
#include "ui/common/MessageTypes.h"

#include <QPoint>
#include <QStackedWidget>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

QT_BEGIN_NAMESPACE
class QAbstractItemView;
class QListView;
class QMenu;
class QStandardItemModel;
class QTableView;
QT_END_NAMESPACE

namespace corvane {
class EvaContext;
class ExportJob;
struct LunEntry;
} // namespace corvane

namespace corvane::ui {

// The LUN context menu (menu 312, popup "操作LUN") and its commands.
inline constexpr int IDR_LUN_MENU = 312;
inline constexpr int ID_EXPORT_IMAGE = 32778;
inline constexpr int ID_EXPORT_DISK = 32779;
inline constexpr int ID_EXPORT_DATA_CONFIG = 32781;
// Continue an unfinished export of the LUN: from the map its last export
// kept, or from a map the user chooses.
inline constexpr int ID_EXPORT_RESUME = 32782;
inline constexpr int ID_EXPORT_RESUME_FROM_MAP = 32783;
// The hash an export takes of its target (a radio group in "操作LUN").
inline constexpr int ID_EXPORT_HASH_NONE = 32784;
inline constexpr int ID_EXPORT_HASH_SHA256 = 32785;
inline constexpr int ID_EXPORT_HASH_MD5 = 32786;
inline constexpr int ID_EXPORT_HASH_SHA1 = 32787;
// Serve the LUN read-only through FUSE by a corvane-cli mount.
inline constexpr int ID_MOUNT_READONLY = 32788;

// Where a row keeps its LunEntry: the item of column 0, under this role,
// as a quintptr. The entry is the context's, not the view's.
inline constexpr int kLunEntryRole = Qt::UserRole + 1;

// Display modes (the type bits of the list's style).
inline constexpr std::uint32_t LVS_ICON = 0x0000;
inline constexpr std::uint32_t LVS_REPORT = 0x0001;
inline constexpr std::uint32_t LVS_SMALLICON = 0x0002;
inline constexpr std::uint32_t LVS_LIST = 0x0003;
inline constexpr std::uint32_t LVS_TYPEMASK = 0x0003;

class CTessalyView : public QStackedWidget, public CCmdTarget {
    Q_OBJECT

public:
    explicit CTessalyView(QWidget* parent = nullptr);
    ~CTessalyView() override;

    // One of LVS_ICON, LVS_SMALLICON, LVS_LIST, LVS_REPORT (other bits are
    // ignored). Starts in report mode.
    void SetViewMode(std::uint32_t mode);
    std::uint32_t GetViewMode() const { return m_mode; }
    // Lines the icons up on their grid (icon and small-icon modes only).
    void Arrange();

    QStandardItemModel* Model() const { return m_model; }
    QTableView* ReportView() const { return m_report; }
    QListView* IconView() const { return m_icons; }

    // The context of the LUN list shown (from WM_SHOW_LUNS; not owned).
    corvane::EvaContext* m_pContext = nullptr;
    // The LunEntry row keeps, or nullptr for no such row.
    corvane::LunEntry* RowEntry(int row) const;
    // The chosen row's entry when a command may act on it now (a list is
    // shown, no analysis or export runs), nullptr otherwise.
    corvane::LunEntry* ChosenEntry() const;
    // WM_SHOW_LUNS: lParam the analysed context. The list becomes one row
    // per entry of its lunList, in order; rows of an earlier analysis go
    // (their entries are gone). Returns 0.
    LRESULT OnShowLuns(WPARAM wParam, LPARAM lParam);
    LRESULT OnLunContent(WPARAM wParam, LPARAM lParam);

    // ---- Export side: context menu, export commands, export thread ----

    // A right click over row (-1: empty space) at a screen position: shows
    // "操作LUN"; once it has closed, the row is the one the chosen command
    // (if any) works on.
    void OnRightClick(int row, const QPoint& globalPos);
    // The context-menu key or Shift+F10: the same menu for the current row.
    void OnContextMenuKey();
    // The popup "操作LUN" (owned by the view).
    QMenu* LunMenu() const { return m_lunMenu; }
    // Row of the last right click, -1 when it hit no row.
    int SelectedRow() const { return m_nSelected; }
    // Start offset in bytes of the export being started.
    std::int64_t ExportOffset() const { return m_exportOffset; }

    void OnExportImage();
    void OnExportDisk();
    // Continues the export that the map of the row's LUN says is unfinished
    // (the one its last export kept); OnResumeFromMap asks for the map.
    void OnExportResume();
    void OnResumeFromMap();
    // The map the last export of row's LUN kept, when it says the export is
    // unfinished; empty otherwise.
    QString ResumableMap(int row) const;

    // Asks for an empty folder and mounts the row's LUN there read-only
    // (lun-G-ID.img) through corvane-cli, which keeps the members open in
    // its own process until fusermount3 -u.
    void OnMountReadOnly();
    // The corvane-cli to run: next to this program, then the build tree's
    // ../cli/, then PATH. Empty when there is none.
    static QString CliProgram();
    // The arguments of that mount: the sources, mountPoint, --lun, and the
    // context's source maps and exclusions.
    QStringList MountArguments(const corvane::LunEntry& entry, const QString& mountPoint) const;

    // The hash the next export takes of its target: "", "sha256", "md5" or
    // "sha1".
    std::string ExportHash() const { return m_hash; }
    void SetExportHash(const std::string& hash);

    // An export thread runs (from its start to the end of its result).
    bool ExportRunning() const;
    // Asks the running export to stop between stripes (no-op without one).
    void StopExport();
    // The main window is about to close: true when nothing runs; otherwise
    // asks whether to stop the export, and if so stops it and closes the
    // window once its threads have left. False: keep the window open.
    bool CanCloseFrame();
    // Stops a running export and waits for its threads, without asking;
    // for the frame's destruction.
    void EndExportNow();

    // ExportProgressFn of the export thread: WM_EXPORT_PROGRESS to the main
    // frame, waiting until it is shown. Returns 0.
    static int ReportExportProgress(std::int32_t total, std::int32_t done, void* user);

    bool OnUpdateCmdUI(CCmdUI& ui) override;
    bool OnCmdMsg(int id) override;

Q_SIGNALS:
    // An export's thread has ended and its result has been shown.
    void exportFinished();

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    struct ExportRun;
    struct ExportRunDeleter {
        void operator()(ExportRun* run) const;
    };
    void SetUpColumns();
    void SetUpExportSide();
    void WatchForContextMenu(QAbstractItemView* view);
    // The export job for entry: its map next to an image file, the target
    // opened. Null, after the failure was shown, when it cannot start.
    // resumeMap: continue the export that map describes (no restart).
    std::unique_ptr<corvane::ExportJob> PrepareJob(corvane::LunEntry* entry, const QString& targetName,
                                                   std::uint64_t offset, bool imageFile,
                                                   const QString& resumeMap = QString());
    // Resumes entry's export from map, after saying from where and asking.
    void ResumeFrom(corvane::LunEntry* entry, const QString& map);
    void StartExport(corvane::LunEntry* entry, std::uint64_t offset, const QString& targetName, bool imageFile,
                     std::unique_ptr<corvane::ExportJob> job, const QString& resumeMap = QString());
    // The export as corvane-cli takes it, for the map's header.
    std::string CommandLine(const corvane::LunEntry& entry, const std::string& target, std::int64_t sectors,
                            const std::string& mapName, const std::string& hash) const;
    // A read-only look at a target before it is opened for writing.
    struct TargetPeek {
        bool device = false; // a block device
        QString node;        // what the name opens
        QString description;
        std::uint64_t size = 0;
        QString refusal;     // why the export would refuse it; empty: it would not
    };
    static TargetPeek PeekTarget(const corvane::EvaContext& ctx, const QString& path,
                                 std::uint64_t start, std::uint64_t bytes);
    // Asks before a disk device is written: device, node, description
    // (info when given), size and the start sector. False on no.
    bool ConfirmDiskWrite(corvane::LunEntry* entry, const QString& device, const TargetPeek& peek,
                          std::int64_t sector, const QString& info = QString());
    void OnExportThreadDone();
    // The damage report of a finished, stopped or failed export.
    void ShowExportResult(const ExportRun& run);
    bool SaveDamageMap(const ExportRun& run, const QString& path, QString& error);
    // Where the last export of a LUN went, so it can be resumed.
    struct LastExport {
        QString target;
        QString mapPath;
        std::uint64_t offset = 0;
        bool imageFile = false;
    };
    static QString LunKey(const corvane::LunEntry& entry);
    void RememberExport(const ExportRun& run, const QString& mapPath);

    std::uint32_t m_mode = LVS_REPORT;
    QStandardItemModel* m_model;
    QTableView* m_report;
    QListView* m_icons;

    QMenu* m_lunMenu = nullptr;
    int m_nSelected = -1;
    int m_menuRow = -1; // the row the menu being shown is for
    std::string m_hash;
    std::map<QString, LastExport> m_lastExports; // by LunKey
    std::int64_t m_exportOffset = 0;
    QString m_mapProblem; // why the export about to start keeps no map next to its image
    bool m_closeAfterExport = false;
    // While "stop the export?" is up: it is withdrawn when this goes.
    std::unique_ptr<QObject> m_closeQuestion;
    // An export that ended while the close question was up; its report is
    // shown once the question has gone.
    std::unique_ptr<ExportRun, ExportRunDeleter> m_pendingResult;
    // Last member: it is taken apart first, stopping and joining a running
    // export before anything else of the view goes.
    std::unique_ptr<ExportRun, ExportRunDeleter> m_run;
};

} // namespace corvane::ui
