// --help and --version of the desktop program, answered before the toolkit
// starts: they must work without a display (help2man runs them at build
// time, a user runs them over ssh).
#pragma once

namespace corvane::ui {

// True when the command line asks for help or the version; the text is then
// printed to stdout and exitCode is set.
bool HandleHelpVersion(int argc, char** argv, int& exitCode);

} // namespace corvane::ui
