// corvane-cli mount: analyse the sources, then serve every LUN read-only
// as a file of a FUSE file system, without copying anything first.
#pragma once

#include "cli/Commands.h"

#include <CLI/CLI.hpp>

namespace corvane::cli {

void RegisterMount(CLI::App& app, Options& opts);
// Exit status: 0 once unmounted (in the background: once the mount is up),
// 64 a refused mount point or bad arguments, 69 FUSE not available, the
// error code of a failed analysis.
int RunMount(const Options& opts);

} // namespace corvane::cli
