// corvane: the desktop program.
#include "ui/app/HelpVersion.h"
#include "ui/app/MainFrm.h"
#include "ui/app/Screenshots.h"
#include "ui/app/TessalyApp.h"
#include "ui/luns/LunScreenshots.h"
#include "ui/sources/ChooseDevice.h"
#include "ui/sources/SourceScreenshots.h"

#include <QTimer>

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    // Before the application object: it needs a display.
    if (int code = 0; corvane::ui::HandleHelpVersion(argc, argv, code))
        return code;
    try {
        corvane::ui::CTessalyApp app(argc, argv);
        // Ctrl+N, the toolbar button and the menu entry open "选择源".
        corvane::ui::CMainFrame::SetAddDeviceDialog(&corvane::ui::RunChooseDevice);
        if (!app.InitInstance())
            return app.ExitInstance(1);

        const QString shots = qEnvironmentVariable("CORVANE_SCREENSHOT_DIR");
        if (!shots.isEmpty()) {
            corvane::ui::RegisterLunScreenshots();
            corvane::ui::RegisterSourceScreenshots();
            QTimer::singleShot(0, &app, [&app, shots] {
                const int failures = corvane::ui::TakeScreenshots(app.MainFrame(), shots);
                app.exit(failures == 0 ? 0 : 1);
            });
        }
        const int code = app.exec();
        return app.ExitInstance(code);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane: %s\n", e.what());
        return 1;
    }
}
