#include "cli/Common.h"

#include "disk/Text.h"
#include "engine/Analysis.h"
#include "engine/Report.h"

#include <cinttypes>
#include <csignal>

namespace corvane::cli {

std::atomic<bool> g_stopRequested{false};

namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// The first signal wins: its number makes the exit status.
extern "C" void OnStopSignal(int sig)
{
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    g_stopRequested.store(true);
}

} // namespace

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

void InstallStopHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

Stopped StoppedBy()
{
    const int sig = g_signal.load();
    return {128 + (sig != 0 ? sig : SIGINT), sig == SIGTERM ? "SIGTERM" : "SIGINT"};
}

int AnalyzeSources(const Options& opts, EvaContext& ctx,
                   const std::function<int(int status, const std::string& why)>& refuse,
                   AnalysisSummary* summary)
{
    if (const int status = AddSources(opts, ctx))
        return status;
    const AnalysisResult a = RunAnalysis(ctx);
    if (a.status == AnalysisResult::Status::NoSources)
        return refuse(64, a.text);
    AnalysisSummary s = Summarize(ctx);
    PrintWarnings(s.warnings);
    if (summary)
        *summary = std::move(s);
    if (!a.ok())
        return refuse(a.code >= 1 && a.code <= 17 ? a.code : 70,
                      a.text + (a.reason.empty() ? "" : " (" + a.reason + ")"));
    return 0;
}

} // namespace corvane::cli
