#pragma once

#include "engine/Context.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace corvane::cli {

struct Options {
    std::string command;
    std::vector<std::string> sources;
    bool verbose = false;
    bool json = false;
    // IMAGE=MAPFILE: the ddrescue mapfile of a source image.
    std::vector<std::string> sourceMaps;
    // Extra tries of a block that failed to read.
    unsigned retries = 1;
};

// Adds the given sources to ctx, each with its --source-map. Returns 0, or
// the exit status after printing why: 64 for a map naming no given source
// or given twice, 66 for a map that cannot be read or is not a mapfile.
// Nothing is read from the sources here.
int AddSources(const Options& opts, EvaContext& ctx);
// The options every command that reads the sources takes.
void AddSourceOptions(CLI::App& cmd, Options& opts);

void Register(CLI::App& app, Options& opts);
// The analysis's warnings on standard error, one "warning: " line each,
// whatever the verbosity: a source left out must not go unnoticed.
void PrintWarnings(const std::vector<SourceWarning>& warnings);
// Runs the chosen command; returns the process exit status.
int Run(const Options& opts);

} // namespace corvane::cli
