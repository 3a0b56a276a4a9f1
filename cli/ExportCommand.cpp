#include "cli/ExportCommand.h"

#include "cli/Commands.h"
#include "cli/Common.h"
#include "cli/VerifyCommand.h"
#include "engine/Exclude.h"
#include "disk/Text.h"
#include "engine/Analysis.h"
#include "engine/Errors.h"
#include "export/Export.h"
#include "export/ExportJob.h"
#include "engine/Report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sstream>
#include <thread>
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
    bool restart = false;
    bool retryBad = false;
    bool console = false;
    bool progress = false;
    bool quiet = false;
    bool sparse = false;
    bool force = false;
    bool strict = false;
    bool verify = false;
    std::string hash;
    std::string commandLine;
};

ExportOptions& Settings()
{
    static ExportOptions o;
    return o;
}

// The progress line: bytes on the target (not stripes queued), rate, time
// left. On a terminal one line redrawn in place; otherwise (--progress)
// one plain line a second.
class ProgressLine {
public:
    ProgressLine(const ExportJob& job, bool terminal) : m_job(job), m_terminal(terminal)
    {
        m_thread = std::thread([this] { Loop(); });
    }
    ~ProgressLine() { Stop(); }
    void Stop()
    {
        if (!m_thread.joinable())
            return;
        m_done.store(true);
        m_thread.join();
        Show();
        if (m_terminal && m_shown)
            std::fputs("\n", stderr);
        std::fflush(stderr);
    }

private:
    void Loop()
    {
        const auto step = std::chrono::milliseconds(m_terminal ? 250 : 1000);
        auto next = std::chrono::steady_clock::now() + step;
        while (!m_done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (std::chrono::steady_clock::now() >= next) {
                Show();
                next += step;
            }
        }
    }
    void Show()
    {
        const uint64_t done = m_job.BytesWritten(), total = m_job.BytesToWrite();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_began).count();
        const double mib = static_cast<double>(done) / (1 << 20);
        const double rate = seconds > 0.2 ? mib / seconds : 0;
        char eta[32] = "--:--:--";
        if (rate > 0) {
            const long s = static_cast<long>((static_cast<double>(total - std::min(done, total)) / (1 << 20)) / rate);
            std::snprintf(eta, sizeof eta, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
        }
        char line[160];
        std::snprintf(line, sizeof line, "%s%.0f/%.0f MiB written  %.1f MiB/s  %s left%s", m_terminal ? "\r" : "",
                      mib, static_cast<double>(total) / (1 << 20), rate, eta, m_terminal ? "   " : "\n");
        std::fputs(line, stderr);
        std::fflush(stderr);
        m_shown = true;
    }

    const ExportJob& m_job;
    const bool m_terminal;
    bool m_shown = false;
    std::atomic<bool> m_done{false};
    const std::chrono::steady_clock::time_point m_began = std::chrono::steady_clock::now();
    std::thread m_thread;
};

// SIGINT and SIGTERM stop the export between stripes, with the map saved.
void InstallStopSignals()
{
    InstallStopHandlers();
    // A reader that goes away (a closed pipe) makes the write fail with
    // EPIPE, which ends the export with its map saved, instead of killing it.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

std::string PrintSummary(const LunEntry& lun, const ExportOptions& o, uint64_t start, const ExportJobResult& res)
{
    const ExportReport& r = res.total;
    std::ostringstream s;
    s << "LUN " << lun.group << ":" << lun.id << ": " << (r.firstStripe + r.written) << " of " << r.stripes
      << " stripes on " << (o.to == kStandardOutput ? std::string("standard output") : o.to);
    if (r.firstStripe > 0)
        s << " (this run: stripes " << r.firstStripe << " to " << (r.firstStripe + r.written) << ", exclusive)";
    s << "\n";
    if (res.retriedStripes > 0)
        s << "  read again (--retry-bad):  " << res.retriedStripes << "\n";
    for (const std::string& x : res.excluded)
        s << "  excluded (treated as missing, rebuilt from parity): " << x << "\n";
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
    if (res.uncoveredBytes > 0)
        s << "Not recoverable from the metadata: the LUN declares " << lun.DeclaredBytes()
          << " bytes; its stripe records cover " << lun.CoveredBytes() << ", so " << res.uncoveredBytes
          << " bytes are missing (not on the target; '-' in the mapfile).\n";
    if (!o.map.empty())
        s << "Mapfile " << o.map << ": " << res.mapRescued << " bytes rescued, " << res.mapLost << " lost, "
          << res.mapPending << " not yet tried.\n";
    if (!res.hash.empty())
        s << res.hashAlgorithm << ": " << res.hash << "\n";
    if (r.parity.checked) {
        s << "Parity (--verify):\n" << ParityText(r.parity);
        if (!res.inconsistentMap.empty())
            s << "  inconsistent ranges are '+' in the mapfile and '-' in " << res.inconsistentMap << "\n";
        s << StaleVerdict(r.parity);
    }
    return s.str();
}

nlohmann::ordered_json ReportJson(const LunEntry* lun, const ExportOptions& o, uint64_t start, const ExportJobResult* res,
                          int status, const std::string& error)
{
    using JFileHandle::NarrowToUtf8;
    nlohmann::ordered_json j;
    j["lun"] = o.lun;
    j["target"] = NarrowToUtf8(o.to);
    j["offset"] = start;
    j["map"] = o.map.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(NarrowToUtf8(o.map));
    if (lun && res) {
        const ExportReport& r = res->total;
        j["stripes"] = {{"total", r.stripes},         {"firstStripe", r.firstStripe}, {"written", r.written},
                        {"complete", r.complete},     {"rebuilt", r.rebuilt},         {"damaged", r.damaged},
                        {"retried", res->retriedStripes}};
        j["finished"] = res->status == 0 && !r.cancelled && r.Finished();
        j["bytesRead"] = r.bytesRead;
        j["bytesRebuilt"] = r.bytesRebuilt;
        j["bytesLost"] = r.bytesLost;
        j["lostRanges"] = nlohmann::ordered_json::array();
        for (const ByteRange& z : r.zeroRanges)
            j["lostRanges"].push_back({{"offset", z.offset}, {"length", z.length}});
        j["declaredBytes"] = lun->DeclaredBytes();
        j["coveredBytes"] = lun->CoveredBytes();
        j["uncoveredBytes"] = res->uncoveredBytes;
        j["excluded"] = nlohmann::ordered_json::array();
        for (const std::string& x : res->excluded)
            j["excluded"].push_back(NarrowToUtf8(x));
        j["elapsedSeconds"] = res->elapsedSeconds;
        if (!res->hashAlgorithm.empty())
            j["hash"] = {{"algorithm", res->hashAlgorithm},
                         {"value", res->hash.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(res->hash)}};
        if (r.parity.checked) {
            j["parity"] = ParityJson(r.parity);
            j["parity"]["map"] = res->inconsistentMap.empty() ? nlohmann::ordered_json()
                                                              : nlohmann::ordered_json(NarrowToUtf8(res->inconsistentMap));
        }
        // Messages name paths in the locale's encoding, like every narrow text.
        j["warnings"] = nlohmann::ordered_json::array();
        for (const std::string& w : res->warnings)
            j["warnings"].push_back(NarrowToUtf8(w));
    }
    if (!error.empty())
        j["error"] = NarrowToUtf8(error);
    j["status"] = status;
    return j;
}

void PrintJson(FILE* f, const nlohmann::ordered_json& j)
{
    // UTF-8 whatever the locale.
    const std::string text = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), f);
    std::fflush(f);
}

} // namespace

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

void RegisterExport(CLI::App& app, Options& opts)
{
    ExportOptions& o = Settings();
    auto* ex = app.add_subcommand("export", "Analyse the sources and copy one LUN to an image file or a disk device");
    ex->add_option("sources", opts.sources, "Member drives (\\\\.\\Physicaldrive%d or /dev/...) or image files")
        ->required();
    ex->add_option("--lun", o.lun, "The LUN to copy, as GROUP:ID (see analyze)")->required();
    ex->add_option("--to", o.to,
                   "Target image file (created if missing, never truncated), disk device, or - to stream the LUN "
                   "to standard output in order (the summary, --json and --console then go to standard error)")
        ->required();
    ex->add_option("--offset-sectors", o.offsetSectors, "Where the LUN starts on the target, in 512-byte sectors")
        ->check(CLI::Range(int64_t{0}, INT64_MAX / 512));
    auto* map = ex->add_option("--map", o.map,
                               "GNU ddrescue mapfile of the export: continued when it exists and belongs to this "
                               "export (same LUN, same target file or device), else created");
    ex->add_flag("--resume", o.resume, "Accepted for older scripts: an existing --map is always continued")
        ->needs(map);
    auto* restart = ex->add_flag("--restart", o.restart, "Start over and rewrite the --map, whatever it holds")
                        ->needs(map);
    ex->add_flag("--retry-bad", o.retryBad, "Also read again the stripes the --map marks '-'")
        ->needs(map)
        ->excludes(restart);
    ex->add_flag("--console", o.console, "Print the export's console lines on standard output");
    auto* progress = ex->add_flag("--progress", o.progress,
                                  "Show progress on standard error also when it is not a terminal (a line a second)");
    ex->add_flag("-q,--quiet", o.quiet, "No progress, notes or summary; errors, warnings and --json stay")
        ->excludes(progress);
    ex->add_flag("--json", opts.json,
                 "Print the result as one JSON object (UTF-8) instead of the summary (on standard error with --to -)");
    ex->add_option("--hash", o.hash, "Hash the LUN's bytes as written: sha256, md5 or sha1")
        ->check(CLI::IsMember({"sha256", "md5", "sha1"}));
    ex->add_flag("--sparse", o.sparse, "Leave all-zero 4 KiB blocks of an image file as holes");
    ex->add_flag("-f,--force", o.force, "Allow writing to a block device");
    ex->add_flag("--strict", o.strict, "Exit with 18 when LUN bytes were lost (zero-filled)");
    ex->add_flag("--verify", o.verify,
                 "Check parity while exporting (all five segments read); exit with 19 when a stripe is "
                 "inconsistent; with --map its ranges go to MAP.inconsistent");
    AddSourceOptions(*ex, opts);
    ex->callback([&opts] { opts.command = "export"; });
}

int RunExport(const Options& opts)
{
    ExportOptions& o = Settings();
    const uint64_t start = static_cast<uint64_t>(o.offsetSectors) * 512;
    // With --to - standard output carries the LUN: everything said goes to
    // standard error.
    const bool stream = o.to == kStandardOutput;
    FILE* const said = stream ? stderr : stdout;
    auto refuse = [&](int status, const std::string& why) {
        Out(stderr, why + "\n");
        if (opts.json)
            PrintJson(said, ReportJson(nullptr, o, start, nullptr, status, why));
        return status;
    };
    uint32_t group = 0, id = 0;
    if (!ParseLun(o.lun, group, id))
        return refuse(64, "--lun wants GROUP:ID, for example 0:1 (not \"" + o.lun + "\")");
    if (stream && ::isatty(STDOUT_FILENO) == 1)
        return refuse(64, "--to -: standard output is a terminal; redirect it to a file or a pipe");
    {
        struct stat st {};
        const bool got = stream ? ::fstat(STDOUT_FILENO, &st) == 0 : ::stat(o.to.c_str(), &st) == 0;
        if (got && S_ISBLK(st.st_mode) && !o.force)
            return refuse(64, "refusing " + std::string(stream ? "standard output" : o.to) +
                                  ": it is a block device; give --force to write it");
    }
    {
        std::ostringstream cmd;
        cmd << "corvane-cli export";
        for (const auto& s : opts.sources)
            cmd << " " << s;
        for (const auto& m : opts.sourceMaps)
            cmd << " --source-map " << m;
        for (const auto& x : opts.exclude)
            cmd << " --exclude " << x;
        cmd << " --lun " << o.lun << " --to " << o.to;
        if (o.offsetSectors)
            cmd << " --offset-sectors " << o.offsetSectors;
        cmd << " --map " << o.map << (o.restart ? " --restart" : "") << (o.retryBad ? " --retry-bad" : "")
            << (o.verify ? " --verify" : "");
        if (!o.hash.empty())
            cmd << " --hash " << o.hash;
        o.commandLine = o.map.empty() ? std::string() : cmd.str();
    }

    EvaContext ctx;
    AttachExportState(ctx);
    if (const int status = AnalyzeSources(opts, ctx, refuse))
        return status;
    const LunEntry* lun = nullptr;
    for (const auto& l : ctx.lunList)
        if (l->group == group && l->id == id)
            lun = l.get();
    if (!lun) {
        std::string have;
        for (const auto& l : ctx.lunList)
            have += " " + std::to_string(l->group) + ":" + std::to_string(l->id);
        return refuse(65, "no LUN " + o.lun + " in this disk group; it holds:" + (have.empty() ? " none" : have));
    }
    if (!o.quiet)
        for (const std::string& x : ExcludedSources(ctx))
            Out(stderr, "note: " + x + " is excluded: its segments are rebuilt from parity\n");
    const uint64_t bytes = lun->CoveredBytes();
    if (lun->ShortCoverage() && !o.quiet)
        Out(stderr, "note: the LUN declares " + std::to_string(lun->DeclaredBytes()) +
                        " bytes; its stripe records cover " + std::to_string(bytes) +
                        ", which is what is exported; the rest is '-' in the mapfile\n");

    ExportJobSettings settings;
    settings.target = o.to;
    settings.startOffset = start;
    settings.mapPath = o.map;
    settings.resume = o.resume;
    settings.restart = o.restart;
    settings.retryBad = o.retryBad;
    settings.hash = o.hash;
    settings.sparse = o.sparse;
    settings.verifyParity = o.verify;
    settings.commandLine = o.commandLine;
    settings.stop = &g_stopRequested;
    // Console lines only when asked; never into the JSON.
    settings.console = o.console ? (opts.json || stream ? stderr : stdout) : nullptr;
    settings.checkpointInterval = std::chrono::seconds(1);
    ExportJob job(ctx, *lun, settings);
    // Signals from here on stop the export instead of killing the program.
    InstallStopSignals();
    if (!job.Prepare())
        return refuse(job.Result().status, job.Result().message);
    if (!o.quiet)
        for (const std::string& n : job.Result().notes)
            Out(stderr, n + "\n");
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    std::optional<ProgressLine> progress;
    if (!o.quiet && (terminal || o.progress))
        progress.emplace(job, terminal);
    const ExportJobResult& result = job.Run();
    if (progress)
        progress->Stop();
    const ExportReport& report = result.report;
    for (const std::string& w : result.warnings)
        Out(stderr, "warning: " + w + "\n");

    int status = 0;
    std::string error;
    if (result.status != 0) {
        status = result.status;
        error = result.message;
        Out(stderr, result.message + "\n");
        if (!o.map.empty())
            Out(stderr, "what was written is in " + o.map +
                            (stream ? "\n" : "; continue with --map " + o.map + "\n"));
    } else if (result.total.cancelled || (g_stopRequested.load() && !report.Finished())) {
        const Stopped stopped = StoppedBy();
        status = stopped.status;
        error = "interrupted by " + stopped.by;
        if (!o.quiet)
            Out(stderr, error + " after " + std::to_string(report.firstStripe + report.written) + " of " +
                            std::to_string(report.stripes) + " stripes" +
                            (o.map.empty() || stream ? std::string() : "; continue with --map " + o.map) + "\n");
    } else if (result.total.parity.inconsistent > 0) {
        status = kExitInconsistent;
    } else if (o.strict && (o.map.empty() ? result.total.bytesLost + result.uncoveredBytes : result.mapLost) > 0) {
        status = 18;
    }
    if (opts.json)
        PrintJson(said, ReportJson(lun, o, start, &result, status, error));
    else if (!o.quiet)
        Out(said, PrintSummary(*lun, o, start, result));
    return status;
}

} // namespace corvane::cli
