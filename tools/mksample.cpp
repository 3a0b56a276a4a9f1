// corvane-mksample: writes a synthetic disk group (member images and
// manifest.json) into a directory, for tests, the demo and the benchmarks.
#include "tools/Sample.h"

#include <CLI/CLI.hpp>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>

int main(int argc, char** argv)
{
    CLI::App app{"Writes a sample disk group: member images and manifest.json", "corvane-mksample"};
    app.set_version_flag("--version", std::string("corvane-mksample ") + CORVANE_VERSION);
    std::string out;
    std::string specFile;
    int members = 0;
    std::vector<uint32_t> lunStripes;
    uint64_t seed = 1;
    std::vector<int> dropped;

    app.add_option("--out", out, "Directory to write into (created if needed)")->required();
    auto* spec = app.add_option("--spec", specFile, "JSON description of the group")->check(CLI::ExistingFile);
    auto* mem = app.add_option("--members", members, "Healthy group of N members (5..255)");
    auto* luns = app.add_option("--lun-stripes", lunStripes, "Stripes (8 MiB each) per LUN, comma separated")
                     ->delimiter(',');
    auto* seedOpt = app.add_option("--seed", seed, "Seed of the LUN data pattern");
    auto* drop = app.add_option("--drop-member", dropped, "Leave member I out of the sources (repeatable)");
    spec->excludes(mem)->excludes(luns)->excludes(seedOpt)->excludes(drop);
    luns->needs(mem);
    CLI11_PARSE(app, argc, argv);

    try {
        corvane::sample::GroupSpec group;
        if (!specFile.empty()) {
            std::ifstream f(specFile, std::ios::binary);
            std::stringstream text;
            text << f.rdbuf();
            group = corvane::sample::SpecFromJson(text.str());
        } else if (members > 0) {
            group = corvane::sample::HealthyGroup(members, lunStripes, seed);
            for (int i : dropped) {
                if (i < 0 || static_cast<size_t>(i) >= group.members.size())
                    throw std::runtime_error("--drop-member " + std::to_string(i) + ": no such member");
                group.members[static_cast<size_t>(i)].present = false;
            }
        } else {
            std::fprintf(stderr, "corvane-mksample: give --spec FILE or --members N\n");
            return 2;
        }
        const corvane::sample::Manifest m = corvane::sample::Generate(group, out);
        std::printf("wrote %zu member images and manifest.json to %s\n", m.members.size(), out.c_str());
        for (const auto& mo : m.members)
            std::printf("  %s  disk id %u%s%s\n", mo.path.c_str(), static_cast<unsigned>(mo.diskId),
                        mo.tagged ? "" : ", untagged", mo.present ? "" : ", left out");
        std::printf("expected LUNs (group, id, size):\n");
        for (const auto& l : m.luns)
            std::printf("  %u\t%u\t%" PRIu64 "G\t%u stripes  sha256 %s%s\n", l.group, l.id, l.sizeGiB, l.stripes,
                        l.sha256.c_str(), l.exportSha256 == l.sha256 ? "" : "  (export differs: damaged)");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane-mksample: %s\n", e.what());
        return 1;
    }
}
