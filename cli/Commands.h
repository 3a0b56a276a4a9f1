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
};

void Register(CLI::App& app, Options& opts);
// The analysis's warnings on standard error, one "warning: " line each,
// whatever the verbosity: a source left out must not go unnoticed.
void PrintWarnings(const std::vector<SourceWarning>& warnings);
// Runs the chosen command; returns the process exit status.
int Run(const Options& opts);

} // namespace corvane::cli
