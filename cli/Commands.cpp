#include "cli/Commands.h"

#include "disk/Mapfile.h"
#include "cli/ExportCommand.h"
#include "cli/MountCommand.h"
#include "cli/VerifyCommand.h"

#include "disk/Drives.h"
#include "disk/JIO.h"
#include "disk/Text.h"
#include "engine/Analysis.h"
#include "engine/Errors.h"
#include "engine/Report.h"
#include "probe/LunContent.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>
#include <sys/stat.h>

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

std::string SlotText(unsigned row, unsigned column)
{
    return "(" + std::to_string(row) + "," + std::to_string(column) + ")";
}

// Members, member map, missing slots and notes: what --verbose adds.
void PrintDetails(const AnalysisSummary& s)
{
    Out(stdout, "Members:\n");
    for (size_t i = 0; i < s.members.size(); ++i) {
        const MemberSummary& m = s.members[i];
        // Built by appending: GCC 12 warns falsely (-Wrestrict) on
        // "literal" + std::string temporaries.
        std::string line = "  ";
        line += std::to_string(i);
        line += '\t';
        if (m.identified)
            line.append("disk id ").append(std::to_string(m.diskId)).append(m.tagged ? "\ttagged" : "\tuntagged");
        else
            line += "unidentified";
        if (m.replacedByDuplicate)
            line += "\tits disk id goes to another source";
        if (m.excluded)
            line += "\texcluded";
        Out(stdout, line + "\t" + m.source + "\n");
    }
    Out(stdout, "Member map:\n");
    for (size_t i = 0; i < s.memberMap.size();) {
        const unsigned row = s.memberMap[i].row;
        std::string line = "  row ";
        line += std::to_string(row);
        line += ':';
        for (; i < s.memberMap.size() && s.memberMap[i].row == row; ++i)
            line.append(" ")
                .append(std::to_string(s.memberMap[i].column))
                .append("=member ")
                .append(std::to_string(s.memberMap[i].member))
                .append(" (disk id ")
                .append(std::to_string(s.memberMap[i].diskId))
                .append(")");
        Out(stdout, line + "\n");
    }
    if (!s.excluded.empty()) {
        std::string line = "Excluded (treated as missing):";
        for (const MapCell& c : s.excluded)
            line.append(" ").append(SlotText(c.row, c.column)).append("=member ").append(std::to_string(c.member));
        Out(stdout, line + "\n");
    }
    std::string missing = "Missing slots:";
    for (const SlotKey& k : s.missingSlots)
        missing.append(" ").append(SlotText(k.row, k.column));
    Out(stdout, missing + (s.missingSlots.empty() ? " none\n" : "\n"));
    Out(stdout, "Notes:" + std::string(s.notes.empty() ? " none\n" : "\n"));
    for (const std::string& n : s.notes)
        Out(stdout, std::string("  ").append(n).append("\n"));
}

nlohmann::json FileSystemJson(const FileSystemInfo& fs)
{
    if (!fs.Recognised())
        return nullptr;
    return {{"type", fs.type}, {"version", fs.version}, {"label", fs.label}, {"uuid", fs.uuid}};
}

nlohmann::json ContentJson(const LunContent& c)
{
    nlohmann::json parts = nlohmann::json::array();
    for (const PartitionInfo& p : c.partitions)
        parts.push_back({{"number", p.number},
                         {"start", p.start},
                         {"size", p.size},
                         {"type", p.type},
                         {"name", p.name},
                         {"uuid", p.uuid},
                         {"extended", p.extended},
                         {"fs", FileSystemJson(p.fs)}});
    return {{"recognised", c.Recognised()},
            {"text", ContentText(c)},
            {"table", c.tableType.empty() ? nlohmann::json(nullptr)
                                          : nlohmann::json{{"type", c.tableType}, {"id", c.tableId}}},
            {"partitions", parts},
            {"fs", FileSystemJson(c.fs)},
            {"bytesRead", c.bytesRead},
            {"lostBytes", c.lostBytes},
            {"errors", c.errors}};
}

nlohmann::json SummaryJson(const AnalysisSummary& s, const std::vector<LunContent>& contents)
{
    nlohmann::json j;
    j["luns"] = nlohmann::json::array();
    for (const LunSummary& l : s.luns)
        j["luns"].push_back({{"group", l.group},
                             {"id", l.id},
                             {"sizeGiB", l.sizeGiB},
                             {"stripes", l.stripes},
                             {"coveredBytes", l.coveredBytes},
                             {"declaredBytes", l.declaredBytes},
                             {"shortCoverage", l.shortCoverage}});
    for (size_t i = 0; i < contents.size() && i < j["luns"].size(); ++i)
        j["luns"][i]["content"] = ContentJson(contents[i]);
    j["members"] = nlohmann::json::array();
    for (const MemberSummary& m : s.members)
        j["members"].push_back({{"source", m.source},
                                {"diskId", m.diskId},
                                {"tagged", m.tagged},
                                {"identified", m.identified},
                                {"replacedByDuplicate", m.replacedByDuplicate},
                                {"excluded", m.excluded}});
    j["memberMap"] = nlohmann::json::array();
    for (const MapCell& c : s.memberMap)
        j["memberMap"].push_back({{"row", c.row}, {"column", c.column}, {"member", c.member}, {"diskId", c.diskId}});
    j["excluded"] = nlohmann::json::array();
    for (const MapCell& c : s.excluded)
        j["excluded"].push_back({{"row", c.row}, {"column", c.column}, {"member", c.member}, {"diskId", c.diskId}});
    j["missingSlots"] = nlohmann::json::array();
    for (const SlotKey& k : s.missingSlots)
        j["missingSlots"].push_back({{"row", k.row}, {"column", k.column}});
    j["notes"] = s.notes;
    j["warnings"] = nlohmann::json::array();
    for (const SourceWarning& w : s.warnings) {
        static const char* const kinds[] = {"diskIdCollision", "unidentified", "noSlot"};
        nlohmann::json o{{"kind", kinds[static_cast<int>(w.kind)]},
                         {"member", w.member},
                         {"source", s.members.at(w.member).source},
                         {"text", w.text}};
        if (w.other != SourceWarning::kNone)
            o["holder"] = w.other;
        j["warnings"].push_back(std::move(o));
    }
    return j;
}

} // namespace

std::string SummaryJsonText(const AnalysisSummary& summary, const std::vector<LunContent>& contents)
{
    // JSON is UTF-8 whatever the locale (the summary's texts are);
    // invalid UTF-8 in a note or path must not abort the dump.
    return SummaryJson(summary, contents).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

namespace {

int Analyze(const Options& opts)
{
    EvaContext ctx;
    if (const int status = AddSources(opts, ctx))
        return status;
    const AnalysisResult r = RunAnalysis(ctx);
    if (r.status == AnalysisResult::Status::NoSources) {
        Out(stderr, r.text + "\n");
        return 64;
    }
    const AnalysisSummary summary = Summarize(ctx);
    PrintWarnings(summary.warnings);
    if (!r.ok()) {
        // What was gathered before the failure helps to see why it failed.
        if (opts.verbose && !opts.json)
            PrintDetails(summary);
        Out(stderr, r.text + (r.reason.empty() ? "" : " (" + r.reason + ")") + "\n");
        return r.code >= 1 && r.code <= 17 ? r.code : 70;
    }
    // What each LUN holds, in list order (empty with --no-content).
    std::vector<LunContent> contents;
    if (!opts.noContent)
        for (const auto& lun : ctx.lunList)
            contents.push_back(ProbeLun(ctx, *lun));
    if (opts.json) {
        const std::string text = SummaryJsonText(summary, contents);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    if (opts.verbose) {
        PrintDetails(summary);
        Out(stdout, "LUNs:\n");
    }
    for (size_t i = 0; i < summary.luns.size(); ++i)
        Out(stdout, LunLine(summary.luns[i]) + (i < contents.size() ? "\t" + ContentText(contents[i]) : "") + "\n");
    return 0;
}

} // namespace

int AddSources(const Options& opts, EvaContext& ctx)
{
    // A map belongs to the source that is the same file, however spelled.
    auto same = [](const std::string& a, const std::string& b) {
        struct stat sa {}, sb {};
        if (a == b)
            return true;
        return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
               sa.st_ino == sb.st_ino;
    };
    for (const auto& s : opts.sources)
        ctx.sources.push_back({s});
    for (const std::string& arg : opts.sourceMaps) {
        const size_t eq = arg.rfind('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == arg.size()) {
            Out(stderr, "--source-map wants IMAGE=MAPFILE (not \"" + arg + "\")\n");
            return 64;
        }
        const std::string image = arg.substr(0, eq), mapfile = arg.substr(eq + 1);
        SourceEntry* entry = nullptr;
        for (SourceEntry& e : ctx.sources)
            if (same(e.path, image))
                entry = &e;
        if (!entry) {
            Out(stderr, "--source-map " + arg + ": " + image + " is not one of the sources given\n");
            return 64;
        }
        if (!entry->mapfile.empty()) {
            Out(stderr, "--source-map " + arg + ": " + image + " has a mapfile already (" + entry->mapfile + ")\n");
            return 64;
        }
        // Checked before anything is read from the sources.
        JFileHandle::Mapfile map;
        std::string error;
        if (!JFileHandle::LoadMapfile(mapfile, map, error)) {
            Out(stderr, "--source-map: " + error + "\n");
            return 66;
        }
        entry->mapfile = mapfile;
    }
    for (const std::string& x : opts.exclude) {
        bool given = false;
        for (const SourceEntry& e : ctx.sources)
            given = given || same(e.path, x);
        if (!given) {
            Out(stderr, "--exclude " + x + ": not one of the sources given\n");
            return 64;
        }
    }
    ctx.exclude = opts.exclude;
    ctx.readPolicy.retries = opts.retries;
    return 0;
}

void AddSourceOptions(CLI::App& cmd, Options& opts)
{
    cmd.add_option("--source-map", opts.sourceMaps,
                   "IMAGE=MAPFILE: the GNU ddrescue mapfile of a source image; bytes it does not mark '+' are "
                   "unreadable (repeatable)")
        ->type_name("IMAGE=MAPFILE");
    cmd.add_option("--exclude", opts.exclude,
                   "Open the source but treat it as missing, so parity rebuilds its segments (a stale member; "
                   "repeatable)")
        ->type_name("SOURCE");
    cmd.add_option("--retries", opts.retries, "Extra tries of a block that fails to read (default 1)")
        ->check(CLI::Range(0u, 100u));
}

void PrintWarnings(const std::vector<SourceWarning>& warnings)
{
    for (const SourceWarning& w : warnings)
        Out(stderr, "warning: " + w.text + "\n");
    std::fflush(stderr);
}

void Register(CLI::App& app, Options& opts)
{
    auto* drives = app.add_subcommand("drives", "List the drives that open, with their description and /dev node");
    drives->callback([&opts] { opts.command = "drives"; });

    auto* analyze = app.add_subcommand("analyze", "Analyse member disks or images and print the LUN list");
    analyze->add_option("sources", opts.sources, "Member drives (\\\\.\\Physicaldrive%d or /dev/...) or image files");
    analyze->add_flag("-v,--verbose", opts.verbose, "Also print members, member map, missing slots and notes");
    analyze->add_flag("--json", opts.json, "Print one JSON object");
    analyze->add_flag("--no-content", opts.noContent,
                      "Do not probe what each LUN holds (partitions, file systems): read no LUN data");
    AddSourceOptions(*analyze, opts);
    analyze->callback([&opts] { opts.command = "analyze"; });

    RegisterExport(app, opts);
    RegisterMount(app, opts);
    RegisterVerify(app, opts);
}

int Run(const Options& opts)
{
    if (opts.command == "drives")
        return Drives();
    if (opts.command == "analyze")
        return Analyze(opts);
    if (opts.command == "export")
        return RunExport(opts);
    if (opts.command == "mount")
        return RunMount(opts);
    if (opts.command == "verify")
        return RunVerify(opts);
    return 64;
}

} // namespace corvane::cli
