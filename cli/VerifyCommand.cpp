#include "cli/VerifyCommand.h"

#include "cli/Common.h"
#include "cli/ExportCommand.h"
#include "disk/Text.h"
#include "engine/Errors.h"
#include "export/ExportState.h"
#include "engine/Analysis.h"
#include "engine/Exclude.h"
#include "engine/Report.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <unistd.h>

namespace corvane::cli {

namespace {

struct VerifyOptions {
    std::string lun;
    bool all = false;
    bool quiet = false;
    bool progress = false;
};

VerifyOptions& Settings()
{
    static VerifyOptions o;
    return o;
}

std::string LunName(const LunEntry& l)
{
    return std::to_string(l.group) + ":" + std::to_string(l.id);
}

// Stripes checked so far, on stderr: redrawn on a terminal, a plain line a
// second with --progress.
struct Progress {
    bool terminal = false;
    bool shown = false;
    std::string lun;
    std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point next = began;

    static int Show(int32_t total, int32_t done, void* user)
    {
        auto* p = static_cast<Progress*>(user);
        const auto now = std::chrono::steady_clock::now();
        if (now < p->next && done != total)
            return 0;
        p->next = now + std::chrono::milliseconds(p->terminal ? 250 : 1000);
        const double s = std::chrono::duration<double>(now - p->began).count();
        const double mib = static_cast<double>(done) * 8;
        char line[160];
        std::snprintf(line, sizeof line, "%sLUN %s: %d/%d stripes checked  %.1f MiB/s%s", p->terminal ? "\r" : "",
                      p->lun.c_str(), done, total, s > 0.2 ? mib / s : 0.0, p->terminal ? "   " : "\n");
        std::fputs(line, stderr);
        std::fflush(stderr);
        p->shown = true;
        return 0;
    }
};

} // namespace

nlohmann::ordered_json ParityJson(const ParityReport& p)
{
    nlohmann::ordered_json j;
    j["stripes"] = {{"checked", p.Stripes()},
                    {"consistent", p.consistent},
                    {"inconsistent", p.inconsistent},
                    {"unverifiable", p.unverifiable}};
    j["blocks"] = {{"size", kParityBlock},
                   {"consistent", p.consistentBlocks},
                   {"inconsistent", p.inconsistentBlocks},
                   {"unverifiable", p.unverifiableBlocks}};
    j["inconsistentRanges"] = nlohmann::ordered_json::array();
    for (const ByteRange& r : p.inconsistentRanges)
        j["inconsistentRanges"].push_back({{"offset", r.offset}, {"length", r.length}});
    j["sources"] = nlohmann::ordered_json::array();
    for (const ParityReport::Source& s : p.sources)
        j["sources"].push_back({{"source", JFileHandle::NarrowToUtf8(s.source)},
                                {"stripes", s.stripes},
                                {"inconsistentStripes", s.inconsistent}});
    j["sharedByInconsistent"] = nlohmann::ordered_json::array();
    for (const std::string& s : p.shared)
        j["sharedByInconsistent"].push_back(JFileHandle::NarrowToUtf8(s));
    const std::string stale = LikelyStale(p);
    j["likelyStale"] = stale.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(JFileHandle::NarrowToUtf8(stale));
    return j;
}

std::string ParityText(const ParityReport& p)
{
    std::ostringstream s;
    s << "  stripes checked: " << p.Stripes() << ": consistent " << p.consistent << ", inconsistent "
      << p.inconsistent << ", unverifiable " << p.unverifiable << "\n";
    s << "  4 KiB blocks: consistent " << p.consistentBlocks << ", inconsistent " << p.inconsistentBlocks
      << ", unverifiable " << p.unverifiableBlocks << "\n";
    if (!p.inconsistentRanges.empty()) {
        uint64_t total = 0;
        for (const ByteRange& r : p.inconsistentRanges)
            total += r.length;
        s << "  inconsistent LUN ranges: " << p.inconsistentRanges.size() << " ranges, " << total
          << " bytes; LUN offset and length:\n";
        for (const ByteRange& r : p.inconsistentRanges)
            s << "    " << Hex(r.offset) << " " << Hex(r.length) << "\n";
    }
    return s.str();
}

std::string LikelyStale(const ParityReport& p)
{
    return p.inconsistent > 0 && p.shared.size() == 1 ? p.shared.front() : std::string();
}

std::string StaleVerdict(const ParityReport& p)
{
    if (p.inconsistent == 0)
        return {};
    std::ostringstream s;
    const std::string stale = LikelyStale(p);
    if (!stale.empty()) {
        uint32_t serves = 0;
        for (const ParityReport::Source& x : p.sources)
            if (x.source == stale)
                serves = x.stripes;
        s << "Likely stale member: " << stale << ": it takes part in all " << p.inconsistent
          << " inconsistent stripes (and in " << serves << " of the " << p.Stripes()
          << " checked); no other source is in all of them. --exclude " << stale
          << " rebuilds its segments from parity.\n";
    } else if (p.shared.empty()) {
        s << "No source takes part in every inconsistent stripe: stale parity alone, or more than one bad "
             "member.\n";
    } else {
        s << p.shared.size() << " sources take part in every inconsistent stripe (";
        for (size_t i = 0; i < p.shared.size(); ++i)
            s << (i ? ", " : "") << p.shared[i];
        s << "): the stripes cannot tell which one is stale.\n";
    }
    return s.str();
}

void RegisterVerify(CLI::App& app, Options& opts)
{
    VerifyOptions& o = Settings();
    auto* v = app.add_subcommand("verify", "Read every segment of the LUNs' stripes and check their parity, to "
                                           "find a stale member");
    v->add_option("sources", opts.sources, "Member drives (\\\\.\\Physicaldrive%d or /dev/...) or image files")
        ->required();
    auto* lun = v->add_option("--lun", o.lun, "The LUN to check, as GROUP:ID (default: every LUN)");
    v->add_flag("--all", o.all, "Check every LUN (the default)")->excludes(lun);
    auto* progress = v->add_flag("--progress", o.progress,
                                 "Show progress on standard error also when it is not a terminal (a line a second)");
    v->add_flag("-q,--quiet", o.quiet, "No progress and no summary; errors, warnings and --json stay")
        ->excludes(progress);
    v->add_flag("--json", opts.json, "Print the result as one JSON object (UTF-8) instead of the summary");
    AddSourceOptions(*v, opts);
    v->callback([&opts] { opts.command = "verify"; });
}

int RunVerify(const Options& opts)
{
    const VerifyOptions& o = Settings();
    auto refuse = [&](int status, const std::string& why) {
        Out(stderr, why + "\n");
        if (opts.json) {
            nlohmann::ordered_json j{{"error", why}, {"status", status}};
            Out(stdout, j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        }
        return status;
    };
    uint32_t group = 0, id = 0;
    if (!o.lun.empty() && !ParseLun(o.lun, group, id))
        return refuse(64, "--lun wants GROUP:ID, for example 0:1 (not \"" + o.lun + "\")");

    EvaContext ctx;
    AttachExportState(ctx);
    if (const int status = AnalyzeSources(opts, ctx, refuse))
        return status;

    std::vector<const LunEntry*> luns;
    for (const auto& l : ctx.lunList)
        if (o.lun.empty() || (l->group == group && l->id == id))
            luns.push_back(l.get());
    if (luns.empty()) {
        std::string have;
        for (const auto& l : ctx.lunList)
            have += " " + LunName(*l);
        return refuse(65, (o.lun.empty() ? std::string("no LUN in this disk group") : "no LUN " + o.lun +
                                                                                          " in this disk group") +
                              "; it holds:" + (have.empty() ? " none" : have));
    }
    // Said before anything is read.
    std::vector<std::string> warnings;
    for (const LunEntry* l : luns) {
        if (l->stripeRecords.empty()) {
            warnings.push_back("LUN " + LunName(*l) + " has no stripe records: nothing to check");
            continue;
        }
        const std::string loss = ExclusionLoss(ctx, l->stripeRecords);
        if (!loss.empty())
            return refuse(64, "LUN " + LunName(*l) + ": " + loss);
    }
    for (const std::string& w : warnings)
        Out(stderr, "warning: " + w + "\n");

    InstallStopHandlers();

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    const bool show = !o.quiet && (terminal || o.progress);
    ParityReport total;
    total.checked = true;
    std::vector<std::pair<const LunEntry*, ParityReport>> perLun;
    int status = 0;
    std::string error;
    const auto began = std::chrono::steady_clock::now();
    for (const LunEntry* l : luns) {
        if (l->stripeRecords.empty())
            continue;
        Progress progress;
        progress.terminal = terminal;
        progress.lun = LunName(*l);
        ExportControl control;
        control.verifyParity = true;
        control.writeTarget = false;
        control.console = nullptr;
        control.stop = &g_stopRequested;
        ExportReport report;
        control.report = &report;
        try {
            report = ExportLun(ctx, l->stripeRecords, 0, show ? &Progress::Show : nullptr, &progress, control);
        } catch (const EvaError& e) {
            status = e.code();
            error = MessageText(e.what()) + (e.reason().empty() ? "" : " (" + e.reason() + ")");
        }
        if (progress.shown && terminal)
            std::fputs("\n", stderr);
        report.parity.checked = true;
        AddParity(total, report.parity);
        perLun.emplace_back(l, report.parity);
        if (status != 0)
            break;
        if (report.cancelled || g_stopRequested.load()) {
            const Stopped stopped = StoppedBy();
            status = stopped.status;
            error = "interrupted by " + stopped.by + " after " +
                    std::to_string(report.written) + " of " + std::to_string(report.stripes) + " stripes of LUN " +
                    LunName(*l);
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (status == 0 && total.inconsistent > 0)
        status = kExitInconsistent;
    if (!error.empty())
        Out(stderr, error + "\n");

    const std::vector<std::string> excluded = ExcludedSources(ctx);
    if (opts.json) {
        nlohmann::ordered_json j;
        j["luns"] = nlohmann::ordered_json::array();
        for (const auto& [l, p] : perLun) {
            nlohmann::ordered_json one{{"lun", LunName(*l)}};
            one.update(ParityJson(p));
            j["luns"].push_back(std::move(one));
        }
        j.update(ParityJson(total));
        j["excluded"] = nlohmann::ordered_json::array();
        for (const std::string& x : excluded)
            j["excluded"].push_back(JFileHandle::NarrowToUtf8(x));
        j["elapsedSeconds"] = seconds;
        j["warnings"] = warnings;
        if (!error.empty())
            j["error"] = error;
        j["status"] = status;
        Out(stdout, j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        return status;
    }
    if (o.quiet)
        return status;
    std::ostringstream s;
    for (const auto& [l, p] : perLun)
        s << "LUN " << LunName(*l) << ":\n" << ParityText(p);
    if (perLun.size() > 1)
        s << "All LUNs:\n" << ParityText(total);
    if (!excluded.empty()) {
        s << "Excluded (treated as missing):";
        for (const std::string& x : excluded)
            s << " " << x;
        s << "\n";
    }
    s << "Sources (stripes taking part, of them inconsistent):\n";
    for (const ParityReport::Source& x : total.sources)
        s << "  " << x.stripes << "\t" << x.inconsistent << "\t" << x.source << "\n";
    if (total.inconsistent == 0)
        s << (total.Stripes() == 0 ? "Nothing was checked.\n"
              : total.unverifiable == 0
                  ? "Parity is consistent in every stripe.\n"
                  : "Parity is consistent wherever it could be checked (" + std::to_string(total.unverifiable) +
                        " stripes are unverifiable: a segment missing or unreadable).\n");
    s << StaleVerdict(total);
    Out(stdout, s.str());
    return status;
}

} // namespace corvane::cli
