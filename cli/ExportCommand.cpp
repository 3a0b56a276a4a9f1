#include "cli/ExportCommand.h"

#include "cli/Commands.h"
#include "disk/Text.h"
#include "engine/Analysis.h"
#include "engine/Errors.h"
#include "export/Export.h"
#include "export/ExportJob.h"
#include "engine/Report.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::cli {

namespace {

struct ExportOptions {
    std::string lun;
    std::string to;
    int64_t offsetSectors = 0;
    std::string map;
    bool resume = false;
    std::string commandLine;
};

ExportOptions& Settings()
{
    static ExportOptions o;
    return o;
}

// What SIGINT and SIGTERM set; ExportLun checks it between stripes.
std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int)
{
    g_stopRequested.store(true);
}

void Out(FILE* f, const std::string& utf8)
{
    const std::string s = JFileHandle::Utf8ToNarrow(utf8);
    std::fwrite(s.data(), 1, s.size(), f);
    std::fflush(f);
}

std::string Hex(uint64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%" PRIX64, v);
    return buf;
}

bool ParseLun(const std::string& text, uint32_t& group, uint32_t& id)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    auto number = [](const std::string& s, uint32_t& out) {
        if (s.find_first_not_of("0123456789") != std::string::npos || s.size() > 10)
            return false;
        const unsigned long long v = std::stoull(s);
        if (v > UINT32_MAX)
            return false;
        out = static_cast<uint32_t>(v);
        return true;
    };
    return number(text.substr(0, colon), group) && number(text.substr(colon + 1), id);
}

// The progress line on a terminal's standard error, at most once a second.
struct Progress {
    bool enabled = false;
    bool shown = false;
    uint32_t first = 0;
    std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last{};
};

int ShowProgress(int32_t total, int32_t done, void* user)
{
    auto* p = static_cast<Progress*>(user);
    if (!p->enabled)
        return 0;
    const auto now = std::chrono::steady_clock::now();
    if (p->shown && now - p->last < std::chrono::seconds(1))
        return 0;
    p->last = now;
    p->shown = true;
    const double seconds = std::chrono::duration<double>(now - p->began).count();
    const double mib = 8.0 * (done - static_cast<int32_t>(p->first));
    const double rate = seconds > 0.2 ? mib / seconds : 0;
    const double left = 8.0 * (total - done);
    char eta[32] = "--:--";
    if (rate > 0) {
        const long s = static_cast<long>(left / rate);
        std::snprintf(eta, sizeof eta, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    }
    char line[160];
    std::snprintf(line, sizeof line, "\r%.0f/%.0f MiB  %.1f MiB/s  %s left   ", 8.0 * done, 8.0 * total, rate, eta);
    std::fputs(line, stderr);
    std::fflush(stderr);
    return 0;
}

void InstallStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    // A second Ctrl-C ends the program at once; the mapfile then holds the
    // last checkpoint, which never claims more than was written.
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void PrintSummary(const LunEntry& lun, const ExportOptions& o, uint64_t start, const ExportReport& r)
{
    std::ostringstream s;
    s << "LUN " << lun.group << ":" << lun.id << ": " << (r.firstStripe + r.written) << " of " << r.stripes
      << " stripes on " << o.to;
    if (r.firstStripe > 0)
        s << " (this run: stripes " << r.firstStripe << " to " << (r.firstStripe + r.written) << ", exclusive)";
    s << "\n";
    s << "  complete:                  " << r.complete << "\n";
    s << "  rebuilt from parity:       " << r.rebuilt << "\n";
    s << "  with zero-filled segments: " << r.damaged << " (" << r.zeroFilledSegments << " segments)\n";
    s << "LUN bytes read: " << r.bytesRead << ", rebuilt from parity: " << r.bytesRebuilt << ", lost: " << r.bytesLost
      << "\n";
    if (r.zeroRanges.empty()) {
        s << "No LUN bytes were zero-filled" << (r.firstStripe > 0 ? " in this run" : "") << ".\n";
    } else {
        uint64_t total = 0;
        for (const ByteRange& z : r.zeroRanges)
            total += z.length;
        s << "Zero-filled LUN ranges (could not be recovered): " << r.zeroRanges.size() << " ranges, " << total
          << " bytes; LUN offset and length";
        if (start != 0)
            s << " (on the target at LUN offset + " << start << ")";
        s << ":\n";
        for (const ByteRange& z : r.zeroRanges)
            s << "  " << Hex(z.offset) << " " << Hex(z.length) << "\n";
    }
    Out(stdout, s.str());
}

} // namespace

void RegisterExport(CLI::App& app, Options& opts)
{
    ExportOptions& o = Settings();
    auto* ex = app.add_subcommand("export", "Analyse the sources and copy one LUN to an image file or a disk device");
    ex->add_option("sources", opts.sources, "Member drives (\\\\.\\Physicaldrive%d or /dev/...) or image files")
        ->required();
    ex->add_option("--lun", o.lun, "The LUN to copy, as GROUP:ID (see analyze)")->required();
    ex->add_option("--to", o.to, "Target image file (created if missing, never truncated) or disk device")
        ->required();
    ex->add_option("--offset-sectors", o.offsetSectors, "Where the LUN starts on the target, in 512-byte sectors")
        ->check(CLI::Range(int64_t{0}, INT64_MAX / 512));
    auto* map = ex->add_option("--map", o.map, "Keep a GNU ddrescue mapfile of the export (for ddrescuelog)");
    ex->add_flag("--resume", o.resume, "Continue the export the mapfile says was interrupted")->needs(map);
    AddSourceOptions(*ex, opts);
    ex->callback([&opts] { opts.command = "export"; });
}

int RunExport(const Options& opts)
{
    ExportOptions& o = Settings();
    uint32_t group = 0, id = 0;
    if (!ParseLun(o.lun, group, id)) {
        Out(stderr, "--lun wants GROUP:ID, for example 0:1 (not \"" + o.lun + "\")\n");
        return 64;
    }
    const uint64_t start = static_cast<uint64_t>(o.offsetSectors) * 512;
    {
        std::ostringstream cmd;
        cmd << "corvane-cli export";
        for (const auto& s : opts.sources)
            cmd << " " << s;
        for (const auto& m : opts.sourceMaps)
            cmd << " --source-map " << m;
        cmd << " --lun " << o.lun << " --to " << o.to;
        if (o.offsetSectors)
            cmd << " --offset-sectors " << o.offsetSectors;
        cmd << " --map " << o.map << (o.resume ? " --resume" : "");
        o.commandLine = o.map.empty() ? std::string() : cmd.str();
    }

    EvaContext ctx;
    AttachExportState(ctx);
    if (const int status = AddSources(opts, ctx))
        return status;
    const AnalysisResult a = RunAnalysis(ctx);
    if (a.status == AnalysisResult::Status::NoSources) {
        Out(stderr, a.text + "\n");
        return 64;
    }
    PrintWarnings(Summarize(ctx).warnings);
    if (!a.ok()) {
        Out(stderr, a.text + (a.reason.empty() ? "" : " (" + a.reason + ")") + "\n");
        return a.code >= 1 && a.code <= 17 ? a.code : 70;
    }
    const LunEntry* lun = nullptr;
    for (const auto& l : ctx.lunList)
        if (l->group == group && l->id == id)
            lun = l.get();
    if (!lun) {
        std::string have;
        for (const auto& l : ctx.lunList)
            have += " " + std::to_string(l->group) + ":" + std::to_string(l->id);
        Out(stderr, "no LUN " + o.lun + " in this disk group; it holds:" + (have.empty() ? " none" : have) + "\n");
        return 65;
    }
    const uint64_t bytes = lun->CoveredBytes();
    if (lun->ShortCoverage())
        Out(stderr, "note: the LUN declares " + std::to_string(lun->DeclaredBytes()) +
                        " bytes; its stripe records cover " + std::to_string(bytes) + ", which is what is exported\n");

    Progress progress;
    progress.enabled = ::isatty(STDERR_FILENO) == 1;
    ExportJobSettings settings;
    settings.target = o.to;
    settings.startOffset = start;
    settings.mapPath = o.map;
    settings.resume = o.resume;
    settings.commandLine = o.commandLine;
    settings.stop = &g_stopRequested;
    settings.console = stdout;
    settings.progress = ShowProgress;
    settings.user = &progress;
    settings.checkpointInterval = std::chrono::seconds(1);
    ExportJob job(ctx, *lun, settings);
    if (!job.Prepare()) {
        Out(stderr, job.Result().message + "\n");
        return job.Result().status;
    }
    for (const std::string& n : job.Result().notes)
        Out(stderr, n + "\n");
    progress.first = job.FirstStripe();
    InstallStopSignals();
    const ExportJobResult& result = job.Run();
    const ExportReport& report = result.report;
    if (progress.shown)
        std::fputs("\n", stderr);
    for (const std::string& w : result.warnings)
        Out(stderr, "warning: " + w + "\n");
    PrintSummary(*lun, o, start, report);
    if (result.status != 0) {
        Out(stderr, result.message + "\n");
        if (!o.map.empty())
            Out(stderr, "what was written is in " + o.map + "; continue with --map " + o.map + " --resume\n");
        return result.status;
    }
    if (report.cancelled) {
        Out(stderr, "interrupted after " + std::to_string(report.firstStripe + report.written) + " of " +
                        std::to_string(report.stripes) + " stripes" +
                        (o.map.empty() ? std::string() : "; continue with --map " + o.map + " --resume") + "\n");
        return 130;
    }
    return 0;
}

} // namespace corvane::cli
