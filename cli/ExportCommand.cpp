#include "cli/ExportCommand.h"

#include "cli/Commands.h"
#include "disk/Text.h"
#include "engine/Analysis.h"
#include "engine/Errors.h"
#include "export/Export.h"
#include "export/RescueMap.h"

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

// The note that ties a mapfile to one export: a resume must continue the
// same LUN at the same place of the same target.
std::string IdentityNote(const LunEntry& lun, uint64_t start, const std::string& target)
{
    return "corvane lun " + std::to_string(lun.group) + ":" + std::to_string(lun.id) + " stripes " +
           std::to_string(lun.stripeRecords.size()) + " offset " + std::to_string(start) + " target " + target;
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
        cmd << " --lun " << o.lun << " --to " << o.to;
        if (o.offsetSectors)
            cmd << " --offset-sectors " << o.offsetSectors;
        cmd << " --map " << o.map << (o.resume ? " --resume" : "");
        o.commandLine = o.map.empty() ? std::string() : cmd.str();
    }

    EvaContext ctx;
    AttachExportState(ctx);
    for (const auto& s : opts.sources)
        ctx.sources.push_back({s});
    const AnalysisResult a = RunAnalysis(ctx);
    if (a.status == AnalysisResult::Status::NoSources) {
        Out(stderr, a.text + "\n");
        return 64;
    }
    PrintWarnings(ctx.warnings);
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

    // The rescue map: a fresh one, or the one of the run being resumed.
    const std::string identity = IdentityNote(*lun, start, o.to);
    RescueMap map(bytes);
    uint32_t firstStripe = 0;
    if (!o.map.empty()) {
        struct stat st {};
        const bool exists = ::stat(o.map.c_str(), &st) == 0;
        if (exists) {
            std::string text, error;
            RescueMap old;
            if (!LoadFile(o.map, text, error) || !RescueMap::Parse(text, old, error)) {
                Out(stderr, o.map + " exists and is not a mapfile (" + error + "); it is left alone\n");
                return 66;
            }
            if (o.resume) {
                const bool same = old.Size() == bytes && old.notes.size() == 1 && old.notes[0] == identity;
                if (!same) {
                    Out(stderr, o.map + " belongs to another export (" +
                                    (old.notes.empty() ? std::string("no export noted") : old.notes[0]) +
                                    "); this one is " + identity + "\n");
                    return 64;
                }
                map = old;
                firstStripe = static_cast<uint32_t>(map.FirstNotDone() / kRunSize);
                // Everything from the resume point on is done again.
                map.Mark(static_cast<uint64_t>(firstStripe) * kRunSize, bytes, '?');
            }
        } else if (o.resume) {
            Out(stderr, "no mapfile " + o.map + " yet: starting at the first stripe\n");
        }
        map.notes = {identity};
    }

    try {
        OpenExportTarget(ctx, o.to, start, bytes);
    } catch (const EvaError& e) {
        Out(stderr, MessageText(e.what()) + (e.reason().empty() ? "" : " (" + e.reason() + ")") + "\n");
        return e.code();
    }

    bool mapWarned = false;
    auto saveMap = [&](const ExportReport& r) {
        if (o.map.empty())
            return;
        ApplyReport(map, r);
        std::string error;
        if (!SaveFileAtomically(o.map, map.Render(o.commandLine), error) && !mapWarned) {
            mapWarned = true;
            Out(stderr, "warning: " + error + "\n");
        }
    };
    {
        // Written before the first stripe, so an interrupted run always has a map.
        ExportReport none;
        none.stripes = static_cast<uint32_t>(lun->stripeRecords.size());
        none.firstStripe = firstStripe;
        saveMap(none);
    }

    Progress progress;
    progress.enabled = ::isatty(STDERR_FILENO) == 1;
    progress.first = firstStripe;
    ExportControl control;
    control.stop = &g_stopRequested;
    control.firstStripe = firstStripe;
    control.console = stdout;
    control.checkpoint = saveMap;
    control.checkpointInterval = std::chrono::seconds(2);
    ExportReport report;
    control.report = &report;
    InstallStopSignals();

    int status = 0;
    std::string failure;
    try {
        report = ExportLun(ctx, lun->stripeRecords, start, ShowProgress, &progress, control);
    } catch (const EvaError& e) {
        status = e.code();
        failure = MessageText(e.what()) + (e.reason().empty() ? "" : " (" + e.reason() + ")");
    }
    if (progress.shown)
        std::fputs("\n", stderr);
    PrintSummary(*lun, o, start, report);
    if (status != 0) {
        Out(stderr, failure + "\n");
        if (!o.map.empty())
            Out(stderr, "what was written is in " + o.map + "; continue with --map " + o.map + " --resume\n");
        return status;
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
