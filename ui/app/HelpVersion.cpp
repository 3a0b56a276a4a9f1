#include "ui/app/HelpVersion.h"

#include <cstdio>
#include <cstring>

namespace corvane::ui {

bool HandleHelpVersion(int argc, char** argv, int& exitCode)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0)
            break; // what follows is a file name
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("corvane %s\n", CORVANE_VERSION);
            exitCode = 0;
            return true;
        }
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::printf(
                "Usage: corvane [OPTION]... [FILE]\n"
                "The desktop program of Corvane: recover LUNs from the member disks of an HP EVA\n"
                "disk group (or images of them) into an image file or onto a disk.\n"
                "\n"
                "Ctrl+N adds drives and image files, the Edit menu analyses them and lists the\n"
                "LUNs, a LUN's context menu exports it. Members are opened read-only.\n"
                "FILE, when given, becomes the open document (it is only checked for reading).\n"
                "\n"
                "Options:\n"
                "  -h, --help     show this help and exit\n"
                "      --version  show the version and exit\n"
                "\n"
                "The Qt toolkit's own options (-platform NAME, -style NAME, -display DISPLAY,\n"
                "...) are taken as well. The command-line tool corvane-cli does the same work\n"
                "without a window.\n");
            exitCode = 0;
            return true;
        }
    }
    return false;
}

} // namespace corvane::ui
