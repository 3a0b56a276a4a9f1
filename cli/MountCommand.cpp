#include "cli/MountCommand.h"

#include "cli/Common.h"
#include "cli/ExportCommand.h"
#include "engine/Exclude.h"
#include "engine/Report.h"
#include "mount/LunMount.h"

#include <algorithm>
#include <cstdio>

namespace corvane::cli {

namespace {

struct MountArgs {
    std::vector<std::string> args; // SOURCE... MOUNTPOINT
    bool zeroFill = false;
    uint64_t cacheMiB = 256;
    bool foreground = false;
    std::vector<std::string> luns; // GROUP:ID each; empty: every LUN
};

MountArgs g_mount;

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
    cmd->add_option("--lun", g_mount.luns, "Serve only this LUN, as GROUP:ID (repeatable; default: every LUN)")
        ->type_name("GROUP:ID");
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
    std::vector<std::pair<uint32_t, uint32_t>> wanted;
    for (const std::string& text : g_mount.luns) {
        uint32_t group = 0, id = 0;
        if (!ParseLun(text, group, id)) {
            Out(stderr, "--lun wants GROUP:ID, for example 0:1 (not \"" + text + "\")\n");
            return 64;
        }
        wanted.emplace_back(group, id);
    }

    EvaContext ctx;
    AnalysisSummary summary;
    const auto refuse = [](int status, const std::string& why) {
        Out(stderr, why + "\n");
        return status;
    };
    if (const int status = AnalyzeSources(opts, ctx, refuse, &summary))
        return status;

    std::vector<const LunEntry*> luns;
    if (wanted.empty())
        for (const auto& l : ctx.lunList)
            luns.push_back(l.get());
    for (size_t i = 0; i < wanted.size(); ++i) {
        const LunEntry* found = nullptr;
        for (const auto& l : ctx.lunList)
            if (l->group == wanted[i].first && l->id == wanted[i].second)
                found = l.get();
        if (!found) {
            std::string have;
            for (const auto& l : ctx.lunList)
                have += " " + std::to_string(l->group) + ":" + std::to_string(l->id);
            Out(stderr, "no LUN " + g_mount.luns[i] + " in this disk group; it holds:" + (have.empty() ? " none" : have) +
                            "\n");
            return 65;
        }
        if (std::find(luns.begin(), luns.end(), found) == luns.end())
            luns.push_back(found);
    }
    // Unlike an export, a mount still serves what reads: the stripes the
    // exclusion leaves short fail with EIO (or read as zeros), so warn only.
    for (const LunEntry* l : luns)
        if (const std::string loss = ExclusionLoss(ctx, l->stripeRecords); !loss.empty())
            Out(stderr, "warning: LUN " + std::to_string(l->group) + ":" + std::to_string(l->id) + ": " + loss +
                            "; those bytes " + (g_mount.zeroFill ? "read as zeros" : "fail with EIO") + "\n");
    MountOptions mo;
    mo.zeroFill = g_mount.zeroFill;
    mo.cacheBytes = g_mount.cacheMiB << 20;
    // analysis.json is what analyze --json prints, what each LUN holds too.
    std::vector<LunContent> contents;
    for (const auto& lun : ctx.lunList)
        contents.push_back(ProbeLun(ctx, *lun));
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
