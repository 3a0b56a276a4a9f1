#pragma once

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
// Runs the chosen command; returns the process exit status.
int Run(const Options& opts);

} // namespace corvane::cli
