#include "cli/MountCommand.h"

#include "disk/Text.h"
#include "engine/Analysis.h"
#include "engine/Report.h"
#include "mount/LunMount.h"

#include <cstdio>

namespace corvane::cli {

namespace {

struct MountArgs {
    std::vector<std::string> args; // SOURCE... MOUNTPOINT
    bool zeroFill = false;
    uint64_t cacheMiB = 256;
    bool foreground = false;
};

MountArgs g_mount;

void Out(FILE* f, const std::string& utf8)
{
    const std::string s = JFileHandle::Utf8ToNarrow(utf8);
    std::fwrite(s.data(), 1, s.size(), f);
    std::fflush(f);
}

} // namespace

void RegisterMount(CLI::App& app, Options& opts)
{
    auto* cmd = app.add_subcommand(
        "mount", "Analyse the sources and mount their LUNs read-only (files lun-GROUP-ID.img and analysis.json) "
                 "without copying them; unmount with fusermount3 -u MOUNTPOINT");
    cmd->add_option("args", g_mount.args, "Member drives or images, then the mount point (an empty folder)")
        ->required()
        ->type_name("SOURCE... MOUNTPOINT");
    cmd->add_flag("--zero-fill", g_mount.zeroFill,
                  "Lost bytes (two or more segments unreadable) read as zeros instead of failing with EIO");
    cmd->add_option("--cache-mib", g_mount.cacheMiB, "MiB of assembled LUN data kept for repeated reads (default 256)")
        ->check(CLI::Range(uint64_t{0}, uint64_t{1} << 20));
    cmd->add_flag("-f,--foreground", g_mount.foreground,
                  "Stay in the foreground and tell failed reads on stderr; Ctrl-C unmounts");
    AddSourceOptions(*cmd, opts);
    cmd->callback([&opts] { opts.command = "mount"; });
}

int RunMount(const Options& base)
{
    if (g_mount.args.size() < 2) {
        Out(stderr, "mount wants one or more sources and then the mount point\n");
        return 64;
    }
    Options opts = base;
    opts.sources.assign(g_mount.args.begin(), g_mount.args.end() - 1);
    const std::string mountPoint = g_mount.args.back();
    // Refused before the sources are read: an analysis can take a while.
    if (const std::string why = RefuseMountPoint(mountPoint); !why.empty()) {
        Out(stderr, why + "\n");
        return 64;
    }

    EvaContext ctx;
    if (const int status = AddSources(opts, ctx))
        return status;
    const AnalysisResult a = RunAnalysis(ctx);
    if (a.status == AnalysisResult::Status::NoSources) {
        Out(stderr, a.text + "\n");
        return 64;
    }
    const AnalysisSummary summary = Summarize(ctx);
    PrintWarnings(summary.warnings);
    if (!a.ok()) {
        Out(stderr, a.text + (a.reason.empty() ? "" : " (" + a.reason + ")") + "\n");
        return a.code >= 1 && a.code <= 17 ? a.code : 70;
    }

    std::vector<const LunEntry*> luns;
    for (const auto& l : ctx.lunList)
        luns.push_back(l.get());
    MountOptions mo;
    mo.zeroFill = g_mount.zeroFill;
    mo.cacheBytes = g_mount.cacheMiB << 20;
    // What analyze --json prints, what each LUN holds included.
    std::vector<LunContent> contents;
    for (const auto& l : ctx.lunList)
        contents.push_back(ProbeLun(ctx, *l));
    mo.analysisJson = SummaryJsonText(summary, contents);
    mo.log = g_mount.foreground ? stderr : nullptr;
    LunMount mount(ctx, luns, mo);
    std::string error;
    if (!mount.Mount(mountPoint, error)) {
        Out(stderr, error + "\n");
        // The folder was checked above: what fails here is FUSE itself,
        // unless the folder changed in between.
        return RefuseMountPoint(mountPoint).empty() ? 69 : 64;
    }
    std::string files;
    for (const std::string& name : mount.FileNames())
        files += " " + name;
    Out(stdout, "mounted at " + mount.MountPoint() + ":" + files + "\n" +
                    (g_mount.foreground ? "Ctrl-C unmounts\n" : "unmount with: fusermount3 -u " + mountPoint + "\n"));
    if (!g_mount.foreground && !LunMount::Daemonize()) {
        Out(stderr, "cannot go to the background; unmounting\n");
        mount.Stop();
        return 70;
    }
    return mount.Serve(true) == 0 ? 0 : 70;
}

} // namespace corvane::cli
