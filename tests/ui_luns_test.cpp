// The LUN list as a user drives it: rows after an analysis, the context menu
// "操作LUN", exports to an image file or a disk device from the main window on
// generated disk groups, the message that ends each one, and what happens
// while an export runs.
#include "NbdMember.h"
#include "TempDir.h"
#include "engine/Analysis.h"
#include "engine/Context.h"
#include "engine/Errors.h"
#include "export/ExportState.h"
#include "export/RescueMap.h"
#include "probe/LunContent.h"
#include "tools/Sample.h"
#include "ui/app/MainFrm.h"
#include "ui/common/Busy.h"
#include "ui/common/Commands.h"
#include "ui/common/WindowMessages.h"
#include "ui/controls/TextProgressCtrl.h"
#include "ui/luns/DamageReport.h"
#include "ui/luns/ExportDialogs.h"
#include "ui/luns/ExportSeting.h"
#include "ui/luns/TessalyView.h"

#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

using namespace corvane;
using namespace corvane::ui;
using corvane::test::NbdMember;
using corvane::test::TempDir;

namespace {

constexpr std::uint64_t kStripe = 0x800000;
const QString kSuccess = QStringLiteral("导出成功！");
const QString kApp = QStringLiteral("corvane recovery for hp eva 1.2");

// Every modal question answered at once, and everything asked kept.
struct FakeDialogs {
    QString imagePath;             // what the save dialog returns ("" = cancel)
    bool diskAccept = true;
    CDiskTarget disk;              // what the settings dialog returns
    QString mapPath;
    QString resumeMap;             // what the open dialog for a map returns
    QString mountFolder;           // what the folder dialog returns ("" = cancel)
    int popupChoice = 0;           // command chosen in the popup, 0: dismissed
    QList<int> answers;            // message box answers, in order; then Ok / Yes

    // Called with each message box before it is answered (a box that
    // waits, as a person would); returns the answer, or 0 for the next one
    // of answers.
    std::function<int(const CMessageRequest&)> onMessage;
    // Called with each damage report's save function (the "save as").
    std::function<void(const CDamageReport::SaveMap&)> onReport;

    int imageDialogs = 0;
    int diskDialogs = 0;
    int folderDialogs = 0;
    int popups = 0;
    QMap<int, bool> menuStates;    // command id -> enabled, at the last popup
    QList<CMessageRequest> messages;
    QList<DamageReportData> reports;
    CTargetNeeds diskNeeds;        // what the settings dialog was told
    QStringList shown;             // "box" and "report", in the order shown

    void Install()
    {
        CExportDialogs d;
        d.imageFile = [this](QWidget*) {
            ++imageDialogs;
            return imagePath;
        };
        d.diskTarget = [this](QWidget*, const CTargetNeeds& needs, CDiskTarget& out) {
            ++diskDialogs;
            diskNeeds = needs;
            out = disk;
            return diskAccept;
        };
        d.mapFile = [this](QWidget*, const QString&) { return mapPath; };
        d.resumeMapFile = [this](QWidget*) { return resumeMap; };
        d.mountFolder = [this](QWidget*) {
            ++folderDialogs;
            return mountFolder;
        };
        d.messageBox = [this](QWidget*, const CMessageRequest& r) {
            messages.push_back(r);
            shown << QStringLiteral("box");
            if (onMessage)
                if (const int answer = onMessage(r))
                    return answer;
            if (!answers.isEmpty())
                return answers.takeFirst();
            return int(r.buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok);
        };
        d.damageReport = [this](QWidget*, const DamageReportData& r,
                                const CDamageReport::SaveMap& save) {
            reports.push_back(r);
            shown << QStringLiteral("report");
            if (onReport)
                onReport(save);
        };
        d.trackPopupMenu = [this](QMenu* menu, const QPoint&) -> QAction* {
            ++popups;
            menuStates.clear();
            QAction* chosen = nullptr;
            for (QAction* a : menu->findChildren<QAction*>()) {
                const int id = a->data().toInt();
                if (id == 0)
                    continue;
                menuStates[id] = a->isEnabled();
                if (id == popupChoice)
                    chosen = a;
            }
            return chosen;
        };
        CExportDialogs::Install(d);
    }

    // Exactly one export ended, and its report says "导出成功！".
    bool OneSuccess() const
    {
        return reports.size() == 1 && reports[0].Success() &&
               DamageHeadline(reports[0]) == QStringLiteral("导出成功！");
    }
};

// The damage map a report names, parsed; empty map when it cannot be read.
RescueMap LoadMap(const QString& path, std::string* text = nullptr)
{
    std::string content;
    std::string error;
    RescueMap map;
    if (!LoadFile(QFile::encodeName(path).toStdString(), content, error) ||
        !RescueMap::Parse(content, map, error))
        return RescueMap();
    if (text)
        *text = content;
    return map;
}

// The command line the map's header gives.
QString MapCommandLine(const std::string& text)
{
    const std::string key = "# Command line: ";
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return QString();
    const size_t end = text.find('\n', at);
    return QString::fromStdString(text.substr(at + key.size(), end - at - key.size()));
}

// A generated group analysed into a context of its own.
struct Group {
    TempDir dir;
    EvaContext ctx;
    sample::Manifest manifest;
    std::vector<std::string> memberHashes;

    explicit Group(const sample::GroupPlan& groupPlan, bool hashMembers = false)
    {
        manifest = sample::Generate(groupPlan, dir.file("group"));
        if (hashMembers)
            memberHashes = HashMembers();
        for (const std::string& s : manifest.Sources())
            ctx.sources.push_back({s});
        const AnalysisResult r = RunAnalysis(ctx);
        if (!r.ok() || ctx.lunList.size() != manifest.luns.size())
            throw std::runtime_error("analysis failed: " + r.text + " " + r.reason);
    }

    std::vector<std::string> HashMembers() const
    {
        std::vector<std::string> out;
        for (const auto& m : manifest.members)
            out.push_back(sample::Sha256OfFile(m.path, 0, std::filesystem::file_size(m.path)));
        return out;
    }

    QString File(const char* name) const { return QString::fromStdString(dir.file(name)); }
};

std::string Sha(const QString& path, std::uint64_t offset, std::uint64_t length)
{
    return sample::Sha256OfFile(path.toStdString(), offset, length);
}

void ShowLuns(EvaContext& ctx)
{
    SendWindowMessage(g_hLunView, WM_SHOW_LUNS, 0, reinterpret_cast<LPARAM>(&ctx));
}

bool WaitForExport(CTessalyView* view, int ms = 120000)
{
    if (!view->ExportRunning())
        return true;
    QSignalSpy done(view, &CTessalyView::exportFinished);
    return done.wait(ms) || !view->ExportRunning();
}

} // namespace

class LunsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void cleanupTestCase() { CExportDialogs::Install({}); }

    void rowsFollowTheLunList();
    void rowShowsGroupIdAndSize();
    void rowToolTipGivesBytesCoverageAndSources();
    void iconAndSmallIconModesLookDifferent();
    void displayModesKeepRowsAndCommands_data();
    void displayModesKeepRowsAndCommands();
    void lastRightClickIsTheRowExported();
    void emptySpaceOffersNothing();
    void keyboardOpensTheMenuForTheCurrentRow_data();
    void keyboardOpensTheMenuForTheCurrentRow();
    void imageExportIsTheLun_data();
    void imageExportIsTheLun();
    void partialRecoveryIsSaidAndMapped_data();
    void partialRecoveryIsSaidAndMapped();
    void failedExportNeverSaysSuccess_data();
    void failedExportNeverSaysSuccess();
    void stoppedExportSaysSo();
    void stoppedExportResumesFromTheMenu_data();
    void stoppedExportResumesFromTheMenu();
    void diskNamedInTheFileDialogIsConfirmed_data();
    void diskNamedInTheFileDialogIsConfirmed();
    void diskExportStartsAtTheSectorConfirmed_data();
    void diskExportStartsAtTheSectorConfirmed();
    void commandsAreDisabledWhileAnExportRuns();
    void analyseThenExportAsAUserDoes();
    void closingDuringAnExport_data();
    void closingDuringAnExport();
    void reportSaysSuccessOnlyWhenNothingWasLost_data();
    void reportSaysSuccessOnlyWhenNothingWasLost();
    void reportDialogClosesAndCopies();
    void mountFromTheMenu_data();
    void mountFromTheMenu();

private:
    CTessalyView* View() const { return m_frame->LunView(); }
    void Export(int row, int command);

    std::unique_ptr<CMainFrame> m_frame;
    FakeDialogs m_fake;
};

void LunsTest::init()
{
    m_fake = FakeDialogs();
    m_fake.Install();
    m_frame = std::make_unique<CMainFrame>();
    QVERIFY(m_frame->Create(QSize(900, 500)));
    m_frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
}

void LunsTest::cleanup()
{
    if (m_frame)
        QVERIFY(WaitForExport(View()));
    m_frame.reset();
    QVERIFY(!IsBusy());
}

void LunsTest::Export(int row, int command)
{
    m_fake.popupChoice = command;
    View()->OnRightClick(row, QPoint(10, 10));
}

void LunsTest::rowsFollowTheLunList()
{
    Group g(sample::HealthyGroup(5, {3, 2, 1}));
    ShowLuns(g.ctx);
    QStandardItemModel* model = View()->Model();
    QCOMPARE(model->rowCount(), 3);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Lun组"));
    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("id"));
    QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("大小"));
    for (int c = 0; c < 3; ++c)
        QCOMPARE(View()->ReportView()->columnWidth(c), 200);
    for (int r = 0; r < 3; ++r) {
        const LunEntry* e = g.ctx.lunList[size_t(r)].get();
        QCOMPARE(View()->RowEntry(r), e);
        QCOMPARE(model->item(r, 0)->text(), QString::number(g.manifest.luns[size_t(r)].group));
        QCOMPARE(model->item(r, 1)->text(), QString::number(g.manifest.luns[size_t(r)].id));
    }
}

void LunsTest::rowShowsGroupIdAndSize()
{
    EvaContext ctx;
    auto e = std::make_unique<LunEntry>();
    e->group = 0;
    e->id = 3;
    e->sizeGiB = 100;
    ctx.lunList.push_back(std::move(e));
    ShowLuns(ctx);
    QStandardItemModel* model = View()->Model();
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(model->item(0, 0)->text(), QStringLiteral("0"));
    QCOMPARE(model->item(0, 1)->text(), QStringLiteral("3"));
    QCOMPARE(model->item(0, 2)->text(), QStringLiteral("100G"));
    QCOMPARE(View()->RowEntry(0), ctx.lunList[0].get());
}

void LunsTest::rowToolTipGivesBytesCoverageAndSources()
{
    // 12 stripes are 96 MiB, which the size column shows as "0G".
    sample::GroupPlan groupPlan = sample::HealthyGroup(6, {12});
    groupPlan.members[3].present = false;
    Group g(groupPlan);
    ShowLuns(g.ctx);
    QStandardItemModel* model = View()->Model();
    QCOMPARE(model->item(0, 2)->text(), QStringLiteral("0G"));
    const QString tip = model->item(0, 2)->toolTip();
    for (int c = 0; c < 3; ++c)
        QCOMPARE(model->item(0, c)->toolTip(), tip);
    const LunEntry& e = *g.ctx.lunList[0];
    QVERIFY2(tip.contains(QString::number(e.DeclaredBytes()) + QStringLiteral(" 字节")), qPrintable(tip));
    QVERIFY2(tip.contains(QStringLiteral("条带记录：12 个，覆盖 100663296 字节")), qPrintable(tip));
    // Every member the LUN is read from, and the slot whose member is gone.
    int present = 0;
    for (size_t m = 0; m < g.manifest.members.size(); ++m) {
        const QString path = QString::fromStdString(g.manifest.members[m].path);
        if (m == 3) {
            QVERIFY2(!tip.contains(path), qPrintable(tip));
            continue;
        }
        ++present;
        QVERIFY2(tip.contains(path), qPrintable(tip));
    }
    QVERIFY2(tip.contains(QStringLiteral("读取的源（%1 个）").arg(present)), qPrintable(tip));
    QVERIFY(!g.ctx.missingSlots.empty());
    const SlotKey gone = g.ctx.missingSlots.front();
    QVERIFY2(tip.contains(QStringLiteral("(%1,%2)").arg(gone.row).arg(gone.column)), qPrintable(tip));
    // The three columns stay as they are.
    QCOMPARE(model->columnCount(), 3);
    QCOMPARE(model->item(0, 0)->text(), QString::number(e.group));
    // What the probe found ends every column's tooltip.
    LunContent content;
    content.tableType = "dos";
    content.partitions.push_back({1, 1048576, 15728640, "0x83", "", "", false, {"ext4", "1.0", "ROOTFS", "0b2b"}});
    SendWindowMessage(g_hLunView, LunContentMessage(), reinterpret_cast<WPARAM>(&e),
                      reinterpret_cast<LPARAM>(&content));
    for (int c = 0; c < 3; ++c) {
        const QString withContent = model->item(0, c)->toolTip();
        QVERIFY2(withContent.startsWith(tip + QStringLiteral("\n分区表：dos，1 个分区\n")), qPrintable(withContent));
        QVERIFY2(withContent.endsWith(QStringLiteral("分区 1：起始 1048576 字节，大小 15.0 MiB，类型 0x83：ext4，卷标“ROOTFS”，UUID 0b2b")),
                 qPrintable(withContent));
    }

    // A source left out (its first kilobyte does not read) is named in the
    // row of a LUN that misses a member: it may be that member.
    const QString stub = g.File("stub.img");
    std::ofstream(stub.toStdString(), std::ios::binary) << "not a member";
    g.ctx.sources.push_back({stub.toStdString()});
    QVERIFY(RunAnalysis(g.ctx).ok());
    QCOMPARE(g.ctx.warnings.size(), size_t(1));
    ShowLuns(g.ctx);
    const QString warned = View()->Model()->item(0, 0)->toolTip();
    QVERIFY2(warned.contains(QStringLiteral("警告（1 个）")), qPrintable(warned));
    QVERIFY2(warned.contains(QStringLiteral("stub.img：")), qPrintable(warned));
}

void LunsTest::iconAndSmallIconModesLookDifferent()
{
    Group g(sample::HealthyGroup(5, {1, 1, 1}));
    ShowLuns(g.ctx);
    QListView* icons = View()->IconView();
    auto look = [&](int command, QRect& item) {
        if (!m_frame->ExecuteCommand(command))
            return QImage();
        QCoreApplication::processEvents();
        item = icons->visualRect(View()->Model()->index(0, 0));
        return icons->viewport()->grab().toImage();
    };
    QRect large;
    QRect small;
    const QImage iconMode = look(ID_VIEW_LARGEICON, large);
    const QImage smallMode = look(ID_VIEW_SMALLICON, small);
    QVERIFY(!iconMode.isNull() && !smallMode.isNull());
    // A large picture above the text against a small one beside it.
    QVERIFY2(large.height() >= 32 + small.height() / 2, qPrintable(QStringLiteral("%1 vs %2")
                                                                 .arg(large.height())
                                                                 .arg(small.height())));
    QVERIFY(small.height() >= 16);
    QVERIFY(iconMode != smallMode);
    QVERIFY(m_frame->ExecuteCommand(ID_VIEW_DETAILS));
    // The report keeps its plain rows.
    QVERIFY(View()->Model()->item(0, 0)->icon().isNull());
}

void LunsTest::displayModesKeepRowsAndCommands_data()
{
    QTest::addColumn<int>("command");
    QTest::newRow("large icons") << ID_VIEW_LARGEICON;
    QTest::newRow("small icons") << ID_VIEW_SMALLICON;
    QTest::newRow("list") << ID_VIEW_LIST;
    QTest::newRow("details") << ID_VIEW_DETAILS;
}

void LunsTest::displayModesKeepRowsAndCommands()
{
    QFETCH(int, command);
    Group g(sample::HealthyGroup(5, {1, 2, 1}));
    ShowLuns(g.ctx);
    QVERIFY(m_frame->ExecuteCommand(command));
    QCOMPARE(View()->Model()->rowCount(), 3);
    for (int r = 0; r < 3; ++r)
        QCOMPARE(View()->RowEntry(r), g.ctx.lunList[size_t(r)].get());

    // A real right click on row 1 of whatever face the list shows now.
    auto* face = qobject_cast<QAbstractItemView*>(View()->currentWidget());
    QVERIFY(face);
    const QModelIndex index = View()->Model()->index(1, 0);
    const QPoint at = face->visualRect(index).center();
    QVERIFY(face->viewport()->rect().contains(at));
    m_fake.popupChoice = ID_EXPORT_IMAGE;
    m_fake.imagePath = g.File("row1.img");
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, face->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(face->viewport(), &click);
    QCOMPARE(m_fake.popups, 1);
    QCOMPARE(View()->SelectedRow(), 1);
    QVERIFY(WaitForExport(View()));
    QVERIFY(m_fake.OneSuccess());
    QCOMPARE(Sha(m_fake.imagePath, 0, g.manifest.luns[1].bytes), g.manifest.luns[1].sha256);
}

void LunsTest::lastRightClickIsTheRowExported()
{
    Group g(sample::HealthyGroup(5, {1, 2, 3}));
    ShowLuns(g.ctx);
    m_fake.imagePath = g.File("out.img");
    Export(2, 0); // menu dismissed over row 2
    QCOMPARE(View()->SelectedRow(), 2);
    QCOMPARE(m_fake.imageDialogs, 0);
    Export(0, ID_EXPORT_IMAGE);
    QVERIFY(WaitForExport(View()));
    QCOMPARE(m_fake.imageDialogs, 1);
    QCOMPARE(std::filesystem::file_size(m_fake.imagePath.toStdString()), g.manifest.luns[0].bytes);
    QCOMPARE(Sha(m_fake.imagePath, 0, g.manifest.luns[0].bytes), g.manifest.luns[0].sha256);
}

void LunsTest::emptySpaceOffersNothing()
{
    Group g(sample::HealthyGroup(5, {1}));
    ShowLuns(g.ctx);
    m_fake.imagePath = g.File("never.img");
    QTableView* report = View()->ReportView();
    // Below the only row.
    const QPoint at(5, report->viewport()->height() - 5);
    QVERIFY(!report->indexAt(at).isValid());
    m_fake.popupChoice = ID_EXPORT_IMAGE;
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, report->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(report->viewport(), &click);
    QCOMPARE(m_fake.popups, 1);
    QCOMPARE(View()->SelectedRow(), -1);
    m_fake.popupChoice = ID_EXPORT_DISK;
    View()->OnRightClick(-1, QPoint());
    QCOMPARE(m_fake.imageDialogs, 0);
    QCOMPARE(m_fake.diskDialogs, 0);
    QVERIFY(!View()->ExportRunning());
    QVERIFY(!QFileInfo::exists(m_fake.imagePath));
    // "导出数据配置" is there, and never on.
    QVERIFY(m_fake.menuStates.contains(ID_EXPORT_DATA_CONFIG));
    QVERIFY(!m_fake.menuStates[ID_EXPORT_DATA_CONFIG]);
}

void LunsTest::keyboardOpensTheMenuForTheCurrentRow_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("menu key") << int(Qt::Key_Menu) << int(Qt::NoModifier);
    QTest::newRow("shift+f10") << int(Qt::Key_F10) << int(Qt::ShiftModifier);
}

void LunsTest::keyboardOpensTheMenuForTheCurrentRow()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    Group g(sample::HealthyGroup(5, {1, 1, 1}));
    ShowLuns(g.ctx);
    QTableView* report = View()->ReportView();
    const QPoint at = report->visualRect(View()->Model()->index(1, 1)).center();
    QTest::mouseClick(report->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QCOMPARE(report->currentIndex().row(), 1);
    m_fake.popupChoice = ID_EXPORT_IMAGE;
    m_fake.imagePath = g.File("key.img");
    QTest::keyClick(report, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(m_fake.popups, 1);
    QCOMPARE(View()->SelectedRow(), 1);
    QVERIFY(WaitForExport(View()));
    QCOMPARE(Sha(m_fake.imagePath, 0, g.manifest.luns[1].bytes), g.manifest.luns[1].sha256);
}

void LunsTest::imageExportIsTheLun_data()
{
    QTest::addColumn<qint64>("existingBytes"); // -1: no file yet
    QTest::newRow("new file") << qint64(-1);
    QTest::newRow("replaces a longer file") << qint64(5 * kStripe + 123);
    QTest::newRow("replaces a shorter file") << qint64(4096);
}

void LunsTest::imageExportIsTheLun()
{
    QFETCH(qint64, existingBytes);
    Group g(sample::HealthyGroup(5, {2, 3}), true);
    ShowLuns(g.ctx);
    m_fake.imagePath = g.File("lun1.img");
    if (existingBytes >= 0) {
        std::ofstream f(m_fake.imagePath.toStdString(), std::ios::binary);
        const std::string junk(size_t(existingBytes), '\x5a');
        f.write(junk.data(), std::streamsize(junk.size()));
    }
    const int progressBefore = CMainFrame::s_progressCalls;
    Export(1, ID_EXPORT_IMAGE);
    QVERIFY(View()->ExportRunning());
    QVERIFY(WaitForExport(View()));

    const sample::LunOut& lun = g.manifest.luns[1];
    QCOMPARE(std::filesystem::file_size(m_fake.imagePath.toStdString()), lun.bytes);
    QCOMPARE(Sha(m_fake.imagePath, 0, lun.bytes), lun.sha256);
    QCOMPARE(View()->ExportOffset(), qint64(0));

    // One report and no box beside it: every byte read, none lost.
    QVERIFY(m_fake.messages.isEmpty());
    QVERIFY(m_fake.OneSuccess());
    const DamageReportData& r = m_fake.reports[0];
    QCOMPARE(r.state, DamageReportData::State::Finished);
    QCOMPARE(r.bytesTotal, lun.bytes);
    QCOMPARE(r.bytesWritten, lun.bytes);
    QCOMPARE(r.bytesRead, lun.bytes);
    QCOMPARE(r.bytesRebuilt + r.bytesLost, quint64(0));
    QVERIFY(r.lostRanges.empty());
    QCOMPARE(r.target, m_fake.imagePath);
    // The damage map lies next to the image, all of it recovered.
    QCOMPARE(r.mapPath, m_fake.imagePath + QStringLiteral(".map"));
    const RescueMap map = LoadMap(r.mapPath);
    QCOMPARE(map.Size(), lun.bytes);
    QCOMPARE(map.Total('+'), lun.bytes);

    // One message per stripe and one at the end; the bar ends full.
    QCOMPARE(CMainFrame::s_progressCalls - progressBefore, int(lun.stripes) + 1);
    const QString whole = QStringLiteral("%1M/%1M").arg(lun.stripes * 8);
    QCOMPARE(m_frame->Progress()->GetWindowText(), whole);

    QVERIFY(g.HashMembers() == g.memberHashes);
}

void LunsTest::partialRecoveryIsSaidAndMapped_data()
{
    QTest::addColumn<QList<int>>("lost");
    QTest::addColumn<bool>("zeros");
    QTest::newRow("one member lost: rebuilt") << QList<int>{3} << false;
    QTest::newRow("two members lost: zero-filled") << QList<int>{2, 4} << true;
}

void LunsTest::partialRecoveryIsSaidAndMapped()
{
    QFETCH(QList<int>, lost);
    QFETCH(bool, zeros);
    sample::GroupPlan groupPlan = sample::HealthyGroup(6, {12});
    for (int m : lost)
        groupPlan.members[size_t(m)].present = false;
    Group g(groupPlan);
    const sample::LunOut& lun = g.manifest.luns[0];
    QVERIFY(lun.rebuiltStripes > 0);
    QCOMPARE(lun.damagedStripes > 0, zeros);
    ShowLuns(g.ctx);
    m_fake.imagePath = g.File("lun.img");
    m_fake.mapPath = g.File("saved as.map");
    QString savedAs;
    m_fake.onReport = [&savedAs](const CDamageReport::SaveMap& save) {
        QVERIFY(save);
        savedAs = save(nullptr);
    };
    Export(0, ID_EXPORT_IMAGE);
    QVERIFY(WaitForExport(View()));

    QCOMPARE(Sha(m_fake.imagePath, 0, lun.bytes), lun.exportSha256);
    QVERIFY(m_fake.messages.isEmpty());
    QCOMPARE(m_fake.reports.size(), 1);
    const DamageReportData& r = m_fake.reports[0];
    std::uint64_t zeroBytes = 0;
    for (const auto& range : lun.zeroRanges)
        zeroBytes += range.second;
    QCOMPARE(r.bytesLost, zeroBytes);
    QCOMPARE(r.bytesLost, lun.lostBytes);
    QVERIFY(r.lostRanges == lun.zeroRanges);
    QCOMPARE(r.bytesRebuilt, lun.rebuiltBytes);
    QCOMPARE(r.bytesRead + r.bytesRebuilt + r.bytesLost, lun.bytes);
    // "导出成功！" only when nothing was lost: a rebuild from parity loses
    // nothing; zero-filled bytes are named instead.
    QCOMPARE(DamageHeadline(r) == kSuccess, !zeros);
    if (zeros)
        QVERIFY2(DamageHeadline(r).contains(FormatBytes(zeroBytes)), qPrintable(DamageHeadline(r)));

    // The map next to the image and the one saved elsewhere from the report
    // mark exactly the zero-filled bytes bad.
    QCOMPARE(r.mapPath, m_fake.imagePath + QStringLiteral(".map"));
    QCOMPARE(savedAs, m_fake.mapPath);
    for (const QString& path : {r.mapPath, savedAs}) {
        const RescueMap map = LoadMap(path);
        QCOMPARE(map.Size(), lun.bytes);
        QCOMPARE(map.Total('-'), zeroBytes);
        QCOMPARE(map.Total('+'), lun.bytes - zeroBytes);
        for (const MapSpan& span : map.Spans())
            if (span.status == '-')
                QVERIFY(std::find(lun.zeroRanges.begin(), lun.zeroRanges.end(),
                                  std::make_pair(span.pos, span.size)) != lun.zeroRanges.end());
    }
}

void LunsTest::failedExportNeverSaysSuccess_data()
{
    QTest::addColumn<QString>("target"); // "@dir": the group's folder; "@source": a member
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("started");
    QTest::newRow("a folder") << "@dir" << int(kOpenDeviceFailed) << false;
    QTest::newRow("folder that does not exist") << "/nonexistent-corvane/x.img"
                                                << int(kOpenDeviceFailed) << false;
    QTest::newRow("a source") << "@source" << int(kOpenDeviceFailed) << false;
    QTest::newRow("writes fail") << "/dev/full" << int(kWriteFailed) << true;
}

void LunsTest::failedExportNeverSaysSuccess()
{
    QFETCH(QString, target);
    QFETCH(int, code);
    QFETCH(bool, started);
    if (target.startsWith(QLatin1Char('/')) && target.startsWith(QStringLiteral("/dev/")) &&
        !QFileInfo::exists(target))
        QSKIP("no /dev/full here");
    Group g(sample::HealthyGroup(5, {4}), true);
    ShowLuns(g.ctx);
    if (target == QStringLiteral("@dir"))
        target = QString::fromStdString(g.dir.path().string());
    else if (target == QStringLiteral("@source"))
        target = QString::fromStdString(g.manifest.members[1].path);
    m_fake.imagePath = target;
    Export(0, ID_EXPORT_IMAGE);
    QCOMPARE(View()->ExportRunning(), started);
    QVERIFY(WaitForExport(View()));

    QString text;
    if (!started) {
        // Refused before anything was written: the code's box, no report.
        QVERIFY(m_fake.reports.isEmpty());
        QCOMPARE(m_fake.messages.size(), 1);
        const CMessageRequest& box = m_fake.messages[0];
        QCOMPARE(box.caption, QStringLiteral("Corvane For HP Eva"));
        text = box.text;
    } else {
        QVERIFY(m_fake.messages.isEmpty());
        QCOMPARE(m_fake.reports.size(), 1);
        const DamageReportData& r = m_fake.reports[0];
        QCOMPARE(r.state, DamageReportData::State::Failed);
        QVERIFY(!r.Success());
        QVERIFY(!DamageHeadline(r).contains(kSuccess));
        text = r.failure;
        // The bar ends where the report does: at what is on the target,
        // not at the stripes started.
        QCOMPARE(m_frame->Progress()->GetWindowText(),
                 QStringLiteral("%1M/%2M").arg(r.bytesWritten >> 20).arg(r.bytesTotal >> 20));
        QVERIFY(r.bytesWritten < r.bytesTotal);
    }
    QVERIFY(!text.contains(kSuccess));
    const QStringList lines = text.split(QLatin1Char('\n'));
    QCOMPARE(lines[0], QString::fromUtf8(CodeText(code)));
    // The engine's reason follows and names the target.
    QVERIFY(lines.size() >= 2);
    QVERIFY2(text.contains(target), qPrintable(text));
    QVERIFY(!IsBusy());
    QVERIFY(g.HashMembers() == g.memberHashes);
}

void LunsTest::stoppedExportSaysSo()
{
    Group g(sample::HealthyGroup(5, {16}), true);
    ShowLuns(g.ctx);
    // A name with a blank: the map's command line must quote it.
    m_fake.imagePath = g.File("stopped lun.img");
    Export(0, ID_EXPORT_IMAGE);
    QVERIFY(View()->ExportRunning());
    View()->StopExport();
    QVERIFY(WaitForExport(View()));
    QVERIFY(m_fake.messages.isEmpty());
    QCOMPARE(m_fake.reports.size(), 1);
    const DamageReportData& r = m_fake.reports[0];
    QCOMPARE(r.state, DamageReportData::State::Stopped);
    QVERIFY(DamageHeadline(r).startsWith(QStringLiteral("导出已停止")));
    const sample::LunOut& lun = g.manifest.luns[0];
    QVERIFY(r.bytesWritten < lun.bytes);
    QVERIFY(std::filesystem::file_size(m_fake.imagePath.toStdString()) < lun.bytes);
    QCOMPARE(m_frame->Progress()->GetWindowText(),
             QStringLiteral("%1M/%2M").arg(r.bytesWritten >> 20).arg(lun.bytes >> 20));
    QVERIFY(!IsBusy());

    // Also after a stop the map lies next to the image, and says where the
    // export got to.
    std::string text;
    const RescueMap map = LoadMap(r.mapPath, &text);
    QCOMPARE(r.mapPath, m_fake.imagePath + QStringLiteral(".map"));
    QCOMPARE(map.FirstNotDone(), r.bytesWritten);
    // Its header names the desktop program, and a command line the command
    // line tool takes as it stands: with --resume it finishes the image.
    QVERIFY2(text.rfind("# Mapfile. Created by corvane (desktop program)\n", 0) == 0, text.c_str());
    const QString command = MapCommandLine(text);
    QVERIFY2(command.startsWith(QStringLiteral("corvane-cli export ")), qPrintable(command));
    QVERIFY2(command.contains(QStringLiteral(" --lun %1:%2 ").arg(lun.group).arg(lun.id)),
             qPrintable(command));
    for (const std::string& source : g.manifest.Sources())
        QVERIFY2(command.contains(QString::fromStdString(source)), qPrintable(command));
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), QFileInfo(QStringLiteral(CORVANE_CLI)).absolutePath() +
                                           QLatin1Char(':') + env.value(QStringLiteral("PATH")));
    cli.setProcessEnvironment(env);
    cli.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command + QStringLiteral(" --resume")});
    QVERIFY(cli.waitForFinished(120000));
    QVERIFY2(cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0,
             cli.readAllStandardError().constData());
    QCOMPARE(Sha(m_fake.imagePath, 0, lun.bytes), lun.sha256);
    QCOMPARE(LoadMap(r.mapPath).Total('+'), lun.bytes);
    QVERIFY(g.HashMembers() == g.memberHashes);
}

void LunsTest::stoppedExportResumesFromTheMenu_data()
{
    QTest::addColumn<bool>("disk");
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("hashCommand");
    QTest::addColumn<QString>("hash");
    QTest::newRow("image, map beside it, sha256") << false << ID_EXPORT_RESUME << ID_EXPORT_HASH_SHA256
                                                  << QStringLiteral("SHA-256");
    QTest::newRow("image, map chosen, md5") << false << ID_EXPORT_RESUME_FROM_MAP << ID_EXPORT_HASH_MD5
                                            << QStringLiteral("MD5");
    QTest::newRow("disk at sector 8, map saved from the report") << true << ID_EXPORT_RESUME
                                                                 << ID_EXPORT_HASH_NONE << QString();
}

void LunsTest::stoppedExportResumesFromTheMenu()
{
    QFETCH(bool, disk);
    QFETCH(int, command);
    QFETCH(int, hashCommand);
    QFETCH(QString, hash);
    Group g(sample::HealthyGroup(5, {16, 1}), true);
    const sample::LunOut& lun = g.manifest.luns[0];
    ShowLuns(g.ctx);
    // A file stands in for the disk; its bytes before the start stay.
    const QString target = g.File(disk ? "disk.bin" : "lun.img");
    const std::uint64_t start = disk ? 8 * 512 : 0;
    const std::string head(4096, '\x33');
    if (disk) {
        std::ofstream(target.toStdString(), std::ios::binary) << head;
        m_fake.disk = {target, QStringLiteral("Fake Disk"), 8, start};
        m_fake.mapPath = g.File("disk.map");
        m_fake.onReport = [this](const CDamageReport::SaveMap& save) {
            if (m_fake.reports.size() == 1)
                save(nullptr);
        };
    }
    m_fake.imagePath = target;
    Export(0, 0);
    QVERIFY(!m_fake.menuStates[ID_EXPORT_RESUME]); // nothing to resume yet
    QVERIFY(m_fake.menuStates[ID_EXPORT_RESUME_FROM_MAP]);
    Export(0, hashCommand);
    Export(0, disk ? ID_EXPORT_DISK : ID_EXPORT_IMAGE);
    // The export thread waits for the window at every stripe: let it on
    // until two stripes are on the target, so the resume starts past 0.
    QDeadlineTimer deadline(120000);
    while (View()->ExportRunning() && !deadline.hasExpired() &&
           QFileInfo(target).size() < qint64(start + 2 * kStripe))
        QCoreApplication::processEvents();
    View()->StopExport();
    QVERIFY(WaitForExport(View()));
    QCOMPARE(m_fake.reports.size(), 1);
    const DamageReportData stopped = m_fake.reports[0];
    QCOMPARE(stopped.state, DamageReportData::State::Stopped);
    QVERIFY2(stopped.hash.startsWith(hash) && stopped.hash.size() < 40, qPrintable(stopped.hash));
    QString map = disk ? m_fake.mapPath : stopped.mapPath;
    QVERIFY(QFileInfo::exists(map));
    m_fake.messages.clear(); // the disk's confirmation
    if (command == ID_EXPORT_RESUME_FROM_MAP) {
        // Moved away from the image: only its own note says where it goes.
        m_fake.resumeMap = g.File("picked.map");
        QVERIFY(QFile::rename(map, m_fake.resumeMap));
        map = m_fake.resumeMap;
        // Not the map of the other LUN: refused before anything is asked,
        // nothing written.
        const std::string before = Sha(target, 0, stopped.bytesWritten);
        Export(1, ID_EXPORT_RESUME_FROM_MAP);
        QVERIFY(!View()->ExportRunning());
        QCOMPARE(m_fake.messages.size(), 1);
        const QString refusal = m_fake.messages.takeFirst().text;
        QVERIFY2(refusal.contains(QStringLiteral("属于另一次导出")) && refusal.contains(map), qPrintable(refusal));
        QCOMPARE(Sha(target, 0, stopped.bytesWritten), before);
        QCOMPARE(m_fake.reports.size(), 1);
    } else if (!disk) {
        // The image gone: asked, then refused with the reason (and the
        // window's way to start over, not the command line's); no new file.
        const QString away = target + QStringLiteral(".away");
        QVERIFY(QFile::rename(target, away));
        Export(0, ID_EXPORT_RESUME);
        QVERIFY(!View()->ExportRunning());
        QCOMPARE(m_fake.messages.size(), 2);
        const QString refusal = m_fake.messages[1].text;
        QVERIFY2(refusal.contains(QStringLiteral("does not exist")) && refusal.contains(QStringLiteral("“导出到”")) &&
                     !refusal.contains(QStringLiteral("--restart")),
                 qPrintable(refusal));
        QVERIFY(!QFileInfo::exists(target));
        m_fake.messages.clear();
        QVERIFY(QFile::rename(away, target));
    }
    Export(0, 0);
    QCOMPARE(m_fake.menuStates[ID_EXPORT_RESUME], command == ID_EXPORT_RESUME);

    Export(0, command);
    QVERIFY(WaitForExport(View()));
    // Asked once, naming the map and where it continues; then one report
    // for the rest of the LUN.
    QCOMPARE(m_fake.messages.size(), 1);
    QVERIFY2(m_fake.messages[0].text.contains(map), qPrintable(m_fake.messages[0].text));
    QCOMPARE(m_fake.reports.size(), 2);
    const DamageReportData& r = m_fake.reports[1];
    QVERIFY(r.Success());
    QVERIFY(stopped.bytesWritten > 0);
    QCOMPARE(r.resumedFrom, stopped.bytesWritten);
    QCOMPARE(r.bytesWritten, lun.bytes);
    QCOMPARE(r.bytesRead, lun.bytes - stopped.bytesWritten);
    QCOMPARE(r.mapPath, map);
    QCOMPARE(View()->ExportOffset(), qint64(start));
    QCOMPARE(std::filesystem::file_size(target.toStdString()), start + lun.bytes);
    QCOMPARE(Sha(target, start, lun.bytes), lun.sha256);
    if (disk) {
        std::ifstream f(target.toStdString(), std::ios::binary);
        std::string kept(start, '\0');
        f.read(kept.data(), std::streamsize(start));
        QVERIFY(kept == head.substr(0, start));
    }
    if (hash.isEmpty()) {
        QVERIFY(r.hash.isEmpty());
    } else {
        QFile image(target);
        QVERIFY(image.open(QIODevice::ReadOnly));
        QCryptographicHash digest(hash == QStringLiteral("MD5") ? QCryptographicHash::Md5
                                                                : QCryptographicHash::Sha256);
        QVERIFY(digest.addData(&image));
        QCOMPARE(r.hash, hash + QLatin1Char(' ') + QString::fromLatin1(digest.result().toHex()));
    }
    QCOMPARE(LoadMap(map).Total('+'), lun.bytes);
    Export(0, 0);
    QVERIFY(!m_fake.menuStates[ID_EXPORT_RESUME]); // finished
    QVERIFY(g.HashMembers() == g.memberHashes);
}

void LunsTest::diskNamedInTheFileDialogIsConfirmed_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::newRow("declined") << false;
    QTest::newRow("confirmed") << true;
}

void LunsTest::diskNamedInTheFileDialogIsConfirmed()
{
    // Needs a scratch block device the test may overwrite (a loop device of
    // 64 MiB or more), named in CORVANE_TEST_BLOCK_DEVICE.
    QFETCH(bool, confirm);
    const QString device = qEnvironmentVariable("CORVANE_TEST_BLOCK_DEVICE");
    if (device.isEmpty())
        QSKIP("CORVANE_TEST_BLOCK_DEVICE names no scratch block device");
    Group g(sample::HealthyGroup(5, {2}));
    ShowLuns(g.ctx);
    const sample::LunOut& lun = g.manifest.luns[0];
    {
        // Known bytes first, so a write that should not happen shows.
        std::ofstream f(device.toStdString(), std::ios::binary | std::ios::in | std::ios::out);
        const std::string fill(lun.bytes, '\x44');
        f.write(fill.data(), std::streamsize(fill.size()));
    }
    const std::string before = Sha(device, 0, lun.bytes);
    m_fake.imagePath = device;
    m_fake.answers = {confirm ? QMessageBox::Yes : QMessageBox::No};
    Export(0, ID_EXPORT_IMAGE);
    QVERIFY(WaitForExport(View()));
    QVERIFY(!m_fake.messages.isEmpty());
    QVERIFY(m_fake.messages[0].text.contains(QStringLiteral("从扇区 0 开始")));
    QVERIFY(m_fake.messages[0].text.contains(device));
    QCOMPARE(Sha(device, 0, lun.bytes), confirm ? lun.sha256 : before);
}

void LunsTest::diskExportStartsAtTheSectorConfirmed_data()
{
    QTest::addColumn<qint64>("sectors");
    QTest::addColumn<bool>("confirm");
    QTest::newRow("sector 8, confirmed") << qint64(8) << true;
    QTest::newRow("sector 2048, confirmed") << qint64(2048) << true;
    QTest::newRow("declined") << qint64(8) << false;
}

void LunsTest::diskExportStartsAtTheSectorConfirmed()
{
    QFETCH(qint64, sectors);
    QFETCH(bool, confirm);
    Group g(sample::HealthyGroup(5, {2}));
    ShowLuns(g.ctx);
    // A file stands in for the drive; it already holds bytes that must stay.
    const QString device = g.File("disk.bin");
    const std::string before(8192, '\x33');
    {
        std::ofstream f(device.toStdString(), std::ios::binary);
        f.write(before.data(), std::streamsize(before.size()));
    }
    m_fake.disk.device = device;
    m_fake.disk.info = QStringLiteral("Fake Disk, 1.0 GiB, /dev/fake");
    m_fake.disk.sectors = sectors;
    m_fake.disk.startOffset = std::uint64_t(sectors) * 512;
    if (!confirm)
        m_fake.answers = {QMessageBox::No};
    m_fake.mapPath = g.File("disk.map");
    QString savedAs;
    m_fake.onReport = [&savedAs](const CDamageReport::SaveMap& save) { savedAs = save(nullptr); };
    // Whether the target is ever opened for writing and closed again (what
    // makes the system probe a device anew).
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    auto closeWatch = qScopeGuard([watch] { ::close(watch); });
    QVERIFY(inotify_add_watch(watch, device.toLocal8Bit().constData(), IN_CLOSE_WRITE) >= 0);
    Export(0, ID_EXPORT_HASH_SHA256);
    Export(0, ID_EXPORT_DISK);
    QVERIFY(WaitForExport(View()));
    // The dialog was told what the export needs, to grey what cannot take it.
    QCOMPARE(m_fake.diskNeeds.bytes, g.manifest.luns[0].bytes);
    QVERIFY(m_fake.diskNeeds.sources.size() >= g.manifest.Sources().size());

    QVERIFY(!m_fake.messages.isEmpty());
    const CMessageRequest& question = m_fake.messages[0];
    QVERIFY(question.buttons.testFlag(QMessageBox::Yes) && question.buttons.testFlag(QMessageBox::No));
    QCOMPARE(question.defaultButton, QMessageBox::No);
    QVERIFY(question.text.contains(device));
    QVERIFY(question.text.contains(m_fake.disk.info));
    QVERIFY(question.text.contains(QStringLiteral("从扇区 %1 开始").arg(sectors)));

    const std::uint64_t start = std::uint64_t(sectors) * 512;
    const sample::LunOut& lun = g.manifest.luns[0];
    if (!confirm) {
        QCOMPARE(m_fake.messages.size(), 1);
        QCOMPARE(std::filesystem::file_size(device.toStdString()), before.size());
        QVERIFY(!View()->ExportRunning());
        // Declined: it was never opened for writing.
        inotify_event event {};
        QVERIFY(::read(watch, &event, sizeof event) < 0);
        QVERIFY(!AttachExportState(g.ctx).target.io);
        return;
    }
    QCOMPARE(View()->ExportOffset(), qint64(start));
    QCOMPARE(m_fake.messages.size(), 1);
    QVERIFY(m_fake.OneSuccess());
    // No image, so no map beside it; one saved from the report starts the
    // same export at the same sector.
    QVERIFY(m_fake.reports[0].mapPath.isEmpty());
    std::string text;
    LoadMap(savedAs, &text);
    const QString command = MapCommandLine(text);
    QVERIFY2(command.contains(QStringLiteral(" --to %1").arg(device)), qPrintable(command));
    QVERIFY2(command.contains(QStringLiteral(" --offset-sectors %1 ").arg(sectors)), qPrintable(command));
    // It names its export, so "从映射文件恢复导出..." finds the target in it.
    QVERIFY2(text.find("# corvane lun 0:") != std::string::npos &&
                 text.find(" offset " + std::to_string(start) + " target ") != std::string::npos,
             text.c_str());
    // With the hash asked for, of the LUN's bytes on the disk.
    QCOMPARE(m_fake.reports[0].hash, QStringLiteral("SHA-256 ") + QString::fromStdString(lun.sha256));
    QVERIFY2(text.find("# corvane sha256 " + lun.sha256 + " ") != std::string::npos, text.c_str());
    QCOMPARE(Sha(device, start, lun.bytes), lun.sha256);
    // Bytes before the start are the device's own.
    const std::uint64_t kept = std::min<std::uint64_t>(start, before.size());
    std::ifstream f(device.toStdString(), std::ios::binary);
    std::string head(kept, '\0');
    f.read(head.data(), std::streamsize(kept));
    QVERIFY(head == before.substr(0, kept));
}

void LunsTest::commandsAreDisabledWhileAnExportRuns()
{
    Group g(sample::HealthyGroup(5, {6, 1}));
    ShowLuns(g.ctx);
    m_fake.imagePath = g.File("first.img");
    QVERIFY(m_frame->QueryCommand(ID_EXPORT_IMAGE).enabled);
    Export(0, ID_EXPORT_IMAGE);
    // The thread cannot end before this thread has handled its messages.
    QVERIFY(View()->ExportRunning());
    QCOMPARE(CurrentBusy(), BusyJob::Export);
    QVERIFY(!m_frame->QueryCommand(ID_EXPORT_IMAGE).enabled);
    QVERIFY(!m_frame->QueryCommand(ID_EXPORT_DISK).enabled);

    // The menu still opens, with both exports grayed; choosing one anyway
    // starts nothing.
    m_fake.imagePath = g.File("second.img");
    Export(1, ID_EXPORT_IMAGE);
    QCOMPARE(m_fake.popups, 2);
    QVERIFY(!m_fake.menuStates.value(ID_EXPORT_IMAGE, true));
    QVERIFY(!m_fake.menuStates.value(ID_EXPORT_DISK, true));
    View()->OnExportImage();
    View()->OnExportDisk();
    QCOMPARE(m_fake.imageDialogs, 1);
    QCOMPARE(m_fake.diskDialogs, 0);

    QVERIFY(WaitForExport(View()));
    QVERIFY(!IsBusy());
    QVERIFY(m_frame->QueryCommand(ID_EXPORT_IMAGE).enabled);
    QVERIFY(m_frame->QueryCommand(ID_EXPORT_DISK).enabled);
    QCOMPARE(Sha(g.File("first.img"), 0, g.manifest.luns[0].bytes), g.manifest.luns[0].sha256);
    QVERIFY(!QFileInfo::exists(g.File("second.img")));

    // And a second export after the first works as the first did.
    Export(1, ID_EXPORT_IMAGE);
    QVERIFY(WaitForExport(View()));
    QCOMPARE(Sha(g.File("second.img"), 0, g.manifest.luns[1].bytes), g.manifest.luns[1].sha256);
}

void LunsTest::analyseThenExportAsAUserDoes()
{
    // The whole road: sources into the tree, "初始化lun信息", the rows the
    // analysis sends, a right click, "镜像文件", the bytes and the message.
    if (!m_frame->QueryCommand(ID_INIT_LUN_INFO).handledBy)
        QSKIP("the analysis command is not part of this build");
    TempDir dir;
    const sample::Manifest manifest =
        sample::Generate(sample::HealthyGroup(5, {2, 3}), dir.file("group"));
    for (const std::string& path : manifest.Sources()) {
        const std::u16string name = QString::fromStdString(path).toStdU16String();
        SendWindowMessage(g_hLeftView, WM_ADD_SOURCE, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
    // A box the analysis might raise would wait for a person: close it and
    // fail instead of hanging.
    QStringList boxes;
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [&boxes] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            boxes << modal->windowTitle();
            modal->close();
        }
    });
    guard.start(100);
    QVERIFY(m_frame->ExecuteCommand(ID_INIT_LUN_INFO));
    QTRY_COMPARE_WITH_TIMEOUT(View()->Model()->rowCount(), int(manifest.luns.size()), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!IsBusy(), 60000);
    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join(u',')));

    QTableView* report = View()->ReportView();
    const QPoint at = report->visualRect(View()->Model()->index(1, 0)).center();
    m_fake.popupChoice = ID_EXPORT_IMAGE;
    m_fake.imagePath = QString::fromStdString(dir.file("lun1.img"));
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, report->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(report->viewport(), &click);
    QVERIFY(WaitForExport(View()));
    QVERIFY(m_fake.messages.isEmpty());
    QVERIFY(m_fake.OneSuccess());
    QCOMPARE(Sha(m_fake.imagePath, 0, manifest.luns[1].bytes), manifest.luns[1].sha256);
}

void LunsTest::closingDuringAnExport_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("endsWhileAsked"); // the export ends while the question is up
    QTest::newRow("stop and quit") << int(QMessageBox::Yes) << false;
    QTest::newRow("keep exporting") << int(QMessageBox::No) << false;
    QTest::newRow("ends while asked: withdrawn") << kWithdrawn << true;
    QTest::newRow("ends while asked: yes pressed as it went") << int(QMessageBox::Yes) << true;
}

void LunsTest::closingDuringAnExport()
{
    QFETCH(int, answer);
    QFETCH(bool, endsWhileAsked);
    const bool stop = answer == QMessageBox::Yes && !endsWhileAsked;
    Group g(sample::HealthyGroup(5, {24}));
    ShowLuns(g.ctx);
    m_fake.imagePath = g.File("big.img");
    Export(0, ID_EXPORT_IMAGE);
    QVERIFY(View()->ExportRunning());
    bool withdrawn = false;
    bool reportWhileAsked = false;
    if (endsWhileAsked) {
        // The user reads the question while the export runs to its end.
        m_fake.onMessage = [&](const CMessageRequest& r) {
            withdrawn = QTest::qWaitFor([&r] { return r.withdrawnWith.isNull(); }, 60000);
            reportWhileAsked = !m_fake.reports.isEmpty();
            return answer;
        };
    } else {
        m_fake.answers = {answer};
    }
    // Still running: each stripe waits for this thread to show its progress.
    QVERIFY(!m_frame->close());
    QCOMPARE(m_fake.messages.size(), 1);
    QCOMPARE(m_fake.messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(m_fake.messages[0].caption, kApp);
    QVERIFY(m_frame->isVisible());
    const sample::LunOut& lun = g.manifest.luns[0];
    if (endsWhileAsked) {
        // The question went by itself; the report came after it, never over
        // it, and with nothing left to stop the window stays.
        QVERIFY(withdrawn);
        QVERIFY(!reportWhileAsked);
        QCOMPARE(m_fake.shown, (QStringList{QStringLiteral("box"), QStringLiteral("report")}));
        QVERIFY(m_fake.OneSuccess());
        QVERIFY(!View()->ExportRunning());
        QVERIFY(m_frame->isVisible());
        QCOMPARE(Sha(m_fake.imagePath, 0, lun.bytes), lun.sha256);
        QVERIFY(m_frame->close()); // nothing runs: no question
        QCOMPARE(m_fake.messages.size(), 1);
        return;
    }
    // A second close while stopping asks nothing more.
    if (stop)
        QVERIFY(!m_frame->close());
    QCOMPARE(m_fake.messages.size(), 1);

    QVERIFY(WaitForExport(View()));
    if (stop) {
        // Stopped between stripes, no report, and the window closes; the
        // map beside the image still says how far it got.
        QTRY_VERIFY(!m_frame->isVisible());
        QCOMPARE(m_fake.messages.size(), 1);
        QVERIFY(m_fake.reports.isEmpty());
        const auto size = std::filesystem::file_size(m_fake.imagePath.toStdString());
        QVERIFY(size < lun.bytes);
        QCOMPARE(LoadMap(m_fake.imagePath + QStringLiteral(".map")).FirstNotDone(), size);
    } else {
        QVERIFY(m_frame->isVisible());
        QCOMPARE(m_fake.messages.size(), 1);
        QVERIFY(m_fake.OneSuccess());
        QCOMPARE(Sha(m_fake.imagePath, 0, lun.bytes), lun.sha256);
        QVERIFY(m_frame->close());
    }
}

void LunsTest::reportSaysSuccessOnlyWhenNothingWasLost_data()
{
    using State = DamageReportData::State;
    QTest::addColumn<int>("state");
    QTest::addColumn<quint64>("lost");
    QTest::addColumn<QString>("headline"); // "" : anything but success
    QTest::newRow("finished, nothing lost") << int(State::Finished) << quint64(0) << kSuccess;
    QTest::newRow("finished, bytes lost") << int(State::Finished) << quint64(4096) << QString();
    QTest::newRow("stopped") << int(State::Stopped) << quint64(0)
                             << QStringLiteral("导出已停止，目标上的数据不完整。");
    QTest::newRow("failed") << int(State::Failed) << quint64(0)
                            << QStringLiteral("导出失败，目标上的数据不完整。");
}

void LunsTest::reportSaysSuccessOnlyWhenNothingWasLost()
{
    QFETCH(int, state);
    QFETCH(quint64, lost);
    QFETCH(QString, headline);
    DamageReportData d;
    d.state = DamageReportData::State(state);
    d.bytesLost = lost;
    if (headline.isEmpty()) {
        QVERIFY(!d.Success());
        QVERIFY(!DamageHeadline(d).contains(kSuccess));
        QVERIFY(DamageHeadline(d).contains(FormatBytes(lost)));
    } else {
        QCOMPARE(DamageHeadline(d), headline);
        QCOMPARE(d.Success(), headline == kSuccess);
    }
}

void LunsTest::reportDialogClosesAndCopies()
{
    DamageReportData d;
    d.group = 0;
    d.id = 2;
    d.target = QStringLiteral("/cases/a b/lun.img");
    d.bytesTotal = 3 * kStripe;
    d.bytesWritten = 3 * kStripe;
    d.bytesLost = 0x40000;
    d.bytesRebuilt = kStripe;
    d.bytesRead = d.bytesWritten - d.bytesRebuilt - d.bytesLost;
    d.lostRanges = {{0x800000, 0x20000}, {0x1000000, 0x20000}};
    d.hash = QStringLiteral("SHA-256 0123abcd");
    d.mapPath = QStringLiteral("/cases/a b/lun.img.map");
    int saves = 0;
    CDamageReport dialog(d, [&saves](QWidget*) {
        ++saves;
        return QStringLiteral("/elsewhere/lun.map");
    });
    QVERIFY(dialog.Headline()->text().contains(FormatBytes(d.bytesLost)));
    const QString details = dialog.Details()->text();
    for (const QString& want : {QStringLiteral("262144 字节"), QStringLiteral("8388608 字节"),
                                d.target, d.hash, QStringLiteral("25165824 / 25165824")})
        QVERIFY2(details.contains(want), qPrintable(details));
    QVERIFY(dialog.MapLabel()->text().contains(d.mapPath));
    QCOMPARE(dialog.Ranges()->rowCount(), 2);
    QCOMPARE(dialog.Ranges()->item(1, 0)->text(), QStringLiteral("0x01000000"));

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    // The ranges the user selects, as the mapfile writes them.
    QApplication::clipboard()->clear();
    dialog.Ranges()->setFocus();
    // (Not selectRow: it follows whatever modifier keys an earlier test left.)
    dialog.Ranges()->selectionModel()->select(dialog.Ranges()->model()->index(1, 0),
                                              QItemSelectionModel::ClearAndSelect |
                                                  QItemSelectionModel::Rows);
    QCOMPARE(dialog.Ranges()->selectionModel()->selectedRows().size(), 1);
    QTest::keyClick(dialog.Ranges(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("0x01000000 0x00020000\n"));
    dialog.Ranges()->clearSelection();
    QTest::mouseClick(dialog.CopyButton(), Qt::LeftButton);
    QCOMPARE(QApplication::clipboard()->text(),
             QStringLiteral("0x00800000 0x00020000\n0x01000000 0x00020000\n"));
    QTest::mouseClick(dialog.SaveMapButton(), Qt::LeftButton);
    QCOMPARE(saves, 1);
    QVERIFY(dialog.MapLabel()->text().contains(QStringLiteral("/elsewhere/lun.map")));

    // Esc closes it, and so does the title bar's close button.
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.close());
    QVERIFY(!dialog.isVisible());

    // Nothing lost: no range list, no copy button.
    DamageReportData clean;
    clean.bytesTotal = clean.bytesWritten = clean.bytesRead = kStripe;
    CDamageReport cleanDialog(clean, {});
    cleanDialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&cleanDialog));
    QCOMPARE(cleanDialog.Headline()->text(), kSuccess);
    QVERIFY(!cleanDialog.Ranges()->isVisible());
    QVERIFY(!cleanDialog.CopyButton()->isVisible());
    QVERIFY(!cleanDialog.SaveMapButton()->isVisible());
}

void LunsTest::mountFromTheMenu_data()
{
    QTest::addColumn<QString>("folder"); // under the group's folder; "" = dialog cancelled
    QTest::addColumn<QString>("says");   // in the one box shown; "" = no box
    QTest::addColumn<bool>("mounts");
    QTest::newRow("empty folder") << "mnt" << "fusermount3 -u" << true;
    QTest::newRow("folder not empty") << "full" << "不是空的" << false;
    QTest::newRow("folder missing") << "none" << "不存在" << false;
    QTest::newRow("dialog cancelled") << "" << "" << false;
}

void LunsTest::mountFromTheMenu()
{
    QFETCH(QString, folder);
    QFETCH(QString, says);
    QFETCH(bool, mounts);
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        QSKIP("mounting needs /dev/fuse");
    Group g(sample::HealthyGroup(5, {2, 3}), true);
    std::filesystem::create_directory(g.dir.file("mnt"));
    std::filesystem::create_directory(g.dir.file("full"));
    std::ofstream(g.dir.file("full/keep")) << "x";
    const std::string mnt = g.dir.file(folder.toUtf8().constData());
    // Unmounted however the test ends, before the group's folder goes.
    struct Unmount {
        std::string dir;
        ~Unmount()
        {
            if (NbdMember::IsMountPoint(dir))
                QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QString::fromStdString(dir)});
        }
    } unmount{mnt};
    ShowLuns(g.ctx);
    m_fake.mountFolder = folder.isEmpty() ? QString() : QString::fromStdString(mnt);
    Export(1, ID_MOUNT_READONLY);
    QVERIFY(m_fake.menuStates.value(ID_MOUNT_READONLY, false));
    QCOMPARE(m_fake.folderDialogs, 1);
    QCOMPARE(m_fake.messages.size(), says.isEmpty() ? 0 : 1);
    if (!says.isEmpty())
        QVERIFY2(m_fake.messages[0].text.contains(says), qPrintable(m_fake.messages[0].text));
    QCOMPARE(NbdMember::IsMountPoint(mnt), mounts);
    if (mounts) {
        const sample::LunOut& lun = g.manifest.luns[1];
        const std::string file = mnt + "/lun-" + std::to_string(lun.group) + "-" + std::to_string(lun.id) + ".img";
        QVERIFY2(m_fake.messages[0].text.contains(QString::fromStdString(file)), qPrintable(m_fake.messages[0].text));
        // Only the LUN chosen is served, beside analysis.json.
        QCOMPARE(std::distance(std::filesystem::directory_iterator(mnt), std::filesystem::directory_iterator()), 2);
        QCOMPARE(std::filesystem::file_size(file), lun.bytes);
        std::vector<std::uint8_t> want(4096), got(4096);
        sample::LunPattern(1, 1, 0, want.data(), want.size());
        std::ifstream(file, std::ios::binary).read(reinterpret_cast<char*>(got.data()), std::streamsize(got.size()));
        QVERIFY(got == want);
        QCOMPARE(Sha(QString::fromStdString(file), 0, lun.bytes), lun.sha256);
    }
    QVERIFY(std::filesystem::exists(g.dir.file("full/keep")));
    QVERIFY(g.HashMembers() == g.memberHashes);
}

QTEST_MAIN(LunsTest)
#include "ui_luns_test.moc"
