// corvane-mksample: writes a synthetic disk group (member images and
// manifest.json) into a directory, for tests, the demo and the benchmarks.
#include "tools/Sample.h"

#include <CLI/CLI.hpp>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

int main(int argc, char** argv)
{
    CLI::App app{"Writes a sample disk group: member images and manifest.json", "corvane-mksample"};
    app.set_version_flag("-V,--version", std::string("corvane-mksample ") + CORVANE_VERSION);
    app.footer("Exit status: 0 written; 1 the group could not be generated (bad JSON, a write failed);\n"
               "64 usage (a bad option, neither --group nor --members).");
    std::string out;
    std::string groupFile;
    int members = 0;
    std::vector<uint32_t> lunStripes;
    uint64_t seed = 1;
    std::vector<int> dropped;
    std::string lunData;

    app.add_option("--out", out, "Directory to write into (created if needed)")->required();
    auto* group = app.add_option("--group", groupFile, "JSON description of the group")->check(CLI::ExistingFile);
    auto* mem = app.add_option("--members", members, "Healthy group of N members (5..255)");
    auto* luns = app.add_option("--lun-stripes", lunStripes, "Stripes (8 MiB each) per LUN, comma separated")
                     ->delimiter(',');
    auto* seedOpt = app.add_option("--seed", seed, "Seed of the LUN data pattern");
    auto* drop = app.add_option("--drop-member", dropped, "Leave member I out of the sources (repeatable)");
    app.add_option("--lun-data", lunData,
                   "The first LUN's data: FILE's bytes, padded with zeros to whole stripes. The LUN grows to "
                   "hold it; a capacity the group declares below FILE's size is refused. Without --lun-stripes "
                   "the group gets one LUN")
        ->check(CLI::ExistingFile)
        ->type_name("FILE");
    group->excludes(mem)->excludes(luns)->excludes(seedOpt)->excludes(drop);
    luns->needs(mem);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 64; // EX_USAGE, as corvane-cli
    }

    try {
        corvane::sample::GroupPlan plan;
        if (!groupFile.empty()) {
            std::ifstream f(groupFile, std::ios::binary);
            std::stringstream text;
            text << f.rdbuf();
            try {
                plan = corvane::sample::PlanFromJson(text.str());
            } catch (const std::exception& e) {
                throw std::runtime_error(groupFile + ": " + e.what());
            }
            // A data file named in the JSON is found next to it.
            for (auto& l : plan.luns)
                if (!l.dataFile.empty() && std::filesystem::path(l.dataFile).is_relative())
                    l.dataFile = (std::filesystem::path(groupFile).parent_path() / l.dataFile).string();
        } else if (members > 0) {
            plan = corvane::sample::HealthyGroup(members, lunStripes, seed);
            for (int i : dropped) {
                if (i < 0 || static_cast<size_t>(i) >= plan.members.size())
                    throw std::runtime_error("--drop-member " + std::to_string(i) + ": no such member");
                plan.members[static_cast<size_t>(i)].present = false;
            }
            if (!lunData.empty() && plan.luns.empty())
                plan.luns.emplace_back();
        } else {
            std::fprintf(stderr, "corvane-mksample: give --group FILE or --members N\n");
            return 64;
        }
        if (!lunData.empty()) {
            if (plan.luns.empty())
                throw std::runtime_error("--lun-data " + lunData + ": the group has no LUN to hold it");
            plan.luns[0].dataFile = lunData;
        }
        const corvane::sample::Manifest m = corvane::sample::Generate(plan, out);
        std::printf("wrote %zu member images and manifest.json to %s\n", m.members.size(), out.c_str());
        for (const auto& mo : m.members) {
            std::printf("  %s  disk id %u%s%s\n", mo.path.c_str(), static_cast<unsigned>(mo.diskId),
                        mo.tagged ? "" : ", untagged", mo.present ? "" : ", left out");
            if (!mo.unreadable.Empty())
                std::printf("    %" PRIu64 " bytes unreadable (%zu ranges): %s\n", mo.unreadable.Total(),
                            mo.unreadable.Count(), mo.badMap.c_str());
            if (!mo.holes.Empty())
                std::printf("    %" PRIu64 " bytes of holes (%zu ranges): %s\n", mo.holes.Total(), mo.holes.Count(),
                            mo.imageMap.c_str());
        }
        std::printf("expected LUNs (group, id, size):\n");
        for (const auto& l : m.luns) {
            std::printf("  %u\t%u\t%" PRIu64 "G\t%u stripes  sha256 %s%s\n", l.group, l.id, l.sizeGiB, l.stripes,
                        l.sha256.c_str(), l.exportSha256 == l.sha256 ? "" : "  (export differs: damaged)");
            if (l.rebuiltBytes != 0 || l.lostBytes != 0)
                std::printf("    at best %" PRIu64 " bytes rebuilt, %" PRIu64 " lost\n", l.rebuiltBytes, l.lostBytes);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane-mksample: %s\n", e.what());
        return 1;
    }
}
