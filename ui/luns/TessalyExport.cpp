// The export side of the LUN list: the context menu "操作LUN", the two export
// commands, the export thread and the message that ends an export.
#include "ui/luns/TessalyView.h"

#include "engine/Context.h"
#include "disk/Drives.h"
#include "engine/Errors.h"
#include "export/Export.h"
#include "export/ExportState.h"
#include "export/ExportTarget.h"
#include "export/ExportJob.h"
#include "export/RescueMap.h"
#include "ui/common/Busy.h"
#include "ui/common/WindowMessages.h"
#include "ui/luns/ExportDialogs.h"
#include "ui/luns/ExportSeting.h"

#include <QAbstractItemView>
#include <QActionGroup>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QPointer>
#include <QStandardItemModel>
#include <QTableView>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <system_error>
#include <thread>

namespace corvane::ui {

// One export in flight. The thread writes the outcome before it sets
// finished; the user-interface thread reads it only after joining.
struct CTessalyView::ExportRun {
    CTessalyView* view = nullptr;
    EvaContext* ctx = nullptr;
    std::uint32_t group = 0;
    std::uint32_t id = 0;
    const std::vector<LayoutRecord>* records = nullptr;
    const LunEntry* entry = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t bytes = 0;   // the LUN's bytes the export writes
    bool imageFile = false;    // a file named in the save dialog
    QString target;            // as the user named it
    std::int64_t sectors = 0;  // start sector, as the user typed it
    std::vector<std::string> sources; // what the analysis read, in order
    std::unique_ptr<ExportJob> job;   // prepared on this thread, run on the export's

    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::thread thread;

    bool ok = false;
    QString text;   // the code's text on failure
    QString reason; // what the engine said about it
    ExportReport report;
    QString mapPath;    // where the damage map went
    QString mapProblem; // why it did not go where it should
    bool resumed = false;  // continued from a map of an earlier run
    std::string hashAlgorithm, hash; // asked for, and taken (finished only)

    void Body();
    // Stops the export if it still runs and waits for its thread.
    void StopAndJoin();
    ~ExportRun() { StopAndJoin(); }
};

void CTessalyView::ExportRunDeleter::operator()(ExportRun* run) const { delete run; }

void CTessalyView::ExportRun::Body()
{
    try {
        const ExportJobResult& result = job->Run();
        report = result.report;
        ok = result.status == 0;
        if (!ok) {
            text = QString::fromStdString(result.text);
            reason = QString::fromStdString(result.reason);
        }
        if (!result.warnings.empty())
            mapProblem = QString::fromStdString(result.warnings.front());
        resumed = result.report.firstStripe > 0;
        hashAlgorithm = result.hashAlgorithm;
        hash = result.hash;
    } catch (const std::exception& e) {
        ok = false;
        text = QString::fromStdString(MessageText(e.what()));
    } catch (...) {
        ok = false;
        text = QString::fromStdString(MessageText(""));
    }
    if (ok && report.Finished() && !report.cancelled)
        SendExportFinished(report.stripes);
    finished.store(true);
    // Back to the view's thread; dropped if the view is already gone (it
    // joins this thread before it goes, so it is still there now).
    CTessalyView* v = view;
    QMetaObject::invokeMethod(v, [v] { v->OnExportThreadDone(); }, Qt::QueuedConnection);
}

void CTessalyView::ExportRun::StopAndJoin()
{
    if (!thread.joinable())
        return;
    stop.store(true);
    // The thread may wait in a progress message to the main frame on this
    // thread: deliver those while waiting, so it can reach the stop.
    const bool onGuiThread = QCoreApplication::instance() &&
                             QThread::currentThread() == QCoreApplication::instance()->thread();
    while (!finished.load()) {
        if (onGuiThread)
            QCoreApplication::sendPostedEvents(nullptr, WM_EXPORT_PROGRESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    thread.join();
}

namespace {

QAction* AddCommand(QMenu* menu, const QString& text, int id)
{
    QAction* action = menu->addAction(text);
    action->setData(id);
    action->setObjectName(QStringLiteral("command_%1").arg(id));
    return action;
}

void ShowFailure(QWidget* parent, const QString& text, const QString& reason,
                 const QString& extra = QString())
{
    QString message = text;
    if (!reason.isEmpty())
        message += QLatin1Char('\n') + reason;
    if (!extra.isEmpty())
        message += QLatin1Char('\n') + extra;
    // As every text of the error codes: caption, OK, no icon.
    ShowMessage(parent, {QMessageBox::NoIcon, CodeCaption(), message});
}

// An engine failure as the user sees it: the code's text and the reason.
// An argument as a POSIX shell reads it back unchanged: plain words as
// they are, anything else in single quotes.
std::string ShellQuote(const std::string& arg)
{
    const bool plain = !arg.empty() && std::all_of(arg.begin(), arg.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_@%+=:,./-", c);
    });
    if (plain)
        return arg;
    std::string out = "'";
    for (char c : arg) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

// Who writes the window's maps, in their header.
constexpr const char* kMapWriter = "corvane (desktop program)";

// A hash as people write its name.
QString HashLabel(const std::string& name)
{
    if (name == "sha256")
        return QStringLiteral("SHA-256");
    if (name == "sha1")
        return QStringLiteral("SHA-1");
    if (name == "md5")
        return QStringLiteral("MD5");
    return QString::fromStdString(name);
}

struct HashChoice {
    int id;
    const char* name;
};
constexpr HashChoice kHashChoices[] = {{ID_EXPORT_HASH_NONE, ""},
                                       {ID_EXPORT_HASH_SHA256, "sha256"},
                                       {ID_EXPORT_HASH_MD5, "md5"},
                                       {ID_EXPORT_HASH_SHA1, "sha1"}};

// The export a map's note names: "corvane lun G:I ... offset O target dev D
// ino I path P". False when the map carries no such note (one rewritten by
// ddrescuelog).
bool NotedExport(const RescueMap& map, QString& target, std::uint64_t& offset, std::string& head)
{
    for (const std::string& note : map.notes) {
        if (note.rfind("corvane lun ", 0) != 0)
            continue;
        const size_t at = note.find(" offset ");
        const size_t path = note.find(" path ");
        const size_t dev = note.find(" target dev ");
        if (at == std::string::npos || path == std::string::npos || dev == std::string::npos)
            return false;
        head = note.substr(0, dev);
        char* end = nullptr;
        offset = std::strtoull(note.c_str() + at + 8, &end, 10);
        target = QFile::decodeName(QByteArray::fromStdString(note.substr(path + 6)));
        return !target.isEmpty();
    }
    return false;
}

// Loads a mapfile; false with error when it is none.
bool LoadRescueMap(const QString& path, RescueMap& map, QString& error)
{
    std::string text, why;
    if (!LoadFile(QFile::encodeName(path).toStdString(), text, why) || !RescueMap::Parse(text, map, why)) {
        error = QString::fromStdString(why);
        return false;
    }
    return true;
}

} // namespace

void CTessalyView::SetUpExportSide()
{
    m_lunMenu = new QMenu(tr("操作LUN"), this);
    m_lunMenu->setObjectName(QStringLiteral("IDR_LUN_MENU"));
    QMenu* exportTo = m_lunMenu->addMenu(tr("导出到"));
    exportTo->setObjectName(QStringLiteral("menu_export_to"));
    AddCommand(exportTo, tr("镜像文件"), ID_EXPORT_IMAGE);
    AddCommand(exportTo, tr("磁盘设备"), ID_EXPORT_DISK);
    AddCommand(m_lunMenu, tr("恢复导出"), ID_EXPORT_RESUME);
    AddCommand(m_lunMenu, tr("从映射文件恢复导出..."), ID_EXPORT_RESUME_FROM_MAP);
    // What every export (and resume) takes of its target when it is
    // finished; shown in the damage report and the map.
    QMenu* hash = m_lunMenu->addMenu(tr("校验值"));
    hash->setObjectName(QStringLiteral("menu_hash"));
    auto* hashes = new QActionGroup(hash);
    for (const HashChoice& c : kHashChoices) {
        QAction* a = AddCommand(hash, *c.name ? HashLabel(c.name) : tr("不计算"), c.id);
        a->setCheckable(true);
        a->setChecked(c.name == m_hash);
        hashes->addAction(a);
    }
    AddCommand(m_lunMenu, tr("挂载(只读)"), ID_MOUNT_READONLY);
    // Never offered: the entry stays as the menu has it, grayed.
    AddCommand(m_lunMenu, tr("导出数据配置"), ID_EXPORT_DATA_CONFIG)->setEnabled(false);

    WatchForContextMenu(m_report);
    WatchForContextMenu(m_icons);
}

void CTessalyView::WatchForContextMenu(QAbstractItemView* view)
{
    view->setContextMenuPolicy(Qt::DefaultContextMenu);
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
}

bool CTessalyView::eventFilter(QObject* watched, QEvent* e)
{
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(m_report),
                                    static_cast<QAbstractItemView*>(m_icons)}) {
        if (watched == view->viewport() && e->type() == QEvent::ContextMenu) {
            auto* ce = static_cast<QContextMenuEvent*>(e);
            if (ce->reason() == QContextMenuEvent::Mouse) {
                const QModelIndex index = view->indexAt(ce->pos());
                OnRightClick(index.isValid() ? index.row() : -1, ce->globalPos());
            } else {
                OnContextMenuKey();
            }
            return true;
        }
        if (watched == view) {
            if (e->type() == QEvent::ContextMenu) {
                OnContextMenuKey();
                return true;
            }
            if (e->type() == QEvent::KeyPress) {
                const auto* ke = static_cast<QKeyEvent*>(e);
                if (ke->key() == Qt::Key_Menu ||
                    (ke->key() == Qt::Key_F10 && ke->modifiers() == Qt::ShiftModifier)) {
                    OnContextMenuKey();
                    return true;
                }
            }
        }
    }
    return QStackedWidget::eventFilter(watched, e);
}

void CTessalyView::OnRightClick(int row, const QPoint& globalPos)
{
    // The entries follow the commands' states of this moment for this row
    // (an export running disables them, "恢复导出" needs an unfinished map);
    // "导出数据配置" stays grayed.
    m_menuRow = row;
    for (QAction* action : m_lunMenu->findChildren<QAction*>()) {
        const int id = action->data().toInt();
        if (id == 0 || id == ID_EXPORT_DATA_CONFIG)
            continue;
        CCmdUI ui;
        ui.id = id;
        if (OnUpdateCmdUI(ui)) {
            action->setEnabled(ui.enabled);
            if (action->isCheckable())
                action->setChecked(ui.checked);
        }
    }
    QAction* chosen = CExportDialogs::Current().trackPopupMenu(m_lunMenu, globalPos);
    m_menuRow = -1;
    // The command that follows works on the row of this very click.
    m_nSelected = row;
    if (chosen && chosen->isEnabled())
        OnCmdMsg(chosen->data().toInt());
}

void CTessalyView::OnContextMenuKey()
{
    QAbstractItemView* view = m_mode == LVS_REPORT ? static_cast<QAbstractItemView*>(m_report)
                                                   : static_cast<QAbstractItemView*>(m_icons);
    const QModelIndex current = view->currentIndex();
    QPoint at = view->viewport()->mapToGlobal(QPoint(0, 0));
    if (current.isValid())
        at = view->viewport()->mapToGlobal(view->visualRect(current).bottomLeft());
    OnRightClick(current.isValid() ? current.row() : -1, at);
}

bool CTessalyView::OnUpdateCmdUI(CCmdUI& ui)
{
    switch (ui.id) {
    case ID_EXPORT_IMAGE:
    case ID_EXPORT_DISK:
        // One export (or analysis) at a time: the context has one writer
        // ring and one target.
        ui.Enable(!IsBusy() && !m_run);
        return true;
    case ID_EXPORT_RESUME:
        ui.Enable(!IsBusy() && !m_run && !ResumableMap(m_menuRow).isEmpty());
        return true;
    case ID_EXPORT_RESUME_FROM_MAP:
    case ID_MOUNT_READONLY:
        ui.Enable(!IsBusy() && !m_run && RowEntry(m_menuRow));
        return true;
    case ID_EXPORT_HASH_NONE:
    case ID_EXPORT_HASH_SHA256:
    case ID_EXPORT_HASH_MD5:
    case ID_EXPORT_HASH_SHA1:
        for (const HashChoice& c : kHashChoices)
            if (c.id == ui.id)
                ui.SetRadio(c.name == m_hash);
        return true;
    case ID_EXPORT_DATA_CONFIG:
        ui.Enable(false);
        return true;
    default:
        return false;
    }
}

bool CTessalyView::OnCmdMsg(int id)
{
    switch (id) {
    case ID_EXPORT_IMAGE:
        OnExportImage();
        return true;
    case ID_EXPORT_DISK:
        OnExportDisk();
        return true;
    case ID_EXPORT_RESUME:
        OnExportResume();
        return true;
    case ID_EXPORT_RESUME_FROM_MAP:
        OnResumeFromMap();
        return true;
    case ID_MOUNT_READONLY:
        OnMountReadOnly();
        return true;
    case ID_EXPORT_HASH_NONE:
    case ID_EXPORT_HASH_SHA256:
    case ID_EXPORT_HASH_MD5:
    case ID_EXPORT_HASH_SHA1:
        for (const HashChoice& c : kHashChoices)
            if (c.id == id)
                SetExportHash(c.name);
        return true;
    default:
        return false;
    }
}

void CTessalyView::OnExportImage()
{
    LunEntry* entry = ChosenEntry();
    if (!entry)
        return;
    const QString path = CExportDialogs::Current().imageFile(this);
    if (path.isEmpty())
        return;
    // A device node picked in the file dialog is a disk all the same: asked
    // for before it is opened for writing.
    const TargetPeek peek = PeekTarget(*m_pContext, path, 0, entry->CoveredBytes());
    if (peek.device) {
        if (!peek.refusal.isEmpty()) {
            ShowFailure(this, QString::fromUtf8(CodeText(kOpenDeviceFailed)), peek.refusal);
            return;
        }
        if (!ConfirmDiskWrite(entry, path, peek, 0))
            return;
    }
    std::unique_ptr<ExportJob> job = PrepareJob(entry, path, 0, true);
    if (!job)
        return;
    // A device where the look beforehand found none (it was replaced in
    // between): asked now, from the handle held.
    ExportState& st = AttachExportState(*m_pContext);
    if (st.target.device && !peek.device &&
        !ConfirmDiskWrite(entry, path, PeekTarget(*m_pContext, path, 0, 0), 0)) {
        st.target.io.reset();
        return;
    }
    m_exportOffset = 0;
    StartExport(entry, 0, path, true, std::move(job));
}

CTessalyView::TargetPeek CTessalyView::PeekTarget(const EvaContext& ctx, const QString& path,
                                                  std::uint64_t start, std::uint64_t bytes)
{
    TargetPeek peek;
    const std::string narrow = QFile::encodeName(path).toStdString();
    struct stat st {};
    if (::stat(JFileHandle::ResolveDrivePath(narrow).c_str(), &st) != 0)
        return peek; // a new file: nothing of it to look at
    peek.device = S_ISBLK(st.st_mode);
    peek.node = path;
    // Only what opens at once: a pipe or a terminal would hold the window.
    const bool openable = peek.device || S_ISREG(st.st_mode);
    if (auto io = openable ? JFileHandle::OpenDiskOrFile(path.toStdU16String(), false,
                                                         JFileHandle::Access::ReadOnly)
                           : nullptr) {
        peek.node = QString::fromStdString(io->OpenedPath());
        peek.size = io->QuerySize();
        if (io->Describe() > 0)
            peek.description = QString::fromLocal8Bit(io->Description());
    }
    // What OpenExportTarget would refuse, asked while nothing is written.
    const std::string why = TargetConflict(narrow, st, SourceIdentities(ctx));
    if (!why.empty())
        peek.refusal = tr("拒绝 %1：%2").arg(path, QString::fromStdString(why));
    else if (peek.device && (peek.size < start || peek.size - start < bytes))
        peek.refusal = tr("拒绝 %1：设备只有 %2 字节，导出需要 %3 字节（偏移 %4 + LUN %5）")
                           .arg(path, QString::number(peek.size),
                                QString::number(start + bytes), QString::number(start),
                                QString::number(bytes));
    return peek;
}

bool CTessalyView::ConfirmDiskWrite(LunEntry* entry, const QString& device, const TargetPeek& peek,
                                    std::int64_t sector, const QString& info)
{
    // Named from a read-only look at the device, so the user confirms the
    // device that will really be written before it is opened for writing.
    const QString description = !info.isEmpty() ? info : peek.description;
    const QString question =
        tr("即将写入磁盘设备 %1（%2）：\n%3\n容量：%4（%5 字节）\n\n"
           "从扇区 %6 开始写入 LUN（组 %7，id %8）的 %9 数据，"
           "该范围内磁盘上原有的数据将被覆盖。\n\n确定要继续吗？")
            .arg(device, peek.node, description.isEmpty() ? peek.node : description,
                 FormatBytes(peek.size), QString::number(peek.size), QString::number(sector),
                 QString::number(entry->group), QString::number(entry->id),
                 FormatBytes(entry->CoveredBytes()));
    const int answer = ShowMessage(this, {QMessageBox::Warning, AppCaption(), question,
                                          QMessageBox::Yes | QMessageBox::No, QMessageBox::No});
    return answer == QMessageBox::Yes;
}

void CTessalyView::OnExportDisk()
{
    LunEntry* entry = ChosenEntry();
    if (!entry)
        return;
    // The dialog greys the drives the export would refuse.
    const CTargetNeeds needs{SourceIdentities(*m_pContext), entry->CoveredBytes()};
    CDiskTarget target;
    if (!CExportDialogs::Current().diskTarget(this, needs, target))
        return;
    const TargetPeek peek =
        PeekTarget(*m_pContext, target.device, target.startOffset, entry->CoveredBytes());
    if (!peek.refusal.isEmpty()) {
        ShowFailure(this, QString::fromUtf8(CodeText(kOpenDeviceFailed)), peek.refusal);
        return;
    }
    if (!ConfirmDiskWrite(entry, target.device, peek, target.sectors, target.info))
        return;
    // Opened for writing only now. Still refuses a source, a device in use
    // and one too small, should one have become so meanwhile.
    std::unique_ptr<ExportJob> job = PrepareJob(entry, target.device, target.startOffset, false);
    if (!job)
        return;
    m_exportOffset = std::int64_t(target.startOffset);
    StartExport(entry, target.startOffset, target.device, false, std::move(job));
}

std::string CTessalyView::CommandLine(const LunEntry& entry, const std::string& target, std::int64_t sectors,
                                      const std::string& mapName, const std::string& hash) const
{
    // The same export as the command line takes it.
    std::ostringstream command;
    command << "corvane-cli export";
    for (const SourceEntry& source : m_pContext->sources) {
        command << ' ' << ShellQuote(source.path);
    }
    for (const SourceEntry& source : m_pContext->sources)
        if (!source.mapfile.empty())
            command << " --source-map " << ShellQuote(source.path + "=" + source.mapfile);
    command << " --lun " << entry.group << ':' << entry.id << " --to " << ShellQuote(target);
    if (sectors != 0)
        command << " --offset-sectors " << sectors;
    command << " --map " << ShellQuote(mapName);
    if (!hash.empty())
        command << " --hash " << hash;
    return command.str();
}

std::unique_ptr<ExportJob> CTessalyView::PrepareJob(LunEntry* entry, const QString& targetName, std::uint64_t offset,
                                                    bool imageFile, const QString& resumeMap)
{
    ExportJobSettings settings;
    settings.target = QFile::encodeName(targetName).toStdString();
    settings.startOffset = offset;
    settings.program = kMapWriter;
    settings.hash = m_hash;
    // Next to an image file by default, kept while the export runs, so what
    // is on the target is always described; a file of that name that is not
    // a mapfile is the user's and is left alone.
    m_mapProblem.clear();
    if (!resumeMap.isEmpty()) {
        settings.mapPath = QFile::encodeName(resumeMap).toStdString();
    } else if (imageFile) {
        const QString map = targetName + QStringLiteral(".map");
        std::string text, error;
        RescueMap old;
        const std::string name = QFile::encodeName(map).toStdString();
        if (QFileInfo::exists(map) && (!LoadFile(name, text, error) || !RescueMap::Parse(text, old, error)))
            m_mapProblem = tr("%1 已存在且不是映射文件，未覆盖；可另存到别处。").arg(map);
        else if (QFileInfo(targetName).absoluteDir().exists())
            settings.mapPath = name; // else the target itself cannot be opened, which is said

    }
    settings.commandLine =
        CommandLine(*entry, settings.target, std::int64_t(offset / 512),
                    settings.mapPath.empty() ? settings.target + ".map" : settings.mapPath, m_hash);
    settings.truncateWhenFinished = imageFile && offset == 0;
    // A new export: the user chose (and confirmed) this target afresh, and an
    // earlier map beside it describes an earlier export, not one to continue.
    // A resume continues where the map says, and refuses a map of another
    // export or a target that no longer matches it.
    settings.restart = resumeMap.isEmpty();
    settings.resume = !resumeMap.isEmpty();
    settings.progress = &CTessalyView::ReportExportProgress;
    settings.user = this;
    settings.console = stdout;
    auto job = std::make_unique<ExportJob>(*m_pContext, *entry, settings);
    if (!job->Prepare()) {
        const ExportJobResult& r = job->Result();
        QString text = QString::fromStdString(r.text.empty() ? r.message : r.text);
        // The command line's way to start over is not the window's.
        const qsizetype cli = text.indexOf(QStringLiteral("; give --restart"));
        if (cli >= 0)
            text = text.left(cli) + tr("。要从头导出，请用“导出到”。");
        ShowFailure(this, text, QString::fromStdString(r.reason));
        return nullptr;
    }
    return job;
}

void CTessalyView::StartExport(LunEntry* entry, std::uint64_t offset, const QString& targetName,
                               bool imageFile, std::unique_ptr<ExportJob> job, const QString& resumeMap)
{
    if (!TryBeginBusy(BusyJob::Export))
        return;
    std::unique_ptr<ExportRun, ExportRunDeleter> run(new ExportRun);
    run->view = this;
    run->ctx = m_pContext;
    run->group = entry->group;
    run->id = entry->id;
    run->records = &entry->stripeRecords;
    run->entry = entry;
    run->offset = offset;
    run->bytes = entry->CoveredBytes();
    run->target = targetName;
    run->imageFile = imageFile;
    run->sectors = std::int64_t(offset / 512);
    for (const SourceEntry& source : m_pContext->sources)
        run->sources.push_back(source.path);
    run->job = std::move(job);
    run->job->SetStop(&run->stop);
    if (!resumeMap.isEmpty())
        run->mapPath = resumeMap;
    else if (!m_mapProblem.isEmpty())
        run->mapProblem = m_mapProblem;
    else if (imageFile)
        run->mapPath = targetName + QStringLiteral(".map");
    try {
        ExportRun* r = run.get();
        run->thread = std::thread([r] { r->Body(); });
    } catch (const std::system_error&) {
        EndBusy(BusyJob::Export);
        ShowFailure(this, QString::fromUtf8(CodeText(kCreateThreadFailed)), QString());
        return;
    }
    m_run = std::move(run);
}

bool CTessalyView::ExportRunning() const { return bool(m_run); }

void CTessalyView::StopExport()
{
    if (m_run)
        m_run->stop.store(true);
}

void CTessalyView::OnExportThreadDone()
{
    if (!m_run || !m_run->finished.load())
        return;
    m_run->thread.join();
    std::unique_ptr<ExportRun, ExportRunDeleter> run = std::move(m_run);
    EndBusy(BusyJob::Export);
    // After a stop or a failure the bar ends at what is on the target, not
    // at the stripes started (a whole export has said so itself).
    const ExportReport& rep = run->report;
    const bool whole = run->ok && rep.Finished() && !rep.cancelled;
    if (rep.stripes > 0 && !whole)
        SendExportProgress(rep.stripes, rep.firstStripe + rep.written);
    // The job kept the map next to an image file; a save that failed is said.
    if (!run->mapProblem.isEmpty())
        run->mapPath.clear();
    RememberExport(*run, run->mapPath);
    if (m_closeAfterExport) {
        // The user chose to stop the export and quit: no report.
        m_closeAfterExport = false;
        Q_EMIT exportFinished();
        QPointer<QWidget> frame = window();
        QTimer::singleShot(0, frame, [frame] {
            if (frame)
                frame->close();
        });
        return;
    }
    if (m_closeQuestion) {
        // "Stop the export?" is up and no longer holds: it is withdrawn,
        // and the report follows once it has gone (CanCloseFrame).
        m_pendingResult = std::move(run);
        m_closeQuestion.reset();
        return;
    }
    ShowExportResult(*run);
    Q_EMIT exportFinished();
}

void CTessalyView::ShowExportResult(const ExportRun& run)
{
    QString failure = run.text;
    if (!run.reason.isEmpty())
        failure += QLatin1Char('\n') + run.reason;
    DamageReportData report = ToDamageReport(run.report, run.ok, failure);
    report.group = run.group;
    report.id = run.id;
    report.target = run.target;
    report.mapPath = run.mapPath;
    report.mapProblem = run.mapProblem;
    if (run.resumed) {
        // This run wrote only the rest; the map holds the whole LUN, also
        // what earlier runs lost.
        report.resumedFrom = std::uint64_t(run.report.firstStripe) * kRunSize;
        report.lostRanges.clear();
        report.bytesLost = 0;
        for (const MapSpan& span : run.job->Map().Spans())
            if (span.status == '-' && span.pos < run.bytes) {
                const std::uint64_t length = std::min(span.size, run.bytes - span.pos);
                report.lostRanges.emplace_back(span.pos, length);
                report.bytesLost += length;
            }
    }
    if (!run.hashAlgorithm.empty())
        report.hash = run.hash.empty()
                          ? tr("%1：未计算（只有完成的导出才有）").arg(HashLabel(run.hashAlgorithm))
                          : HashLabel(run.hashAlgorithm) + QLatin1Char(' ') + QString::fromStdString(run.hash);
    const CDamageReport::SaveMap saveMap = [this, &run](QWidget* parent) -> QString {
        const QString suggested = run.imageFile
                                      ? run.target + QStringLiteral(".map")
                                      : QStringLiteral("lun-%1-%2.map").arg(run.group).arg(run.id);
        const QString path = CExportDialogs::Current().mapFile(parent, suggested);
        if (path.isEmpty())
            return QString();
        QString error;
        if (!SaveDamageMap(run, path, error)) {
            ShowFailure(parent, tr("无法保存损坏映射。"), error);
            return QString();
        }
        RememberExport(run, path);
        return path;
    };
    CExportDialogs::Current().damageReport(this, report, saveMap);
}

bool CTessalyView::SaveDamageMap(const ExportRun& run, const QString& path, QString& error)
{
    const std::string mapName = QFile::encodeName(path).toStdString();
    // The job's map as it ended: written bytes good, the lost ranges bad,
    // the rest not yet done, with the note a resume checks.
    RescueMap map = run.job->Map();
    ApplyReport(map, run.report);
    // A map of its own (a disk export keeps none while it runs) names its
    // export too, so it can be resumed; by the node the name opened.
    if (map.notes.empty())
        map.notes.push_back(ExportIdentity(
            *run.entry, run.offset, JFileHandle::ResolveDrivePath(QFile::encodeName(run.target).toStdString())));
    // And the hash, as the job writes it into a map it keeps.
    if (!run.hash.empty() && map.notes.size() < 2)
        map.notes.push_back("corvane " + run.hashAlgorithm + " " + run.hash + " of the LUN's " +
                            std::to_string(run.bytes) + " bytes on the target");
    std::string failure;
    if (!SaveFileAtomically(mapName, map.Render(CommandLine(*run.entry, QFile::encodeName(run.target).toStdString(),
                                                            run.sectors, mapName, run.hashAlgorithm),
                                                kMapWriter),
                            failure)) {
        error = QString::fromStdString(failure);
        return false;
    }
    return true;
}

QString CTessalyView::LunKey(const LunEntry& entry)
{
    // The job checks the map against the LUN's stripe records; this only
    // finds the export the user last made of it.
    return QStringLiteral("%1:%2:%3").arg(entry.group).arg(entry.id).arg(entry.stripeRecords.size());
}

void CTessalyView::RememberExport(const ExportRun& run, const QString& mapPath)
{
    if (mapPath.isEmpty() || !run.entry)
        return;
    m_lastExports[LunKey(*run.entry)] = {run.target, mapPath, run.offset, run.imageFile};
}

QString CTessalyView::ResumableMap(int row) const
{
    const LunEntry* entry = RowEntry(row);
    if (!entry)
        return QString();
    const auto it = m_lastExports.find(LunKey(*entry));
    if (it == m_lastExports.end())
        return QString();
    RescueMap map;
    QString error;
    if (!LoadRescueMap(it->second.mapPath, map, error) || map.FirstNotDone() >= map.Size())
        return QString();
    return it->second.mapPath;
}

void CTessalyView::SetExportHash(const std::string& hash)
{
    m_hash = KnownHash(hash) ? hash : std::string();
    for (QAction* action : m_lunMenu->findChildren<QAction*>())
        for (const HashChoice& c : kHashChoices)
            if (action->data().toInt() == c.id)
                action->setChecked(c.name == m_hash);
}

void CTessalyView::OnExportResume()
{
    LunEntry* entry = ChosenEntry();
    const QString map = entry ? ResumableMap(m_nSelected) : QString();
    if (!map.isEmpty())
        ResumeFrom(entry, map);
}

void CTessalyView::OnResumeFromMap()
{
    LunEntry* entry = ChosenEntry();
    if (!entry)
        return;
    const QString map = CExportDialogs::Current().resumeMapFile(this);
    if (!map.isEmpty())
        ResumeFrom(entry, map);
}

void CTessalyView::ResumeFrom(LunEntry* entry, const QString& mapPath)
{
    RescueMap map;
    QString error;
    if (!LoadRescueMap(mapPath, map, error)) {
        ShowFailure(this, tr("无法读取映射文件 %1。").arg(mapPath), error);
        return;
    }
    const std::uint64_t covered = entry->CoveredBytes();
    const std::uint64_t next = std::min(map.FirstNotDone(), covered);
    if (map.FirstNotDone() >= map.Size()) {
        ShowMessage(this, {QMessageBox::Information, AppCaption(),
                           tr("映射文件 %1 表明这次导出已经完成，没有要继续的部分。").arg(mapPath)});
        return;
    }
    // The target: as the map's note names it, else as this window last
    // wrote with that map, else the image the map lies beside.
    QString target;
    std::uint64_t offset = 0;
    std::string head;
    if (NotedExport(map, target, offset, head)) {
        // Said before anything is asked: the map of another LUN (or group, or
        // place on the target) cannot continue this one.
        const std::string mine = ExportIdentity(*entry, offset, std::string());
        const std::string want = mine.substr(0, mine.find(" target dev "));
        if (head != want) {
            ShowFailure(this,
                        tr("映射文件 %1 属于另一次导出，不能用来继续这个 LUN（组 %2，id %3）。")
                            .arg(mapPath, QString::number(entry->group), QString::number(entry->id)),
                        QString::fromStdString(head + "\n" + want));
            return;
        }
    } else {
        target.clear();
        offset = 0;
        for (const auto& [key, last] : m_lastExports)
            if (last.mapPath == mapPath) {
                target = last.target;
                offset = last.offset;
            }
        const QString beside = mapPath.endsWith(QStringLiteral(".map")) ? mapPath.chopped(4) : QString();
        if (target.isEmpty() && !beside.isEmpty() && QFileInfo(beside).isFile())
            target = beside;
    }
    if (target.isEmpty()) {
        ShowFailure(this, tr("映射文件 %1 没有记下导出的目标（可能被其他程序改写过），无法继续。").arg(mapPath),
                    QString());
        return;
    }
    // A drive name continues on the node it opened when the map was written.
    target = QFile::decodeName(
        QByteArray::fromStdString(JFileHandle::ResolveDrivePath(QFile::encodeName(target).toStdString())));
    const TargetPeek peek = PeekTarget(*m_pContext, target, offset, covered);
    if (!peek.refusal.isEmpty()) {
        ShowFailure(this, QString::fromUtf8(CodeText(kOpenDeviceFailed)), peek.refusal);
        return;
    }
    QString question =
        tr("继续导出 LUN（组 %1，id %2）到 %3：\n映射文件 %4 记下已完成 %5 / %6 字节，"
           "从第 %7 字节（条带 %8 / %9）继续。")
            .arg(QString::number(entry->group), QString::number(entry->id), target, mapPath,
                 QString::number(next), QString::number(covered), QString::number(next),
                 QString::number(next / kRunSize), QString::number(entry->stripeRecords.size()));
    if (peek.device)
        question += tr("\n\n%1 是磁盘设备（%2，%3 字节），从扇区 %4 起的原有数据将被覆盖。")
                        .arg(target, peek.description.isEmpty() ? peek.node : peek.description,
                             QString::number(peek.size), QString::number((offset + next) / 512));
    question += tr("\n\n确定要继续吗？");
    const int answer =
        ShowMessage(this, {QMessageBox::Question, AppCaption(), question, QMessageBox::Yes | QMessageBox::No,
                           peek.device ? QMessageBox::No : QMessageBox::Yes});
    if (answer != QMessageBox::Yes)
        return;
    std::unique_ptr<ExportJob> job = PrepareJob(entry, target, offset, !peek.device, mapPath);
    if (!job)
        return;
    m_exportOffset = std::int64_t(offset);
    StartExport(entry, offset, target, !peek.device, std::move(job), mapPath);
}

int CTessalyView::ReportExportProgress(std::int32_t total, std::int32_t done, void* user)
{
    (void)user;
    SendExportProgress(std::uint32_t(total), std::uint32_t(done));
    return 0;
}

bool CTessalyView::CanCloseFrame()
{
    if (!m_run)
        return true;
    if (m_closeAfterExport || m_closeQuestion)
        return false; // already stopping, or already asking
    m_closeQuestion = std::make_unique<QObject>();
    CMessageRequest question{QMessageBox::Warning, AppCaption(),
                             tr("正在导出 LUN。是否停止导出并退出？\n已写入目标的数据将不完整。"),
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::No};
    question.withdrawnWith = m_closeQuestion.get();
    const int answer = ShowMessage(this, question);
    m_closeQuestion.reset();
    if (m_pendingResult) {
        // The export ended while the question was up: there is nothing to
        // stop, whatever was answered, and its report comes first. The
        // window stays; closing it again asks nothing.
        std::unique_ptr<ExportRun, ExportRunDeleter> run = std::move(m_pendingResult);
        ShowExportResult(*run);
        Q_EMIT exportFinished();
        return false;
    }
    if (!m_run || answer != QMessageBox::Yes)
        return false;
    m_closeAfterExport = true;
    m_run->stop.store(true);
    return false;
}

void CTessalyView::EndExportNow()
{
    if (!m_run)
        return;
    m_run->StopAndJoin();
    m_run.reset();
    m_closeAfterExport = false;
    EndBusy(BusyJob::Export);
}

} // namespace corvane::ui
