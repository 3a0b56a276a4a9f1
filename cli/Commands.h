#pragma once

#include "engine/Context.h"
#include "engine/Report.h"
#include "probe/LunContent.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace corvane::cli {

struct Options {
    std::string command;
    std::vector<std::string> sources;
    bool verbose = false;
    bool json = false;
    // analyze: leave out the probe of each LUN's content.
    bool noContent = false;
    // IMAGE=MAPFILE: the ddrescue mapfile of a source image.
    std::vector<std::string> sourceMaps;
    // Sources treated as missing after the analysis.
    std::vector<std::string> exclude;
    // Extra tries of a block that failed to read.
    unsigned retries = 1;
};

// Adds the given sources to ctx, each with its --source-map. Returns 0, or
// the exit status after printing why: 64 for a map naming no given source
// or given twice, 66 for a map that cannot be read or is not a mapfile.
// Nothing is read from the sources here.
int AddSources(const Options& opts, EvaContext& ctx);
// The options every command that reads the sources takes.
void AddSourceOptions(CLI::App& cmd, Options& opts);

void Register(CLI::App& app, Options& opts);

// What analyze --json prints (UTF-8, one object and a line end); contents,
// when given, are what each LUN holds, in list order.
std::string SummaryJsonText(const AnalysisSummary& summary, const std::vector<LunContent>& contents = {});

// The exit statuses, for --help (the README has the same table).
inline constexpr const char* kExitStatusHelp =
    "Exit status:\n"
    "  0        success (an export with lost bytes too: the summary, --json and the mapfile list them)\n"
    "  1-17     the error code of a failure, with its text on stderr (1 \"Open Device Failed!\", 8 a write\n"
    "           failed, 9 a read failed, 11 a seek failed, ...)\n"
    "  18       export --strict: LUN bytes were lost (zero-filled or not covered by the metadata)\n"
    "  19       verify (or export --verify): the parity of some stripes is inconsistent\n"
    "  64       usage: a bad option or value, a refused target or mapfile (another export's map, a\n"
    "           target that no longer matches it, --map naming the target or a source, a block\n"
    "           device without --force, --to - with an offset, --sparse, --retry-bad or an existing\n"
    "           map, or onto a terminal), a refused mount point (missing, not a folder, not empty,\n"
    "           a mount point already), an --exclude naming no source or leaving a stripe two\n"
    "           positions short (mount only warns)\n"
    "  65       no such LUN\n"
    "  66       a mapfile that is not one (--map or --source-map)\n"
    "  69       mount: FUSE is not available (no /dev/fuse, or the mount was not allowed)\n"
    "  70       internal error\n"
    "  130/143  export stopped by SIGINT/SIGTERM (the mapfile is saved; run again to continue)\n";
// The analysis's warnings on standard error, one "warning: " line each,
// whatever the verbosity: a source left out must not go unnoticed.
void PrintWarnings(const std::vector<SourceWarning>& warnings);
// Runs the chosen command; returns the process exit status.
int Run(const Options& opts);

} // namespace corvane::cli
