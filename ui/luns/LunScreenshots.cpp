#include "ui/luns/LunScreenshots.h"

#include "engine/Analysis.h"
#include "engine/Context.h"
#include "ui/app/MainFrm.h"
#include "ui/app/Screenshots.h"
#include "ui/common/WindowMessages.h"
#include "ui/luns/DamageReport.h"
#include "ui/luns/ExportDialogs.h"
#include "ui/luns/ExportSeting.h"
#include "ui/luns/TessalyView.h"
#include "engine/Report.h"
#include "probe/LunContent.h"
#include "ui/sources/LeftView.h"
#include "ui/sources/MemberMapDlg.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QEventLoop>
#include <QTimer>
#include <QStandardItemModel>
#include <QTableView>
#include <QTableWidget>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTextStream>
#include <QStyle>
#include <QToolTip>
#include <QTreeWidgetItem>

#include <memory>
#include <optional>

namespace corvane::ui {

namespace {

// The group the pictures show, analysed once: the member images of the
// folder CORVANE_SCREENSHOT_SAMPLE names (member*.img, in name order).
struct SampleGroup {
    EvaContext ctx;
    // The same group with two members left out and a source that is none.
    EvaContext degraded;
    // Where the exports go, named as a case folder would be.
    QTemporaryDir out{QDir::temp().filePath(QStringLiteral("case-XXXXXX"))};
    bool ready = false;
};

SampleGroup& Sample()
{
    static SampleGroup group;
    return group;
}

// The rows' tooltips end with what each LUN holds, as after the window's
// own analysis, whose worker probes them once the list shows.
void ShowLunsWithContent(EvaContext& ctx)
{
    SendWindowMessage(g_hLunView, WM_SHOW_LUNS, 0, reinterpret_cast<LPARAM>(&ctx));
    for (const auto& lun : ctx.lunList) {
        const LunContent content = ProbeLun(ctx, *lun);
        SendWindowMessage(g_hLunView, LunContentMessage(), reinterpret_cast<WPARAM>(lun.get()),
                          reinterpret_cast<LPARAM>(&content));
    }
}

bool LoadSample()
{
    SampleGroup& g = Sample();
    if (g.ready)
        return true;
    QTextStream err(stderr);
    const QString dir = qEnvironmentVariable("CORVANE_SCREENSHOT_SAMPLE");
    if (dir.isEmpty()) {
        err << "screenshots: CORVANE_SCREENSHOT_SAMPLE names no sample group\n";
        return false;
    }
    const QStringList members =
        QDir(dir).entryList({QStringLiteral("member*.img")}, QDir::Files, QDir::Name);
    for (const QString& m : members) {
        const QString path = QDir(dir).filePath(m);
        g.ctx.sources.push_back({QFile::encodeName(path).toStdString()});
        // The tree shows what the user would have added.
        const std::u16string wide = path.toStdU16String();
        SendWindowMessage(g_hLeftView, WM_ADD_SOURCE, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    }
    const AnalysisResult r = RunAnalysis(g.ctx);
    if (!r.ok()) {
        err << "screenshots: analysis of " << dir << " failed: " << QString::fromStdString(r.text)
            << '\n';
        return false;
    }
    ShowLunsWithContent(g.ctx);
    g.ready = true;
    return true;
}

QPoint RowPoint(CTessalyView* view, int row)
{
    QTableView* report = view->ReportView();
    const QRect r = report->visualRect(view->Model()->index(row, 0));
    return report->viewport()->mapToGlobal(r.center());
}

// The frame with the popup and its open submenu painted where they are.
QPixmap GrabWithMenus(CMainFrame* frame, const QList<QMenu*>& menus)
{
    QPixmap shot = frame->grab();
    QPainter p(&shot);
    for (QMenu* menu : menus)
        if (menu->isVisible())
            p.drawPixmap(frame->mapFromGlobal(menu->mapToGlobal(QPoint(0, 0))), menu->grab());
    return shot;
}

QPixmap LunList(CMainFrame* frame)
{
    if (!LoadSample())
        return QPixmap();
    frame->LunView()->ReportView()->selectRow(1);
    SettleEvents(200);
    return frame->grab();
}

QPixmap ContextMenu(CMainFrame* frame)
{
    if (!LoadSample())
        return QPixmap();
    CTessalyView* view = frame->LunView();
    view->ReportView()->selectRow(1);
    QPixmap shot;
    const CExportDialogs saved = CExportDialogs::Current();
    CExportDialogs d = saved;
    d.trackPopupMenu = [frame, &shot](QMenu* menu, const QPoint& at) -> QAction* {
        menu->popup(at);
        SettleEvents(200);
        QMenu* exportTo = menu->findChild<QMenu*>(QStringLiteral("menu_export_to"));
        if (exportTo) {
            menu->setActiveAction(exportTo->menuAction());
            const QRect item = menu->actionGeometry(exportTo->menuAction());
            exportTo->popup(menu->mapToGlobal(item.topRight()));
            exportTo->setActiveAction(exportTo->actions().value(0));
            SettleEvents(300);
        }
        shot = GrabWithMenus(frame, {menu, exportTo});
        if (exportTo)
            exportTo->hide();
        menu->hide();
        SettleEvents(100);
        return nullptr;
    };
    CExportDialogs::Current() = d;
    view->OnRightClick(1, RowPoint(view, 1));
    CExportDialogs::Current() = saved;
    return shot;
}

QPixmap Settings(CMainFrame* frame)
{
    // The sample's LUN of 96 MiB, so the rows are judged as for an export.
    CTargetNeeds needs;
    if (LoadSample()) {
        needs.sources = SourceIdentities(Sample().ctx);
        needs.bytes = Sample().ctx.lunList.back()->CoveredBytes();
    }
    // Drives this machine has; where none of them could take the LUN (a
    // confined run, or only the sample's own loop device), stand-ins show
    // the look: one in use, one usable, one read-only, one too small.
    bool any = false;
    for (int n = 0; n <= 128 && !any; ++n) {
        const std::optional<CDriveRow> drive = CExportSeting::ProbeDrive(n, needs.sources);
        any = drive && drive->unusable.isEmpty() && drive->size >= needs.bytes;
    }
    CExportSeting::DriveProbe probe;
    if (!any) {
        probe = [](int n) -> std::optional<CDriveRow> {
            struct Stand {
                const char* info;
                std::uint64_t size;
                const char* unusable;
            };
            static const Stand kDrives[] = {
                {"ATA Disk A, 465.8 GiB, /dev/sda", 500107862016ULL,
                 "\\\\.\\Physicaldrive0 is in use: /dev/sda1 is mounted on /"},
                {"ATA Disk B, 3726.0 GiB, /dev/sdb", 4000787030016ULL, ""},
                {"USB Disk C, 1863.0 GiB, /dev/sdc", 2000398934016ULL, "-"},
                {"USB Stick, 64.0 MiB, /dev/sdd", 67108864ULL, ""}};
            if (n > 3)
                return std::nullopt;
            // "-": the probe's own words for a write-protected drive.
            const QString unusable = qstrcmp(kDrives[n].unusable, "-") == 0
                                         ? CExportSeting::tr("只读设备")
                                         : QString::fromLatin1(kDrives[n].unusable);
            return CDriveRow{QStringLiteral("\\\\.\\Physicaldrive%1").arg(n),
                             QString::fromLatin1(kDrives[n].info), kDrives[n].size, unusable};
        };
    }
    CExportSeting dialog(frame, probe, needs);
    for (int r = 0; r < dialog.List()->rowCount(); ++r) {
        if (dialog.RowProblem(r).isEmpty()) {
            dialog.List()->selectRow(r);
            break;
        }
    }
    dialog.OffsetEdit()->setText(QStringLiteral("2048"));
    dialog.show();
    SettleEvents(300);
    QPixmap shot = dialog.grab();
    dialog.reject();
    return shot;
}

QPixmap ExportInProgress(CMainFrame* frame)
{
    if (!LoadSample())
        return QPixmap();
    SampleGroup& g = Sample();
    CTessalyView* view = frame->LunView();
    // The largest LUN, so the export is surely still running when grabbed.
    int row = 0;
    for (int r = 0; r < int(g.ctx.lunList.size()); ++r)
        if (g.ctx.lunList[size_t(r)]->stripeRecords.size() >
            g.ctx.lunList[size_t(row)]->stripeRecords.size())
            row = r;
    const int stripes = int(g.ctx.lunList[size_t(row)]->stripeRecords.size());
    view->ReportView()->selectRow(row);

    const CExportDialogs saved = CExportDialogs::Current();
    CExportDialogs d = saved;
    const QString target = g.out.filePath(QStringLiteral("lun.img"));
    d.imageFile = [target](QWidget*) { return target; };
    d.trackPopupMenu = [](QMenu* menu, const QPoint&) -> QAction* {
        for (QAction* a : menu->findChildren<QAction*>())
            if (a->data().toInt() == ID_EXPORT_IMAGE)
                return a;
        return nullptr;
    };
    // The stop at the end is asked for; its report is not shown.
    d.messageBox = [](QWidget*, const CMessageRequest&) { return int(QMessageBox::Ok); };
    d.damageReport = [](QWidget*, const DamageReportData&, const CDamageReport::SaveMap&) {};
    CExportDialogs::Current() = d;

    const int before = CMainFrame::s_progressCalls;
    view->OnRightClick(row, RowPoint(view, row));
    // Each stripe waits for the bar: let about 40 % of them through.
    const int wanted = before + std::max(1, stripes * 2 / 5);
    for (int i = 0; i < 500 && CMainFrame::s_progressCalls < wanted && view->ExportRunning(); ++i)
        SettleEvents(10);
    QPixmap shot = view->ExportRunning() ? frame->grab() : QPixmap();
    view->StopExport();
    if (view->ExportRunning()) {
        QEventLoop loop;
        QObject::connect(view, &CTessalyView::exportFinished, &loop, &QEventLoop::quit);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    CExportDialogs::Current() = saved;
    return shot;
}

bool ShowDegraded(CMainFrame* frame);
void ShowWhole(CMainFrame* frame);

// A row's tooltip: exact size, coverage and the sources it reads (of the
// degraded group also the slots without a member and the warnings).
QPixmap LunToolTip(CMainFrame* frame, bool degraded)
{
    if (!(degraded ? ShowDegraded(frame) : LoadSample()))
        return QPixmap();
    CTessalyView* view = frame->LunView();
    QTableView* report = view->ReportView();
    const int row = 2;
    report->selectRow(row);
    SettleEvents(200);
    const QRect at = report->visualRect(view->Model()->index(row, 0));
    // A tip shown while the last one fades out can be hidden again at once:
    // show it until it stays.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QToolTip::showText(report->viewport()->mapToGlobal(at.bottomLeft() + QPoint(8, 4)),
                           view->Model()->item(row, 1)->toolTip(), report);
        SettleEvents(300);
        if (QToolTip::isVisible())
            break;
    }
    QPixmap shot = frame->grab();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->inherits("QTipLabel")) {
            QPainter p(&shot);
            p.drawPixmap(frame->mapFromGlobal(w->mapToGlobal(QPoint(0, 0))), w->grab());
        }
    }
    QToolTip::hideText();
    SettleEvents(100);
    if (degraded)
        ShowWhole(frame);
    return shot;
}

// An export from the group with two members left out, as the pictures
// show it: the main window, narrowed, while it runs (the missing slots above
// the status bar, the progress text readable), and the report it ends with,
// whose stripes that lost two segments are zero-filled. Taken once per run.
struct DegradedShots {
    bool taken = false;
    QPixmap running;
    QPixmap report;
};

// The degraded group analysed and shown, with what the source tree says
// after such an analysis, in its words. False when it cannot be analysed.
bool ShowDegraded(CMainFrame* frame)
{
    if (!LoadSample())
        return false;
    SampleGroup& g = Sample();
    if (g.degraded.lunList.empty()) {
        const QString dir = qEnvironmentVariable("CORVANE_SCREENSHOT_SAMPLE");
        const QStringList members =
            QDir(dir).entryList({QStringLiteral("member*.img")}, QDir::Files, QDir::Name);
        for (int i = 0; i < members.size(); ++i)
            if (i != 2 && i != 4)
                g.degraded.sources.push_back(
                    {QFile::encodeName(QDir(dir).filePath(members[i])).toStdString()});
        // A file added by mistake: too short to carry a member's tag.
        const QString stray = g.out.filePath(QStringLiteral("notes.img"));
        QFile f(stray);
        if (f.open(QIODevice::WriteOnly))
            f.write("not a member\n");
        f.close();
        g.degraded.sources.push_back({QFile::encodeName(stray).toStdString()});
        const AnalysisResult r = RunAnalysis(g.degraded);
        if (!r.ok()) {
            QTextStream(stderr) << "screenshots: analysis without two members failed: "
                                << QString::fromStdString(r.text) << '\n';
            return false;
        }
    }
    ShowLunsWithContent(g.degraded);
    // The tree as it would stand for these sources: the two left out
    // hidden, the stray file added and marked (for the picture only).
    CLeftView* tree = frame->LeftView();
    QTreeWidgetItem* root = tree->RootItem();
    QStringList kept;
    for (const SourceEntry& e : g.degraded.sources)
        kept << QFile::decodeName(QByteArray::fromStdString(e.path));
    for (int i = 0; i < root->childCount(); ++i)
        root->child(i)->setHidden(!kept.contains(root->child(i)->text(0)));
    auto* stray = new QTreeWidgetItem(root, {kept.back()});
    stray->setData(0, Qt::UserRole + 77, true);
    stray->setIcon(0, tree->style()->standardIcon(QStyle::SP_MessageBoxWarning));
    const AnalysisSummary summary = Summarize(g.degraded);
    QStringList parts, warned, missing;
    for (const SourceWarning& w : summary.warnings)
        warned << SourceWarningLine(summary, w);
    if (!warned.isEmpty())
        parts << CLeftView::tr("警告：%1").arg(warned.join(QStringLiteral("；")));
    for (const SlotKey& slot : g.degraded.missingSlots)
        missing << QStringLiteral("(%1,%2)").arg(slot.row).arg(slot.column);
    parts << CLeftView::tr("缺少成员的槽位（行,列）：%1").arg(missing.join(QLatin1Char(' ')));
    frame->SetMessageText(parts.join(QStringLiteral("；")));
    return true;
}

// Back to the whole group for the pictures that follow.
void ShowWhole(CMainFrame* frame)
{
    QTreeWidgetItem* root = frame->LeftView()->RootItem();
    for (int i = root->childCount() - 1; i >= 0; --i) {
        if (root->child(i)->data(0, Qt::UserRole + 77).toBool())
            delete root->takeChild(i);
        else
            root->child(i)->setHidden(false);
    }
    frame->SetMessageText(QString());
    SendWindowMessage(g_hLunView, WM_SHOW_LUNS, 0, reinterpret_cast<LPARAM>(&Sample().ctx));
    SettleEvents(200);
}

const DegradedShots& DegradedExport(CMainFrame* frame)
{
    static DegradedShots shots;
    if (shots.taken)
        return shots;
    shots.taken = true;
    if (!ShowDegraded(frame))
        return shots;
    SampleGroup& g = Sample();
    const QSize size = frame->size();
    frame->resize(740, size.height());
    CTessalyView* view = frame->LunView();
    const int row = int(g.degraded.lunList.size()) - 1;
    view->ReportView()->selectRow(row);

    const CExportDialogs saved = CExportDialogs::Current();
    CExportDialogs d = saved;
    const QString target = g.out.filePath(QStringLiteral("lun 1-0.img"));
    d.imageFile = [target](QWidget*) { return target; };
    d.trackPopupMenu = [](QMenu* menu, const QPoint&) -> QAction* {
        for (QAction* a : menu->findChildren<QAction*>())
            if (a->data().toInt() == ID_EXPORT_IMAGE)
                return a;
        return nullptr;
    };
    d.damageReport = [](QWidget* parent, const DamageReportData& data,
                        const CDamageReport::SaveMap& save) {
        CDamageReport report(data, save, parent);
        report.show();
        if (report.Ranges()->rowCount() > 1)
            report.Ranges()->selectRow(1);
        SettleEvents(300);
        shots.report = report.grab();
        report.close();
    };
    CExportDialogs::Current() = d;
    QEventLoop loop;
    QObject::connect(view, &CTessalyView::exportFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    // The report shows the hash the user asked for.
    view->SetExportHash("sha256");
    const int before = CMainFrame::s_progressCalls;
    view->OnRightClick(row, RowPoint(view, row));
    // Each stripe waits for the bar: about a third of them through.
    const int wanted = before + std::max<int>(1, int(g.degraded.lunList[size_t(row)]->stripeRecords.size()) / 3);
    for (int i = 0; i < 500 && CMainFrame::s_progressCalls < wanted && view->ExportRunning(); ++i)
        SettleEvents(10);
    SettleEvents(100);
    shots.running = frame->grab();
    if (view->ExportRunning())
        loop.exec();
    CExportDialogs::Current() = saved;
    view->SetExportHash(std::string());
    // The window as it was, and the whole group again for what follows.
    frame->resize(size);
    ShowWhole(frame);
    return shots;
}

} // namespace

void RegisterLunScreenshots()
{
    RegisterScreenshot(QStringLiteral("lun-list"), LunList);
    RegisterScreenshot(QStringLiteral("export-settings"), Settings);
    RegisterScreenshot(QStringLiteral("lun-export-progress"), ExportInProgress);
    // After the stopped export above, so its LUN offers "恢复导出".
    RegisterScreenshot(QStringLiteral("lun-context-menu"), ContextMenu);
    RegisterScreenshot(QStringLiteral("lun-tooltip"), [](CMainFrame* f) { return LunToolTip(f, false); });
    RegisterScreenshot(QStringLiteral("lun-tooltip-warnings"), [](CMainFrame* f) { return LunToolTip(f, true); });
    RegisterScreenshot(QStringLiteral("main-window-degraded-export"),
                       [](CMainFrame* f) { return DegradedExport(f).running; });
    RegisterScreenshot(QStringLiteral("damage-report"),
                       [](CMainFrame* f) { return DegradedExport(f).report; });
}

} // namespace corvane::ui
