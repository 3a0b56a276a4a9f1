// corvane-cli export: analyse the sources, then copy one LUN to an image
// file or a disk device, with a damage summary and an optional rescue map.
#pragma once

#include "cli/Commands.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

namespace corvane::cli {

// "GROUP:ID" with decimal 32-bit numbers.
bool ParseLun(const std::string& text, uint32_t& group, uint32_t& id);

void RegisterExport(CLI::App& app, Options& opts);
// Exit status: 0 every stripe written (zero-filled ranges are listed, not
// failures), 130 interrupted, the error code of a failure, 64 to 66 for
// requests that cannot be carried out.
int RunExport(const Options& opts);

} // namespace corvane::cli
