// Pictures of the source side for the screenshot run (ui/app/Screenshots.h):
// the source selection dialog, and the main window after the analysis
// command has run on the sample group of the folder CORVANE_SCREENSHOT_SAMPLE
// names (member*.img, in name order).
#pragma once

namespace corvane::ui {

void RegisterSourceScreenshots();

} // namespace corvane::ui
