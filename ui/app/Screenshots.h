// Pictures of the program's windows for the documentation. When the
// environment names a folder in CORVANE_SCREENSHOT_DIR, the program shows
// its main window, writes one PNG per registered picture there and ends.
#pragma once

#include <QPixmap>
#include <QString>

#include <functional>

namespace corvane::ui {

class CMainFrame;

// Takes one picture; the frame is shown and idle when it is called. A null
// pixmap counts as a failure.
using ScreenshotTaker = std::function<QPixmap(CMainFrame* frame)>;

// Adds a picture named name (file name without ".png"), taken in the order
// registered. The main window and its menus and the about box are built in.
void RegisterScreenshot(const QString& name, ScreenshotTaker take);

// The main window with menu index of its menu bar open.
QPixmap GrabMenu(CMainFrame* frame, int index);

// Lets the event loop run for ms milliseconds, so a window just shown is
// laid out and painted before it is grabbed.
void SettleEvents(int ms);

// Writes every picture to dir (only those CORVANE_SCREENSHOT_ONLY names,
// when it is set); returns the number that failed.
int TakeScreenshots(CMainFrame* frame, const QString& dir);

} // namespace corvane::ui
