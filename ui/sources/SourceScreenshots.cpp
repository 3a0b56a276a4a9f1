#include "ui/sources/SourceScreenshots.h"

#include "ui/app/MainFrm.h"
#include "ui/app/Screenshots.h"
#include "ui/common/Busy.h"
#include "ui/common/Commands.h"
#include "ui/common/WindowMessages.h"
#include "ui/sources/ChooseDevice.h"
#include "ui/sources/LeftView.h"
#include "ui/sources/MemberMapDlg.h"
#include "ui/sources/SourceDialogs.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QToolTip>
#include <QTreeWidgetItem>
#include <QEventLoop>
#include <QTableWidget>
#include <QTextStream>
#include <QTimer>

#include <string>

namespace corvane::ui {

namespace {

QStringList SampleMembers()
{
    const QString dir = qEnvironmentVariable("CORVANE_SCREENSHOT_SAMPLE");
    if (dir.isEmpty())
        return {};
    QStringList paths;
    for (const QString& m :
         QDir(dir).entryList({QStringLiteral("member*.img")}, QDir::Files, QDir::Name))
        paths << QDir(dir).absoluteFilePath(m);
    return paths;
}

QPixmap SourceDialog(CMainFrame* frame)
{
    // The drives of this machine, and two of the sample's images added with
    // the image button, one checked and one selected.
    const QStringList members = SampleMembers();
    int next = 0;
    CSourceDialogs dialogs;
    dialogs.imageFile = [&](QWidget*) { return next < members.size() ? members[next++] : QString(); };
    const CSourceDialogs saved = CSourceDialogs::Current();
    CSourceDialogs::Install(dialogs);
    CChooseDevice dlg(frame);
    dlg.OnAddImage();
    dlg.OnAddImage();
    CSourceDialogs::Install(saved);
    QTableWidget* list = dlg.List();
    const int rows = list->rowCount();
    if (rows >= 1)
        list->item(0, 0)->setCheckState(Qt::Checked);
    if (rows >= 2)
        list->item(rows - 2, 0)->setCheckState(Qt::Checked);
    if (rows >= 1)
        list->selectRow(rows - 1);
    dlg.show();
    SettleEvents(300);
    QPixmap shot = dlg.grab();
    dlg.reject();
    return shot;
}

QPixmap AfterAnalysis(CMainFrame* frame)
{
    QTextStream err(stderr);
    CLeftView* tree = frame->LeftView();
    const QStringList members = SampleMembers();
    if (members.isEmpty()) {
        err << "screenshots: CORVANE_SCREENSHOT_SAMPLE names no sample group\n";
        return QPixmap();
    }
    // Added as the dialog would, unless an earlier picture already did.
    if (tree->RootItem()->childCount() == 0) {
        for (const QString& path : members) {
            const std::u16string wide = path.toStdU16String();
            SendWindowMessage(g_hLeftView, WM_ADD_SOURCE, 0,
                              reinterpret_cast<LPARAM>(wide.c_str()));
        }
    }
    QEventLoop loop;
    QObject::connect(tree, &CLeftView::analysisFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    if (!frame->ExecuteCommand(ID_INIT_LUN_INFO)) {
        err << "screenshots: the analysis command did not run\n";
        return QPixmap();
    }
    loop.exec();
    if (tree->AnalysisRunning()) {
        err << "screenshots: the analysis did not end\n";
        return QPixmap();
    }
    // The last source item with its tooltip open (over the empty part of the
    // tree) shows what the analysis found.
    QTreeWidgetItem* item = tree->SourceItem(tree->RootItem()->childCount() - 1);
    tree->setCurrentItem(item);
    frame->UpdateCommandUI();
    SettleEvents(300);
    const QRect at = tree->visualItemRect(item);
    const QPoint tipAt = tree->viewport()->mapToGlobal(at.bottomLeft() + QPoint(24, 4));
    QToolTip::showText(tipAt, item->toolTip(0), tree);
    SettleEvents(300);
    QPixmap shot = frame->grab();
    // The tooltip is a window of its own: painted where it stands.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->inherits("QTipLabel")) {
            QPainter p(&shot);
            p.drawPixmap(frame->mapFromGlobal(w->mapToGlobal(QPoint(0, 0))), w->grab());
        }
    }
    QToolTip::hideText();
    SettleEvents(100);
    return shot;
}

// The member map of the analysis the picture before ran.
QPixmap MemberMap(CMainFrame* frame)
{
    CMemberMapDlg* dlg = frame->LeftView()->OnMemberMap();
    if (!dlg) {
        QTextStream(stderr) << "screenshots: no analysis to show the member map of\n";
        return QPixmap();
    }
    SettleEvents(300);
    QPixmap shot = dlg->grab();
    dlg->close();
    SettleEvents(100);
    return shot;
}

} // namespace

void RegisterSourceScreenshots()
{
    RegisterScreenshot(QStringLiteral("source-dialog"), SourceDialog);
    RegisterScreenshot(QStringLiteral("main-window-analysed"), AfterAnalysis);
    RegisterScreenshot(QStringLiteral("member-map"), MemberMap);
    // After the analysis, so "成员映射" is on.
    RegisterScreenshot(QStringLiteral("menu-edit"), [](CMainFrame* f) { return GrabMenu(f, 1); });
}

} // namespace corvane::ui
