#pragma once

#include "cli/Commands.h"
#include "engine/Report.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace corvane::cli {

// Prints UTF-8 text in the locale's encoding and flushes it, so lines on
// stdout and stderr keep their order with the progress line.
void Out(FILE* f, const std::string& utf8);

// A value for messages: "0x" and upper-case hex digits.
std::string Hex(uint64_t v);

// What SIGINT and SIGTERM set once InstallStopHandlers ran: long work
// checks it between stripes and stops there. The handlers stay installed,
// so a second signal while the work winds down changes nothing.
extern std::atomic<bool> g_stopRequested;
void InstallStopHandlers();
// How a stopped run ends: 128 + the signal, and the signal's name (SIGINT
// when none was seen: the work was cancelled another way).
struct Stopped {
    int status;
    std::string by;
};
Stopped StoppedBy();

// Adds the sources to ctx, analyses them and prints the analysis's
// warnings; summary, when given, receives the analysis's summary. Returns 0,
// or the exit status: AddSources' as it is, and through refuse (which
// prints why) 64 for no sources or the failure's code (70 for one outside
// 1-17).
int AnalyzeSources(const Options& opts, EvaContext& ctx,
                   const std::function<int(int status, const std::string& why)>& refuse,
                   AnalysisSummary* summary = nullptr);

} // namespace corvane::cli
