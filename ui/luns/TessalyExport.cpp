// The export side of the LUN list: the context menu "操作LUN", the two export
// commands, the export thread and the message that ends an export.
#include "ui/luns/TessalyView.h"

#include "engine/Context.h"
#include "engine/Errors.h"
#include "export/Export.h"
#include "export/ExportState.h"
#include "export/ExportTarget.h"
#include "export/RescueMap.h"
#include "ui/common/Busy.h"
#include "ui/common/WindowMessages.h"
#include "ui/luns/ExportDialogs.h"
#include "ui/luns/ExportSeting.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QCoreApplication>
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

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
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
    std::uint64_t offset = 0;
    std::uint64_t bytes = 0;   // the LUN's bytes the export writes
    bool imageFile = false;    // a file named in the save dialog
    QString target;            // as the user named it

    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::thread thread;

    bool ok = false;
    QString text;   // the code's text on failure
    QString reason; // what the engine said about it
    ExportReport report;

    void Body();
    // Stops the export if it still runs and waits for its thread.
    void StopAndJoin();
    ~ExportRun() { StopAndJoin(); }
};

void CTessalyView::ExportRunDeleter::operator()(ExportRun* run) const { delete run; }

void CTessalyView::ExportRun::Body()
{
    ExportControl control;
    control.stop = &stop;
    control.report = &report;
    try {
        report = ExportLun(*ctx, *records, offset, &CTessalyView::ReportExportProgress, view,
                           control);
        ok = true;
    } catch (const EvaError& e) {
        text = QString::fromStdString(MessageText(e.what()));
        reason = QString::fromStdString(e.reason());
    } catch (const std::exception& e) {
        text = QString::fromStdString(MessageText(e.what()));
    } catch (...) {
        text = QString::fromStdString(MessageText(""));
    }
    if (ok && report.Finished() && !report.cancelled) {
        // A replaced image file holds the LUN and nothing after it: the
        // target is never truncated up front (a file that turns out to be
        // refused must keep its bytes), so a longer old file is cut here.
        if (imageFile) {
            ExportState& st = AttachExportState(*ctx);
            struct stat info {};
            const int fd = st.target.io ? st.target.io->Handle() : -1;
            if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                std::uint64_t(info.st_size) > bytes && ::ftruncate(fd, off_t(bytes)) != 0) {
                ok = false;
                text = QString::fromUtf8(CodeText(kWriteFailed));
                reason = QStringLiteral("%1: %2").arg(target, QString::fromLocal8Bit(
                                                                  std::strerror(errno)));
            }
        }
        if (ok)
            SendExportFinished(report.stripes);
    }
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
void ShowEngineFailure(QWidget* parent, const std::exception& e)
{
    QString reason;
    if (const auto* eva = dynamic_cast<const EvaError*>(&e))
        reason = QString::fromStdString(eva->reason());
    ShowFailure(parent, QString::fromStdString(MessageText(e.what())), reason);
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
    // The entries follow the commands' states of this moment (an export
    // running disables them); "导出数据配置" stays grayed.
    for (QAction* action : m_lunMenu->findChildren<QAction*>()) {
        const int id = action->data().toInt();
        if (id == ID_EXPORT_IMAGE || id == ID_EXPORT_DISK) {
            CCmdUI ui;
            ui.id = id;
            OnUpdateCmdUI(ui);
            action->setEnabled(ui.enabled);
        }
    }
    QAction* chosen = CExportDialogs::Current().trackPopupMenu(m_lunMenu, globalPos);
    // The command that follows works on the row of this very click.
    m_nSelected = row;
    if (chosen && chosen->isEnabled()) {
        const int id = chosen->data().toInt();
        if (id == ID_EXPORT_IMAGE || id == ID_EXPORT_DISK)
            OnCmdMsg(id);
    }
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
    default:
        return false;
    }
}

void CTessalyView::OnExportImage()
{
    if (m_nSelected < 0 || !m_pContext || IsBusy() || m_run)
        return;
    LunEntry* entry = RowEntry(m_nSelected);
    if (!entry)
        return;
    const QString path = CExportDialogs::Current().imageFile(this);
    if (path.isEmpty())
        return;
    try {
        OpenExportTarget(*m_pContext, path.toStdU16String(), 0, entry->CoveredBytes());
    } catch (const std::exception& e) {
        ShowEngineFailure(this, e);
        return;
    }
    // A device node picked in the file dialog is a disk all the same.
    if (AttachExportState(*m_pContext).target.device &&
        !ConfirmDiskWrite(entry, path, QString(), 0))
        return;
    m_exportOffset = 0;
    StartExport(entry, 0, path, true);
}

bool CTessalyView::ConfirmDiskWrite(LunEntry* entry, const QString& device, const QString& info,
                                    std::int64_t sector)
{
    // Named from the handle that was opened, so the user confirms the
    // device that will really be written.
    ExportState& st = AttachExportState(*m_pContext);
    QString node = device;
    QString description = info;
    std::uint64_t size = 0;
    if (st.target.io) {
        node = QString::fromStdString(st.target.io->OpenedPath());
        size = st.target.io->QuerySize();
        if (description.isEmpty() && st.target.io->Describe() > 0)
            description = QString::fromLocal8Bit(st.target.io->Description());
    }
    const QString question =
        tr("即将写入磁盘设备 %1（%2）：\n%3\n容量：%4（%5 字节）\n\n"
           "从扇区 %6 开始写入 LUN（组 %7，id %8）的 %9 数据，"
           "该范围内磁盘上原有的数据将被覆盖。\n\n确定要继续吗？")
            .arg(device, node, description.isEmpty() ? node : description, FormatBytes(size),
                 QString::number(size), QString::number(sector), QString::number(entry->group),
                 QString::number(entry->id), FormatBytes(entry->CoveredBytes()));
    const int answer = ShowMessage(this, {QMessageBox::Warning, AppCaption(), question,
                                          QMessageBox::Yes | QMessageBox::No, QMessageBox::No});
    if (answer == QMessageBox::Yes)
        return true;
    // Nothing was written; the device is not kept open.
    st.target.io.reset();
    return false;
}

void CTessalyView::OnExportDisk()
{
    if (m_nSelected < 0 || !m_pContext || IsBusy() || m_run)
        return;
    LunEntry* entry = RowEntry(m_nSelected);
    if (!entry)
        return;
    CDiskTarget target;
    if (!CExportDialogs::Current().diskTarget(this, target))
        return;
    try {
        // Refuses a source, a device in use and one too small, before
        // anything is written.
        OpenExportTarget(*m_pContext, target.device.toStdU16String(), target.startOffset,
                         entry->CoveredBytes());
    } catch (const std::exception& e) {
        ShowEngineFailure(this, e);
        return;
    }

    if (!ConfirmDiskWrite(entry, target.device, target.info, target.sectors))
        return;
    m_exportOffset = std::int64_t(target.startOffset);
    StartExport(entry, target.startOffset, target.device, false);
}

void CTessalyView::StartExport(LunEntry* entry, std::uint64_t offset, const QString& targetName,
                               bool imageFile)
{
    if (!TryBeginBusy(BusyJob::Export))
        return;
    std::unique_ptr<ExportRun, ExportRunDeleter> run(new ExportRun);
    run->view = this;
    run->ctx = m_pContext;
    run->group = entry->group;
    run->id = entry->id;
    run->records = &entry->stripeRecords;
    run->offset = offset;
    run->bytes = entry->CoveredBytes();
    run->target = targetName;
    run->imageFile = imageFile;
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
    if (m_closeAfterExport) {
        // The user chose to stop the export and quit: no result box.
        m_closeAfterExport = false;
        Q_EMIT exportFinished();
        QPointer<QWidget> frame = window();
        QTimer::singleShot(0, frame, [frame] {
            if (frame)
                frame->close();
        });
        return;
    }
    ShowExportResult(*run);
    Q_EMIT exportFinished();
}

void CTessalyView::ShowExportResult(const ExportRun& run)
{
    const ExportReport& rep = run.report;
    const QString written = tr("已写入 %1/%2 个条带。").arg(rep.firstStripe + rep.written).arg(rep.stripes);
    if (!run.ok) {
        ShowFailure(this, run.text, run.reason, rep.stripes ? written : QString());
        return;
    }
    if (rep.cancelled || !rep.Finished()) {
        ShowMessage(this, {QMessageBox::Warning, AppCaption(),
                           tr("导出已停止，目标上的数据不完整。") + QLatin1Char('\n') + written});
        return;
    }
    QString text = tr("导出成功！");
    if (rep.rebuilt == 0 && rep.damaged == 0) {
        ShowMessage(this, {QMessageBox::Warning, AppCaption(), text});
        return;
    }
    // Not a clean copy: say how much was rebuilt and how much is zeros.
    text += QLatin1Char('\n') + tr("由校验重建的条带：%1 个；无法恢复、已填零的条带：%2 个。")
                                     .arg(rep.rebuilt)
                                     .arg(rep.damaged);
    CMessageRequest box{QMessageBox::Warning, AppCaption(), text};
    if (!rep.zeroRanges.empty())
        box.extraButton = tr("保存损坏映射...");
    while (ShowMessage(this, box) == kExtraButton) {
        QString savedTo;
        if (SaveDamageMap(run, savedTo)) {
            box.text = text + QLatin1Char('\n') + tr("损坏映射已保存到 %1").arg(savedTo);
        }
    }
}

bool CTessalyView::SaveDamageMap(const ExportRun& run, QString& savedTo)
{
    const ExportReport& rep = run.report;
    QString suggested = QStringLiteral("lun-%1-%2.map").arg(run.group).arg(run.id);
    if (run.imageFile)
        suggested = run.target + QStringLiteral(".map");
    const QString path = CExportDialogs::Current().mapFile(this, suggested);
    if (path.isEmpty())
        return false;

    // LUN byte positions: written bytes are good, the zero-filled ranges bad.
    RescueMap map(std::uint64_t(rep.stripes) * kRunSize);
    ApplyReport(map, rep);
    map.notes.push_back("corvane lun group " + std::to_string(run.group) + " id " +
                        std::to_string(run.id));
    map.notes.push_back("corvane target " + run.target.toStdString() + " start offset " +
                        std::to_string(run.offset));
    const std::string command = "corvane export lun " + std::to_string(run.group) + ":" +
                                std::to_string(run.id) + " " + run.target.toStdString();
    std::string error;
    if (!SaveFileAtomically(QFile::encodeName(path).toStdString(), map.Render(command), error)) {
        ShowFailure(this, tr("无法保存损坏映射。"), QString::fromStdString(error));
        return false;
    }
    savedTo = path;
    return true;
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
    if (m_closeAfterExport)
        return false; // already stopping; the window closes when it has
    const int answer =
        ShowMessage(this, {QMessageBox::Warning, AppCaption(),
                           tr("正在导出 LUN。是否停止导出并退出？\n已写入目标的数据将不完整。"),
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No});
    // The export may have ended while the question was up.
    if (!m_run)
        return answer == QMessageBox::Yes;
    if (answer != QMessageBox::Yes)
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
