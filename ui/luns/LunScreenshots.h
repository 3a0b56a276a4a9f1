// Pictures of the LUN list, its context menu, the export settings dialog
// and an export in progress, for the screenshot run (ui/app/Screenshots.h).
// The LUN list shows the sample group of the folder named in
// CORVANE_SCREENSHOT_SAMPLE.
#pragma once

namespace corvane::ui {

void RegisterLunScreenshots();

} // namespace corvane::ui
