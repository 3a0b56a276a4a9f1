#include "cli/Commands.h"

#include "disk/Drives.h"
#include "disk/JIO.h"
#include "disk/Text.h"
#include "engine/Analysis.h"
#include "engine/Errors.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>

namespace corvane::cli {

namespace {

// Prints UTF-8 text in the locale's encoding.
void Out(FILE* f, const std::string& utf8)
{
    const std::string s = JFileHandle::Utf8ToNarrow(utf8);
    std::fwrite(s.data(), 1, s.size(), f);
}

int Drives()
{
    const auto drives = JFileHandle::ListDrives();
    int shown = 0;
    for (size_t n = 0; n < drives.size(); ++n) {
        JFileHandle::JDisk disk;
        const std::string name = JFileHandle::DriveName(static_cast<int>(n));
        if (!disk.Open(name.c_str(), false, JFileHandle::Access::ReadOnly))
            continue;
        disk.Describe();
        Out(stdout, name + "\t" + disk.Description() + "\t" + drives[n].devNode + "\n");
        ++shown;
    }
    if (shown == 0)
        Out(stderr, "no drive could be opened (reading drives usually needs root)\n");
    return 0;
}

int Analyze(const Options& opts)
{
    EvaContext ctx;
    for (const auto& s : opts.sources)
        ctx.sources.push_back({s});
    const AnalysisResult r = RunAnalysis(ctx);
    if (r.status == AnalysisResult::Status::NoSources) {
        Out(stderr, r.text + "\n");
        return 64;
    }
    if (!r.ok()) {
        Out(stderr, r.text + (r.reason.empty() ? "" : " (" + r.reason + ")") + "\n");
        return r.code >= 1 && r.code <= 17 ? r.code : 70;
    }
    if (opts.json) {
        nlohmann::json j;
        j["luns"] = nlohmann::json::array();
        for (const auto& lun : ctx.lunList)
            j["luns"].push_back({{"group", lun->group},
                                 {"id", lun->id},
                                 {"sizeGiB", lun->sizeGiB},
                                 {"stripes", lun->stripeRecords.size()}});
        Out(stdout, j.dump(2) + "\n");
        return 0;
    }
    for (const auto& lun : ctx.lunList) {
        char line[128];
        std::snprintf(line, sizeof line, "%" PRIu32 "\t%" PRIu32 "\t%" PRIu64 "G\n", lun->group, lun->id,
                      lun->sizeGiB);
        Out(stdout, line);
    }
    return 0;
}

} // namespace

void Register(CLI::App& app, Options& opts)
{
    auto* drives = app.add_subcommand("drives", "List the drives that open, with their description and /dev node");
    drives->callback([&opts] { opts.command = "drives"; });

    auto* analyze = app.add_subcommand("analyze", "Analyse member disks or images and print the LUN list");
    analyze->add_option("sources", opts.sources, "Member drives (\\\\.\\Physicaldrive%d or /dev/...) or image files");
    analyze->add_flag("-v,--verbose", opts.verbose, "Also print members, member map and missing slots");
    analyze->add_flag("--json", opts.json, "Print one JSON object");
    analyze->callback([&opts] { opts.command = "analyze"; });
}

int Run(const Options& opts)
{
    if (opts.command == "drives")
        return Drives();
    if (opts.command == "analyze")
        return Analyze(opts);
    return 64;
}

} // namespace corvane::cli
