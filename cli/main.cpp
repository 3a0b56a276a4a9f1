// corvane-cli: the analysis and the export without a window.
#include "cli/Commands.h"

#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    CLI::App app{"corvane-cli: recover LUNs from the member disks of an HP EVA disk group", "corvane-cli"};
    app.set_version_flag("-V,--version", std::string("corvane-cli ") + CORVANE_VERSION);
    app.footer(corvane::cli::kExitStatusHelp);
    // Every command's options in one text: the manual page is made from it.
    app.set_help_all_flag("--help-all", "Print this help message with every command's options and exit");
    app.require_subcommand(1);
    corvane::cli::Options opts;
    corvane::cli::Register(app, opts);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 64; // EX_USAGE
    }
    try {
        return corvane::cli::Run(opts);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvane-cli: %s\n", e.what());
        return 70; // EX_SOFTWARE: a fault of ours, not of the input
    }
}
