#include "ui/app/Screenshots.h"

#include "ui/app/AboutDlg.h"
#include "ui/app/MainFrm.h"
#include "ui/controls/TextProgressCtrl.h"
#include "ui/common/WindowMessages.h"

#include <QDir>
#include <QEventLoop>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QTextStream>
#include <QTimer>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::ui {

namespace {

std::vector<std::pair<QString, ScreenshotTaker>>& Registry()
{
    static std::vector<std::pair<QString, ScreenshotTaker>> list;
    return list;
}

} // namespace

QPixmap GrabMenu(CMainFrame* frame, int index)
{
    const QList<QAction*> menus = frame->menuBar()->actions();
    if (index >= menus.size() || !menus[index]->menu())
        return QPixmap();
    // The whole window with the menu open, as a user sees it.
    QMenu* menu = menus[index]->menu();
    const QRect at = frame->menuBar()->actionGeometry(menus[index]);
    menu->popup(frame->menuBar()->mapToGlobal(at.bottomLeft()));
    SettleEvents(300);
    QPixmap shot = frame->grab();
    {
        QPainter p(&shot);
        const QPoint offset = frame->mapFromGlobal(menu->mapToGlobal(QPoint(0, 0)));
        p.drawPixmap(offset, menu->grab());
    }
    menu->hide();
    SettleEvents(100);
    return shot;
}

namespace {

void RegisterBuiltIns()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    auto& list = Registry();
    list.insert(list.begin(),
                {
                    {QStringLiteral("main-window"),
                     [](CMainFrame* frame) { return frame->grab(); }},
                    {QStringLiteral("menu-file"), [](CMainFrame* f) { return GrabMenu(f, 0); }},
                    {QStringLiteral("menu-view"), [](CMainFrame* f) { return GrabMenu(f, 2); }},
                    {QStringLiteral("menu-help"), [](CMainFrame* f) { return GrabMenu(f, 3); }},
                    {QStringLiteral("about-box"),
                     [](CMainFrame* frame) {
                         CAboutDlg about(frame);
                         about.show();
                         SettleEvents(300);
                         QPixmap shot = about.grab();
                         about.close();
                         return shot;
                     }},
                    {QStringLiteral("main-window-export"),
                     [](CMainFrame* frame) {
                         // Progress as an export thread reports it. The
                         // worker waits for the frame, so the loop keeps
                         // running until it is back.
                         std::atomic<bool> back{false};
                         std::thread worker([&back] {
                             SendExportProgress(1024, 384);
                             back = true;
                         });
                         while (!back)
                             SettleEvents(20);
                         worker.join();
                         SettleEvents(200);
                         return frame->grab();
                     }},
                });
}

} // namespace

void RegisterScreenshot(const QString& name, ScreenshotTaker take)
{
    Registry().emplace_back(name, std::move(take));
}

void SettleEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int TakeScreenshots(CMainFrame* frame, const QString& dir)
{
    RegisterBuiltIns();
    QTextStream err(stderr);
    if (!QDir().mkpath(dir)) {
        err << "screenshots: cannot create " << dir << '\n';
        return 1;
    }
    frame->raise();
    frame->activateWindow();
    SettleEvents(500);
    // A second run (another language) takes only some pictures, under
    // names of their own: CORVANE_SCREENSHOT_ONLY lists them, comma-separated,
    // and CORVANE_SCREENSHOT_SUFFIX goes before ".png".
    const QStringList only =
        qEnvironmentVariable("CORVANE_SCREENSHOT_ONLY").split(QLatin1Char(','), Qt::SkipEmptyParts);
    const QString suffix = qEnvironmentVariable("CORVANE_SCREENSHOT_SUFFIX");
    int failures = 0;
    for (const auto& [name, take] : Registry()) {
        if (!only.isEmpty() && !only.contains(name))
            continue;
        // Each picture starts from an idle bar, not from what the one
        // before left on it.
        frame->Progress()->SetPos(0);
        frame->Progress()->SetWindowText(QStringLiteral("0M/0M"));
        const QPixmap shot = take(frame);
        const QString path = QDir(dir).filePath(name + suffix + QStringLiteral(".png"));
        if (shot.isNull() || !shot.save(path)) {
            err << "screenshots: failed: " << path << '\n';
            ++failures;
        } else {
            err << "screenshots: wrote " << path << '\n';
        }
    }
    return failures;
}

} // namespace corvane::ui
