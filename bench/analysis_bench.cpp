// The analysis of a generated group of 24 members and 100 LUNs: wall time,
// bytes read against the least the metadata needs (one 2 MiB header per
// LUN plus its two or four 2 MiB second-index pieces), and the peak memory
// of the analysis itself.
//
// The group is generated once into a temporary directory; the member
// images then sit in the page cache, so the time is the analysis's own work
// (system calls, copies), not the speed of a disk.
#include "engine/Analysis.h"
#include "engine/Context.h"
#include "tools/Sample.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/resource.h>

namespace {

constexpr int kMembers = 24;
constexpr int kLuns = 100;
constexpr uint64_t kGiBSectors = 1ULL << 21;

struct Group {
    std::filesystem::path dir;
    corvane::sample::Manifest manifest;
    uint64_t leastBytes = 0; // headers and pieces

    Group()
    {
        char tmpl[] = "/tmp/corvane-bench-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        corvane::sample::GroupPlan groupPlan = corvane::sample::HealthyGroup(kMembers, {});
        for (int i = 0; i < kLuns; ++i) {
            corvane::sample::LunPlan l;
            l.stripes = 1 + static_cast<uint32_t>(i % 3);
            l.row = static_cast<uint8_t>(1 + i % 2);
            // Every tenth LUN is declared above 1024 GiB: two map records,
            // four pieces. The rest declare what their stripes hold.
            if (i % 10 == 9)
                l.capacitySectors = 1100 * kGiBSectors;
            l.mapType = i % 7 == 3 ? 16 : 8;
            groupPlan.luns.push_back(l);
            const bool fourPieces = l.mapType == 16 || l.capacitySectors > 1024 * kGiBSectors;
            leastBytes += corvane::kSegmentSize * (1 + (fourPieces ? 4 : 2));
        }
        manifest = corvane::sample::Generate(groupPlan, dir.string());
    }
    ~Group()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Group& TheGroup()
{
    static Group g;
    return g;
}

// Bytes this process has read through read(2) and friends so far.
uint64_t ReadChars()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

// Resets the peak resident size so the next reading is the analysis's own
// (not the generator's); false where the kernel does not allow it.
bool ResetPeakRss()
{
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
    f.flush();
    return static_cast<bool>(f);
}

uint64_t PeakRssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<uint64_t>(ru.ru_maxrss);
}

void BM_AnalyseGroup(benchmark::State& state)
{
    Group& g = TheGroup();
    uint64_t bytes = 0;
    size_t luns = 0;
    const bool peakReset = ResetPeakRss();
    for (auto _ : state) {
        corvane::EvaContext ctx;
        for (const auto& s : g.manifest.Sources())
            ctx.sources.push_back({s});
        const uint64_t before = ReadChars();
        const corvane::AnalysisResult r = corvane::RunAnalysis(ctx);
        bytes = ReadChars() - before;
        if (!r.ok()) {
            state.SkipWithError(("analysis failed: " + r.text + " " + r.reason).c_str());
            return;
        }
        luns = ctx.lunList.size();
        benchmark::DoNotOptimize(luns);
    }
    state.counters["luns"] = static_cast<double>(luns);
    state.counters["bytes_read_MiB"] = static_cast<double>(bytes) / (1 << 20);
    state.counters["least_MiB"] = static_cast<double>(g.leastBytes) / (1 << 20);
    state.counters["read_over_least"] = static_cast<double>(bytes) / static_cast<double>(g.leastBytes);
    state.counters["peak_rss_MiB"] = static_cast<double>(PeakRssKiB()) / 1024;
    state.counters["peak_is_analysis_only"] = peakReset ? 1 : 0;
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}

} // namespace

BENCHMARK(BM_AnalyseGroup)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
